#include "tools/tz52/bridge/core/write_audit.h"

#include "tools/common/cli/quoted.h"
#include "tools/tz52/host/driver_calls.h"
#include "tools/tz52/host/log_line.h"

std::string WriteAuditText(const std::string& point, const Json& value, const std::string& face,
                           const std::string& who, int result, const std::string& message) {
    // A payload may be as long as the broker lets it be; the line shows its start.
    constexpr size_t kLongestValue = 64;
    std::string shown = JsonText(value);
    if (shown.size() > kLongestValue) {
        size_t cut = kLongestValue;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
        shown = shown.substr(0, cut) + "...";
    }
    return "set " + Printable(point) + " to " + shown + " from " + face + " (" + who + "): result " +
           std::to_string(result) + ", " + message;
}

void LogWrite(const std::string& point, const Json& value, const std::string& face, const std::string& who,
              int result, const std::string& message) {
    const LogLevel level =
        result == kResultOk ? LogLevel::kNotice : result == kResultRefused ? LogLevel::kWarning : LogLevel::kError;
    LogLine(level, "bridge", WriteAuditText(point, value, face, who, result, message));
}
