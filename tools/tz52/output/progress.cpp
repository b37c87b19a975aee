#include "tools/tz52/output/progress.h"

#include <cstdio>

#include "tools/tz52/host/platform.h"

Progress::Progress() : enabled_(CanRedrawInPlace(stderr)) {}

void Progress::Show(const std::string& text) {
    if (!enabled_) return;
    std::fprintf(stderr, "\r\x1b[2K%s", text.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Progress::Clear() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\x1b[2K");
    std::fflush(stderr);
    shown_ = false;
}
