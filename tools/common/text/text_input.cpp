#include "tools/common/text/text_input.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/cli/quoted.h"

#if defined(_WIN32)
#include <io.h>
#endif

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Closes the descriptor when the read ends, however it ends.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

void FinishLine(std::string* line, std::vector<std::string>* lines) {
    if (!line->empty() && line->back() == '\r') line->pop_back();
    lines->push_back(std::move(*line));
    line->clear();
}

#if !defined(_WIN32)
// Opened without waiting (a FIFO nobody writes would hold open() for ever),
// then refused when it is a FIFO, a socket or a block device; the reads of
// a regular file or a character device then block as usual (a directory
// fails at its first read, EISDIR).
int OpenForReading(const std::string& path, const std::string& name, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = name + ": " + std::strerror(errno);
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        *error = name + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    const char* refusal = S_ISFIFO(status.st_mode)   ? "a FIFO"
                          : S_ISSOCK(status.st_mode) ? "a socket"
                          : S_ISBLK(status.st_mode)  ? "a block device"
                                                     : nullptr;
    if (refusal != nullptr) {
        *error = name + ": " + refusal + ", not a regular file; nothing was read";
        close(fd);
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *error = name + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}
#else
int OpenForReading(const std::string& path, const std::string& name, std::string* error) {
    const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) *error = name + ": " + std::strerror(errno);
    return fd;
}
#endif

}  // namespace

bool ReadTextLines(const std::string& path, const TextLimits& limits, std::vector<std::string>* lines,
                   std::string* error) {
    lines->clear();
    const std::string name = Printable(path);
    const Descriptor file(OpenForReading(path, name, error));
    if (file.get() < 0) return false;
    std::string line;
    size_t total = 0;
    bool first = true;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(file.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) continue;
            *error = name + ": cannot be read: " + std::strerror(errno);
            return false;
        }
        if (count == 0) break;
        total += static_cast<size_t>(count);
        if (total > limits.maxFileBytes) {
            *error = name + ": larger than " + std::to_string(limits.maxFileBytes) +
                     " bytes, far more than a file of this kind holds; nothing of it was used";
            return false;
        }
        size_t i = 0;
        // An editor's byte-order mark is no part of the first line's text.
        if (first && static_cast<size_t>(count) >= 3 && std::memcmp(buffer, kByteOrderMark, 3) == 0) i = 3;
        first = false;
        for (; i < static_cast<size_t>(count); ++i) {
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
