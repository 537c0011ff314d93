#include "common/cmdline_options.hpp"

#include <cctype>
#include <cstring>

#include "common/strings.hpp"

namespace framework {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string CmdLineOptions::make_options_fmt(option* table) {
    std::string fmt = "-";
    for (const option* o = table; o != nullptr && o->name != nullptr; ++o) {
        if (o->val == 0) continue;
        fmt += static_cast<char>(o->val);
        if (o->has_arg == required_argument) fmt += ':';
        else if (o->has_arg == optional_argument) fmt += "::";
    }
    fmt += "--";
    return fmt;
}

bool CmdLineOptions::parse(int argc, char** argv, option* table) {
    if (argv == nullptr || table == nullptr || argc == 0) return false;
    // A null flag pointer makes getopt_long return the value character of every entry.
    for (option* o = table; o->name != nullptr; ++o) o->flag = nullptr;
    const std::string fmt = make_options_fmt(table);
    opterr = 0;
    optind = 0;  // glibc: start a fresh scan
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, fmt.c_str(), table, &index);
        if (c == -1) return true;
        if (c == '?' || c == ':') return false;
        const option* entry = nullptr;
        if (index >= 0) {
            entry = &table[index];
        } else {
            for (const option* o = table; o->name != nullptr; ++o) {
                if (o->val == c) {
                    entry = o;
                    break;
                }
            }
        }
        if (entry == nullptr) return false;  // a positional word, or '-' from the final "--"
        std::string value;
        if (entry->has_arg == no_argument) value = "true";
        else if (optarg != nullptr) value = optarg;
        options_.try_emplace(lower(entry->name), std::move(value));
    }
}

const std::string* CmdLineOptions::find(std::string_view name) const {
    const auto it = options_.find(lower(name));
    return it == options_.end() ? nullptr : &it->second;
}

template <>
std::string_view CmdLineOptions::get_option<std::string_view>(std::string_view name,
                                                              std::string_view def) const {
    const std::string* value = find(name);
    return value != nullptr ? std::string_view(*value) : def;
}

template <>
bool CmdLineOptions::get_option<bool>(std::string_view name, bool def) const {
    const std::string* value = find(name);
    if (value == nullptr) return def;
    return !(iequals(*value, "false") || iequals(*value, "no") || iequals(*value, "off"));
}

}  // namespace framework
