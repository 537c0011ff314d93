#include "common/pipe.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.hpp"

namespace {

TEST(Pipe, CarriesDataFromWriteEndToReadEnd) {
    framework::Pipe p;
    ASSERT_TRUE(p.create());
    ASSERT_TRUE(p.write_end.write("ping", 4));
    char buf[8] = {};
    EXPECT_EQ(p.read_end.read(buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "ping");
    // Blocking ends.
    EXPECT_EQ(::fcntl(p.read_end.get_fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(::fcntl(p.write_end.get_fd(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(Pipe, CreateAgainReplacesBothEnds) {
    framework::Pipe p;
    ASSERT_TRUE(p.create());
    ASSERT_TRUE(p.write_end.write("old", 3));
    ASSERT_TRUE(p.create());
    // The old ends are closed, the new pipe is empty: its writer closed gives EOF.
    p.write_end.close();
    char buf[4];
    EXPECT_EQ(p.read_end.read(buf, sizeof(buf)), 0);
}

// A program run by exec sees only the ends dup2()ed onto its standard streams.
TEST(Pipe, EndsAreNotInheritedAcrossExec) {
    framework::Pipe out, other;
    ASSERT_TRUE(out.create());
    ASSERT_TRUE(other.create());
    EXPECT_NE(::fcntl(other.read_end.get_fd(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(::fcntl(other.write_end.get_fd(), F_GETFD) & FD_CLOEXEC, 0);

    const std::string probe = "for fd in " + std::to_string(other.read_end.get_fd()) + " " +
                              std::to_string(other.write_end.get_fd()) + " " +
                              std::to_string(out.read_end.get_fd()) +
                              "; do if [ -e /proc/self/fd/$fd ]; then echo leak$fd; fi; done;"
                              " echo done";
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out.write_end.get_fd(), 1);
        ::execl("/bin/sh", "sh", "-c", probe.c_str(), static_cast<char*>(nullptr));
        ::_exit(99);
    }
    out.write_end.close();
    std::string got;
    char buf[256];
    for (int i = 0; i < 100; ++i) {
        const ssize_t n = out.read_end.read(buf, sizeof(buf));
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(got, "done\n");
}

}  // namespace
