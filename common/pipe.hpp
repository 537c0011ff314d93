#pragma once
// framework::Pipe: the two ends of a pipe, each an owned framework::File.
#include "common/file.hpp"

namespace framework {

class Pipe {
public:
    // Closes both ends and makes a new blocking pipe. Both ends are close-on-exec: the
    // child-process code dup2()s the end it hands on onto 0-2, which clears the flag
    // there, so an exec'd program sees only its standard streams. On failure both ends
    // stay closed.
    bool create();

    File& get_read() noexcept { return read_end; }
    File& get_write() noexcept { return write_end; }

    File read_end;
    File write_end;
};

}  // namespace framework
