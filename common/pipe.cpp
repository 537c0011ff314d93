#include "common/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace framework {

bool Pipe::create() {
    read_end.close();
    write_end.close();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end = File(fds[0]);
    write_end = File(fds[1]);
    return true;
}

}  // namespace framework
