#pragma once
// framework::File: the one owner of an open file descriptor, with an optional
// read-only view of the whole file mapped into memory.
//
// Every operation on a closed file fails without a system call. Failures are reported
// by the result only (errno is left as the failing call set it); nothing throws or logs.
// Writes go straight to the descriptor (no stdio buffer), so a fork never copies
// unwritten data and an _exit or a crash loses nothing that write() accepted.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace framework {

class File {
public:
    constexpr File() noexcept = default;
    // Takes over `fd` (which may be -1).
    constexpr explicit File(int fd) noexcept : fd_(fd) {}
    File(File&& other) noexcept;
    // Exchanges everything with `other`: what this file held is closed when `other` goes.
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    // False for an empty path or when already open. The descriptor is always
    // close-on-exec, so programs run by exec never inherit it.
    bool open(std::string_view path, int flags, int mode);
    // A close-on-exec duplicate of `fd`; false when already open or dup fails.
    bool dup(int fd);
    // The whole file mapped from offset 0; empty when closed, when fstat or mmap fails
    // (an empty file cannot be mapped). The mapping stays until close().
    std::optional<std::string_view> mmap(int prot, int flags);
    bool seek(long offset, int whence);
    // One read(); 0 when closed.
    ssize_t read(void* buffer, size_t length);
    // Reads one byte at a time up to a newline (not stored), the end of the data, an
    // error or `size` bytes; writes a terminating zero after the bytes stored, so
    // `buffer` must hold size + 1 bytes. Returns the number of bytes stored.
    size_t fgets(char* buffer, size_t size);
    // Writes every byte, repeating after a partial write or EINTR; true at once for 0 bytes.
    bool write(const void* data, size_t length);
    bool lock(int operation);   // flock()
    bool truncate(long length); // ftruncate()
    int64_t get_size() const;   // -1 when closed or fstat fails
    static bool unlink(std::string_view path);
    // Unmaps a mapping and closes the descriptor; nothing when closed.
    void close() noexcept;

    int get_fd() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }

private:
    void unmap() noexcept;

    int fd_ = -1;
    void* map_addr_ = nullptr;  // nullptr: nothing mapped (constant-initialisable, unlike MAP_FAILED)
    size_t map_size_ = 0;
};

// A whole file read through a read-only private mapping, for readers that parse a file in
// place. `text` lives as long as this object: `file` holds the mapping.
struct MappedFile {
    File file;
    std::string_view text;  // the whole file; empty when it could not be read
    // Why `text` is empty: the system's text for the failed call, "empty file", or nothing
    // at all for a file that does not exist (an empty path is one).
    std::string error;
};

MappedFile map_file(std::string_view path);

}  // namespace framework
