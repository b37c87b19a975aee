// A self-pipe that wakes a poll() loop from another thread or a signal
// handler: the loop polls ReadFd() beside its line, and once woken it stays
// readable, so every later poll sees the request too.
#ifndef TZ52_TOOLS_COMMON_POSIX_WAKE_PIPE_H
#define TZ52_TOOLS_COMMON_POSIX_WAKE_PIPE_H

#include <string>

namespace tz52line {

class WakePipe {
public:
    WakePipe() = default;
    ~WakePipe() { Close(); }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    // False with "pipe2(wake-up pipe) failed: ..." in *error.
    bool Open(std::string* error);
    // Safe from any thread and from a signal handler; nothing before Open.
    void Wake();
    void Close();
    int ReadFd() const { return read_; }

private:
    int read_ = -1;
    int write_ = -1;
};

}  // namespace tz52line

#endif  // TZ52_TOOLS_COMMON_POSIX_WAKE_PIPE_H
