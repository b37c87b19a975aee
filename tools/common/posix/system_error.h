// A failed system call in words: "CALL(WHAT) failed: " and the system's
// reason for errno, as every message of the POSIX tools says it.
#ifndef TZ52_TOOLS_COMMON_POSIX_SYSTEM_ERROR_H
#define TZ52_TOOLS_COMMON_POSIX_SYSTEM_ERROR_H

#include <cerrno>
#include <cstring>
#include <string>

namespace tz52line {

inline std::string SystemError(const char* call, const std::string& what) {
    return std::string(call) + "(" + what + ") failed: " + std::strerror(errno);
}

}  // namespace tz52line

#endif  // TZ52_TOOLS_COMMON_POSIX_SYSTEM_ERROR_H
