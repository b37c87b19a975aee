// tz52's lines on stderr, with journal priorities when stderr is the journal.
#include "tools/tz52/host/log_line.h"

#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>

namespace {

bool StreamMatches(const char* text) {
    if (text == nullptr) return false;
    char* end = nullptr;
    const unsigned long long device = std::strtoull(text, &end, 10);
    if (end == text || *end != ':') return false;
    const char* inode = end + 1;
    const unsigned long long node = std::strtoull(inode, &end, 10);
    if (end == inode || *end != '\0') return false;
    struct stat status {};
    if (fstat(2, &status) != 0) return false;
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == node;
}

}  // namespace

bool StderrIsJournal() {
    static const bool journal = StreamMatches(std::getenv("JOURNAL_STREAM"));
    return journal;
}

std::string JournalPriority(LogLevel level) {
    return StderrIsJournal() ? "<" + std::to_string(static_cast<int>(level)) + ">" : "";
}

void LogLine(LogLevel level, const std::string& command, const std::string& message) {
    std::string line = JournalPriority(level);
    line += "tz52 " + command + ": " + message + "\n";
    // One call, which holds the stream's lock: lines from the polling and the
    // network threads never run into each other.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}
