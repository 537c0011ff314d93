#include "support/test_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/syslog.hpp"

namespace testsupport {

TempDir::TempDir() {
    char tmpl[] = "/tmp/travine-test-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    return p;
}

uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

FilledListener listen_with_full_queue(int flags) {
    FilledListener l;
    l.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (l.fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(l.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(l.fd, 0) != 0 ||
        ::getsockname(l.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(l.fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    l.port = ntohs(addr.sin_port);
    // Fill the accept queue until a connect no longer completes.
    for (int i = 0; i < 16; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        l.fillers.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) continue;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0) break;  // pending: the queue is full
    }
    return l;
}

bool wait_for(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
              std::chrono::milliseconds step) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(step);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> log_file_messages(const std::string& path) {
    framework::Syslog::redirect(path);
    std::istringstream in(read_file(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("]: ");
        lines.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    return lines;
}

bool file_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool process_alive(pid_t pid) {
    if (pid <= 0 || ::kill(pid, 0) != 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

bool port_open(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    std::istringstream list(
        read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (pid_t child = 0; list >> child;)
        if (process_alive(child)) out.push_back(child);
    return out;
}

std::vector<int> listed_descriptors(const std::string& listing) {
    // Lines of the form "lr-x------ 1 root root 64 Jan 1 00:00 3 -> /proc/123/fd".
    std::vector<int> out;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        const auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        const std::string target = line.substr(arrow + 4);
        if (target.rfind("/proc/", 0) == 0 && target.size() > 9 && target.compare(target.size() - 3, 3, "/fd") == 0)
            continue;
        const auto space = line.rfind(' ', arrow - 1);
        out.push_back(std::stoi(line.substr(space + 1, arrow - space - 1)));
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string process_name(pid_t pid) {
    std::string name = read_file("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

pid_t child_named(pid_t pid, const std::string& name) {
    for (pid_t child : children_of(pid))
        if (process_name(child) == name) return child;
    return -1;
}

ProcessGuard::~ProcessGuard() {
    if (!process_alive(pid_)) return;
    // A master's role children outlive its SIGKILL: it is held still (no new child) while
    // they go first.
    ::kill(pid_, SIGSTOP);
    for (const pid_t child : children_of(pid_)) ::kill(child, SIGKILL);
    ::kill(pid_, SIGKILL);
}

bool redirect_standard_streams(const std::string& out, const std::string& err) {
    // Opens `path` onto every one of `streams`; the descriptor opened is closed after,
    // so a program run by exec has the three streams and nothing else of ours.
    const auto onto = [](const std::string& path, int flags, std::initializer_list<int> streams) {
        const int fd = ::open(path.c_str(), flags, 0644);
        if (fd < 0) return false;
        bool ok = true;
        for (const int stream : streams) ok = ::dup2(fd, stream) == stream && ok;
        if (fd > 2) ::close(fd);
        return ok;
    };
    constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
    if (!onto("/dev/null", O_RDONLY, {0})) return false;
    if (!out.empty() && out == err) return onto(out, kWrite, {1, 2});
    if (!out.empty() && !onto(out, kWrite, {1})) return false;
    return err.empty() || onto(err, kWrite, {2});
}

TravineProcess::TravineProcess(std::vector<std::string> args, std::string cwd, std::string program) {
    const std::string out = dir_.file("stdout"), err = dir_.file("stderr");
    std::vector<std::string> argv_s;
    argv_s.push_back(program);
    for (auto& a : args) argv_s.push_back(a);
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        if (!redirect_standard_streams(out, err)) ::_exit(127);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);
}

TravineProcess::~TravineProcess() { kill_all(); }

bool TravineProcess::running() {
    if (status_) return false;
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = st;
        return false;
    }
    return r == 0;
}

void TravineProcess::signal(int signo) const {
    if (!status_) ::kill(pid_, signo);
}

std::optional<int> TravineProcess::wait(std::chrono::milliseconds deadline) {
    wait_for([this] { return !running(); }, deadline, 5ms);
    return status_;
}

int TravineProcess::exit_code() const {
    if (!status_) return -1;
    if (WIFEXITED(*status_)) return WEXITSTATUS(*status_);
    if (WIFSIGNALED(*status_)) return 128 + WTERMSIG(*status_);
    return -1;
}

std::string TravineProcess::out() const { return read_file(dir_.file("stdout")); }
std::string TravineProcess::err() const { return read_file(dir_.file("stderr")); }

void TravineProcess::kill_all() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);  // the master and every child still in its group
    if (!status_) {
        int st = 0;
        if (::waitpid(pid_, &st, 0) == pid_) status_ = st;
    }
}

RunResult run_travine(std::vector<std::string> args, std::chrono::milliseconds deadline,
                      std::string cwd) {
    TravineProcess p(std::move(args), std::move(cwd));
    RunResult r;
    if (p.wait(deadline)) r.exit_code = p.exit_code();
    r.out = p.out();
    r.err = p.err();
    return r;
}

}  // namespace testsupport
