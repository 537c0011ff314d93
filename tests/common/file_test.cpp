#include "common/file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/pipe.hpp"
#include "support/test_support.hpp"

namespace {

using framework::File;

bool is_cloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(File, ClosedFileFailsEverythingWithoutTouchingTheSystem) {
    File f;
    char buf[4] = "xyz";
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(f.read(buf, 3), 0);
    EXPECT_EQ(f.fgets(buf, 3), 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_FALSE(f.write("a", 1));
    EXPECT_FALSE(f.seek(0, SEEK_SET));
    EXPECT_FALSE(f.lock(LOCK_EX));
    EXPECT_FALSE(f.truncate(0));
    EXPECT_EQ(f.get_size(), -1);
    EXPECT_FALSE(f.mmap(PROT_READ, MAP_PRIVATE).has_value());
    EXPECT_FALSE(File::unlink(""));
    f.close();  // nothing to do
}

TEST(File, OpenTwiceKeepsTheFirstDescriptorAndIsCloseOnExec) {
    testsupport::TempDir dir;
    const std::string a = dir.write("a", "A");
    const std::string b = dir.write("b", "B");
    File f;
    EXPECT_FALSE(f.open("", O_RDONLY, 0644));
    ASSERT_TRUE(f.open(a, O_RDONLY, 0644));
    const int fd = f.get_fd();
    EXPECT_TRUE(is_cloexec(fd));
    EXPECT_FALSE(f.open(b, O_RDONLY, 0644));
    EXPECT_EQ(f.get_fd(), fd);
    char c = 0;
    EXPECT_EQ(f.read(&c, 1), 1);
    EXPECT_EQ(c, 'A');
    EXPECT_FALSE(f.dup(2));
    f.close();
    EXPECT_EQ(f.get_fd(), -1);
    EXPECT_TRUE(f.open(b, O_RDONLY, 0644));  // usable again after close
}

TEST(File, DupIsCloseOnExec) {
    File f;
    ASSERT_TRUE(f.dup(2));
    EXPECT_NE(f.get_fd(), 2);
    EXPECT_TRUE(is_cloexec(f.get_fd()));
}

TEST(File, MoveAssignmentExchangesDescriptors) {
    testsupport::TempDir dir;
    File a, b;
    ASSERT_TRUE(a.open(dir.write("a", "1"), O_RDONLY, 0644));
    ASSERT_TRUE(b.open(dir.write("b", "22"), O_RDONLY, 0644));
    const int fa = a.get_fd(), fb = b.get_fd();
    a = std::move(b);
    EXPECT_EQ(a.get_fd(), fb);
    EXPECT_EQ(b.get_fd(), fa);  // b now closes what a held
    File c(std::move(a));
    EXPECT_EQ(c.get_fd(), fb);
    EXPECT_FALSE(a.is_open());
    EXPECT_EQ(c.get_size(), 2);
}

TEST(File, MapsTheWholeFileAndNotAnEmptyOne) {
    testsupport::TempDir dir;
    File empty;
    ASSERT_TRUE(empty.open(dir.write("empty", ""), O_RDONLY, 0644));
    EXPECT_FALSE(empty.mmap(PROT_READ, MAP_PRIVATE).has_value());

    File ten;
    ASSERT_TRUE(ten.open(dir.write("ten", "0123456789"), O_RDONLY, 0644));
    auto view = ten.mmap(PROT_READ, MAP_PRIVATE);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(*view, "0123456789");
    auto again = ten.mmap(PROT_READ, MAP_PRIVATE);  // replaces the first mapping
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, "0123456789");
    ten.close();
}

TEST(File, MapFileGivesTheTextOrWhyNot) {
    testsupport::TempDir dir;
    const auto text = framework::map_file(dir.write("text", "{\"a\": 1}"));
    EXPECT_EQ(text.text, "{\"a\": 1}");
    EXPECT_EQ(text.error, "");

    struct Case {
        std::string path;
        std::string error;  // "?" stands for any non-empty reason
    };
    const Case cases[] = {
        {"", ""},                            // nothing to open: no reason to give
        {dir.file("missing"), ""},           // a file not there yet is not an error
        {dir.write("empty", ""), "empty file"},
        {dir.path(), "?"},                   // a directory opens but does not map
        {dir.write("plain", "x") + "/child", "?"},  // ENOTDIR
    };
    for (const auto& c : cases) {
        const auto mapped = framework::map_file(c.path);
        EXPECT_TRUE(mapped.text.empty()) << c.path;
        if (c.error == "?")
            EXPECT_FALSE(mapped.error.empty()) << c.path;
        else
            EXPECT_EQ(mapped.error, c.error) << c.path;
    }
}

TEST(File, WriteSeekTruncateAndSize) {
    testsupport::TempDir dir;
    const std::string path = dir.file("w");
    File f;
    ASSERT_TRUE(f.open(path, O_RDWR | O_CREAT | O_TRUNC, 0644));
    EXPECT_TRUE(f.write("", 0));
    EXPECT_TRUE(f.write("hello world", 11));
    EXPECT_EQ(f.get_size(), 11);
    EXPECT_TRUE(f.truncate(5));
    EXPECT_TRUE(f.seek(0, SEEK_SET));
    char buf[16] = {};
    EXPECT_EQ(f.read(buf, sizeof(buf)), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_FALSE(f.seek(-100, SEEK_SET));
    f.close();
    EXPECT_EQ(testsupport::read_file(path), "hello");
    EXPECT_TRUE(File::unlink(path));
    EXPECT_FALSE(File::unlink(path));
}

TEST(File, WriteGoesStraightToTheDescriptor) {
    // Nothing waits in a user-space buffer: what write() accepted is in the file even
    // when the process leaves with _exit.
    testsupport::TempDir dir;
    const std::string path = dir.file("direct");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        File f;
        if (!f.open(path, O_WRONLY | O_CREAT | O_APPEND, 0644)) ::_exit(2);
        ::_exit(f.write("line\n", 5) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(testsupport::read_file(path), "line\n");
}

struct FgetsCase {
    std::string input;
    size_t size;
    std::vector<std::pair<size_t, std::string>> reads;  // count and text of each call
};

TEST(File, FgetsReadsLineByLine) {
    const std::vector<FgetsCase> cases = {
        {"ab\ncd", 10, {{2, "ab"}, {2, "cd"}, {0, ""}}},
        {"ab\n\ncd\n", 10, {{2, "ab"}, {0, ""}, {2, "cd"}, {0, ""}}},
        {"abcdef\n", 4, {{4, "abcd"}, {2, "ef"}, {0, ""}}},
        {"abc", 0, {{0, ""}, {0, ""}}},
        {"", 10, {{0, ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input + " / " + std::to_string(c.size));
        framework::Pipe p;
        ASSERT_TRUE(p.create());
        ASSERT_TRUE(p.write_end.write(c.input.data(), c.input.size()));
        p.write_end.close();
        for (const auto& [count, text] : c.reads) {
            std::vector<char> buf(c.size + 1, 'x');
            EXPECT_EQ(p.read_end.fgets(buf.data(), c.size), count);
            EXPECT_EQ(std::string(buf.data()), text);
        }
    }
}

}  // namespace
