#include "common/pid_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.hpp"

namespace {

using framework::PidFile;

std::string my_pid() { return std::to_string(::getpid()); }

// Runs `body` in a forked child and gives its exit code (-1 when it did not exit).
template <typename F>
int in_child(F body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(PidFile, LockWritesThePidAndUnlockRemovesTheFile) {
    testsupport::TempDir dir;
    const std::string path = dir.write("travine.pid", "stale text that is longer");
    PidFile pf;
    ASSERT_TRUE(pf.lock(path));
    EXPECT_EQ(pf.path, path);
    EXPECT_EQ(std::string(pf.pid_text), my_pid());
    EXPECT_EQ(testsupport::read_file(path), my_pid());  // no newline, old text gone
    EXPECT_NE(::fcntl(pf.get_fd(), F_GETFD) & FD_CLOEXEC, 0);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);

    ASSERT_TRUE(pf.write("garbage-garbage", 15));
    EXPECT_TRUE(pf.update_pid());
    EXPECT_EQ(testsupport::read_file(path), my_pid());

    pf.unlock();
    EXPECT_FALSE(testsupport::file_exists(path));
    EXPECT_TRUE(pf.path.empty());
    EXPECT_FALSE(pf.is_open());
    pf.unlock();  // a second unlock does nothing
    EXPECT_FALSE(testsupport::file_exists(path));
}

TEST(PidFile, NewFileHasMode0644) {
    testsupport::TempDir dir;
    const std::string path = dir.file("new.pid");
    const mode_t old = ::umask(0);
    PidFile pf;
    const bool locked = pf.lock(path);
    ::umask(old);
    ASSERT_TRUE(locked);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(PidFile, SecondProcessIsRefusedAndReadsTheHoldersPid) {
    testsupport::TempDir dir;
    const std::string path = dir.file("travine.pid");
    PidFile master;
    ASSERT_TRUE(master.lock(path));
    const std::string holder = my_pid();

    // 0: refused with the holder's pid read back and the file unchanged.
    EXPECT_EQ(in_child([&] {
                  PidFile other;
                  if (other.lock(path)) return 1;
                  if (holder != other.pid_text) return 2;
                  if (other.is_open() || !other.path.empty()) return 3;
                  return testsupport::read_file(path) == holder ? 0 : 4;
              }),
              0);
    EXPECT_EQ(testsupport::read_file(path), holder);

    master.unlock();
    // Free again: another process can take it.
    EXPECT_EQ(in_child([&] {
                  PidFile other;
                  if (!other.lock(path)) return 1;
                  return testsupport::read_file(path) == my_pid() ? 0 : 2;
              }),
              0);
}

TEST(PidFile, RefusesSymbolicLinksAndNonRegularFiles) {
    testsupport::TempDir dir;
    const std::string target = dir.write("victim", "precious");
    const std::string link = dir.file("link.pid");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    PidFile pf;
    EXPECT_FALSE(pf.lock(link));
    EXPECT_FALSE(pf.is_open());
    EXPECT_EQ(testsupport::read_file(target), "precious");

    const std::string fifo = dir.file("fifo.pid");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_FALSE(pf.lock(fifo));
    EXPECT_FALSE(pf.is_open());
    EXPECT_TRUE(pf.path.empty());

    EXPECT_FALSE(pf.lock(dir.path()));  // a directory
    EXPECT_FALSE(pf.lock(dir.file("missing/dir/x.pid")));
}

}  // namespace
