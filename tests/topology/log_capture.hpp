#pragma once
// Runs a piece of code in a forked child whose standard error goes to a file, and returns
// what the logger wrote there. The logger is process-wide, so the parent's is left alone.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "common/syslog.hpp"
#include "support/test_support.hpp"

namespace topology_test {

inline std::string capture_log(const std::function<void()>& body) {
    testsupport::TempDir dir;
    const std::string path = dir.file("log");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) ::_exit(2);
        ::dup2(fd, 2);
        ::close(fd);
        framework::Syslog::redirect("");  // lines to standard error
        body();
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
    return testsupport::read_file(path);
}

inline size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++n;
    return n;
}

}  // namespace topology_test
