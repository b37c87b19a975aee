// What the tools' fuzz targets share: stopping on a broken property, the
// split of input bytes into lines, and the check that a message shows no
// control character.
#ifndef TZ52_FUZZ_FUZZ_SUPPORT_H
#define TZ52_FUZZ_FUZZ_SUPPORT_H

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Aborts with the property that broke, so that libFuzzer keeps the input.
inline void Require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::abort();
}

// The lines of the bytes, split exactly as the tools' text reader
// (ReadTextLines) splits a file: at "\n", each line without one "\r" before
// it, a last line without "\n" kept. So a target that parses lines sees
// what the program would have read.
inline std::vector<std::string> SplitLikeTextReader(const std::string& bytes) {
    std::vector<std::string> lines;
    std::string line;
    const auto finish = [&] {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        line.clear();
    };
    for (const char c : bytes) {
        if (c == '\n') {
            finish();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) finish();
    return lines;
}

// A message as a terminal would get it: no control character (text from
// outside is shown escaped).
inline bool HasNoControlCharacters(const std::string& text) {
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

#endif  // TZ52_FUZZ_FUZZ_SUPPORT_H
