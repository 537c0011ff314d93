#include "common/syslog.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "network/url.hpp"
#include "support/test_support.hpp"

namespace {

using framework::Syslog;
using namespace std::chrono_literals;

// What the system-log seam received, in the (forked) test process.
std::vector<std::pair<int, std::string>>& system_lines() {
    static std::vector<std::pair<int, std::string>> lines;
    return lines;
}
void capture_system_log(int priority, const char* message) {
    system_lines().emplace_back(priority, message);
}

// The logger's state is process-wide: each test runs its body in a forked child whose
// exit status carries the verdict (gtest prints the child's failures itself).
void in_child(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        Syslog::system_log_ = &capture_system_log;
        body();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    const bool ended = testsupport::wait_for(
        [&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30s);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "test child hung";
    ASSERT_TRUE(WIFEXITED(status)) << "test child died, status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

std::string host_name() {
    char name[65] = {};
    ::gethostname(name, 64);
    return name;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Escapes regex metacharacters of a literal.
std::string re(const std::string& literal) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(literal, special, R"(\$&)");
}

// A UDP socket on 127.0.0.1, port 0, that receives with a deadline.
class UdpReceiver {
public:
    UdpReceiver() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        timeval tv{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~UdpReceiver() { ::close(fd_); }
    std::string url() const { return "udp://127.0.0.1:" + std::to_string(port_); }
    // Empty when nothing arrived within the deadline.
    std::string receive() {
        std::string buf(70000, '\0');
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

enum class Ev { A, B };

TEST(Syslog, FileLinesHaveTheTraditionalFormat) {
    in_child([] {
        testsupport::TempDir dir;
        const std::string path = dir.file("travine.log");
        Syslog::set_tag("router");
        Syslog::redirect(path);
        Syslog::set_log_level("notice");
        Syslog::log(6, "dropped %d", 1);
        Syslog::log(5, "kept %d %s", 7, "x");
        Syslog::log(4, "%u %ld %.1f %d", 3u, -5L, 1.5f, Ev::B);
        Syslog::log(4, "%s");        // one conversion too many
        Syslog::log(4, "%s", "");   // empty message: nothing
        Syslog::log(3, "plain");

        const std::string prefix = R"(^[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} )" +
                                   re(host_name()) + " router\\[" +
                                   std::to_string(::getpid()) + "\\]: ";
        const std::vector<std::string> want = {"log level: notice", "kept 7 x", "3 -5 1.5 1",
                                               "(null)", "plain"};
        const auto got = lines_of(testsupport::read_file(path));
        ASSERT_EQ(got.size(), want.size()) << testsupport::read_file(path);
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_TRUE(std::regex_match(got[i], std::regex(prefix + re(want[i]) + "$")))
                << got[i];
        EXPECT_EQ(testsupport::read_file(path).back(), '\n');
    });
}

TEST(Syslog, LevelNamesSetTheThresholdAndReportTheCanonicalName) {
    struct Case {
        const char* name;
        int level;
        const char* reported;
    };
    const Case cases[] = {
        {"DEBUG", 7, "debug"},  {"debug", 7, "debug"},   {"debug1", 7, "debug"},
        {"Debug3", 9, "debug3"}, {"all", 11, "debug5"},  {"error", 4, "warning"},
        {"warning", 4, "warning"}, {"notice", 5, "notice"}, {"info", 6, "info"},
        {"bogus", 4, "warning"}, {"", 4, "warning"},     {"debug55", 4, "warning"},
    };
    in_child([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            system_lines().clear();
            Syslog::set_log_level(c.name);
            EXPECT_EQ(Syslog::get_log_level(), c.level);
            ASSERT_EQ(system_lines().size(), 1u);
            EXPECT_EQ(system_lines()[0].first, 4);
            EXPECT_EQ(system_lines()[0].second, std::string("log level: ") + c.reported);
        }
    });
}

TEST(Syslog, SystemLogGetsAtMostDebugPriorityAndNoEmptyLines) {
    in_child([] {
        Syslog::set_log_level("all");
        system_lines().clear();
        Syslog::log(9, "deep %s", "trace");
        Syslog::log(3, "bad");
        Syslog::log(4, "%s", "");
        Syslog::log(12, "above all");  // above the threshold
        const std::vector<std::pair<int, std::string>> want = {{7, "deep trace"}, {3, "bad"}};
        EXPECT_EQ(system_lines(), want);
    });
}

TEST(Syslog, LongMessagesAreCutTo16383BytesInEverySink) {
    in_child([] {
        const std::string big(20000, 'a');
        const std::string cut(16383, 'a');
        Syslog::set_tag("t");

        Syslog::log(4, "%s", big.c_str());
        ASSERT_EQ(system_lines().size(), 1u);
        EXPECT_EQ(system_lines()[0].second, cut);

        testsupport::TempDir dir;
        Syslog::redirect(dir.file("big.log"));
        Syslog::log(4, "%s", big.c_str());
        const auto lines = lines_of(testsupport::read_file(dir.file("big.log")));
        ASSERT_EQ(lines.size(), 1u);
        const std::string tail = ": " + cut;
        EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail);
        EXPECT_NE(lines[0][lines[0].size() - tail.size() - 1], 'a');

        UdpReceiver udp;
        framework::redirect_log(udp.url());
        Syslog::log(4, "%s", big.c_str());
        const std::string dgram = udp.receive();
        const std::string dtail = " - - " + cut;
        ASSERT_GT(dgram.size(), dtail.size());
        EXPECT_EQ(dgram.substr(dgram.size() - dtail.size()), dtail);
    });
}

// Text of peers, files and children reaches the log through the arguments; its control
// bytes must never split a line or forge one, whatever the sink.
TEST(Syslog, ControlBytesOfArgumentsAreEscapedInEverySink) {
    struct Case {
        std::function<void()> log;
        std::string message;  // as every sink must carry it
    };
    std::string cut;  // a long run of escapes is cut before the escape that does not fit
    for (int i = 0; i < 4095; ++i) cut += "\\x01";
    const std::vector<Case> cases = {
        {[] { Syslog::log(4, "confgen: UPDATE: %s", "unit\nMar 05 14:07:09 gw1 travine[1]: forged"); },
         "confgen: UPDATE: unit\\nMar 05 14:07:09 gw1 travine[1]: forged"},
        {[] { Syslog::log(3, "%s: %s", "confgen", "bad unit\r\n"); }, "confgen: bad unit\\r\\n"},
        {[] { Syslog::log(4, "node %s", "\x1b[31mmav.a\t\x7f\x02"); },
         "node \\x1b[31mmav.a\\t\\x7f\\x02"},
        {[] { Syslog::log(4, "nul %c end", '\0'); }, "nul \\x00 end"},
        {[] { Syslog::log(4, "%s", "caf\xc3\xa9 \\n"); }, "caf\xc3\xa9 \\n"},  // kept as is
        {[] { Syslog::log(4, "%s", std::string(20000, '\x01').c_str()); }, cut},
    };
    const auto log_all = [&] {
        for (const Case& c : cases) c.log();
    };
    // What follows `marker` on each line of a file sink.
    const auto messages_of = [](const std::string& text, const std::string& marker) {
        std::vector<std::string> out;
        for (const std::string& line : lines_of(text)) {
            const size_t at = line.find(marker);
            out.push_back(at == std::string::npos ? line : line.substr(at + marker.size()));
        }
        return out;
    };
    std::vector<std::string> want;
    for (const Case& c : cases) want.push_back(c.message);

    in_child([&] {
        Syslog::set_tag("t");
        testsupport::TempDir dir;

        system_lines().clear();
        log_all();
        std::vector<std::string> got;
        for (const auto& [priority, message] : system_lines()) got.push_back(message);
        EXPECT_EQ(got, want) << "system log";

        Syslog::redirect(dir.file("app.log"));
        log_all();
        EXPECT_EQ(messages_of(testsupport::read_file(dir.file("app.log")), "]: "), want)
            << "file";

        const std::string err_path = dir.file("stderr");
        const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(::dup2(err_fd, 2), 2);
        ::close(err_fd);
        Syslog::redirect("");
        log_all();
        EXPECT_EQ(messages_of(testsupport::read_file(err_path), "]: "), want) << "stderr";

        UdpReceiver udp;
        framework::redirect_log(udp.url());
        got.clear();
        for (const Case& c : cases) {
            c.log();
            const std::string d = udp.receive();
            const size_t at = d.find(" - - ");
            got.push_back(at == std::string::npos ? d : d.substr(at + 5));
        }
        EXPECT_EQ(got, want) << "datagram";
    });
}

TEST(Syslog, DatagramsFollowRfc5424AndCarryTheSendersPid) {
    in_child([] {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        UdpReceiver udp;
        Syslog::set_tag("router");
        Syslog::set_log_level("all");
        framework::redirect_log(udp.url());
        const std::string stamp = R"([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\+00:00)";
        const std::string rest = " " + re(host_name()) + " router ";

        Syslog::log(3, "boom %d", 1);
        std::string d = udp.receive();
        EXPECT_TRUE(std::regex_match(
            d, std::regex("^<11>1 " + stamp + rest + std::to_string(::getpid()) + " - - boom 1$")))
            << d;
        Syslog::log(9, "fine");
        d = udp.receive();
        EXPECT_TRUE(std::regex_match(d, std::regex("^<15>1 " + stamp + rest +
                                                  std::to_string(::getpid()) + " - - fine$")))
            << d;

        // A forked child sends its own pid, not the text cached by its parent.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Syslog::log(4, "from child");
            ::_exit(0);
        }
        d = udp.receive();
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(std::regex_match(d, std::regex("^<12>1 " + stamp + rest +
                                                  std::to_string(child) + " - - from child$")))
            << d;
    });
}

TEST(Syslog, DatagramTimeStampPutsAColonIntoTheZone) {
    struct Case {
        const char* tz;
        long time;
        const char* stamp;
    };
    // 1709644029 is 2024-03-05 13:07:09 UTC; each row its own second (the stamp is kept
    // per second).
    const Case cases[] = {
        {"UTC0", 1709644029, "2024-03-05T13:07:09+00:00"},
        {"CET-1", 1709644030, "2024-03-05T14:07:10+01:00"},
        {"XYZ+3:30", 1709644031, "2024-03-05T09:37:11-03:30"},
    };
    in_child([&] {
        Syslog::set_tag("router");
        const std::string pid = std::to_string(::getpid());
        for (const Case& c : cases) {
            SCOPED_TRACE(c.tz);
            ::setenv("TZ", c.tz, 1);
            ::tzset();
            EXPECT_EQ(Syslog::pack_rfc5424(4, c.time, "gw1", "hello"),
                      std::string("<12>1 ") + c.stamp + " gw1 router " + pid + " - - hello");
        }
        EXPECT_EQ(Syslog::pack_rfc5424(3, cases[2].time, "", "x"),
                  std::string("<11>1 ") + cases[2].stamp + " - router " + pid + " - - x");
        EXPECT_EQ(Syslog::pack_rfc5424(11, cases[2].time, "h", ""),
                  std::string("<15>1 ") + cases[2].stamp + " h router " + pid + " - - ");
    });
}

TEST(Syslog, RedirectChoosesTheSinkByTarget) {
    enum class Sink { system, file, udp, err };
    struct Case {
        std::string target;  // "@" stands for the temp dir, "#" for the UDP URL
        Sink sink;
        std::string file;    // where a file line lands, relative to the temp dir
    };
    const std::vector<Case> cases = {
        {"", Sink::err, ""},
        {"#", Sink::udp, ""},
        {"http://127.0.0.1:8080", Sink::system, ""},
        {"tcp://127.0.0.1:99", Sink::system, ""},
        {"udp://nohost.invalid:514", Sink::system, ""},  // unresolved: no silent sink
        {"@/app.log", Sink::file, "app.log"},
        {"udp://127.0.0.1:0", Sink::file, "udp:/127.0.0.1:0"},
        {"@/missing/dir/app.log", Sink::system, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        in_child([&] {
            testsupport::TempDir dir;
            ASSERT_EQ(::chdir(dir.path().c_str()), 0);
            ASSERT_EQ(::mkdir("udp:", 0755), 0);
            const std::string err_path = dir.file("stderr");
            const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT, 0644);
            ASSERT_EQ(::dup2(err_fd, 2), 2);
            ::umask(0);
            UdpReceiver udp;
            std::string target = c.target;
            if (target == "#") target = udp.url();
            if (!target.empty() && target[0] == '@') target = dir.path() + target.substr(1);

            Syslog::set_tag("tagged");
            framework::redirect_log(target);
            system_lines().clear();
            Syslog::log(4, "the line");
            const std::string ending = "tagged[" + std::to_string(::getpid()) + "]: the line\n";
            switch (c.sink) {
                case Sink::system:
                    EXPECT_EQ(system_lines().size(), 1u);
                    break;
                case Sink::udp:
                    EXPECT_TRUE(system_lines().empty());
                    EXPECT_NE(udp.receive().find(" - - the line"), std::string::npos);
                    break;
                case Sink::err: {
                    EXPECT_TRUE(system_lines().empty());
                    const std::string got = testsupport::read_file(err_path);
                    ASSERT_GE(got.size(), ending.size());
                    EXPECT_EQ(got.substr(got.size() - ending.size()), ending);
                    break;
                }
                case Sink::file: {
                    EXPECT_TRUE(system_lines().empty());
                    const std::string path = dir.file(c.file);
                    const std::string got = testsupport::read_file(path);
                    ASSERT_GE(got.size(), ending.size());
                    EXPECT_EQ(got.substr(got.size() - ending.size()), ending);
                    struct stat st {};
                    ASSERT_EQ(::stat(path.c_str(), &st), 0);
                    EXPECT_EQ(st.st_mode & 07777, 0644u);
                    // Appends: a later redirect to the same file keeps the first line.
                    framework::redirect_log(target);
                    Syslog::log(4, "second");
                    EXPECT_EQ(lines_of(testsupport::read_file(path)).size(), 2u);
                    break;
                }
            }
            ::close(err_fd);
        });
    }
}

TEST(Syslog, FailedFileWriteSendsThatLineAndLaterOnesToTheSystemLog) {
    in_child([] {
        Syslog::redirect("/dev/full");
        system_lines().clear();
        Syslog::log(4, "first");
        Syslog::log(4, "second");
        const std::vector<std::pair<int, std::string>> want = {{4, "first"}, {4, "second"}};
        EXPECT_EQ(system_lines(), want);
        // A new redirect brings a working file back.
        testsupport::TempDir dir;
        Syslog::redirect(dir.file("ok.log"));
        Syslog::log(4, "third");
        EXPECT_EQ(lines_of(testsupport::read_file(dir.file("ok.log"))).size(), 1u);
        EXPECT_EQ(system_lines().size(), 2u);
    });
}

TEST(Syslog, LinesOfSeveralProcessesStayWholeAndAreNeverDuplicated) {
    in_child([] {
        testsupport::TempDir dir;
        const std::string path = dir.file("shared.log");
        Syslog::redirect(path);
        Syslog::log(4, "before fork");
        // A child that leaves at once must not write the parent's earlier line again.
        const pid_t quick = ::fork();
        ASSERT_GE(quick, 0);
        if (quick == 0) ::_exit(0);
        ::waitpid(quick, nullptr, 0);

        constexpr int kWriters = 4, kLines = 200, kWidth = 3000;
        std::vector<pid_t> writers;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                const std::string body(kWidth, static_cast<char>('a' + w));
                for (int i = 0; i < kLines; ++i) Syslog::log(4, "%d %s", w, body.c_str());
                ::_exit(0);  // no flush needed: every line is already written
            }
            writers.push_back(pid);
        }
        for (const pid_t pid : writers) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const auto lines = lines_of(testsupport::read_file(path));
        ASSERT_EQ(lines.size(), 1u + kWriters * kLines);
        EXPECT_NE(lines[0].find("]: before fork"), std::string::npos);
        int per_writer[kWriters] = {};
        for (size_t i = 1; i < lines.size(); ++i) {
            const size_t at = lines[i].find("]: ");
            ASSERT_NE(at, std::string::npos) << "line " << i;
            const std::string msg = lines[i].substr(at + 3);
            ASSERT_EQ(msg.size(), 2u + kWidth) << "line " << i;
            const int w = msg[0] - '0';
            ASSERT_TRUE(w >= 0 && w < kWriters);
            EXPECT_EQ(msg.substr(2), std::string(kWidth, static_cast<char>('a' + w)));
            ++per_writer[w];
        }
        for (int w = 0; w < kWriters; ++w) EXPECT_EQ(per_writer[w], kLines);
    });
}

// Sockets and files the logger opened, from /proc/self/fd.
std::vector<int> open_descriptors(const std::function<bool(const std::string&)>& match) {
    std::vector<int> fds;
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr) return fds;
    const int own = ::dirfd(d);
    for (dirent* e = ::readdir(d); e != nullptr; e = ::readdir(d)) {
        const int fd = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == own) continue;
        char link[512] = {};
        const std::string p = std::string("/proc/self/fd/") + e->d_name;
        if (::readlink(p.c_str(), link, sizeof(link) - 1) > 0 && match(link)) fds.push_back(fd);
    }
    ::closedir(d);
    return fds;
}

TEST(Syslog, LogFileAndSocketAreCloseOnExec) {
    in_child([] {
        testsupport::TempDir dir;
        const std::string path = dir.file("exec.log");
        Syslog::redirect(path);
        Syslog::log(4, "x");
        const auto files = open_descriptors([&](const std::string& l) { return l == path; });
        ASSERT_EQ(files.size(), 1u);
        EXPECT_NE(::fcntl(files[0], F_GETFD) & FD_CLOEXEC, 0);
        const auto sockets =
            open_descriptors([](const std::string& l) { return l.rfind("socket:", 0) == 0; });
        ASSERT_FALSE(sockets.empty());
        for (const int fd : sockets) EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
    });
}

// Run by the next test in a process started with 0-2 closed: the logger's start-up must
// have put /dev/null on them before making its socket.
TEST(Syslog, StartupProbe) {
    if (std::getenv("TRAVINE_SYSLOG_FD_PROBE") == nullptr) GTEST_SKIP() << "helper only";
    bool ok = true;
    for (int fd = 0; fd <= 2; ++fd) ok = ok && ::fcntl(fd, F_GETFD) != -1;
    const auto sockets =
        open_descriptors([](const std::string& l) { return l.rfind("socket:", 0) == 0; });
    ok = ok && !sockets.empty();
    for (const int fd : sockets) ok = ok && fd > 2;
    ::_exit(ok ? 0 : 3);
}

TEST(Syslog, StandardDescriptorsAreOpenBeforeTheLogSocket) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::setenv("TRAVINE_SYSLOG_FD_PROBE", "1", 1);
        ::close(0);
        ::close(1);
        ::close(2);
        ::execl("/proc/self/exe", "test_common", "--gtest_filter=Syslog.StartupProbe",
                static_cast<char*>(nullptr));
        ::_exit(99);
    }
    int status = 0;
    const bool ended = testsupport::wait_for(
        [&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30s);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
