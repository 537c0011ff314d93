#include "common/pid_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace framework {

bool PidFile::write_pid() {
    std::snprintf(pid_text, sizeof(pid_text), "%d", static_cast<int>(::getpid()));
    return seek(0, SEEK_SET) && truncate(0) && write(pid_text, std::strlen(pid_text));
}

bool PidFile::lock(std::string_view path_arg) {
    // O_NOFOLLOW: a link planted at the path must not make us truncate its target.
    if (!open(path_arg, O_RDWR | O_CREAT | O_NOFOLLOW, 0644)) return false;
    struct stat st {};
    if (::fstat(get_fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
        const int saved = errno;
        close();
        errno = S_ISREG(st.st_mode) ? saved : EINVAL;
        return false;
    }
    if (!File::lock(LOCK_EX | LOCK_NB)) {
        const int saved = errno;
        const ssize_t n = read(pid_text, sizeof(pid_text) - 1);
        pid_text[n > 0 ? n : 0] = '\0';
        close();
        errno = saved;
        return false;
    }
    path = path_arg;
    if (!write_pid()) {
        const int saved = errno;
        pid_text[0] = '\0';
        path.clear();
        close();
        errno = saved;
        return false;
    }
    return true;
}

bool PidFile::update_pid() { return write_pid(); }

void PidFile::unlock() {
    if (!File::lock(LOCK_UN)) return;
    close();
    File::unlink(path);
    path.clear();
}

}  // namespace framework
