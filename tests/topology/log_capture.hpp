#pragma once
// Runs a piece of code in a forked child whose standard error goes to a file, and returns
// what the logger wrote there. The logger is process-wide, so the parent's is left alone.
#include <functional>
#include <string>

#include "common/syslog.hpp"
#include "support/fork_child.hpp"
#include "support/test_support.hpp"

namespace topology_test {

inline std::string capture_log(const std::function<void()>& body) {
    testsupport::TempDir dir;
    const std::string path = dir.file("log");
    const auto status = testsupport::run_in_child([&] {
        if (!testsupport::redirect_standard_streams("", path)) return 2;
        framework::Syslog::redirect("");  // lines to standard error
        body();
        return 0;
    });
    if (!testsupport::child_ok(status)) return "<child failed>";
    return testsupport::read_file(path);
}

inline size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++n;
    return n;
}

}  // namespace topology_test
