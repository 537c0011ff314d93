#include "rules/error-rule.hpp"

Result ErrorRule::get_route(const Request&) const { return error({"route not found"}); }
