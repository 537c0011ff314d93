#pragma once
// One routing rule of the router's chain, and what every rule shares: its own settings from
// the router section, the two outcome counters, the header-field helpers, the builder of its
// answer and its statistics. Rule objects are shared by every connection and every thread of
// the router; get_route is const and runs concurrently.
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/status.hpp>
#include <nlohmann/json.hpp>

#include "rules/result.hpp"

class TopologyData;

// What the router gives its rules. The router implements it; tests implement it with a
// fixed snapshot.
class RuleOwner {
public:
    virtual ~RuleOwner() = default;
    // The current topology snapshot, null before the first successful poll. A rule holds
    // the pointer for the whole of one call.
    virtual std::shared_ptr<TopologyData> get_topology() const = 0;
    // The stored settings of the rule `name` (RouterConfig::get_rule_config); the reference
    // must stay valid for as long as the owner lives.
    virtual const nlohmann::json& get_rule_config(std::string_view name) const = 0;
    // The platform root, lowercased; rules copy it when they are built.
    virtual std::string_view get_mav_root() const = 0;
};

class Rule {
public:
    // The part of one routing request that a rule examines, as the router's connection has
    // it: no copy is made. `fields` are the request's header fields after headers_fixup;
    // `target` is the request target as received (path and query); `name` is the
    // connection's name, which begins every log line about the request.
    struct Request {
        std::string_view name;
        const boost::beast::http::fields& fields;
        std::string_view target;
    };

    // `name` is the rule's get_name(): its settings are looked up once, here, and kept for
    // the rule's life (the configuration never changes in a role process).
    Rule(const RuleOwner& owner, std::string_view name);
    virtual ~Rule() = default;
    Rule(const Rule&) = delete;
    Rule& operator=(const Rule&) = delete;

    // True only when the settings hold "enabled": true. Never throws.
    virtual bool is_enabled() const;
    // The rule's outcome for one request. Exceptions are left to the chain driver, which
    // logs them and asks the next rule.
    virtual Result get_route(const Request& request) const = 0;
    // The rule's name, also the key of its settings in the router section.
    virtual std::string_view get_name() const = 0;
    // Adds rule-specific members to get_stats(); the base adds nothing.
    virtual void get_addi_stats(nlohmann::json& stats) const {}

    // The string member `key` (exact bytes) of the settings' "routing" object, as a view into
    // the settings; nothing when any part of the way is missing or has another type.
    std::optional<std::string_view> find_path(std::string_view key) const;
    // True when the request has exactly one field `name` (case ignored); then its value is
    // logged at level 6.
    bool has_single_header(std::string_view name, const Request& request) const;
    // The value of the first field `name` (case ignored), or an empty view.
    static std::string_view get_header(const boost::beast::http::fields& fields,
                                       std::string_view name);

    // Renames every field whose name holds '_' to the same name with '-' instead; fields
    // spelled like the old name apart from case go, only the first one's value stays.
    static void headers_fixup(boost::beast::http::fields& fields);

    // Builds a Route or Error outcome of this rule: the body gets "rule" and, for Route,
    // "alias" (the node alias of `text`, the node path); counts it in success or failed.
    Result _(Result::Type type, std::string_view text, boost::beast::http::status status) const;

    // {"name", "config", "success", "failed"} and whatever get_addi_stats adds.
    nlohmann::json get_stats() const;

    // The answer body of a Route or Error outcome, compact. Bytes that are not UTF-8 (a
    // header value echoed into an error, a raw target) are replaced instead of failing
    // the answer, so the client still gets the rule's answer.
    static std::string dump_answer(const Result& result);

protected:
    // The snapshot of this call, or null.
    std::shared_ptr<TopologyData> get_topology() const { return owner.get_topology(); }
    const nlohmann::json& get_config() const { return config; }
    std::string_view get_mav_root() const { return mav_root; }
    // Step 5 of every rule: the Route outcome for `path` with "url" set.
    Result route(std::string_view path, std::string_view url) const;
    // The Error outcome whose text is `pieces` joined.
    Result error(std::initializer_list<std::string_view> pieces,
                 boost::beast::http::status status = boost::beast::http::status::not_found) const;
    // The level-3 and level-11 lines of a rule: "<connection>: <rule>: <text>".
    void log_rule(int level, const Request& request, std::string_view text) const;

public:
    mutable std::atomic<uint64_t> success{0};
    mutable std::atomic<uint64_t> failed{0};

private:
    const RuleOwner& owner;
    const nlohmann::json& config;
    const std::string mav_root;
    const bool enabled;
};
