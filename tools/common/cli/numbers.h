// The tools' one way to read a number from text (the command line, a file,
// a broker message): whole numbers in decimal or, after "0x", hexadecimal,
// and decimal fractions counted in a fixed unit. No sign, no blanks, no
// octal: "0010" is ten. Built on std::from_chars, so no locale and no errno.
#ifndef TZ52_TOOLS_COMMON_CLI_NUMBERS_H
#define TZ52_TOOLS_COMMON_CLI_NUMBERS_H

#include <cstdint>
#include <string_view>

enum class NumberText { kNumber, kNotANumber, kTooLarge };

// Decimal digits, or "0x"/"0X" and hexadecimal digits; the whole text.
// kTooLarge for a number that does not fit 64 bits.
NumberText ReadWholeNumber(std::string_view text, uint64_t* value);

// The same, refused (false) above `limit`.
bool ParseWholeNumber(std::string_view text, uint64_t limit, uint64_t* value);

// Decimal digits with an optional fraction ("12", "12.345"), as a count of
// 1/`unitsPerWhole` ("12.345" with 1000 gives 12345). False for a fraction
// finer than the unit, or a result over `limit`.
bool ParseDecimalUnits(std::string_view text, int64_t unitsPerWhole, int64_t limit, int64_t* value);

#endif  // TZ52_TOOLS_COMMON_CLI_NUMBERS_H
