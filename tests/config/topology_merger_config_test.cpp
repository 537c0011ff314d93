#include "config/topology_merger-config.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/syslog.hpp"
#include "config/config.hpp"
#include "support/test_support.hpp"

namespace {

using nlohmann::json;
using testing::ElementsAre;

// The smallest merger section that loads, with `extra` merged into "topology_merger".
json doc_with(const json& extra = json::object()) {
    json doc = {{"mav_root", "mav"},
                {"topology_merger", {{"listen", "http://127.0.0.1:9800"}, {"filter", json::array()}}}};
    doc["topology_merger"].merge_patch(extra);
    return doc;
}

// merge_patch cannot set a member to null, which some cases need.
json doc_setting(const char* key, json value) {
    json doc = doc_with();
    doc["topology_merger"][key] = std::move(value);
    return doc;
}

json doc_without(const char* key) {
    json doc = doc_with();
    doc["topology_merger"].erase(key);
    return doc;
}

std::string failure_of(const json& doc) {
    try {
        TopologyMergerConfig config(doc);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Sends the process's log lines to a file of the test's own directory and reads the
// warnings back.
class TopologyMergerConfigTest : public testing::Test {
protected:
    void SetUp() override {
        log_path = dir.file("log");
        framework::Syslog::redirect(log_path);
        framework::Syslog::set_log_level("debug");
        skip = messages().size();
    }
    void TearDown() override { framework::Syslog::redirect(""); }

    std::vector<std::string> messages() {
        std::vector<std::string> lines = testsupport::log_file_messages(log_path);
        lines.erase(lines.begin(), lines.begin() + std::min(skip, lines.size()));
        return lines;
    }

    testsupport::TempDir dir;
    std::string log_path;
    std::size_t skip = 0;  // what SetUp itself logged
};

TEST_F(TopologyMergerConfigTest, MinimalSectionTakesTheDefaults) {
    TopologyMergerConfig config(doc_with());
    EXPECT_EQ(config.listen.port, "9800");
    EXPECT_EQ(config.listen.address, "127.0.0.1");
    EXPECT_EQ(config.update_period_in_sec, 5u);
    EXPECT_EQ(config.topology_initial, "");
    EXPECT_EQ(config.topology_cache_current, "");
    EXPECT_EQ(config.topology_cache_previous, "");
    EXPECT_TRUE(config.filter.next.empty());
    EXPECT_TRUE(config.clients.empty());
    EXPECT_THAT(messages(), ElementsAre("NO Topology Client URLS!"));
}

TEST_F(TopologyMergerConfigTest, EveryKeyAsGiven) {
    TopologyMergerConfig config(doc_with({{"update_period_in_sec", 7},
                                          {"topology_initial", "/i.json"},
                                          {"topology_cache_current", "/c.json"},
                                          {"topology_cache_previous", "/p.json"},
                                          {"filter", json::array({json::object()})},
                                          {"clients", {"http://b:1/x", "http://a:1/x"}}}));
    EXPECT_EQ(config.update_period_in_sec, 7u);
    EXPECT_EQ(config.topology_initial, "/i.json");
    EXPECT_EQ(config.topology_cache_current, "/c.json");
    EXPECT_EQ(config.topology_cache_previous, "/p.json");
    EXPECT_EQ(config.filter.next.size(), 1u);
    EXPECT_THAT(config.clients, ElementsAre("http://a:1/x", "http://b:1/x"));
    EXPECT_TRUE(messages().empty());
}

TEST_F(TopologyMergerConfigTest, ClientsInEveryShape) {
    struct Case {
        const char* name;
        json clients;
        std::vector<std::string> expected;
        std::vector<std::string> log;
    } cases[] = {
        {"duplicate", {"http://x:1/", "http://y:1/", "http://x:1/"}, {"http://x:1/", "http://y:1/"},
         {"Client duplicate in TopologyMerger config \"http://x:1/\""}},
        {"single string", "http://x:1/", {"http://x:1/"}, {}},
        {"object values", {{"k2", "http://b:1/"}, {"k1", "http://a:1/"}}, {"http://a:1/", "http://b:1/"}, {}},
        {"null", nullptr, {}, {"NO Topology Client URLS!"}},
        {"empty array", json::array(), {}, {"NO Topology Client URLS!"}},
        // Kept as written: the text is what identifies the client to the arbiter.
        {"case kept", {"HTTP://X:1/", "http://x:1/"}, {"HTTP://X:1/", "http://x:1/"}, {}},
    };
    for (const auto& c : cases) {
        const auto before = messages().size();
        TopologyMergerConfig config(doc_setting("clients", c.clients));
        EXPECT_EQ(std::vector<std::string>(config.clients.begin(), config.clients.end()), c.expected)
            << c.name;
        const auto lines = messages();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + before, lines.end()), c.log) << c.name;
    }
}

TEST(TopologyMergerConfig, PeriodConversions) {
    struct Case {
        json value;
        uint32_t expected;
    } cases[] = {
        {10, 10},
        {0, 0},
        {2.9, 2},
        {-1, 4294967295u},
        {-2.5, 4294967294u},                  // truncated to -2 first
        {4294967296ull + 7, 7},                // the low 32 bits
        {18446744073709551615ull, 4294967295u},
        // Floats beyond the 64-bit range are clamped to it before the cut.
        {1e30, 4294967295u},
        {-1e30, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TopologyMergerConfig(doc_setting("update_period_in_sec", c.value)).update_period_in_sec,
                  c.expected)
            << c.value.dump();
}

struct FailCase {
    const char* name;
    json doc;
    const char* text;  // a part of the exception's text
};

class TopologyMergerConfigFailures : public ::testing::TestWithParam<FailCase> {};

TEST_P(TopologyMergerConfigFailures, FailTheSection) {
    const auto text = failure_of(GetParam().doc);
    ASSERT_FALSE(text.empty()) << "section loaded";
    EXPECT_NE(text.find(GetParam().text), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Sections, TopologyMergerConfigFailures,
    ::testing::Values(
        FailCase{"Absent", {{"mav_root", "mav"}}, "is off"},
        FailCase{"NotAnObject", json::array({1}), "is off"},
        FailCase{"Empty", {{"topology_merger", json::object()}}, "'listen' not found"},
        FailCase{"NoListen", doc_without("listen"), "'listen' not found"},
        FailCase{"ListenNotString", doc_setting("listen", 9800), "type must be string, but is number"},
        FailCase{"NoFilter", doc_without("filter"), "'filter' not found"},
        // Listen is checked before the filter.
        FailCase{"NeitherListenNorFilter",
                 {{"topology_merger", {{"clients", 5}}}}, "'listen' not found"},
        FailCase{"InitialNotString", doc_setting("topology_initial", 1), "type must be string, but is number"},
        FailCase{"CurrentNull", doc_setting("topology_cache_current", nullptr), "type must be string, but is null"},
        FailCase{"PreviousArray", doc_setting("topology_cache_previous", json::array()),
                 "type must be string, but is array"},
        FailCase{"PeriodString", doc_setting("update_period_in_sec", "10"), "type must be number, but is string"},
        FailCase{"PeriodBoolean", doc_setting("update_period_in_sec", true), "type must be number, but is boolean"},
        // Files are checked before the period, the period before the clients.
        FailCase{"FileBeforePeriod",
                 doc_with({{"topology_initial", 1}, {"update_period_in_sec", "x"}}), "but is number"},
        FailCase{"PeriodBeforeClients",
                 doc_with({{"update_period_in_sec", "x"}, {"clients", {1}}}), "type must be number"},
        FailCase{"ClientNumber", doc_setting("clients", json::array({"http://a:1/", 5})),
                 "type must be string, but is number"},
        FailCase{"ClientsNumber", doc_setting("clients", 5), "type must be string, but is number"},
        FailCase{"ClientObjectValue", doc_setting("clients", {{"a", true}}), "type must be string, but is boolean"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TopologyMergerConfig, FilterFromTheDocumentOrAFileReference) {
    testsupport::TempDir dir;
    const json filter = json::array({json::object(), json::object()});

    EXPECT_EQ(TopologyMergerConfig(doc_setting("filter", filter)).filter.next.size(), 2u);

    const auto file = dir.write("filter.json", json({{"f", filter}}).dump());
    EXPECT_EQ(TopologyMergerConfig(doc_setting("filter", file + ":/f")).filter.next.size(), 2u);
    EXPECT_EQ(TopologyMergerConfig(doc_setting("filter", dir.write("whole.json", filter.dump())))
                  .filter.next.size(),
              2u);

    // A missing file resolves to an empty object: the section loads with an empty filter.
    EXPECT_TRUE(TopologyMergerConfig(doc_setting("filter", dir.file("none.json"))).filter.next.empty());

    const auto broken = dir.write("broken.json", "[{");
    EXPECT_THROW(TopologyMergerConfig(doc_setting("filter", broken)), json::parse_error);
}

TEST(TopologyMergerConfig, UnusableListenAddressStillLoads) {
    TopologyMergerConfig config(doc_setting("listen", "not an address"));
    EXPECT_FALSE(config.listen.is_valid());
}

TEST_F(TopologyMergerConfigTest, LoaderKeepsTheSectionOrLogsWhyItIsOff) {
    json doc = doc_with({{"clients", {"http://127.0.0.1:1/"}}});
    doc["type"] = "ZEB";
    Config config;
    ASSERT_TRUE(config.load(dir.write("good.json", doc.dump())));
    const auto section = config.get_topology_merger();
    ASSERT_NE(section, nullptr);
    EXPECT_THAT(section->clients, ElementsAre("http://127.0.0.1:1/"));

    Config bad;
    doc["topology_merger"]["clients"] = {1};
    ASSERT_TRUE(bad.load(dir.write("bad.json", doc.dump())));
    EXPECT_EQ(bad.get_topology_merger(), nullptr);
    std::vector<std::string> lines;
    for (const auto& line : messages())
        if (line.rfind("config: topology_merger: ", 0) == 0) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("type must be string, but is number"), std::string::npos) << lines[0];
}

}  // namespace
