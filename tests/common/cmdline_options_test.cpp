#include "common/application.hpp"
#include "common/cmdline_options.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/syslog.hpp"
#include "support/fork_child.hpp"
#include "support/test_support.hpp"

namespace {

using framework::CmdLineOptions;

// The entry point's table.
std::vector<option> entry_table() {
    return {{"config", required_argument, nullptr, 'c'}, {"level", required_argument, nullptr, 'L'},
            {"log", required_argument, nullptr, 'l'},    {"daemon", no_argument, nullptr, 'D'},
            {"version", no_argument, nullptr, 'v'},      {"help", no_argument, nullptr, 'h'},
            {nullptr, 0, nullptr, 0}};
}

bool parse_words(CmdLineOptions& opts, std::vector<std::string> words, std::vector<option> table) {
    words.insert(words.begin(), "travine");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return opts.parse(static_cast<int>(words.size()), argv.data(), table.data());
}

TEST(CmdLineOptions, ShortOptionString) {
    auto table = entry_table();
    EXPECT_EQ(CmdLineOptions::make_options_fmt(table.data()), "-c:L:l:Dvh--");

    int flag = 0;
    std::vector<option> other = {{"opt", optional_argument, &flag, 'o'},
                                 {"long-only", no_argument, nullptr, 0},
                                 {"req", required_argument, nullptr, 'r'},
                                 {nullptr, 0, nullptr, 0}};
    EXPECT_EQ(CmdLineOptions::make_options_fmt(other.data()), "-o::r:--");
}

struct ParseCase {
    const char* what;
    std::vector<std::string> words;
    bool ok;
    std::map<std::string, std::string> expect;  // name -> stored text ("<none>": absent)
};

TEST(CmdLineOptions, ParseTable) {
    const std::vector<ParseCase> cases = {
        {"empty line", {}, true, {{"config", "<none>"}}},
        {"first short wins", {"-c", "a", "-c", "b"}, true, {{"config", "a"}}},
        {"first long wins", {"--config=a", "--config=b"}, true, {{"config", "a"}}},
        {"long with separate word", {"--config", "x.json", "-D"}, true,
         {{"config", "x.json"}, {"daemon", "true"}}},
        {"glued short argument", {"-cfile", "-Ldebug"}, true, {{"config", "file"}, {"level", "debug"}}},
        {"flag stores true", {"-D", "-v"}, true, {{"daemon", "true"}, {"version", "true"}}},
        {"empty argument", {"--log="}, true, {{"log", ""}}},
        {"missing required at end", {"-c"}, false, {}},
        {"missing required long", {"--config"}, false, {}},
        {"positional word", {"-D", "file.json"}, false, {{"daemon", "true"}}},
        {"positional first", {"word"}, false, {}},
        {"unknown short", {"-x"}, false, {}},
        {"unknown long", {"--nope"}, false, {}},
        {"flag given an argument", {"--daemon=1"}, false, {}},
        {"words after -- ignored", {"-c", "a", "--", "stray", "-x"}, true, {{"config", "a"}}},
        {"stored before a fault stays", {"-c", "a", "-x", "-L", "info"}, false,
         {{"config", "a"}, {"level", "<none>"}}},
        {"abbreviated long", {"--conf=z"}, true, {{"config", "z"}}},
        {"short dash option", {"--", "-c", "a"}, true, {{"config", "<none>"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CmdLineOptions opts;
        EXPECT_EQ(parse_words(opts, c.words, entry_table()), c.ok);
        for (const auto& [name, text] : c.expect) {
            EXPECT_EQ(opts.get_option<std::string_view>(name, "<none>"), text) << name;
        }
    }
}

TEST(CmdLineOptions, RefusesNullAndEmptyInput) {
    CmdLineOptions opts;
    auto table = entry_table();
    char word[] = "travine";
    char* argv[] = {word, nullptr};
    EXPECT_FALSE(opts.parse(0, argv, table.data()));
    EXPECT_FALSE(opts.parse(1, nullptr, table.data()));
    EXPECT_FALSE(opts.parse(1, argv, nullptr));
}

TEST(CmdLineOptions, ClearsFlagPointersAndRescans) {
    int flag = 0;
    std::vector<option> table = {{"daemon", no_argument, &flag, 'D'}, {nullptr, 0, nullptr, 0}};
    CmdLineOptions first;
    EXPECT_TRUE(parse_words(first, {"--daemon"}, table));
    EXPECT_TRUE(first.get_option<bool>("daemon", false));
    EXPECT_EQ(flag, 0);
    // A second parse starts from the first word again.
    CmdLineOptions second;
    EXPECT_TRUE(parse_words(second, {"-D"}, table));
    EXPECT_TRUE(second.get_option<bool>("daemon", false));
}

TEST(CmdLineOptions, OptionalArgument) {
    std::vector<option> table = {{"opt", optional_argument, nullptr, 'o'}, {nullptr, 0, nullptr, 0}};
    CmdLineOptions without;
    EXPECT_TRUE(parse_words(without, {"--opt"}, table));
    EXPECT_EQ(without.get_option<std::string_view>("opt", "<none>"), "");
    CmdLineOptions with;
    EXPECT_TRUE(parse_words(with, {"-ovalue"}, table));
    EXPECT_EQ(with.get_option<std::string_view>("opt", "<none>"), "value");
}

TEST(CmdLineOptions, BoolAndNameLookups) {
    const std::vector<std::pair<std::string, bool>> texts = {
        {"true", true}, {"", true},      {"1", true},    {"yes", true}, {"false", false},
        {"OFF", false}, {"No", false},   {"fAlSe", false}, {"offf", true}, {"n", true}};
    for (const auto& [text, expect] : texts) {
        SCOPED_TRACE(text);
        CmdLineOptions opts;
        ASSERT_TRUE(parse_words(opts, {"--log=" + text}, entry_table()));
        EXPECT_EQ(opts.get_option<bool>("log", !expect), expect);
    }
    CmdLineOptions opts;
    ASSERT_TRUE(parse_words(opts, {"-c", "cfg.json"}, entry_table()));
    EXPECT_EQ(opts.get_option<std::string_view>("CONFIG", ""), "cfg.json");
    EXPECT_EQ(opts.get_option<std::string_view>("Config", ""), "cfg.json");
    EXPECT_TRUE(opts.get_option<bool>("daemon", true));
    EXPECT_FALSE(opts.get_option<bool>("daemon", false));
    EXPECT_EQ(opts.get_option<std::string_view>("level", "dflt"), "dflt");
}

// Reads what the daemon reports through a pipe, until every writer has gone or the
// deadline passes.
std::string read_until_eof(int fd, int timeout_ms) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
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

std::string fd_target(int fd) {
    char buf[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("<closed>");
}

void run_daemon_case(const std::string& work_dir, const std::string& expect_dir) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const auto status = testsupport::run_in_child([&] {
        ::close(report[0]);
        framework::Syslog::redirect(log);
        framework::Syslog::set_log_level("warning");
        std::optional<framework::Application> app(std::in_place);
        app->daemonize(work_dir);  // the child under test exits with 0 inside
        // The daemon: tell the test what it sees, then leave without any cleanup.
        char cwd[PATH_MAX] = {};
        const bool have_cwd = ::getcwd(cwd, sizeof cwd) != nullptr;
        std::string text = std::string(have_cwd ? cwd : "?") + "\n";
        for (int fd = 0; fd < 3; ++fd) text += fd_target(fd) + "\n";
        text += (::getsid(0) == ::getpid() ? "leader\n" : "member\n");
        const mode_t old = ::umask(022);
        text += "umask " + std::to_string(old) + "\n";
        app.reset();  // a daemon's stop line passes the warning threshold
        (void)!::write(report[1], text.data(), text.size());
        ::_exit(0);
        return 0;
    });
    ::close(report[1]);
    ASSERT_TRUE(testsupport::child_ok(status)) << "the caller of daemonize must exit with 0";
    const std::string seen = read_until_eof(report[0], 5000);
    ::close(report[0]);
    EXPECT_EQ(seen, expect_dir + "\n/dev/null\n/dev/null\n/dev/null\nleader\numask 0\n");
    EXPECT_NE(testsupport::read_file(log).find("successful stop\n"), std::string::npos);
}

TEST(Application, StopLineOfAPlainRunIsDebug) {
    testsupport::TempDir dir;
    const std::string log = dir.file("log");
    EXPECT_TRUE(testsupport::child_ok(testsupport::run_in_child([&] {
        framework::Syslog::redirect(log);
        framework::Syslog::set_log_level("warning");
        { framework::Application app; }
        CHILD_CHECK(testsupport::read_file(log).find("successful stop") == std::string::npos);
        framework::Syslog::set_log_level("debug");
        { framework::Application app; }
        CHILD_CHECK(testsupport::read_file(log).find("successful stop\n") != std::string::npos);
        return 0;
    })));
}

TEST(Application, DaemonizeEmptyDirGoesToRoot) { run_daemon_case("", "/"); }

TEST(Application, DaemonizeIntoWorkDir) { run_daemon_case("/tmp", "/tmp"); }

TEST(Application, DaemonizeBadDirExitsWithMinusOne) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    // The daemon's failure is only visible through its standard error.
    const auto status = testsupport::run_in_child([&] {
        ::close(report[0]);
        ::dup2(report[1], 2);
        ::close(report[1]);
        framework::Application app;
        app.daemonize("/nonexistent/travine-dir");
        return 0;
    });
    ::close(report[1]);
    ASSERT_TRUE(testsupport::child_ok(status));
    const std::string err = read_until_eof(report[0], 5000);
    ::close(report[0]);
    EXPECT_NE(err.find("unable to change directory: No such file or directory\n"), std::string::npos)
        << err;
}

}  // namespace
