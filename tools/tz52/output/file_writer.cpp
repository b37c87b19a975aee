#include "tools/tz52/output/file_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/host/platform.h"

bool WriteFileWhole(const std::string& path, const std::string& text, std::string* error) {
    // Every step checked: a full disk may fail the write, the flush, the
    // sync or the close, and the file beside is then removed, never renamed.
    const std::string part = path + ".part";
    FILE* file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) {
        *error = Printable(part) + ": " + std::strerror(errno);
        return false;
    }
    errno = 0;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size() && SyncToDisk(file);
    int reason = errno;
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    if (!ok) {
        *error = Printable(part) + ": " + std::strerror(reason != 0 ? reason : EIO);
        std::remove(part.c_str());
        return false;
    }
    if (!ReplaceFileWith(part, path)) {
        *error = Printable(path) + ": " + std::strerror(errno);
        std::remove(part.c_str());
        return false;
    }
    return true;
}
