// A face's thread. Stop requests (SIGINT, SIGTERM) are the owner's: a face's
// thread starts with them blocked, so they never cut into its calls.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_FACE_THREAD_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_FACE_THREAD_H

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

template <typename Run>
std::thread StartFaceThread(Run&& run) {
    sigset_t stopSignals, previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    std::thread thread(std::forward<Run>(run));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

#endif
