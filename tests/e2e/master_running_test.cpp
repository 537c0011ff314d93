// A running master as a user meets it: the pid file, a second start, the daemon, SIGHUP
// and SIGTERM. One proxy role keeps the master busy.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace {

using testsupport::TempDir;
using testsupport::TravineProcess;
using testsupport::wait_for;
using namespace std::chrono_literals;

class RunningMaster : public ::testing::Test {
protected:
    void SetUp() override {
        port = testsupport::free_port();
        config = dir.write("travine.json", document());
    }

    std::string document(const std::string& extra = {}) const {
        return R"({"mav_root": "/MAV", "type": "ZEB", "work_dir": ")" + dir.path() +
               R"(", "pid_file": ")" + pid_file + R"(", "log": {"redirect": ")" + log +
               R"(", "level": "debug"}, "proxy": {"listen": "http://127.0.0.1:)" +
               std::to_string(port) + R"("})" + extra + "}";
    }

    std::string log_text() const { return testsupport::read_file(log); }

    // The daemon that `parent` (started with -D) left behind, once it serves; 0 when none.
    pid_t daemon_of(TravineProcess& parent) const {
        EXPECT_TRUE(parent.wait());
        EXPECT_EQ(parent.exit_code(), 0) << parent.err();
        pid_t daemon = 0;
        const bool serving = wait_for([&] {
            daemon = static_cast<pid_t>(std::atol(testsupport::read_file(pid_file).c_str()));
            return daemon > 0 && daemon != parent.pid() && testsupport::port_open(port);
        });
        EXPECT_TRUE(serving) << log_text();
        return serving ? daemon : 0;
    }
    bool logged(const std::string& part) const {
        return log_text().find(part) != std::string::npos;
    }

    TempDir dir;
    const std::string pid_file = dir.file("travine.pid");
    const std::string log = dir.file("travine.log");
    uint16_t port = 0;
    std::string config;
};

TEST_F(RunningMaster, SecondStartIsRefusedAndSigtermStopsAll) {
    TravineProcess master({"-c", config});
    ASSERT_TRUE(wait_for([&] { return testsupport::port_open(port); })) << log_text();
    const std::vector<pid_t> children = testsupport::children_of(master.pid());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(testsupport::read_file(pid_file), std::to_string(master.pid()));

    const auto second = testsupport::run_travine({"-c", config});
    EXPECT_EQ(second.exit_code, 2);
    EXPECT_EQ(second.err, "Already running, pid " + std::to_string(master.pid()) + "\n");
    EXPECT_TRUE(testsupport::file_exists(pid_file));

    master.signal(SIGTERM);
    ASSERT_TRUE(master.wait());
    EXPECT_EQ(master.exit_code(), 0);
    EXPECT_TRUE(logged("shutting down"));
    EXPECT_FALSE(testsupport::file_exists(pid_file));
    EXPECT_FALSE(testsupport::process_alive(children[0]));
}

TEST_F(RunningMaster, DaemonWritesItsPidAndWorksInWorkDir) {
    // The handle kills its process group when it goes, and the daemon stays in that group
    // until its setsid(): it is kept until the pid file names the daemon, which writes it
    // only after that.
    TravineProcess parent({"-c", config, "-D"});
    const pid_t daemon = daemon_of(parent);
    ASSERT_GT(daemon, 0);
    testsupport::ProcessGuard guard(daemon);
    EXPECT_EQ(::getsid(daemon), daemon);  // a session of its own
    parent.kill_all();
    EXPECT_TRUE(testsupport::process_alive(daemon));
    char cwd[PATH_MAX] = {};
    const ssize_t n = ::readlink(("/proc/" + std::to_string(daemon) + "/cwd").c_str(), cwd,
                                 sizeof cwd - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(cwd, static_cast<size_t>(n)), dir.path());

    ::kill(daemon, SIGTERM);
    EXPECT_TRUE(wait_for([&] { return !testsupport::process_alive(daemon); }, 20s));
    EXPECT_TRUE(wait_for([&] { return !testsupport::file_exists(pid_file); }));
}

TEST_F(RunningMaster, DaemonStartedWithARelativeConfigPathReloadsIt) {
    // Started from another directory than its work_dir: after the daemon's chdir the
    // relative path would name a file that is not there.
    const std::string etc = dir.file("etc");
    ASSERT_EQ(::mkdir(etc.c_str(), 0755), 0);
    dir.write("etc/front.json", document());
    TravineProcess parent({"-c", "front.json", "-D"}, etc);
    const pid_t daemon = daemon_of(parent);
    ASSERT_GT(daemon, 0);
    testsupport::ProcessGuard guard(daemon);
    parent.kill_all();

    ::kill(daemon, SIGHUP);
    ASSERT_TRUE(wait_for([&] { return logged("* process(") || logged("not available"); })) << log_text();
    EXPECT_FALSE(logged("not available")) << log_text();
    EXPECT_TRUE(logged("* process("));

    ::kill(daemon, SIGTERM);
    EXPECT_TRUE(wait_for([&] { return !testsupport::process_alive(daemon); }, 20s));
}

TEST_F(RunningMaster, FailedReloadRestartsNothing) {
    TravineProcess master({"-c", config});
    ASSERT_TRUE(wait_for([&] { return testsupport::port_open(port); })) << log_text();
    const auto children = testsupport::children_of(master.pid());
    ASSERT_EQ(children.size(), 1u);

    dir.write("travine.json", "{ not json");
    master.signal(SIGHUP);
    ASSERT_TRUE(wait_for([&] { return logged("config: [json.exception.parse_error"); }))
        << log_text();
    // The restart would have come from the same handler, before the error line.
    EXPECT_FALSE(logged("* process("));

    ::unlink(config.c_str());
    master.signal(SIGHUP);
    ASSERT_TRUE(wait_for([&] { return logged("config: '" + config + "' not available"); }));
    EXPECT_FALSE(logged("* process("));
    EXPECT_EQ(testsupport::children_of(master.pid()), children);
    EXPECT_TRUE(testsupport::port_open(port));
}

}  // namespace
