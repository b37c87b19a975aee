// The HTTP face's logged-in sessions: a bounded store of random tokens (the
// session cookie's value), each with its user, role, CSRF token, the
// address the login came from and when it was last used. A full store makes
// room by ending the session idle longest. The store reads no clock: every
// call is given the monotonic time, in milliseconds.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_SESSIONS_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_SESSIONS_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "tools/tz52/bridge/http/http_users.h"

// `bytes` random bytes from getrandom, as lower-case hex; "" when the
// kernel gives none.
std::string RandomToken(size_t bytes);

struct HttpSession {
    std::string token;      // the cookie's value
    std::string csrfToken;  // what a state-changing request carries
    std::string user;
    HttpRole role = HttpRole::kViewer;
    std::string address;    // the client's, at login
    int64_t lastUsedMs = 0;
};

class SessionStore {
public:
    static constexpr size_t kTokenBytes = 16;  // 128 bits

    // Safe from any thread.
    SessionStore(size_t capacity, int64_t idleLimitMs);

    // A new session for a user just logged in; false when no random token
    // can be had.
    bool Open(const std::string& user, HttpRole role, const std::string& address, int64_t nowMs,
              HttpSession* session);
    // The session of a cookie's value, touched (its idle time starts
    // again); false for a token unknown, ended or idle too long (which
    // ends it).
    bool Use(const std::string& token, int64_t nowMs, HttpSession* session);
    // Logout; false when there was no such session.
    bool Close(const std::string& token);
    size_t Count() const;

private:
    bool Expired(const HttpSession& session, int64_t nowMs) const;
    void DropExpired(int64_t nowMs);

    const size_t capacity_;
    const int64_t idleLimitMs_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, HttpSession> sessions_;  // by token
};

// Whether a request's CSRF token is the session's, in constant time.
bool CsrfTokenMatches(const HttpSession& session, const std::string& given);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_SESSIONS_H
