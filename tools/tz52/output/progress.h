// One line of progress on stderr for the long commands (dump, restore, scan).
#ifndef TZ52_TOOLS_TZ52_OUTPUT_PROGRESS_H
#define TZ52_TOOLS_TZ52_OUTPUT_PROGRESS_H

#include <string>

// One line of progress on stderr, redrawn in place; only when stderr is a
// terminal, nothing otherwise.
class Progress {
public:
    Progress();
    ~Progress() { Clear(); }
    bool Enabled() const { return enabled_; }
    void Show(const std::string& text);
    void Clear();

private:
    bool enabled_;
    bool shown_ = false;
};

#endif  // TZ52_TOOLS_TZ52_OUTPUT_PROGRESS_H
