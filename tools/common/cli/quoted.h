// How the tools show a name or a value in a message. Text from outside (a
// file, the broker, a device) may hold control characters: they are shown
// escaped, so that no ESC sequence reaches a terminal and no NUL cuts a
// message short.
#ifndef TZ52_TOOLS_COMMON_CLI_QUOTED_H
#define TZ52_TOOLS_COMMON_CLI_QUOTED_H

#include <string>

// `text` with every control character written as \n, \r, \t or \xNN.
inline std::string Printable(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            shown.push_back(c);
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else {
            shown += "\\x";
            shown.push_back(kHex[byte >> 4]);
            shown.push_back(kHex[byte & 0xF]);
        }
    }
    return shown;
}

// In double quotes, so that an empty text, spaces and the end of the text
// show; control characters escaped as Printable does.
inline std::string Quoted(const std::string& text) { return "\"" + Printable(text) + "\""; }

#endif  // TZ52_TOOLS_COMMON_CLI_QUOTED_H
