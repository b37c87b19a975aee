#include "tools/common/cli/stop_signal.h"

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int) { g_stopRequested = 1; }

#if defined(_WIN32)
using Previous = void (*)(int);
Previous g_previousInterrupt = SIG_DFL;
Previous g_previousTerminate = SIG_DFL;
#else
// sigaction, not signal(): no SA_RESTART, so a blocking call returns with
// EINTR and the loop around it sees the flag at once.
struct sigaction g_previousInterrupt {};
struct sigaction g_previousTerminate {};
#endif

}  // namespace

volatile std::sig_atomic_t& StopOnSignal::Flag() { return g_stopRequested; }

StopOnSignal::StopOnSignal() {
    g_stopRequested = 0;
#if defined(_WIN32)
    g_previousInterrupt = std::signal(SIGINT, RequestStop);
    g_previousTerminate = std::signal(SIGTERM, RequestStop);
#else
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &g_previousInterrupt);
    sigaction(SIGTERM, &action, &g_previousTerminate);
#endif
}

StopOnSignal::~StopOnSignal() {
#if defined(_WIN32)
    std::signal(SIGINT, g_previousInterrupt);
    std::signal(SIGTERM, g_previousTerminate);
#else
    sigaction(SIGINT, &g_previousInterrupt, nullptr);
    sigaction(SIGTERM, &g_previousTerminate, nullptr);
#endif
}
