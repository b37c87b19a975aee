#include "tools/common/text/text_input.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/common/cli/quoted.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void FinishLine(std::string* line, std::vector<std::string>* lines) {
    if (!line->empty() && line->back() == '\r') line->pop_back();
    lines->push_back(std::move(*line));
    line->clear();
}

}  // namespace

bool ReadTextLines(const std::string& path, const TextLimits& limits, std::vector<std::string>* lines,
                   std::string* error) {
    lines->clear();
    const std::string name = Printable(path);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        *error = name + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    size_t total = 0;
    char buffer[4096];
    for (;;) {
        errno = 0;
        const size_t count = std::fread(buffer, 1, sizeof buffer, file.get());
        if (count == 0) {
            if (std::ferror(file.get())) {
                // A directory opens on Linux and fails here with EISDIR.
                *error = name + ": cannot be read: " + std::strerror(errno != 0 ? errno : EIO);
                return false;
            }
            break;
        }
        total += count;
        if (total > limits.maxFileBytes) {
            *error = name + ": larger than " + std::to_string(limits.maxFileBytes) +
                     " bytes, far more than a file of this kind holds; nothing of it was used";
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            if (buffer[i] == '\n') {
                FinishLine(&line, lines);
                if (limits.maxLines != 0 && lines->size() >= limits.maxLines) return true;
                continue;
            }
            if (line.size() >= limits.maxLineBytes) {
                *error = name + ":" + std::to_string(lines->size() + 1) + ": line longer than " +
                         std::to_string(limits.maxLineBytes) + " bytes; nothing of the file was used";
                return false;
            }
            line.push_back(buffer[i]);
        }
    }
    if (!line.empty()) FinishLine(&line, lines);
    return true;
}
