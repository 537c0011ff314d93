#pragma once
// One node of the topology: a backend node named by a dotted path, with its parent cluster,
// its reserve node, mode, type, weight in its cluster's hash ring and the source's time stamp.
// Contours are made from JSON only (the filter walk builds them) and copied by every holder.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

class Contour {
public:
    enum Mode : uint32_t {
        NORMAL = 1,
        ACTIVE_STANDIN = 2,
        REPAIR = 3,
        INERT = 4,
        INERT_PERCENT = 5,
        PASSIVE_ACTIVE = 6,
        PASSIVE_STANDIN = 7,
        PASSIVE_REPAIR = 8,
    };
    enum Type : uint32_t {
        ACTIVE = 1,
        PASSIVE = 2,
    };

    template <typename T>
    struct Row {
        T value;
        std::string_view name;
    };
    // Searched in this order when a name is read; a name in no row reads as 0 ("UNKNOWN").
    static constexpr std::array<Row<Mode>, 8> kModes{{
        {NORMAL, "NORMAL"},
        {REPAIR, "REPAIR"},
        {INERT, "INERT"},
        {INERT_PERCENT, "INERT_PERCENT"},
        {PASSIVE_ACTIVE, "PASSIVE_ACTIVE"},
        {PASSIVE_STANDIN, "PASSIVE_STANDIN"},
        {ACTIVE_STANDIN, "ACTIVE_STANDIN"},
        {PASSIVE_REPAIR, "PASSIVE_REPAIR"},
    }};
    static constexpr std::array<Row<Type>, 2> kTypes{{
        {ACTIVE, "ACTIVE"},
        {PASSIVE, "PASSIVE"},
    }};

    Contour() = default;
    // Reads an object whose values are all strings. "path", "weight", "type" and "mode" are
    // required: a missing one or one that is not a string throws the JSON library's error
    // (checked in that order). "parent", "slave" and "timestamp" are optional. Paths are
    // lowercased.
    explicit Contour(const nlohmann::json& element);

    // The written form: weight and time stamp as numbers, the time stamp null when 0,
    // names "UNKNOWN" for values outside the tables.
    nlohmann::json to_json() const;

    // "path=\"...\", timestamp=N, mode =NAME " for log lines, at most 1023 characters.
    static std::string make_log_str(const Contour& c);

    static std::string_view mode_name(uint32_t mode);
    static std::string_view type_name(uint32_t type);

    // The node alias: the part of `path` that follows `root` and a dot, as a view into
    // `path`; empty (and logged at level 6) when `path` does not begin that way or nothing
    // follows the dot. The topology indexes contours by it and the rules answer with it.
    static std::string_view alias_of(std::string_view root, std::string_view path);

    std::string path;
    std::string parent;
    std::string slave;
    Mode mode = Mode{0};
    Type type = Type{0};
    uint16_t weight = 0;
    uint64_t timestamp = 0;
};
