// Files tz52 writes (dump -o, poll -o): replaced whole or not at all.
#ifndef TZ52_TOOLS_TZ52_OUTPUT_FILE_WRITER_H
#define TZ52_TOOLS_TZ52_OUTPUT_FILE_WRITER_H

#include <string>

// Writes `text` to `path` through a file beside it, so that `path` is
// replaced whole or not at all.
bool WriteFileWhole(const std::string& path, const std::string& text, std::string* error);

#endif  // TZ52_TOOLS_TZ52_OUTPUT_FILE_WRITER_H
