#pragma once
// One topology snapshot and one fake router for every rule test.
#include <initializer_list>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/beast/http/fields.hpp>
#include <nlohmann/json.hpp>

#include "rules/compatibility-19-4-rule.hpp"
#include "rules/error-rule.hpp"
#include "rules/rule.hpp"
#include "rules/vex-force-node-rule.hpp"
#include "rules/vex-go-node-rule.hpp"
#include "rules/vex-operation-id-rule.hpp"
#include "rules/vex-route-rule.hpp"
#include "rules/vex-tenant-rule.hpp"
#include "rules/zeb-host-rule.hpp"
#include "rules/zeb-node-alias-rule.hpp"
#include "topology/topology-data-info.hpp"

namespace rules_test {

inline Contour contour(std::string path, Contour::Mode mode, std::string parent = {},
                       uint16_t weight = 0, std::string slave = {}) {
    Contour c;
    c.path = std::move(path);
    c.parent = std::move(parent);
    c.slave = std::move(slave);
    c.mode = mode;
    c.type = Contour::ACTIVE;
    c.weight = weight;
    return c;
}

// Root "mav". Nodes in NORMAL and REPAIR, reserve nodes present and missing, a cluster of
// one node ("mav.c1"), one of two ("mav.c2") and one that cannot be hashed ("mav.c0").
inline std::shared_ptr<TopologyData> make_snapshot() {
    std::list<Contour> list{
        contour("mav.a.b", Contour::NORMAL),
        contour("mav.rep", Contour::REPAIR, {}, 0, "mav.rep.r"),
        contour("mav.rep.r", Contour::NORMAL),
        contour("mav.rep2", Contour::REPAIR, {}, 0, "mav.rep"),  // reserve in REPAIR too
        contour("mav.lost", Contour::REPAIR, {}, 0, "mav.gone"),  // reserve missing
        contour("mav.bare", Contour::REPAIR),                      // no reserve at all
        contour("mav.n1", Contour::NORMAL, "mav.c1", 10),
        contour("mav.n2", Contour::NORMAL, "mav.c2", 10),
        contour("mav.n3", Contour::NORMAL, "mav.c2", 10),
        contour("mav.n0", Contour::NORMAL, "mav.c0", 0),
        contour("other.x", Contour::NORMAL),  // outside the platform root: no alias
    };
    return std::make_shared<TopologyDataInfo>(std::move(list), std::string("mav"));
}

class FakeOwner : public RuleOwner {
public:
    std::shared_ptr<TopologyData> get_topology() const override { return topology; }
    const nlohmann::json& get_rule_config(std::string_view name) const override {
        static const nlohmann::json empty = nlohmann::json::object();
        auto it = rules.find(name);
        return it == rules.end() ? empty : *it;
    }
    std::string_view get_mav_root() const override { return root; }

    std::shared_ptr<TopologyData> topology;
    nlohmann::json rules = nlohmann::json::object();
    std::string root = "mav";
};

// Every rule of the chain, in chain order.
inline std::vector<std::unique_ptr<Rule>> make_chain(const RuleOwner& owner) {
    std::vector<std::unique_ptr<Rule>> chain;
    chain.push_back(std::make_unique<VexForceNodeRule>(owner));
    chain.push_back(std::make_unique<VexGoNodeRule>(owner));
    chain.push_back(std::make_unique<VexOperationIdRule>(owner));
    chain.push_back(std::make_unique<VexRouteRule>(owner));
    chain.push_back(std::make_unique<ZebHostRule>(owner));
    chain.push_back(std::make_unique<ZebNodeAliasRule>(owner));
    chain.push_back(std::make_unique<VexTenantRule>(owner));
    chain.push_back(std::make_unique<Compatibility194Rule>(owner));
    chain.push_back(std::make_unique<ErrorRule>(owner));
    return chain;
}

inline std::unique_ptr<Rule> make_rule(std::string_view name, const RuleOwner& owner) {
    for (auto& r : make_chain(owner))
        if (r->get_name() == name) return std::move(r);
    return nullptr;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

inline boost::beast::http::fields make_fields(const Fields& list) {
    boost::beast::http::fields f;
    for (const auto& [n, v] : list) f.insert(n, v);
    return f;
}

}  // namespace rules_test
