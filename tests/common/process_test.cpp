#include "common/process.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/syslog.hpp"
#include "support/fork_child.hpp"
#include "support/test_support.hpp"

namespace {

using framework::Process;
using testsupport::child_ok;
using testsupport::run_in_child;
using Clock = std::chrono::steady_clock;

// Waits for the child of `p` with a deadline; true when it was reaped.
bool reap(Process& p, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    return testsupport::wait_for([&] { return p.wait(WNOHANG); }, deadline);
}

// Reads from `fd` until the end of the data or the deadline.
std::string read_all(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    std::string out;
    const auto end = Clock::now() + deadline;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

TEST(ProcessResult, ExitCodeOrSignal) {
    const std::vector<std::pair<int, int>> cases = {
        {0, 0}, {99 << 8, 99}, {1 << 8, 1}, {SIGKILL, 9}, {SIGSEGV | 0x80, 11}, {SIGTERM, 15}};
    for (const auto& [status, code] : cases) {
        EXPECT_EQ(Process::result_type(status).get(), code) << status;
    }
}

struct Returns : Process {
    int code;
    explicit Returns(int c, std::string_view n = "returns") : Process(n), code(c) {}
    int main() override { return code; }
};

TEST(Process, StartRunsMainAndExitsWithItsCode) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        Returns p(7);
        CHILD_CHECK(p.pid == -1 && p.running == 0);
        CHILD_CHECK(p.start());
        CHILD_CHECK(p.running == 1 && p.pid > 0);
        CHILD_CHECK(!p.start());  // already running: nothing forked
        CHILD_CHECK(reap(p));
        CHILD_CHECK(p.running == 0);
        CHILD_CHECK(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 7);
        CHILD_CHECK(!p.wait(WNOHANG));  // nothing left to reap
        return 0;
    })));
}

TEST(Process, ChildTakesItsNameAsIdentAndThreadName) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        framework::Syslog::set_tag("master-tag");
        struct Named : Process {
            using Process::Process;
            int main() override {
                char comm[17] = {};
                ::prctl(PR_GET_NAME, comm, 0, 0, 0);
                if (std::string(comm) != "a-rather-long-n") return 2;  // the kernel keeps 15 bytes
                if (framework::Syslog::get_tag() != name) return 3;
                if (pid != ::getpid()) return 4;
                return 0;
            }
        } p("a-rather-long-name");
        CHILD_CHECK(p.start());
        CHILD_CHECK(reap(p));
        CHILD_CHECK(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 0);
        CHILD_CHECK(framework::Syslog::get_tag() == "master-tag");
        Returns unnamed(0, "");
        CHILD_CHECK(unnamed.name == "master-tag");
        return 0;
    })));
}

TEST(Process, MainThatThrowsExitsWith99) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    EXPECT_TRUE(child_ok(run_in_child([&] {
        framework::Syslog::redirect(log);
        struct Throws : Process {
            bool standard;
            explicit Throws(bool s) : Process("thrower"), standard(s) {}
            int main() override {
                if (standard) throw std::runtime_error("boom here");
                throw 5;
            }
        };
        for (bool standard : {true, false}) {
            Throws p(standard);
            CHILD_CHECK(p.start());
            CHILD_CHECK(reap(p));
            CHILD_CHECK(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 99);
        }
        return 0;
    })));
    const std::string text = testsupport::read_file(log);
    EXPECT_NE(text.find("thrower[") , std::string::npos) << text;
    EXPECT_NE(text.find("main: boom here\n"), std::string::npos) << text;
    EXPECT_NE(text.find("main: unknown error\n"), std::string::npos) << text;
}

// A role's shape: SIGTERM in its set, main runs the loop until the stop.
struct Role : Process {
    Role() : Process("role") { add_signal(SIGTERM); }
    int main() override { return run(2) + 5; }
};

TEST(Process, OnlySigtermStopsARole) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        // As in the master: SIGINT and SIGHUP are caught by a set the role never waits on.
        framework::SigHandler master;
        master.add_signal(SIGINT);
        master.add_signal(SIGHUP);
        Role p;
        CHILD_CHECK(p.start());
        CHILD_CHECK(p.kill(SIGHUP));
        CHILD_CHECK(p.kill(SIGINT));
        CHILD_CHECK(!testsupport::wait_for([&] { return p.wait(WNOHANG); }, std::chrono::milliseconds(300)));
        CHILD_CHECK(p.running == 1);
        CHILD_CHECK(p.kill(SIGTERM));
        CHILD_CHECK(reap(p));
        CHILD_CHECK(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 5);
        return 0;
    })));
}

TEST(Process, KillPausesAndStopsTheRole) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        Role never;
        auto t0 = Clock::now();
        CHILD_CHECK(!never.kill(0));
        CHILD_CHECK(Clock::now() - t0 < std::chrono::milliseconds(50));

        Role p;
        CHILD_CHECK(p.start());
        t0 = Clock::now();
        CHILD_CHECK(p.kill(0));
        CHILD_CHECK(Clock::now() - t0 >= std::chrono::milliseconds(75));
        CHILD_CHECK(!p.wait(WNOHANG) && p.running == 1);
        CHILD_CHECK(p.kill(SIGTERM));
        CHILD_CHECK(reap(p));
        CHILD_CHECK(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 5);
        return 0;
    })));
}

TEST(Process, RunThreadCounts) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    EXPECT_TRUE(child_ok(run_in_child([&] {
        framework::Syslog::redirect(log);
        Returns p(0, "runner");
        auto& io = p.get_io();
        CHILD_CHECK(p.run(-1) == 0);

        // One thread: the caller's.
        std::thread::id seen;
        boost::asio::post(io, [&] { seen = std::this_thread::get_id(); });
        CHILD_CHECK(p.run(1) == 0);
        CHILD_CHECK(seen == std::this_thread::get_id());

        // Three threads, none of them the caller; a handler that throws ends only its
        // thread, the others go on with the work.
        io.restart();
        std::mutex m;
        std::set<std::thread::id> ids;
        std::atomic<int> done{0};
        std::atomic<int> arrived{0};
        for (int i = 0; i < 3; ++i) {
            boost::asio::post(io, [&] {
                {
                    std::lock_guard<std::mutex> lock(m);
                    ids.insert(std::this_thread::get_id());
                }
                ++arrived;
                // Hold every thread until all three have taken a handler.
                const auto end = Clock::now() + std::chrono::seconds(5);
                while (arrived < 3 && Clock::now() < end) std::this_thread::yield();
                ++done;
            });
        }
        boost::asio::post(io, [] { throw std::runtime_error("handler failed"); });
        for (int i = 0; i < 20; ++i) boost::asio::post(io, [&] { ++done; });
        CHILD_CHECK(p.run(3) == 0);
        CHILD_CHECK(ids.size() == 3 && ids.count(std::this_thread::get_id()) == 0);
        CHILD_CHECK(done == 23);

        // Zero: as many threads as the machine has.
        io.restart();
        ids.clear();
        const unsigned hw = std::thread::hardware_concurrency();
        const unsigned expect = hw == 0 ? 4 : hw;
        arrived = 0;
        for (unsigned i = 0; i < expect; ++i) {
            boost::asio::post(io, [&] {
                {
                    std::lock_guard<std::mutex> lock(m);
                    ids.insert(std::this_thread::get_id());
                }
                ++arrived;
                const auto end = Clock::now() + std::chrono::seconds(5);
                while (arrived < static_cast<int>(expect) && Clock::now() < end) std::this_thread::yield();
            });
        }
        CHILD_CHECK(p.run(0) == 0);
        CHILD_CHECK(ids.size() == expect);
        return 0;
    })));
    EXPECT_NE(testsupport::read_file(log).find("runner: run: handler failed\n"), std::string::npos)
        << testsupport::read_file(log);
}

TEST(ProcessExec, CatRoundTripThroughPipes) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        Process p("cat");
        framework::Pipe in, out;
        CHILD_CHECK(p.exec({"/bin/cat"}, {}, &out, &in));
        CHILD_CHECK(p.running == 1);
        CHILD_CHECK(in.write_end.write("hello\nworld\n", 12));
        in.write_end.close();
        CHILD_CHECK(read_all(out.read_end.get_fd()) == "hello\nworld\n");
        CHILD_CHECK(reap(p));
        CHILD_CHECK(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 0);
        char line[4097];
        CHILD_CHECK(p.err.read_end.fgets(line, 4096) == 0);  // nothing on standard error
        return 0;
    })));
}

TEST(ProcessExec, MissingProgramGives99AndTheText) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        Process p("confgen");
        CHILD_CHECK(p.exec({"/nonexistent/travine-prog", "arg"}, {}));
        CHILD_CHECK(reap(p));
        CHILD_CHECK(WIFEXITED(p.status) && WEXITSTATUS(p.status) == 99);
        char line[4097];
        CHILD_CHECK(p.err.read_end.fgets(line, 4096) > 0);
        CHILD_CHECK(std::string(line) == "exec: /nonexistent/travine-prog: No such file or directory");
        CHILD_CHECK(!p.exec({}, {}));  // no program: nothing started
        return 0;
    })));
}

TEST(ProcessExec, ProgramGetsOnlyWhatIsGiven) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        framework::SigHandler ignore_pipe;  // SIGPIPE ignored in this process
        ::setenv("TRAVINE_LEAK", "1", 1);
        {
            Process p("env");
            framework::Pipe out;
            CHILD_CHECK(p.exec({"/usr/bin/env"}, {}, &out));
            CHILD_CHECK(read_all(out.read_end.get_fd()).empty());
            CHILD_CHECK(reap(p) && WIFEXITED(p.status) && WEXITSTATUS(p.status) == 0);
        }
        {
            Process p("env");
            framework::Pipe out;
            CHILD_CHECK(p.exec({"/usr/bin/env"}, {"A=1", "B=two"}, &out));
            CHILD_CHECK(read_all(out.read_end.get_fd()) == "A=1\nB=two\n");
            CHILD_CHECK(reap(p));
        }
        {
            // Default SIGPIPE, nothing blocked, even though this process blocks SIGUSR1.
            framework::block_signal(SIGUSR1);
            Process p("grep");
            framework::Pipe out;
            CHILD_CHECK(p.exec({"/bin/grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"}, {}, &out));
            const std::string text = read_all(out.read_end.get_fd());
            CHILD_CHECK(reap(p));
            if (text != "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n") {
                std::fprintf(stderr, "%s", text.c_str());
                return 1;
            }
        }
        return 0;
    })));
}

// Descriptors that are not close-on-exec (a socket of the event loop, a file opened
// without the flag) stay behind: the program has its three standard streams only.
TEST(ProcessExec, ProgramHasOnlyItsStandardStreams) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        const int file = ::open("/dev/null", O_RDONLY);
        const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
        CHILD_CHECK(file > 2 && sock > 2);
        CHILD_CHECK(::dup2(file, 200) == 200);
        Process p("ls");
        framework::Pipe out;
        CHILD_CHECK(p.exec({"/bin/ls", "-l", "/proc/self/fd"}, {}, &out));
        const std::string listing = read_all(out.read_end.get_fd());
        CHILD_CHECK(reap(p) && WIFEXITED(p.status) && WEXITSTATUS(p.status) == 0);
        if (testsupport::listed_descriptors(listing) != std::vector<int>{0, 1, 2}) {
            std::fprintf(stderr, "%s", listing.c_str());
            return 1;
        }
        return 0;
    })));
}

TEST(ProcessExec, ProgramsDoNotInheritEachOthersPipes) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        Process a("cat-a"), b("cat-b");
        framework::Pipe a_in, a_out, b_in, b_out;
        CHILD_CHECK(a.exec({"/bin/cat"}, {}, &a_out, &a_in));
        CHILD_CHECK(b.exec({"/bin/cat"}, {}, &b_out, &b_in));
        // Closing a's input must end a although b still runs: b holds none of a's ends.
        a_in.write_end.close();
        CHILD_CHECK(read_all(a_out.read_end.get_fd(), std::chrono::seconds(5)).empty());
        CHILD_CHECK(reap(a, std::chrono::seconds(5)));
        CHILD_CHECK(b.running == 1 && !b.wait(WNOHANG));
        b_in.write_end.close();
        CHILD_CHECK(reap(b));
        return 0;
    })));
}

using Outcome = Process::Outcome;

bool exited_with(const Outcome& o, int code) {
    return o.ended && WIFEXITED(o.status) && WEXITSTATUS(o.status) == code;
}

TEST(ProcessRunProgram, FeedsTheInputAndCollectsStandardError) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        {
            Process p("head");
            const Outcome o = p.run_program({"/usr/bin/head", "-c", "5"}, {}, "hello", std::chrono::seconds(10));
            CHILD_CHECK(exited_with(o, 0) && !o.killed && p.running == 0);
        }
        {
            Process p("head");
            const Outcome o = p.run_program({"/bin/sh", "-c", "/usr/bin/head -c 5 >&2; echo ' there' >&2"}, {},
                                            "hello", std::chrono::seconds(10));
            CHILD_CHECK(exited_with(o, 0) && o.error == "hello there\n");
        }
        {
            // More than a pipe holds both ways, standard error first: neither side may wait
            // for the other.
            const std::string input(1 << 20, 'i');
            Process p("both");
            const auto started = Clock::now();
            const Outcome o = p.run_program(
                {"/bin/sh", "-c", "/usr/bin/head -c 300000 /dev/zero >&2; /usr/bin/head -c 1048576 >/dev/null; exit 3"},
                {}, input, std::chrono::seconds(20));
            CHILD_CHECK(exited_with(o, 3) && !o.killed);
            CHILD_CHECK(o.error == std::string(300000, '\0'));
            CHILD_CHECK(Clock::now() - started < std::chrono::seconds(15));
        }
        {
            // Exits without reading a large input: the writing just ends.
            Process p("quits");
            const Outcome o = p.run_program({"/bin/sh", "-c", "exit 5"}, {}, std::string(1 << 20, 'i'),
                                            std::chrono::seconds(10));
            CHILD_CHECK(exited_with(o, 5) && !o.killed);
        }
        {
            Process p("confgen");
            const Outcome o = p.run_program({"/nonexistent/travine-prog"}, {}, "x", std::chrono::seconds(10));
            CHILD_CHECK(exited_with(o, 99) && o.error == "exec: /nonexistent/travine-prog: No such file or directory\n");
        }
        {
            Process p("nothing");
            CHILD_CHECK(!p.run_program({}, {}, "x", std::chrono::seconds(10)).ended);
        }
        return 0;
    }, std::chrono::seconds(60))));
}

TEST(ProcessRunProgram, KillsAtTheDeadline) {
    struct Case {
        const char* what;
        std::vector<const char*> args;
    };
    const std::vector<Case> cases = {
        {"reads to the end of its input", {"/bin/sh", "-c", "exec /bin/cat >/dev/null"}},
        {"sleeps", {"/bin/sleep", "30"}},
        {"closed its standard error", {"/bin/sh", "-c", "exec 2>&-; exec /bin/sleep 30"}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(child_ok(run_in_child([&] {
            Process p("slow");
            const auto started = Clock::now();
            const Outcome o = p.run_program(c.args, {}, "input\n", std::chrono::milliseconds(300));
            const auto took = Clock::now() - started;
            CHILD_CHECK(o.ended && o.killed && WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGKILL);
            CHILD_CHECK(took >= std::chrono::milliseconds(300) && took < std::chrono::seconds(5));
            CHILD_CHECK(p.running == 0);
            return 0;
        }))) << c.what;
    }
}

// The program's end ends the run, whoever else still holds its standard error.
TEST(ProcessRunProgram, EndsWhenTheProgramEnds) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        {
            Process p("closes");
            const Outcome o = p.run_program({"/bin/sh", "-c", "echo early >&2; exec 2>&-; /bin/sleep 0.3; exit 3"},
                                            {}, "", std::chrono::seconds(10));
            CHILD_CHECK(exited_with(o, 3) && !o.killed && o.error == "early\n");
        }
        {
            Process p("leaves");
            const auto started = Clock::now();
            const Outcome o = p.run_program({"/bin/sh", "-c", "/bin/sleep 30 & echo $! >&2; exit 4"}, {}, "",
                                            std::chrono::seconds(20));
            const pid_t left = static_cast<pid_t>(std::atoi(o.error.c_str()));
            if (left > 0) ::kill(left, SIGKILL);
            CHILD_CHECK(exited_with(o, 4) && !o.killed && left > 0);
            CHILD_CHECK(Clock::now() - started < std::chrono::seconds(5));
        }
        return 0;
    })));
}

// Threads that allocate and log while another execs: the child between fork and execve
// must not wait for a lock some other thread held at the fork.
TEST(ProcessExec, FailingExecFromABusyProcessNeverHangs) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    EXPECT_TRUE(child_ok(run_in_child([&] {
        framework::Syslog::redirect(log);
        std::atomic<bool> stop{false};
        std::vector<std::thread> busy;
        for (int i = 0; i < 4; ++i) {
            busy.emplace_back([&] {
                while (!stop) {
                    std::string s(1000, 'x');
                    framework::Syslog::log(6, "busy %s", s.c_str() + 990);
                }
            });
        }
        bool all = true;
        for (int i = 0; i < 40 && all; ++i) {
            Process p("confgen");
            all = p.exec({"/nonexistent/travine-prog"}, {}) && reap(p, std::chrono::seconds(5)) &&
                  WIFEXITED(p.status) && WEXITSTATUS(p.status) == 99;
            if (!all && p.running == 1) {
                ::kill(p.pid, SIGKILL);
                ::waitpid(p.pid, nullptr, 0);
            }
        }
        stop = true;
        for (auto& t : busy) t.join();
        CHILD_CHECK(all);
        return 0;
    }, std::chrono::seconds(60))));
}

}  // namespace
