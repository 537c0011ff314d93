#include "config/registry-config.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/syslog.hpp"
#include "config/config.hpp"
#include "support/test_support.hpp"

using nlohmann::json;
using testing::HasSubstr;

namespace {

json section_doc(const std::string& stats = "/tmp/none.json") {
    return {{"type", "ZEB"},
            {"mav_root", "/mav"},
            {"registry",
             {{"url", "http://127.0.0.1:9800"},
              {"callback_url", "http://127.0.0.1:9801/notice?gw=1"},
              {"stats", stats},
              {"confgen", "/usr/bin/confgen"}}}};
}

std::string failure_of(const json& doc) {
    try {
        RegistryConfig section(doc);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Log lines go to a file of the test's directory, read back without their prefix.
class RegistryConfigTest : public testing::Test {
protected:
    void SetUp() override {
        log_path = dir.file("log");
        framework::Syslog::redirect(log_path);
        framework::Syslog::set_log_level("debug");
    }
    void TearDown() override { framework::Syslog::redirect(""); }

    std::vector<std::string> log_messages() { return testsupport::log_file_messages(log_path); }

    testsupport::TempDir dir;
    std::string log_path;
};

TEST(RegistryConfig, ReadsItsFourKeys) {
    RegistryConfig section(section_doc("/var/stats.json"));
    EXPECT_EQ(section.url, "http://127.0.0.1:9800");
    EXPECT_EQ(section.callback_url.text, "http://127.0.0.1:9801/notice?gw=1");
    EXPECT_EQ(section.callback_url.address, "127.0.0.1");
    EXPECT_EQ(section.callback_url.port, "9801");
    EXPECT_EQ(section.callback_url.path, "/notice?gw=1");
    EXPECT_EQ(section.stats, "/var/stats.json");
    EXPECT_EQ(section.confgen, "/usr/bin/confgen");
    EXPECT_TRUE(section.statistics.is_null());
}

TEST(RegistryConfig, FailuresNameTheirCause) {
    struct Case {
        const char* what;
        json patch;  // merged into "/registry"; a null member removes the key
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"no url", {{"url", nullptr}}, "key 'url' not found"},
        {"no callback", {{"callback_url", nullptr}}, "key 'callback_url' not found"},
        {"no stats", {{"stats", nullptr}}, "key 'stats' not found"},
        {"no confgen", {{"confgen", nullptr}}, "key 'confgen' not found"},
        {"url not a string", {{"url", 5}}, "type must be string, but is number"},
        {"confgen not a string", {{"confgen", json::array()}}, "type must be string, but is array"},
        {"callback without scheme", {{"callback_url", "127.0.0.1:9801/x"}}, "invalid callback URL"},
        {"callback with port 0", {{"callback_url", "http://127.0.0.1:0/x"}}, "invalid callback URL"},
        {"callback not a string", {{"callback_url", true}}, "type must be string, but is boolean"},
    };
    for (const auto& c : cases) {
        json doc = section_doc();
        doc["registry"].merge_patch(c.patch);
        EXPECT_THAT(failure_of(doc), HasSubstr(c.expected)) << c.what;
    }

    json off = section_doc();
    off.erase("registry");
    EXPECT_EQ(failure_of(off), "is off");
    // A member that is present is a section, whatever its value: it fails on its keys.
    EXPECT_NE(failure_of({{"registry", 1}}), "");
    EXPECT_NE(failure_of({{"registry", 1}}), "is off");
}

TEST_F(RegistryConfigTest, MissingStatsFileGivesAnEmptyObjectUntilItHoldsMembers) {
    const std::string path = dir.file("stats.json");
    RegistryConfig section(section_doc(path));
    EXPECT_EQ(section.get_sync_stats(), json::object());
    EXPECT_THAT(log_messages(), testing::Contains("config: '" + path + "' not available"));

    // Still empty: the file is read again, and now it is there.
    dir.write("stats.json", R"({"uuid": "u-1", "other": [1, 2]})");
    EXPECT_EQ(section.get_sync_stats()["uuid"], "u-1");
    // Holding members, it is not read again.
    dir.write("stats.json", R"({"uuid": "u-2"})");
    EXPECT_EQ(section.get_sync_stats()["uuid"], "u-1");
}

TEST_F(RegistryConfigTest, WritesTheStatisticsIndentedAndKeepsOtherMembers) {
    const std::string path = dir.file("stats.json");
    {
        RegistryConfig section(section_doc(path));
        auto& stats = section.get_sync_stats();
        stats["uuid"] = "u-7";
        stats["sync_time"] = 1700000000123;
        EXPECT_TRUE(section.sync_stats());
    }
    EXPECT_EQ(testsupport::read_file(path), "{\n    \"sync_time\": 1700000000123,\n    \"uuid\": \"u-7\"\n}");
    EXPECT_FALSE(testsupport::file_exists(path + ".tmp"));

    dir.write("stats.json", R"({"keep": {"a": 1}, "uuid": "old"})");
    RegistryConfig section(section_doc(path));
    section.get_sync_stats()["uuid"] = "new";
    EXPECT_TRUE(section.sync_stats());
    EXPECT_EQ(json::parse(testsupport::read_file(path)), json({{"keep", {{"a", 1}}}, {"uuid", "new"}}));
}

TEST_F(RegistryConfigTest, UnusedStatisticsAreWrittenAsNull) {
    const std::string path = dir.file("stats.json");
    RegistryConfig section(section_doc(path));
    EXPECT_TRUE(section.sync_stats());
    EXPECT_EQ(testsupport::read_file(path), "null");
}

TEST_F(RegistryConfigTest, MalformedStatsFileThrowsTheParserError) {
    const std::string path = dir.write("stats.json", "{\"uuid\": ");
    RegistryConfig section(section_doc(path));
    EXPECT_THROW(section.get_sync_stats(), json::parse_error);
}

// A path with a colon is one file name: what is written is read back by the next role.
TEST_F(RegistryConfigTest, StatsPathWithAColonIsReadWhereItIsWritten) {
    const std::string path = dir.file("stats:/uuid");
    ::mkdir(dir.file("stats:").c_str(), 0755);
    {
        RegistryConfig section(section_doc(path));
        section.get_sync_stats()["uuid"] = "u-9";
        ASSERT_TRUE(section.sync_stats());
    }
    RegistryConfig next(section_doc(path));
    EXPECT_EQ(next.get_sync_stats(), json({{"uuid", "u-9"}}));
}

TEST_F(RegistryConfigTest, WritesThatCannotSucceedLeaveNothingBehind) {
    RegistryConfig no_path(section_doc(""));
    no_path.get_sync_stats()["uuid"] = "x";
    EXPECT_FALSE(no_path.sync_stats());

    RegistryConfig no_dir(section_doc(dir.file("missing/stats.json")));
    no_dir.get_sync_stats()["uuid"] = "x";
    EXPECT_FALSE(no_dir.sync_stats());

    // A directory in the way: the temporary file is not left behind, the directory stays.
    ::mkdir(dir.file("taken").c_str(), 0755);
    RegistryConfig taken(section_doc(dir.file("taken")));
    taken.get_sync_stats()["uuid"] = "x";
    EXPECT_FALSE(taken.sync_stats());
    EXPECT_FALSE(testsupport::file_exists(dir.file("taken.tmp")));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("taken").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(RegistryConfigTest, FailedSectionLeavesOnlyTheRegistryOff) {
    json doc = section_doc();
    doc["registry"].erase("confgen");
    Config config;
    ASSERT_TRUE(config.load(dir.write("c.json", doc.dump())));
    EXPECT_EQ(config.get_registry(), nullptr);
    EXPECT_EQ(config.get_mav_root(), "/mav");
    EXPECT_THAT(log_messages(),
                testing::Contains("config: registry: [json.exception.out_of_range.403] key 'confgen' not found"));

    ASSERT_TRUE(config.load(dir.write("c.json", section_doc().dump())));
    ASSERT_NE(config.get_registry(), nullptr);
    EXPECT_EQ(config.get_registry()->confgen, "/usr/bin/confgen");
}

}  // namespace
