#include "topology/contour.hpp"

#include <gtest/gtest.h>

namespace {

using nlohmann::json;

json base() {
    return json{{"path", "Root.A"}, {"weight", "10"}, {"type", "active"}, {"mode", "Normal"}};
}

json with(json j, const char* key, json value) {
    j[key] = std::move(value);
    return j;
}

struct ReadCase {
    const char* name;
    json element;
    std::string path, parent, slave;
    uint32_t mode, type;
    uint16_t weight;
    uint64_t timestamp;
};

class ContourRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ContourRead, Reads) {
    const auto& c = GetParam();
    Contour contour(c.element);
    EXPECT_EQ(contour.path, c.path);
    EXPECT_EQ(contour.parent, c.parent);
    EXPECT_EQ(contour.slave, c.slave);
    EXPECT_EQ(contour.mode, c.mode);
    EXPECT_EQ(contour.type, c.type);
    EXPECT_EQ(contour.weight, c.weight);
    EXPECT_EQ(contour.timestamp, c.timestamp);
}

INSTANTIATE_TEST_SUITE_P(
    Contour, ContourRead,
    ::testing::Values(
        ReadCase{"Minimal", base(), "root.a", "", "", 1, 1, 10, 0},
        ReadCase{"Full",
                 json{{"path", "P.X"}, {"weight", " 7abc"}, {"type", "PaSsIvE"},
                      {"mode", "passive_repair"}, {"parent", "P.Cluster"}, {"slave", "P.Y"},
                      {"timestamp", "1700000000"}},
                 "p.x", "p.cluster", "p.y", 8, 2, 7, 1700000000},
        ReadCase{"EmptyWeight", with(base(), "weight", ""), "root.a", "", "", 1, 1, 0, 0},
        ReadCase{"WeightTruncated", with(base(), "weight", "70000"), "root.a", "", "", 1, 1,
                 4464, 0},
        ReadCase{"WeightMinusOne", with(base(), "weight", "-1"), "root.a", "", "", 1, 1, 65535,
                 0},
        ReadCase{"RepairLower", with(base(), "mode", "repair"), "root.a", "", "", 3, 1, 10, 0},
        ReadCase{"ActiveStandinIsTwo", with(base(), "mode", "ACTIVE_STANDIN"), "root.a", "", "",
                 2, 1, 10, 0},
        ReadCase{"ModeRepairs", with(base(), "mode", "REPAIRS"), "root.a", "", "", 0, 1, 10, 0},
        ReadCase{"ModeEmpty", with(base(), "mode", ""), "root.a", "", "", 0, 1, 10, 0},
        ReadCase{"TypeUnknown", with(base(), "type", "other"), "root.a", "", "", 1, 0, 10, 0},
        ReadCase{"TimestampDigits", with(base(), "timestamp", "12345"), "root.a", "", "", 1, 1,
                 10, 12345},
        ReadCase{"TimestampDigitsThenLetters", with(base(), "timestamp", "12x"), "root.a", "",
                 "", 1, 1, 10, 12},
        ReadCase{"TimestampLetters", with(base(), "timestamp", "abc"), "root.a", "", "", 1, 1,
                 10, 0},
        ReadCase{"TimestampEmpty", with(base(), "timestamp", ""), "root.a", "", "", 1, 1, 10, 0},
        ReadCase{"TimestampNumberIsMissing", with(base(), "timestamp", 12345), "root.a", "", "",
                 1, 1, 10, 0},
        // A negative text must not wrap to a huge value that wins every arbitration.
        ReadCase{"TimestampNegative", with(base(), "timestamp", "-5"), "root.a", "", "", 1, 1,
                 10, 0},
        ReadCase{"TimestampNegativeAfterBlanks", with(base(), "timestamp", "  -1"), "root.a", "",
                 "", 1, 1, 10, 0},
        ReadCase{"ParentNull", with(base(), "parent", nullptr), "root.a", "", "", 1, 1, 10, 0},
        ReadCase{"SlaveNumber", with(base(), "slave", 3), "root.a", "", "", 1, 1, 10, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Contour, RequiredMembersThrowInOrder) {
    struct Case {
        json element;
        const char* message_part;
    };
    json no_path = base();
    no_path.erase("path");
    json no_mode = base();
    no_mode.erase("mode");
    const Case cases[] = {
        {json::array(), "cannot use at() with array"},
        {json("text"), "cannot use at() with string"},
        {no_path, "key 'path' not found"},
        {no_mode, "key 'mode' not found"},
        {with(base(), "weight", 10), "type must be string, but is number"},
        {with(base(), "path", nullptr), "type must be string, but is null"},
        // "weight" is checked before "type".
        {with(with(base(), "type", 1), "weight", true), "type must be string, but is boolean"},
        {with(base(), "mode", json::object()), "type must be string, but is object"},
    };
    for (const auto& c : cases) {
        try {
            Contour contour(c.element);
            ADD_FAILURE() << "no throw for " << c.element.dump();
        } catch (const json::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos)
                << e.what();
        }
    }
}

TEST(Contour, WritesNumbersAndNull) {
    Contour c(json{{"path", "P.A"}, {"weight", "10"}, {"type", "passive"}, {"mode", "repair"},
                   {"parent", "P.C"}, {"timestamp", "42"}});
    EXPECT_EQ(c.to_json().dump(),
              R"({"mode":"REPAIR","parent":"p.c","path":"p.a","slave":"","timestamp":42,)"
              R"("type":"PASSIVE","weight":10})");

    Contour unknown;
    unknown.path = "x";
    unknown.mode = Contour::Mode{9};
    unknown.type = Contour::Type{3};
    auto j = unknown.to_json();
    EXPECT_TRUE(j["timestamp"].is_null());
    EXPECT_EQ(j["mode"], "UNKNOWN");
    EXPECT_EQ(j["type"], "UNKNOWN");
    EXPECT_EQ(j["weight"], 0u);
    EXPECT_TRUE(j["weight"].is_number_unsigned());
    EXPECT_EQ(j.size(), 7u);
    // The written form is not the read form: a numeric weight is refused.
    EXPECT_THROW(Contour{c.to_json()}, json::type_error);
}

TEST(Contour, EveryModeNameRoundTrips) {
    for (const auto& row : Contour::kModes) {
        Contour c(with(base(), "mode", std::string(row.name)));
        EXPECT_EQ(c.mode, row.value);
        EXPECT_EQ(c.to_json()["mode"], std::string(row.name));
    }
}

TEST(Contour, LogText) {
    Contour c;
    c.path = "p.a";
    c.timestamp = 77;
    struct Case {
        uint32_t mode;
        const char* text;
    };
    const Case cases[] = {
        {3, "path=\"p.a\", timestamp=77, mode =REPAIR "},
        {1, "path=\"p.a\", timestamp=77, mode =NORMAL "},
        {0, "path=\"p.a\", timestamp=77, mode =UNKNOWN "},
        {9, "path=\"p.a\", timestamp=77, mode =UNKNOWN "},
    };
    for (const auto& k : cases) {
        c.mode = Contour::Mode{k.mode};
        EXPECT_EQ(Contour::make_log_str(c), k.text);
    }
    c.path.assign(5000, 'x');
    EXPECT_EQ(Contour::make_log_str(c).size(), 1023u);
}

}  // namespace
