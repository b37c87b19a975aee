#include "tools/common/posix/wake_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include "tools/common/posix/system_error.h"

namespace tz52line {

bool WakePipe::Open(std::string* error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = SystemError("pipe2", "wake-up pipe");
        return false;
    }
    read_ = fds[0];
    write_ = fds[1];
    return true;
}

void WakePipe::Wake() {
    if (write_ < 0) return;
    const char wake = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = write(write_, &wake, 1);
}

void WakePipe::Close() {
    for (int* fd : {&read_, &write_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

}  // namespace tz52line
