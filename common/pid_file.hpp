#pragma once
// framework::PidFile: the master's pid file, held open under an exclusive flock for as
// long as the master runs. The file holds nothing but the decimal pid.
#include <string>
#include <string_view>

#include "common/file.hpp"

namespace framework {

class PidFile : public File {
public:
    // Opens `path` (never through a symbolic link; it must be a regular file), locks it
    // without waiting and writes the current pid into it. When another process holds the
    // lock, `pid_text` receives the text found in the file and the result is false.
    bool lock(std::string_view path);
    // Rewrites the locked file with the current pid (after a daemon start changed it).
    bool update_pid();
    // Unlocks, closes and removes the file; nothing when it is not open.
    void unlock();

    const std::string& get_path() const noexcept { return path; }
    const char* get_pid_text() const noexcept { return pid_text; }

    std::string path;       // empty until a lock succeeds
    char pid_text[16] = {}; // our pid, or the holder's text after a refused lock

private:
    bool write_pid();
};

}  // namespace framework
