// The bridge's side of systemd's notify protocol (Type=notify): ready once
// polling runs, a one-line state when it changes, the watchdog fed from the
// polling loop itself, stopping on the way out. Outside systemd (no
// NOTIFY_SOCKET) and in a build without libsystemd every call does nothing.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_SERVICE_NOTIFY_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_SERVICE_NOTIFY_H

#include <cstdint>
#include <string>

class ServiceNotifier {
public:
    ServiceNotifier();

    // READY=1 with the first state.
    void Ready(const std::string& status);
    // STATUS= when `status` differs from the last one sent.
    void Status(const std::string& status);
    // WATCHDOG=1 when half of WATCHDOG_USEC has passed since the last one.
    // Called from the polling loop only: a loop that stalls stops feeding
    // the watchdog, and systemd restarts the bridge.
    void Alive(int64_t nowMs);
    void Stopping();
    // RELOADING=1 (with the monotonic time systemd asks for), then READY=1
    // when the configuration has been read again, taken or not.
    void Reloading();
    void Reloaded();

private:
    int64_t watchdogEveryMs_ = 0;  // 0: no watchdog asked for
    int64_t nextWatchdogMs_ = 0;
    std::string status_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_SERVICE_NOTIFY_H
