// Ctrl-C and SIGTERM ask a long-running command to stop: while a
// StopOnSignal lives, either signal sets one flag that the command looks at
// between steps, and the command ends with what it has. Leaving the scope
// puts the handlers that were there before back.
#ifndef TZ52_TOOLS_COMMON_CLI_STOP_SIGNAL_H
#define TZ52_TOOLS_COMMON_CLI_STOP_SIGNAL_H

#include <csignal>

class StopOnSignal {
public:
    StopOnSignal();
    ~StopOnSignal();
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

    static bool Requested() { return Flag() != 0; }
    // The flag itself, for a loop that takes a pointer to it.
    static volatile std::sig_atomic_t& Flag();
};

#endif  // TZ52_TOOLS_COMMON_CLI_STOP_SIGNAL_H
