#include "common/signal_handler.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/syslog.hpp"
#include "support/fork_child.hpp"
#include "support/test_support.hpp"

namespace {

using framework::SigHandler;
using testsupport::child_ok;
using testsupport::run_in_child;

std::vector<int> mask_of(const SigHandler& h) {
    std::vector<int> out;
    h.for_each([&](int signo) {
        out.push_back(signo);
        return 0;
    });
    return out;
}

// Runs the loop until it runs out of work; false when it still had work after 5 s.
bool run_out(SigHandler& h) {
    h.get_io().run_for(std::chrono::seconds(5));
    return h.get_io().stopped();
}

TEST(SigHandler, AddSignalRefusesFaultSignals) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        SigHandler h;
        for (int fault : {SIGILL, SIGBUS, SIGFPE, SIGSEGV}) {
            CHILD_CHECK(!h.add_signal(fault));
        }
        CHILD_CHECK(mask_of(h).empty());
        CHILD_CHECK(h.add_signal(SIGTERM));
        CHILD_CHECK(h.add_signal(SIGHUP));
        CHILD_CHECK(h.add_signal(SIGUSR1));
        CHILD_CHECK((mask_of(h) == std::vector<int>{SIGHUP, SIGUSR1, SIGTERM}));
        return 0;
    })));
}

// Every hook runs on the thread that runs the loop, in response to a real signal.
class Recorder : public SigHandler {
public:
    int hup = 0, stop = 0, child = 0, alarm = 0, other = 0, other_signo = 0;
    bool off_loop = false;
    std::thread::id loop_thread = std::this_thread::get_id();

    void check_thread() {
        if (std::this_thread::get_id() != loop_thread) off_loop = true;
    }
    void on_hup() override {
        check_thread();
        if (++hup == 1) ::raise(SIGUSR1);
        else ::raise(SIGTERM);
    }
    void on_signal(int signo) override {
        check_thread();
        ++other;
        other_signo = signo;
        ::raise(SIGALRM);
    }
    void on_alarm() override {
        check_thread();
        ++alarm;
        if (::fork() == 0) ::_exit(0);  // its end brings SIGCHLD
    }
    void on_child() override {
        check_thread();
        ++child;
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::raise(SIGHUP);
    }
    void on_stop() override {
        check_thread();
        ++stop;
        if (!is_stop_) off_loop = true;
        ::raise(SIGTERM);  // stays queued: nothing waits any more
    }
};

TEST(SigHandler, SignalsReachTheirHooksUntilStop) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        Recorder r;
        CHILD_CHECK(r.add_signal(SIGUSR1));
        CHILD_CHECK(r.add_signal(SIGALRM));
        CHILD_CHECK(r.add_signal(SIGCHLD));
        r.wait_for_signals({SIGHUP, SIGTERM});
        boost::asio::post(r.get_io(), [] { ::raise(SIGHUP); });
        CHILD_CHECK(run_out(r));  // SIGTERM leaves no pending wait
        CHILD_CHECK(r.hup == 2);
        CHILD_CHECK(r.other == 1 && r.other_signo == SIGUSR1);
        CHILD_CHECK(r.alarm == 1);
        CHILD_CHECK(r.child == 1);
        CHILD_CHECK(r.stop == 1);
        CHILD_CHECK(!r.off_loop);
        CHILD_CHECK(SigHandler::is_stop_);
        return 0;
    })));
}

TEST(SigHandler, SigintAlsoStops) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        struct H : SigHandler {
            int stop = 0;
            void on_stop() override { ++stop; }
        } h;
        h.wait_for_signals({SIGINT});
        boost::asio::post(h.get_io(), [] { ::raise(SIGINT); });
        CHILD_CHECK(run_out(h));
        CHILD_CHECK(h.stop == 1 && SigHandler::is_stop_);
        return 0;
    })));
}

TEST(SigHandler, ThrowingHookIsLoggedAndHandlingGoesOn) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    EXPECT_TRUE(child_ok(run_in_child([&] {
        framework::Syslog::redirect(log);
        struct H : SigHandler {
            int hup = 0;
            void on_hup() override {
                ++hup;
                ::raise(SIGHUP);
                if (hup == 1) throw std::runtime_error("bad");
                if (hup == 2) throw 42;
                ::raise(SIGTERM);
            }
        } h;
        h.wait_for_signals({SIGHUP, SIGTERM});
        boost::asio::post(h.get_io(), [] { ::raise(SIGHUP); });
        CHILD_CHECK(run_out(h));
        CHILD_CHECK(h.hup >= 3);
        return 0;
    })));
    const std::string text = testsupport::read_file(log);
    EXPECT_NE(text.find("on_signal(1): bad\n"), std::string::npos) << text;
    EXPECT_NE(text.find("on_signal(1): unknown error\n"), std::string::npos) << text;
}

TEST(SigHandler, WaitAfterStopAddsAndArmsNothing) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        SigHandler h;
        SigHandler::is_stop_ = true;
        h.wait_for_signals({SIGHUP, SIGTERM});
        CHILD_CHECK(mask_of(h).empty());
        CHILD_CHECK(h.get_io().poll() == 0);
        CHILD_CHECK(h.get_io().stopped());
        return 0;
    })));
}

TEST(SigHandler, BrokenPipeDoesNotKillTheProcess) {
    const auto status = run_in_child([] {
        SigHandler h;
        int fds[2];
        CHILD_CHECK(::pipe(fds) == 0);
        ::close(fds[0]);
        errno = 0;
        CHILD_CHECK(::write(fds[1], "x", 1) == -1 && errno == EPIPE);
        ::raise(SIGPIPE);
        return 0;
    });
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(WIFSIGNALED(*status)) << "killed by signal " << WTERMSIG(*status);
    EXPECT_TRUE(child_ok(status));
}

bool blocked(int signo) {
    sigset_t set;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &set);
    return ::sigismember(&set, signo) == 1;
}

TEST(SigHandler, BlockLayerIsPerThread) {
    ASSERT_FALSE(blocked(SIGUSR2));
    ASSERT_EQ(framework::block_signal(SIGUSR2), 0);
    EXPECT_TRUE(blocked(SIGUSR2));
    bool other_thread_blocked = true;
    std::thread([&] {
        // A new thread inherits the mask of its creator, so unblock there first.
        framework::unblock_signal(SIGUSR2);
        other_thread_blocked = blocked(SIGUSR2);
    }).join();
    EXPECT_FALSE(other_thread_blocked);
    EXPECT_TRUE(blocked(SIGUSR2)) << "unblocking in one thread must not touch another";
    EXPECT_EQ(framework::unblock_signal(SIGUSR2), 0);
    EXPECT_FALSE(blocked(SIGUSR2));
    EXPECT_EQ(framework::block_signal(0), -1);
    EXPECT_EQ(framework::block_signal(1000), -1);
}

}  // namespace
