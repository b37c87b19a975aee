// Text helpers of tz52's output: the banner's code page 437 box, value
// columns.
#ifndef TZ52_TOOLS_TZ52_OUTPUT_TEXT_H
#define TZ52_TOOLS_TZ52_OUTPUT_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

// The lines of a code page 437 text in UTF-8, without their CR LF breaks or
// trailing spaces; empty lines are dropped.
std::vector<std::string> Cp437Lines(const char* text);

// "0x04D2".
std::string HexWord(uint16_t value);

// `text` padded with spaces to `width` characters (UTF-8 aware).
std::string PadRight(const std::string& text, size_t width);

#endif  // TZ52_TOOLS_TZ52_OUTPUT_TEXT_H
