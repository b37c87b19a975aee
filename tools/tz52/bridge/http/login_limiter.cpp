#include "tools/tz52/bridge/http/login_limiter.h"

#include <iterator>

LoginLimiter::LoginLimiter(const LoginLimits& limits) : limits_(limits) {}

void LoginLimiter::MakeRoom(int64_t nowMs) {
    for (auto it = byAddress_.begin(); it != byAddress_.end();) {
        it = nowMs - it->second.last >= limits_.windowMs ? byAddress_.erase(it) : std::next(it);
    }
    if (byAddress_.size() < limits_.addresses || byAddress_.empty()) return;
    auto oldest = byAddress_.begin();
    for (auto it = byAddress_.begin(); it != byAddress_.end(); ++it) {
        if (it->second.last < oldest->second.last) oldest = it;
    }
    byAddress_.erase(oldest);
}

bool LoginLimiter::Admit(const std::string& address, int64_t nowMs, int64_t* retryAfterMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = byAddress_.find(address);
    if (it == byAddress_.end()) {
        if (limits_.addresses == 0) return true;
        if (byAddress_.size() >= limits_.addresses) MakeRoom(nowMs);
        it = byAddress_.emplace(address, Attempts{}).first;
    }
    Attempts& attempts = it->second;
    if (attempts.count == kAttemptsPerWindow) {
        // The ring is full: its oldest attempt must have left the window.
        const int64_t oldest = attempts.times[attempts.next];
        if (nowMs - oldest < limits_.windowMs) {
            if (retryAfterMs != nullptr) *retryAfterMs = oldest + limits_.windowMs - nowMs;
            return false;
        }
    } else {
        ++attempts.count;
    }
    attempts.times[attempts.next] = nowMs;
    attempts.next = (attempts.next + 1) % kAttemptsPerWindow;
    attempts.last = nowMs;
    return true;
}

size_t LoginLimiter::RememberedAddresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return byAddress_.size();
}
