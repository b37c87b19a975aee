// The points writes may go to (--allow-write), one rule for every face:
// asked from the faces' threads, replaced by a reload on the owner's.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_PERMISSION_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_PERMISSION_H

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

class WritePermission {
public:
    WritePermission(bool allowAll, std::set<std::string> allowed) { Set(allowAll, std::move(allowed)); }
    void Set(bool allowAll, std::set<std::string> allowed) {
        std::lock_guard<std::mutex> lock(mutex_);
        allowAll_ = allowAll;
        allowed_ = std::move(allowed);
        ++version_;
    }
    // Grows with every Set: what a face keeps of the rule is stale then.
    uint64_t Version() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return version_;
    }
    // `point` is a canonical address ("001C001").
    bool Allows(const std::string& point) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return allowAll_ || allowed_.count(point) != 0;
    }

private:
    mutable std::mutex mutex_;
    bool allowAll_ = false;
    std::set<std::string> allowed_;
    uint64_t version_ = 0;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_PERMISSION_H
