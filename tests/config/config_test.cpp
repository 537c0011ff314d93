#include "config/config.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/syslog.hpp"
#include "support/test_support.hpp"

using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

// Sends the process's log lines to a file of the test's own directory and reads them back.
class ConfigTest : public testing::Test {
protected:
    void SetUp() override {
        log_path = dir.file("log");
        framework::Syslog::redirect(log_path);
        framework::Syslog::set_log_level("debug");
        skip = log_messages().size();
    }

    // The messages logged since SetUp, without the file line's prefix.
    std::vector<std::string> log_messages() {
        std::vector<std::string> lines = testsupport::log_file_messages(log_path);
        lines.erase(lines.begin(), lines.begin() + std::min(skip, lines.size()));
        return lines;
    }

    std::vector<std::string> lines_starting(const std::string& prefix) {
        std::vector<std::string> found;
        for (auto& line : log_messages())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

    std::string write(const std::string& name, const std::string& content) {
        return dir.write(name, content);
    }

    testsupport::TempDir dir;
    std::string log_path;
    std::size_t skip = 0;
};

const char* const kMinimal = R"({"type": "ZEB", "mav_root": "/mav"})";

TEST_F(ConfigTest, FileReferencesSelectWhatTheyName) {
    const std::string conf = write("conf.json", R"({"gateway": {"type": "ZEB"}, "a": 1})");
    const json whole = json::parse(testsupport::read_file(conf));
    struct Case {
        std::string suffix;
        json expected;
    } cases[] = {
        {"", whole},
        {":/gateway", json{{"type", "ZEB"}}},
        {":/gateway/type", "ZEB"},
        {":", whole},             // the empty pointer is the whole document
        {":/a:b", whole},         // three parts: the parts after the file name are ignored
        {":/missing", json::object()},
        {":no-slash", json::object()},  // a malformed pointer
    };
    for (const auto& c : cases)
        EXPECT_EQ(Config::read_json_file(conf + c.suffix), c.expected) << c.suffix;
}

TEST_F(ConfigTest, FileReferenceLogLines) {
    const std::string conf = write("conf.json", R"({"a": 1})");
    Config::read_json_file(conf);
    Config::read_json_file(conf + ":/a");
    Config::read_json_file(conf + ":/missing");
    const std::string missing = dir.file("nowhere.json") + ":/a";
    EXPECT_EQ(Config::read_json_file(missing), json::object());
    const std::string empty = write("empty.json", "");
    EXPECT_EQ(Config::read_json_file(empty), json::object());

    const auto lines = lines_starting("config: ");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "config: read file '" + conf + "'");
    EXPECT_EQ(lines[1], "config: read file '" + conf + "' -> /a");
    EXPECT_EQ(lines[2], "config: read file '" + conf + "' -> /missing");
    EXPECT_THAT(lines[3], StartsWith("config: [json.exception.out_of_range"));
    EXPECT_EQ(lines[4], "config: '" + missing + "' not available");
    EXPECT_EQ(lines[5], "config: '" + empty + "' not available");
}

TEST_F(ConfigTest, FileThatIsNotJsonThrowsTheParserError) {
    for (const char* text : {"{", "{} x", "not json", "{\"a\": 1,}"}) {
        const std::string conf = write("bad.json", text);
        EXPECT_THROW(Config::read_json_file(conf), json::parse_error) << text;
    }
    EXPECT_EQ(Config::read_json_file(write("ws.json", " {\"a\": 1} \n\t")), json({{"a", 1}}));
}

TEST_F(ConfigTest, GetJsonResolvesOnlyStrings) {
    const std::string conf = write("filter.json", R"({"f": [1, 2]})");
    EXPECT_EQ(Config::get_json(conf + ":/f"), json({1, 2}));
    EXPECT_EQ(Config::get_json(json{{"inline", true}}), json({{"inline", true}}));
    EXPECT_EQ(Config::get_json(json(5)), json(5));
}

TEST_F(ConfigTest, EmptyDocumentsChangeNothing) {
    Config config;
    ASSERT_TRUE(config.load(write("first.json", R"({"type": "ZEB", "mav_root": "/first"})")));
    const std::string conf = write("c.json", R"({"inner": {}})");
    for (const std::string& path :
         {dir.file("missing.json"), write("empty.json", ""), write("obj.json", "{}"),
          write("arr.json", " [ ] "), conf + ":/inner", conf + ":/missing"}) {
        EXPECT_FALSE(config.load(path)) << path;
        EXPECT_EQ(config.get_mav_root(), "/first") << path;
    }
}

TEST_F(ConfigTest, TopLevelChecksFailInTheirOrder) {
    struct Case {
        const char* doc;
        const char* message;  // the whole text, or a part of the library's text
        bool exact;
    } cases[] = {
        {R"({"type": "", "mav_root": ""})", "config: empty MAV path", true},
        {R"({"mav_root": ""})", "config: empty MAV path", true},
        {R"({"mav_root": "/m"})", "config: empty Gateway type", true},
        {R"({"mav_root": "/m", "type": ""})", "config: empty Gateway type", true},
        {R"({"type": "ZEB"})", "key 'mav_root' not found", false},
        {R"({"type": 5})", "type must be string", false},  // read before "mav_root"
        {R"({"type": "ZEB", "mav_root": 5})", "type must be string", false},
        {R"({"type": "ZEB", "mav_root": "/m", "work_dir": 1})", "type must be string", false},
        {R"({"type": "ZEB", "mav_root": "/m", "pid_file": null})", "type must be string", false},
        {R"({"type": "ZEB", "mav_root": "/m", "log": {"level": 7}})", "type must be string", false},
        {R"("text")", "cannot use value() with string", false},
        {R"([1])", "cannot use value() with array", false},
        {R"(17)", "cannot use value() with number", false},
        {R"({"type": "ZEB", "mav_root": "/m",})", "parse error", false},
    };
    for (const auto& c : cases) {
        Config config;
        ASSERT_TRUE(config.load(write("good.json", kMinimal)));
        try {
            config.load(write("bad.json", c.doc));
            ADD_FAILURE() << "no exception for " << c.doc;
        } catch (const std::exception& e) {
            if (c.exact)
                EXPECT_STREQ(e.what(), c.message) << c.doc;
            else
                EXPECT_THAT(e.what(), HasSubstr(c.message)) << c.doc;
        }
        EXPECT_EQ(config.get_gw_type(), "ZEB") << c.doc;  // the installed settings stay
        EXPECT_EQ(config.get_mav_root(), "/mav") << c.doc;
    }
}

TEST_F(ConfigTest, TopLevelValues) {
    Config config;
    ASSERT_TRUE(config.load(write("c.json", R"({"type": "ZEB", "mav_root": "/MAV/Root"})")));
    EXPECT_EQ(config.get_gw_type(), "ZEB");
    EXPECT_EQ(config.get_mav_root(), "/mav/root");
    EXPECT_EQ(config.get_work_dir(), "");
    EXPECT_EQ(config.get_pid_file(), "/tmp/travine.pid");

    ASSERT_TRUE(config.load(write("d.json", R"({"gateway": {"type": "T2", "mav_root": "/x",
        "work_dir": "/var/w", "pid_file": "/run/t.pid", "unknown": [1]}})") + ":/gateway"));
    EXPECT_EQ(config.get_gw_type(), "T2");
    EXPECT_EQ(config.get_mav_root(), "/x");
    EXPECT_EQ(config.get_work_dir(), "/var/w");
    EXPECT_EQ(config.get_pid_file(), "/run/t.pid");
}

TEST_F(ConfigTest, GettersBeforeTheFirstLoadAnswerEmpty) {
    const Config config;
    EXPECT_EQ(config.get_gw_type(), "");
    EXPECT_EQ(config.get_pid_file(), "");
    EXPECT_EQ(config.get_router(), nullptr);
    EXPECT_EQ(config.get_proxy("proxy"), nullptr);
    EXPECT_TRUE(config.get_proxies().empty());
    EXPECT_EQ(&config.get_server_ssl(), &k_empty_json);
}

TEST_F(ConfigTest, AbsentSectionsAreOff) {
    Config config;
    ASSERT_TRUE(config.load(write("c.json", kMinimal)));
    EXPECT_EQ(config.get_router(), nullptr);
    EXPECT_EQ(config.get_registry(), nullptr);
    EXPECT_EQ(config.get_topology_merger(), nullptr);
    EXPECT_TRUE(config.get_proxies().empty());
    EXPECT_THAT(lines_starting("config: "),
                testing::ElementsAre(StartsWith("config: read file '"), "config: router: is off",
                                     "config: registry: is off",
                                     "config: topology_merger: is off",
                                     "config: proxy: is off"));
}

TEST_F(ConfigTest, PresentSectionsThatFailAreLoggedAndOff) {
    Config config;
    ASSERT_TRUE(config.load(write("c.json", R"({"type": "ZEB", "mav_root": "/m",
        "router": null, "registry": 1, "topology_merger": {}})")));
    EXPECT_EQ(config.get_router(), nullptr);
    EXPECT_EQ(config.get_registry(), nullptr);
    EXPECT_EQ(config.get_topology_merger(), nullptr);
    for (const std::string name : {"router", "registry", "topology_merger"}) {
        const auto lines = lines_starting("config: " + name + ": ");
        ASSERT_EQ(lines.size(), 1u) << name;
        EXPECT_NE(lines[0], "config: " + name + ": is off");
    }
}

TEST_F(ConfigTest, ProxyMembersAreChosenByTheirFirstFiveCharacters) {
    Config config;
    ASSERT_TRUE(config.load(write("c.json", R"({"type": "ZEB", "mav_root": "/m",
        "proxy": {}, "Proxy_A": {}, "PROXY-front": {}, "prox": {}, "xproxy": {},
        "proxy_b": "not an object", "proxy_c": [1]})")));
    // A chosen member either becomes a proxy section or logs why it failed; the others are
    // ignored without a word.
    std::vector<std::string> failed;
    for (auto& line : lines_starting("config: proxy: "))
        if (line != "config: proxy: is off") failed.push_back(line);
    EXPECT_EQ(failed.size() + config.get_proxies().size(), 3u);
    EXPECT_EQ(config.get_proxy("prox"), nullptr);
    EXPECT_EQ(config.get_proxy("proxy_b"), nullptr);
    std::vector<std::string> keys;
    for (const auto& [key, section] : config.get_proxies()) keys.push_back(key);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_EQ(lines_starting("config: proxy: is off").size(), config.get_proxies().empty() ? 1u : 0u);
}

TEST_F(ConfigTest, TlsGetters) {
    struct Case {
        const char* ssl;  // the "ssl" member, or nullptr for none
        json server;
        json client;
        std::size_t error_lines;
    } cases[] = {
        {nullptr, json(), json(), 0},
        {R"({"server": {"cert": "s.pem"}})", json{{"cert", "s.pem"}}, json(), 0},
        {R"({"client": {"verify": false}})", json(), json{{"verify", false}}, 0},
        {R"("text")", json(), json(), 0},  // not a container: silently absent
        {R"([1, 2])", json(), json(), 2},  // "server" is no array index: logged
    };
    for (const auto& c : cases) {
        std::string doc = R"({"type": "ZEB", "mav_root": "/m")";
        if (c.ssl) doc += std::string(R"(, "ssl": )") + c.ssl;
        Config config;
        ASSERT_TRUE(config.load(write("c.json", doc + "}")));
        skip += log_messages().size();
        const json& server = config.get_server_ssl();
        const json& client = config.get_client_ssl();
        EXPECT_EQ(server, c.server) << doc;
        EXPECT_EQ(client, c.client) << doc;
        if (c.server.is_null()) {
            EXPECT_EQ(&server, &k_empty_json) << doc;
        }
        if (c.client.is_null()) {
            EXPECT_EQ(&client, &k_empty_json) << doc;
        }
        const auto lines = log_messages();
        EXPECT_EQ(lines.size(), c.error_lines) << doc;
        if (c.error_lines == 2) {
            EXPECT_THAT(lines[0], StartsWith("ssl/server: "));
            EXPECT_THAT(lines[1], StartsWith("ssl/client: "));
        }
        skip += lines.size();
    }
}

TEST_F(ConfigTest, LogSettingsAreAppliedBeforeTheDocumentIsChecked) {
    const std::string other = dir.file("other.log");
    Config config;
    EXPECT_THROW(config.load(write("c.json", R"({"log": {"redirect": ")" + other +
                                                     R"(", "level": 7}, "mav_root": "/m"})")),
                 json::type_error);
    EXPECT_TRUE(testsupport::file_exists(other));

    // A document that is not an object never reaches the log destination.
    framework::Syslog::redirect(log_path);
    EXPECT_THROW(config.load(write("d.json", R"([{"log": {"redirect": "x.log"}}])")),
                 json::type_error);
    framework::Syslog::log(4, "still here");
    EXPECT_EQ(lines_starting("still here").size(), 1u);
}

TEST_F(ConfigTest, LogLevelIsSetAtEveryLoad) {
    Config config;
    ASSERT_TRUE(config.load(write("c.json", R"({"type": "ZEB", "mav_root": "/m",
        "log": {"level": "debug"}})")));
    EXPECT_EQ(framework::Syslog::get_log_level(), 7);
    ASSERT_TRUE(config.load(write("c.json", kMinimal)));  // no level: back to warnings
    EXPECT_EQ(framework::Syslog::get_log_level(), 4);
}

TEST_F(ConfigTest, ViewsStayValidUntilTheNextLoad) {
    Config config;
    ASSERT_TRUE(config.load(write("a.json", R"({"type": "A", "mav_root": "/a"})")));
    const std::string_view type = config.get_gw_type();
    EXPECT_FALSE(config.load(write("empty.json", "{}")));
    EXPECT_THROW(config.load(write("bad.json", R"({"type": "", "mav_root": "/b"})")),
                 std::runtime_error);
    EXPECT_EQ(type, "A");
    ASSERT_TRUE(config.load(write("b.json", R"({"type": "B", "mav_root": "/b"})")));
    EXPECT_EQ(config.get_gw_type(), "B");
}

}  // namespace
