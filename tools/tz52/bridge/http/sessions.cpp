#include "tools/tz52/bridge/http/sessions.h"

#include <sys/random.h>

#include <cerrno>
#include <iterator>

#include "tools/tz52/bridge/http/passwords.h"

std::string RandomToken(size_t bytes) {
    std::string raw(bytes, '\0');
    size_t filled = 0;
    while (filled < bytes) {
        const ssize_t got = getrandom(&raw[filled], bytes - filled, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return "";
        filled += static_cast<size_t>(got);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    token.reserve(bytes * 2);
    for (const char c : raw) {
        const unsigned char byte = static_cast<unsigned char>(c);
        token.push_back(kHex[byte >> 4]);
        token.push_back(kHex[byte & 0xF]);
    }
    return token;
}

SessionStore::SessionStore(size_t capacity, int64_t idleLimitMs)
    : capacity_(capacity == 0 ? 1 : capacity), idleLimitMs_(idleLimitMs) {}

bool SessionStore::Expired(const HttpSession& session, int64_t nowMs) const {
    return nowMs - session.lastUsedMs >= idleLimitMs_;
}

void SessionStore::DropExpired(int64_t nowMs) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        it = Expired(it->second, nowMs) ? sessions_.erase(it) : std::next(it);
    }
}

bool SessionStore::Open(const std::string& user, HttpRole role, const std::string& address, int64_t nowMs,
                        HttpSession* session) {
    HttpSession opened;
    opened.token = RandomToken(kTokenBytes);
    opened.csrfToken = RandomToken(kTokenBytes);
    if (opened.token.empty() || opened.csrfToken.empty()) return false;
    opened.user = user;
    opened.role = role;
    opened.address = address;
    opened.lastUsedMs = nowMs;
    std::lock_guard<std::mutex> lock(mutex_);
    DropExpired(nowMs);
    if (sessions_.size() >= capacity_) {
        auto idlest = sessions_.begin();
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            if (it->second.lastUsedMs < idlest->second.lastUsedMs) idlest = it;
        }
        sessions_.erase(idlest);
    }
    *session = opened;
    sessions_.emplace(opened.token, std::move(opened));
    return true;
}

bool SessionStore::Use(const std::string& token, int64_t nowMs, HttpSession* session) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) return false;
    if (Expired(it->second, nowMs)) {
        sessions_.erase(it);
        return false;
    }
    it->second.lastUsedMs = nowMs;
    *session = it->second;
    return true;
}

bool SessionStore::Close(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.erase(token) > 0;
}

size_t SessionStore::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

bool CsrfTokenMatches(const HttpSession& session, const std::string& given) {
    return !session.csrfToken.empty() && ConstantTimeEqual(session.csrfToken, given);
}
