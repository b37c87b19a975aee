// systemd notification through libsystemd's sd_notify, where the build has it.
#include "tools/tz52/bridge/core/service_notify.h"

#include <time.h>

#if defined(TZ52_WITH_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

namespace {

void Notify(const std::string& state) {
#if defined(TZ52_WITH_SYSTEMD)
    sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
#if defined(TZ52_WITH_SYSTEMD)
    // Enabled only for this process: WATCHDOG_PID, when set, must name it.
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        watchdogEveryMs_ = static_cast<int64_t>(usec / 2000);
        if (watchdogEveryMs_ == 0) watchdogEveryMs_ = 1;
    }
#endif
}

void ServiceNotifier::Ready(const std::string& status) {
    status_ = status;
    Notify("READY=1\nSTATUS=" + status);
}

void ServiceNotifier::Status(const std::string& status) {
    if (status == status_) return;
    status_ = status;
    Notify("STATUS=" + status);
}

void ServiceNotifier::Alive(int64_t nowMs) {
    if (watchdogEveryMs_ == 0 || nowMs < nextWatchdogMs_) return;
    nextWatchdogMs_ = nowMs + watchdogEveryMs_;
    Notify("WATCHDOG=1");
}

void ServiceNotifier::Stopping() { Notify("STOPPING=1"); }

void ServiceNotifier::Reloading() {
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t usec = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void ServiceNotifier::Reloaded() { Notify("READY=1"); }
