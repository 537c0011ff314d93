#include "common/json_filter.hpp"

#include <cctype>
#include <cstdio>

#include "common/strings.hpp"

namespace json_tools::filter {

namespace {

bool is_digits(std::string_view text) noexcept {
    if (text.empty()) return false;
    for (char ch : text)
        if (ch < '0' || ch > '9') return false;
    return true;
}

// A member reference: a dot, then a name without "/".
bool is_member_reference(const std::string& text) noexcept {
    return !text.empty() && text.front() == '.' && text.find('/') == std::string::npos;
}

}  // namespace

Node::Node(std::int32_t id, std::string name) : id(id), name(std::move(name)) {}

Node::~Node() = default;

bool Node::iequals(std::string_view a, std::string_view b) noexcept {
    return framework::iequals(a, b);
}

bool Node::add_next(const json& filter, std::string_view declared) {
    const std::string label(declared);
    if (!filter.is_array()) {
        framework::Syslog::log(framework::Syslog::kError, "filter(%d): '%s' is not array", id, label.c_str());
        return false;
    }
    for (const json& element : filter) {
        next.push_back(std::make_unique<Node>(id + 1, label));
        Node& child = *next.back();
        if (!element.is_object()) {
            framework::Syslog::log(framework::Syslog::kError, "filter(%d): '%s' is not object", id, label.c_str());
            return false;
        }
        for (auto member = element.begin(); member != element.end(); ++member) {
            if (member.key() != "filter") {
                if (!child.add_next(member.value(), member.key())) return false;
                continue;
            }
            const json& body = member.value();
            if (!body.is_object()) {
                framework::Syslog::log(framework::Syslog::kError, "filter(%d): '%s' is not object", id, "filter");
                return false;
            }
            for (auto condition = body.begin(); condition != body.end(); ++condition) {
                if (condition.key() == "set") {
                    if (!child.fill(child.assignments, condition.value())) return false;
                    continue;
                }
                auto text = get_string(condition.value());
                if (!text) {
                    framework::Syslog::log(framework::Syslog::kError, "filter(%d): %s: wrong value", id,
                                           condition.key().c_str());
                    return false;
                }
                child.conditions.emplace(condition.key(), std::move(*text));
            }
        }
    }
    return true;
}

bool Node::fill(map& into, const json& object) {
    if (!object.is_object()) {
        framework::Syslog::log(framework::Syslog::kError, "filter(%d): '%s' is not object", id, object.dump().c_str());
        return false;
    }
    for (auto member = object.begin(); member != object.end(); ++member) {
        auto text = get_string(member.value());
        if (!text) {
            framework::Syslog::log(framework::Syslog::kError, "filter(%d): %s: wrong value", id, member.key().c_str());
            return false;
        }
        into.emplace(member.key(), std::move(*text));
    }
    return true;
}

std::optional<std::string> Node::get_string(const json& value) const {
    switch (value.type()) {
        case json::value_t::string:
            return value.get_ref<const json::string_t&>();
        case json::value_t::null:
            return std::string();
        case json::value_t::boolean:
            return std::string(value.get<bool>() ? "true" : "false");
        case json::value_t::number_integer:
            return std::to_string(value.get<std::int64_t>());
        case json::value_t::number_unsigned:
            // Kept unsigned: values above the signed range must not turn negative.
            return std::to_string(value.get<std::uint64_t>());
        case json::value_t::number_float: {
            const double number = value.get<double>();
            const int length = std::snprintf(nullptr, 0, "%f", number);
            if (length < 0) return std::nullopt;
            std::string text(static_cast<std::size_t>(length), '\0');
            std::snprintf(text.data(), text.size() + 1, "%f", number);
            return text;
        }
        default:
            return std::nullopt;  // object, array, binary, discarded
    }
}

bool Node::accepts(json& value, const context_type& context) const {
    for (const auto& [key, expected] : conditions)
        if (!contains(value, key, expected, context)) return false;
    // Assignments already made stay in the document when a later one fails.
    for (const auto& [target, source] : assignments)
        if (!set(value, target, source, context)) return false;
    return true;
}

bool Node::contains(const json& value, const std::string& key, const std::string& expected,
                    const context_type& context) const {
    framework::Syslog::log(framework::Syslog::kDebug5, "filter(%d): %s eq %s", id, key.c_str(), expected.c_str());
    if (!is_member_reference(key)) return false;
    const auto left = get(key, value, context);
    if (!left) return false;
    // Only a member reference is resolved here; a text with "/" is compared literally.
    if (!is_member_reference(expected)) return iequals(*left, expected);
    const auto right = get(expected, value, context);
    return right && iequals(*left, *right);
}

std::optional<std::string> Node::get(const std::string& reference, const json& value,
                                     const context_type& context) const {
    if (reference.empty()) return std::string();
    if (reference.find('/') == std::string::npos) {
        if (reference.front() != '.') return reference;
        return get_string(value.at(reference.substr(1)));
    }

    json::json_pointer pointer = context.pointer;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = reference.find('/', begin);
        const std::string_view piece =
            std::string_view(reference).substr(begin, end == std::string::npos ? end : end - begin);
        if (is_digits(piece)) {
            framework::Syslog::log(framework::Syslog::kError, "filter(%d): indexed path is restricted", id);
            return std::nullopt;
        }
        if (piece == "..") {
            // Leaves the element and, for an array element, the array that holds it.
            const std::string last = pointer.back();  // throws on an empty pointer
            pointer.pop_back();
            if (is_digits(last)) pointer.pop_back();
        } else if (piece != ".") {
            if (!piece.empty() && piece.front() == '.')
                pointer.push_back(std::string(piece.substr(1)));
            else
                pointer.push_back(std::string(piece));
        }
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    if (context.root == nullptr) return std::string();
    // Absent members, scalars on the way and indexes past the end give the empty text.
    return context.root->value(pointer, std::string());
}

bool Node::set(json& value, const std::string& target, const std::string& source,
               const context_type& context) const {
    if (!is_member_reference(target)) {
        framework::Syslog::log(framework::Syslog::kError, "filter(%d): set: invalid '%s' name", id, target.c_str());
        return false;
    }
    auto text = get(source, value, context);
    if (!text) return false;
    framework::Syslog::log(framework::Syslog::kDebug5, "filter(%d): set %s = %s", id, target.c_str(), text->c_str());
    value[target.substr(1)] = std::move(*text);
    return true;
}

}  // namespace json_tools::filter
