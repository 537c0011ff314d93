// The program as a user meets it: command line, exit codes and messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace {

using testsupport::run_travine;
using testsupport::TempDir;

const std::string kUsage =
    "\nUsage:\n-D, --daemon\t\tUnix daemon mode\n-c, --config=<File>\tUsing specified config "
    "File\n-L, --level=<Level>\tUsing log Level: notice, info, debug[2..5], all\n-l, "
    "--log=<File>\tRedirect logging to File, empty for stderr\n-v, --version\t\tShow program "
    "version\n-h, --help\t\tShow this screen\n\n";

TEST(Entry, CommandLineNotAcceptedPrintsUsage) {
    TempDir dir;
    const std::string cfg = dir.write("c.json", "{}");
    const std::vector<std::vector<std::string>> cases = {
        {"-c", cfg, "extra"}, {"--bogus"}, {"-c"}, {}, {"-L", "info"}, {"-c", ""}};
    for (const auto& args : cases) {
        const auto r = run_travine(args);
        EXPECT_EQ(r.exit_code, 1) << ::testing::PrintToString(args);
        EXPECT_NE(r.out.find(kUsage), std::string::npos) << ::testing::PrintToString(args);
    }
}

TEST(Entry, HelpAndVersion) {
    const auto both = run_travine({"--help", "--version"});
    EXPECT_EQ(both.exit_code, 0);
    EXPECT_EQ(both.out, kUsage);

    const auto version = run_travine({"--version", "-c", "/nonexistent/travine.json"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out.rfind("travine " TRAVINE_VERSION, 0), 0u) << version.out;
    EXPECT_NE(version.out.find("revision"), std::string::npos);
    EXPECT_EQ(version.err, "");
}

// An absent or empty document ends with 1 and no message on standard error.
TEST(Entry, MissingOrEmptyConfigurationExitsWithOne) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing", ""}, {"empty", "-"}, {"object", "{}"}, {"array", "[]"}};
    for (const auto& [name, text] : cases) {
        std::string path = dir.file(name + ".json");
        if (text == "-")
            dir.write(name + ".json", "");
        else if (!text.empty())
            dir.write(name + ".json", text);
        const auto r = run_travine({"-c", path, "-l", ""});
        EXPECT_EQ(r.exit_code, 1) << name;
        // A file that cannot be mapped (missing, or empty) is reported by the loader.
        const bool unreadable = name == "missing" || name == "empty";
        EXPECT_EQ(r.err.find("config: '" + path + "' not available") != std::string::npos,
                  unreadable)
            << name << ": " << r.err;
    }
}

TEST(Entry, InvalidDocumentExitsWith255AndItsError) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"not json", "parse error"},
        {R"({"gateway": {"type": "ZEB"}})", "mav_root"},
        {R"({"mav_root": "", "type": "ZEB"})", "config: empty MAV path"},
        // The root is checked before the type.
        {R"({"mav_root": ""})", "config: empty MAV path"},
        {R"({"mav_root": "/mav"})", "config: empty Gateway type"},
    };
    for (const auto& [text, message] : cases) {
        const auto r = run_travine({"-c", dir.write("c.json", text)});
        EXPECT_EQ(r.exit_code, 255) << text;
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << text << ": " << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << text << ": " << r.err;
    }
}

// With no role configured the master cannot start anything and stops at once.
TEST(Entry, NoRoleConfiguredStopsWithZero) {
    TempDir dir;
    const std::string pid = dir.file("travine.pid");
    const std::string cfg = dir.write(
        "c.json", R"({"mav_root": "/MAV", "type": "ZEB", "pid_file": ")" + pid + R"("})");
    const auto r = run_travine({"-c", cfg, "-l", "", "-L", "debug"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("PID file: " + pid), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("can not start process(es)"), std::string::npos) << r.err;
    EXPECT_FALSE(testsupport::file_exists(pid));
}

TEST(Entry, PidFileThatCannotBeLockedExitsWithTwo) {
    TempDir dir;
    const std::string cfg = dir.write(
        "c.json", R"({"mav_root": "/MAV", "type": "ZEB", "pid_file": ")" + dir.path() +
                      R"(/no/such/dir/pid"})");
    const auto r = run_travine({"-c", cfg});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("Cannot lock pid file: ", 0), 0u) << r.err;
}

}  // namespace
