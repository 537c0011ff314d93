#include "common/signal_handler.hpp"

#include <pthread.h>
#include <signal.h>

#include <exception>

#include "common/syslog.hpp"

namespace framework {

namespace {

int change_mask(int how, int signo) noexcept {
    sigset_t set;
    if (::sigemptyset(&set) != 0 || ::sigaddset(&set, signo) != 0) return -1;
    return ::pthread_sigmask(how, &set, nullptr) == 0 ? 0 : -1;
}

bool is_fault_signal(int signo) noexcept {
    return signo == SIGILL || signo == SIGBUS || signo == SIGFPE || signo == SIGSEGV;
}

}  // namespace

int block_signal(int signo) noexcept { return change_mask(SIG_BLOCK, signo); }

int unblock_signal(int signo) noexcept { return change_mask(SIG_UNBLOCK, signo); }

SigHandler::SigHandler() : io(), signals(io) {
    ::signal(SIGPIPE, SIG_IGN);
}

SigHandler::~SigHandler() = default;

bool SigHandler::add_signal(int signo) {
    if (is_fault_signal(signo)) return false;
    if (signo > 0 && signo < 32) mask |= uint32_t{1} << signo;
    boost::system::error_code ec;
    signals.add(signo, ec);
    return !ec;
}

void SigHandler::wait_for_signals(std::initializer_list<int> list) {
    if (is_stop_) return;
    for (const int signo : list) add_signal(signo);
    arm();
}

void SigHandler::for_each(const std::function<int(int)>& fn) const {
    for (int signo = 1; signo < 32; ++signo) {
        if (mask & (uint32_t{1} << signo)) fn(signo);
    }
}

void SigHandler::arm() {
    signals.async_wait([this](const boost::system::error_code& ec, int signo) {
        on_signal_int(ec, signo);
    });
}

void SigHandler::on_signal_int(const boost::system::error_code& ec, int signo) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
        Syslog::log(Syslog::kError, "on_signal(%d): %s", signo, ec.message().c_str());
    } else {
        try {
            switch (signo) {
            case SIGHUP: on_hup(); break;
            case SIGINT:
            case SIGTERM:
                is_stop_ = true;
                on_stop();
                break;
            case SIGALRM: on_alarm(); break;
            case SIGCHLD: on_child(); break;
            default: on_signal(signo); break;
            }
        } catch (const std::exception& e) {
            Syslog::log(Syslog::kError, "on_signal(%d): %s", signo, e.what());
        } catch (...) {
            Syslog::log(Syslog::kError, "on_signal(%d): unknown error", signo);
        }
    }
    if (is_stop_) return;
    arm();
}

}  // namespace framework
