#pragma once
// The registry role's section of the configuration document: the external registry's base
// URL, the callback address on which the role takes change notices, the confgen program and
// the stats file. It also carries the role's synchronisation statistics, a small JSON object
// that survives restarts of the role in the stats file: read on first use, written once when
// the role ends. Built once per load by the Settings constructor and shared by pointer with
// the registry role; apart from the statistics it never changes.
#include <string>

#include <nlohmann/json.hpp>

#include "network/url.hpp"

class RegistryConfig {
public:
    // Builds the section from the whole document. Throws "is off" when the document has no
    // "registry" member, "invalid callback URL" when "/registry/callback_url" does not parse,
    // and the JSON library's error for a missing or mistyped key.
    explicit RegistryConfig(const nlohmann::json& document);
    RegistryConfig(const RegistryConfig&) = delete;
    RegistryConfig& operator=(const RegistryConfig&) = delete;

    // The synchronisation statistics, read from the stats file while they are null, an empty
    // object or an empty array (a missing file gives an empty object and is tried again at the
    // next call; a file that is not JSON throws the parser's error). Takes no lock: the caller
    // keeps other users out while it reads or changes the object.
    nlohmann::json& get_sync_stats() const;
    // Writes the statistics to the stats file, indented by 4 (null when never used). Nothing
    // for an empty path. The file is replaced whole, so a failed write never leaves a torn
    // file behind. Whether the statistics were written.
    bool sync_stats() const;

    std::string url;             // base of every call to the registry
    framework::Url callback_url; // where the role listens and what it announces
    std::string confgen;         // the program run for each deployment unit
    std::string stats;           // the stats file, one plain path for reading and writing
    mutable nlohmann::json statistics;
};
