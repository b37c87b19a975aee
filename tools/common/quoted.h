// How the tools quote a name or a value in a message: in double quotes, so
// that an empty text, spaces and the end of the text show.
#ifndef TZ52_TOOLS_COMMON_QUOTED_H
#define TZ52_TOOLS_COMMON_QUOTED_H

#include <string>

inline std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

#endif  // TZ52_TOOLS_COMMON_QUOTED_H
