// The audit line of a write, written or refused, the same for every face:
// the point (or the first and last of a run), the value (or the values),
// where it came from, the result and its message. A notice when written, a
// warning when refused, an error when the line failed.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_AUDIT_H
#define TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_AUDIT_H

#include <string>

#include "tools/tz52/output/json.h"

// "set POINT to VALUE from FACE (WHO): result R, MESSAGE"; a long value is
// shown by its start.
std::string WriteAuditText(const std::string& point, const Json& value, const std::string& face,
                           const std::string& who, int result, const std::string& message);
void LogWrite(const std::string& point, const Json& value, const std::string& face, const std::string& who,
              int result, const std::string& message);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_CORE_WRITE_AUDIT_H
