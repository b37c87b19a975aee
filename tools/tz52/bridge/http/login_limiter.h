// The HTTP face's brake on guessing passwords: at most a few login attempts
// a minute from one address, and a failed one answered no sooner than a
// second after it came. Bounded memory: a table of the addresses seen
// lately; when it is full, the address whose last attempt is oldest is
// forgotten. The limiter reads no clock: the caller gives the monotonic
// time, in milliseconds.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_LOGIN_LIMITER_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_LOGIN_LIMITER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

struct LoginLimits {
    size_t addresses = 1024;        // remembered at once
    int64_t windowMs = 60 * 1000;   // attempts are counted over this time
    int64_t failureDelayMs = 1000;  // a failure's answer waits this long
};

class LoginLimiter {
public:
    static constexpr size_t kAttemptsPerWindow = 5;

    // Safe from any thread.
    explicit LoginLimiter(const LoginLimits& limits = LoginLimits{});

    // Whether an attempt from `address` may be tried now; one that may is
    // counted. When not, *retryAfterMs (if given) says how long until one
    // may.
    bool Admit(const std::string& address, int64_t nowMs, int64_t* retryAfterMs = nullptr);
    // When the answer to a failed attempt that came at `arrivedMs` may go.
    int64_t FailureAnswerAt(int64_t arrivedMs) const { return arrivedMs + limits_.failureDelayMs; }
    size_t RememberedAddresses() const;

private:
    struct Attempts {
        std::array<int64_t, kAttemptsPerWindow> times{};  // a ring, oldest at `next`
        size_t count = 0;
        size_t next = 0;
        int64_t last = 0;
    };
    void MakeRoom(int64_t nowMs);

    const LoginLimits limits_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Attempts> byAddress_;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_LOGIN_LIMITER_H
