// tz52's lines on stderr. Under systemd, stderr is often the journal: then
// each line starts with its priority (<3> error ... <6> information), which
// the journal takes as the entry's priority and strips; anywhere else the
// lines are plain text.
#ifndef TZ52_TOOLS_TZ52_HOST_LOG_LINE_H
#define TZ52_TOOLS_TZ52_HOST_LOG_LINE_H

#include <string>

enum class LogLevel { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// Whether stderr is the stream $JOURNAL_STREAM names ("DEVICE:INODE"); a
// variable inherited by a program whose stderr went elsewhere does not count.
// Decided on the first call.
bool StderrIsJournal();

// "<N>" for `level` when stderr is the journal, else "".
std::string JournalPriority(LogLevel level);

// "tz52 COMMAND: MESSAGE" on stderr, one write, with the priority prefix
// when stderr is the journal. Safe from any thread.
void LogLine(LogLevel level, const std::string& command, const std::string& message);

#endif  // TZ52_TOOLS_TZ52_HOST_LOG_LINE_H
