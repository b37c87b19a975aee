// Reading a text file that comes from outside (a dump, a points file, a
// capture, a password file): read whole and checked before any of it is
// used, with a limit on every line and on the file, so that a directory, a
// device that never ends or a read that fails half-way is an error naming the
// file, never a shorter file taken as the whole. Only a regular file or a
// character device is read: a FIFO, a socket or a block device is refused
// before any read, so that no writer that never comes can hold the tool.
#ifndef TZ52_TOOLS_COMMON_TEXT_TEXT_INPUT_H
#define TZ52_TOOLS_COMMON_TEXT_TEXT_INPUT_H

#include <cstddef>
#include <string>
#include <vector>

struct TextLimits {
    size_t maxLineBytes = 4096;        // generous for every format the tools read
    size_t maxFileBytes = 4u << 20;    // a dump of every station is under 1 MB
    size_t maxLines = 0;               // 0: no limit but the size; 1: the first line only
};

// The lines of `path` without their line ends (a "\r" before "\n" is
// dropped too); line N is (*lines)[N - 1]. A UTF-8 byte-order mark at the
// start is dropped. On failure *error holds
// "PATH: reason" or "PATH:LINE: reason", ready to show.
bool ReadTextLines(const std::string& path, const TextLimits& limits, std::vector<std::string>* lines,
                   std::string* error);

#endif  // TZ52_TOOLS_COMMON_TEXT_TEXT_INPUT_H
