#include "common/file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace framework {

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      map_addr_(std::exchange(other.map_addr_, nullptr)),
      map_size_(std::exchange(other.map_size_, 0)) {}

File& File::operator=(File&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(map_addr_, other.map_addr_);
    std::swap(map_size_, other.map_size_);
    return *this;
}

File::~File() { close(); }

bool File::open(std::string_view path, int flags, int mode) {
    if (path.empty() || is_open()) return false;
    const std::string name(path);  // open() needs a terminated string
    fd_ = ::open(name.c_str(), flags | O_CLOEXEC, mode);
    return fd_ >= 0;
}

bool File::dup(int fd) {
    if (is_open()) return false;
    fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return fd_ >= 0;
}

void File::unmap() noexcept {
    if (map_addr_ != nullptr) {
        ::munmap(map_addr_, map_size_);
        map_addr_ = nullptr;
        map_size_ = 0;
    }
}

std::optional<std::string_view> File::mmap(int prot, int flags) {
    if (!is_open()) return std::nullopt;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return std::nullopt;
    if (st.st_size <= 0) {
        errno = EINVAL;  // what mmap itself reports for a length of 0
        return std::nullopt;
    }
    void* addr = ::mmap(nullptr, static_cast<size_t>(st.st_size), prot, flags, fd_, 0);
    if (addr == MAP_FAILED) return std::nullopt;
    unmap();  // a second mapping replaces the first instead of leaking it
    map_addr_ = addr;
    map_size_ = static_cast<size_t>(st.st_size);
    return std::string_view(static_cast<const char*>(map_addr_), map_size_);
}

bool File::seek(long offset, int whence) {
    return is_open() && ::lseek(fd_, offset, whence) != static_cast<off_t>(-1);
}

ssize_t File::read(void* buffer, size_t length) {
    if (!is_open()) return 0;
    return ::read(fd_, buffer, length);
}

size_t File::fgets(char* buffer, size_t size) {
    size_t stored = 0;
    if (is_open()) {
        while (stored < size) {
            char c;
            const ssize_t n = ::read(fd_, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') break;
            buffer[stored++] = c;
        }
    }
    buffer[stored] = '\0';
    return stored;
}

bool File::write(const void* data, size_t length) {
    if (!is_open()) return false;
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd_, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool File::lock(int operation) { return is_open() && ::flock(fd_, operation) == 0; }

bool File::truncate(long length) { return is_open() && ::ftruncate(fd_, length) == 0; }

int64_t File::get_size() const {
    if (!is_open()) return -1;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return -1;
    return st.st_size;
}

bool File::unlink(std::string_view path) {
    if (path.empty()) return false;
    const std::string name(path);
    return ::unlink(name.c_str()) == 0;
}

MappedFile map_file(std::string_view path) {
    MappedFile mapped;
    if (!mapped.file.open(path, O_RDONLY, 0)) {
        if (!path.empty() && errno != ENOENT) mapped.error = std::strerror(errno);
        return mapped;
    }
    if (const auto bytes = mapped.file.mmap(PROT_READ, MAP_PRIVATE)) {
        mapped.text = *bytes;
        return mapped;
    }
    const int failure = errno;
    mapped.error = mapped.file.get_size() == 0 ? "empty file" : std::strerror(failure);
    return mapped;
}

void File::close() noexcept {
    if (!is_open()) return;
    unmap();
    ::close(fd_);
    fd_ = -1;
}

}  // namespace framework
