// The lines of fuzz input bytes, split exactly as the tools' text reader
// (ReadTextLines) splits a file: at "\n", each line without one "\r" before
// it, a last line without "\n" kept. So a target that parses lines sees what
// the program would have read.
#ifndef TZ52_FUZZ_FUZZ_LINES_H
#define TZ52_FUZZ_FUZZ_LINES_H

#include <string>
#include <vector>

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

#endif  // TZ52_FUZZ_FUZZ_LINES_H
