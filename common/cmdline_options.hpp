#pragma once
// framework::CmdLineOptions: the command line read into a map from an option's long
// name (lower case) to its text, driven by a getopt_long option table.
#include <getopt.h>

#include <map>
#include <string>
#include <string_view>

namespace framework {

class CmdLineOptions {
public:
    // The short-option string for getopt_long: "-", then every value character of the
    // table (":" after one that requires an argument, "::" after an optional one), "--".
    static std::string make_options_fmt(option* table);

    // Reads the whole command line; false at the first problem (an unknown option, a
    // missing argument, any positional word). Prints nothing. The first occurrence of an
    // option wins. Clears the flag pointer of every table entry. A flag option stores
    // "true", an optional argument that was not given the empty text.
    bool parse(int argc, char** argv, option* table);

    // The stored text of `name` (looked up in lower case), or `def` when not given.
    // For bool: false for "false", "no" or "off" in any case, true for any other text.
    template <typename T>
    T get_option(std::string_view name, T def) const;

private:
    const std::string* find(std::string_view name) const;

    std::map<std::string, std::string, std::less<>> options_;
};

template <>
std::string_view CmdLineOptions::get_option<std::string_view>(std::string_view name,
                                                              std::string_view def) const;
template <>
bool CmdLineOptions::get_option<bool>(std::string_view name, bool def) const;

}  // namespace framework
