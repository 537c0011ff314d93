#include "common/process_pool.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/syslog.hpp"
#include "fork_child.hpp"
#include "support/test_support.hpp"

namespace {

using framework::Process;
using framework::ProcessPool;
using testsupport::child_ok;
using testsupport::run_in_child;
using Clock = std::chrono::steady_clock;

// How a test role ends each time it is started.
enum class End { Exit0, Exit3, Exit99, Segv, Abort, Term, OnSigterm, IgnoreSigterm };

class TestRole : public Process {
public:
    TestRole(std::string_view name, End end) : Process(name), end_(end) {
        if (end == End::OnSigterm) add_signal(SIGTERM);
    }

    int main() override {
        switch (end_) {
        case End::Exit0: return 0;
        case End::Exit3: return 3;
        case End::Exit99: return 99;
        case End::Segv:
            ::signal(SIGSEGV, SIG_DFL);  // the sanitizer's handler would turn it into an exit
            ::raise(SIGSEGV);
            return 1;
        case End::Abort:
            ::signal(SIGABRT, SIG_DFL);
            ::raise(SIGABRT);
            return 1;
        case End::Term:
            ::signal(SIGTERM, SIG_DFL);
            ::raise(SIGTERM);
            return 1;
        case End::OnSigterm:
            // The role's orderly stop: its loop runs out once SIGTERM has been handled.
            return run(1);
        case End::IgnoreSigterm:
            ::signal(SIGTERM, SIG_IGN);
            for (int i = 0; i < 600; ++i) ::pause();
            return 1;
        }
        return 1;
    }

private:
    End end_;
};

// A pool that records every reaped child.
class RecordingPool : public ProcessPool {
public:
    struct Reap {
        int pid;
        int code;
        // When the pool reaped the child, and when it had started the `watched` process's
        // child that ended (on the clock of Process::start_time).
        std::chrono::system_clock::time_point reaped_at;
        std::chrono::system_clock::time_point started_at;
    };

    void on_child_stop(int pid, Process::result_type status) override {
        const auto started = watched ? watched->start_time : std::chrono::system_clock::time_point{};
        reaps.push_back({pid, status.get(), std::chrono::system_clock::now(), started});
    }

    // Runs the pool's loop until `done` holds or the deadline passes.
    bool run_until(const std::function<bool()>& done,
                   std::chrono::milliseconds deadline = std::chrono::seconds(15)) {
        const auto end = Clock::now() + deadline;
        while (!done()) {
            if (Clock::now() >= end) return false;
            get_io().run_one_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    std::vector<Reap> reaps;
    const Process* watched = nullptr;
};

// Waits, without reaping, until the child `pid` has ended.
bool wait_ended(pid_t pid) {
    return testsupport::wait_for([&] {
        siginfo_t info{};
        return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
    });
}

// Whether the process `pid` ignores `signo`, as /proc shows it.
bool ignores(pid_t pid, int signo) {
    const std::string status = testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("SigIgn:\t");
    if (at == std::string::npos) return false;
    const unsigned long long bits = std::stoull(status.substr(at + 8, 16), nullptr, 16);
    return (bits >> (signo - 1)) & 1;
}

TEST(ProcessPool, EmptyPoolDoesNotStart) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        ProcessPool pool;
        CHILD_CHECK(!pool.start());
        pool.add(nullptr);
        CHILD_CHECK(!pool.start());
        return 0;
    })));
}

struct RestartCase {
    const char* name;
    End end;
    int code;
    bool paused;
};

class RestartRule : public ::testing::TestWithParam<RestartCase> {};

// What the pool decided is the gap between reaping a child and starting the next one:
// the 2-second pause, or none. (The restarted child's own life, a busy machine's
// scheduling and the sanitizer's exit scan come after that start and do not count.)
TEST_P(RestartRule, PausesOnlyAfterACrash) {
    const RestartCase c = GetParam();
    EXPECT_TRUE(child_ok(run_in_child(
        [&] {
            RecordingPool pool;
            pool.wait_for_signals({SIGTERM, SIGINT, SIGHUP});
            auto role = std::make_unique<TestRole>("role", c.end);
            pool.watched = role.get();
            pool.add(std::move(role));
            CHILD_CHECK(pool.start());
            CHILD_CHECK(pool.run_until([&] { return pool.reaps.size() >= 2; }));
            const auto& r = pool.reaps;
            CHILD_CHECK(r[0].code == c.code && r[1].code == c.code);
            CHILD_CHECK(r[0].pid != r[1].pid);
            // The pause sleeps its whole 2 seconds; without it the gap is one fork.
            const auto gap = r[1].started_at - r[0].reaped_at;
            const bool paused = gap >= std::chrono::seconds(2);
            if (paused != c.paused)
                std::fprintf(stderr, "restart %lld ms after the reap\n",
                             static_cast<long long>(
                                 std::chrono::duration_cast<std::chrono::milliseconds>(gap).count()));
            CHILD_CHECK(gap >= std::chrono::seconds(0));
            CHILD_CHECK(paused == c.paused);
            pool.stop();
            pool.wait();
            return 0;
        },
        std::chrono::seconds(30))));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RestartRule,
    ::testing::Values(RestartCase{"exit0", End::Exit0, 0, false},
                      RestartCase{"exit3", End::Exit3, 3, false},
                      RestartCase{"sigterm", End::Term, SIGTERM, false},
                      RestartCase{"exit99", End::Exit99, 99, true},
                      RestartCase{"sigsegv", End::Segv, SIGSEGV, true},
                      RestartCase{"sigabrt", End::Abort, SIGABRT, true}),
    [](const auto& info) { return std::string(info.param.name); });

// SIGHUP ends every child with SIGTERM; each comes back at once, in the order added.
TEST(ProcessPool, HupRestartsEveryChild) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        RecordingPool pool;
        pool.wait_for_signals({SIGTERM, SIGINT, SIGHUP});
        std::vector<Process*> roles;
        for (const char* name : {"a", "b", "c"}) {
            auto role = std::make_unique<TestRole>(name, End::OnSigterm);
            roles.push_back(role.get());
            pool.add(std::move(role));
        }
        CHILD_CHECK(pool.start());
        std::vector<pid_t> first;
        for (auto* p : roles) first.push_back(p->pid);
        CHILD_CHECK(first[0] > 0 && first[1] > 0 && first[2] > 0);
        ::kill(::getpid(), SIGHUP);
        CHILD_CHECK(pool.run_until([&] { return pool.reaps.size() >= 3; }));
        for (size_t i = 0; i < roles.size(); ++i) {
            CHILD_CHECK(roles[i]->running == 1);
            CHILD_CHECK(roles[i]->pid != first[i]);
        }
        for (const auto& r : pool.reaps) CHILD_CHECK(r.code == 0);
        CHILD_CHECK(pool.stop());
        pool.wait();
        for (auto* p : roles) CHILD_CHECK(p->running == 0);
        return 0;
    })));
}

// After stop a child that ends is reaped and recorded but not started again; two
// children that ended together are both reaped by one SIGCHLD.
TEST(ProcessPool, AfterStopEndedChildrenAreRecordedNotRestarted) {
    EXPECT_TRUE(child_ok(run_in_child([] {
        RecordingPool pool;
        auto a = std::make_unique<TestRole>("a", End::OnSigterm);
        auto b = std::make_unique<TestRole>("b", End::OnSigterm);
        Process* pa = a.get();
        Process* pb = b.get();
        pool.add(std::move(a));
        pool.add(std::move(b));
        CHILD_CHECK(pool.start());
        const pid_t first_a = pa->pid;
        const pid_t first_b = pb->pid;
        CHILD_CHECK(pool.stop());
        CHILD_CHECK(wait_ended(first_a) && wait_ended(first_b));
        pool.on_child();  // one SIGCHLD for both
        CHILD_CHECK(pool.reaps.size() == 2);
        CHILD_CHECK(pa->running == 0 && pb->running == 0);
        CHILD_CHECK(pa->pid == first_a && pb->pid == first_b);
        CHILD_CHECK(WIFEXITED(pa->status) && WEXITSTATUS(pa->status) == 0);
        pool.wait();
        return 0;
    })));
}

// What a program wrote to its error pipe is logged, a line each, when it is reaped; wait
// returns at once for a child that has already ended.
TEST(ProcessPool, ErrorPipeLinesAreLoggedOnReap) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    EXPECT_TRUE(child_ok(run_in_child([&] {
        framework::Syslog::redirect(log);
        RecordingPool pool;
        auto prog = std::make_unique<TestRole>("prog", End::Exit0);
        Process* p = prog.get();
        pool.add(std::move(prog));
        CHILD_CHECK(p->exec({"/bin/sh", "-c", "echo first >&2; echo second >&2; exit 3"}, {}));
        CHILD_CHECK(wait_ended(p->pid));
        pool.stop();
        pool.on_child();
        CHILD_CHECK(pool.reaps.size() == 1 && pool.reaps[0].code == 3);
        const auto before = Clock::now();
        pool.wait();
        CHILD_CHECK(Clock::now() - before < std::chrono::seconds(1));
        return 0;
    })));
    const std::string text = testsupport::read_file(log);
    EXPECT_NE(text.find("prog: first\n"), std::string::npos) << text;
    EXPECT_NE(text.find("prog: second\n"), std::string::npos) << text;
}

// A child that ignores SIGTERM is killed after about ten seconds of waiting.
TEST(ProcessPool, WaitKillsAChildThatIgnoresSigterm) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    EXPECT_TRUE(child_ok(run_in_child(
        [&] {
            framework::Syslog::redirect(log);
            RecordingPool pool;
            auto stubborn = std::make_unique<TestRole>("stubborn", End::IgnoreSigterm);
            Process* p = stubborn.get();
            pool.add(std::move(stubborn));
            CHILD_CHECK(pool.start());
            const pid_t pid = p->pid;
            // Let the child install its SIG_IGN before the SIGTERM comes.
            CHILD_CHECK(testsupport::wait_for([&] { return ignores(pid, SIGTERM); }));
            pool.stop();
            const auto before = Clock::now();
            pool.wait();
            const auto took = Clock::now() - before;
            CHILD_CHECK(took >= std::chrono::seconds(9) && took < std::chrono::seconds(20));
            CHILD_CHECK(wait_ended(pid));
            siginfo_t info{};
            CHILD_CHECK(::waitid(P_PID, pid, &info, WEXITED) == 0);
            CHILD_CHECK(info.si_code == CLD_KILLED && info.si_status == SIGKILL);
            return 0;
        },
        std::chrono::seconds(40))));
    EXPECT_NE(testsupport::read_file(log).find("* stubborn: killed now"), std::string::npos);
}

}  // namespace
