// The port-name rules of both platforms. No allocation and no formatted
// output: the driver compiles this file into both libraries.
#include "serial/port_names.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// `c` is the upper-case letter `upper` in either case.
bool IsLetter(char c, char upper) { return c == upper || c == upper - 'A' + 'a'; }

bool SameLettersIgnoringCase(const char* name, const char* upper) {
    for (; *upper != '\0'; ++name, ++upper) {
        if (!IsLetter(*name, *upper)) return false;
    }
    return *name == '\0';
}

// "COMn" in any letter case, n a decimal number from 1 without leading zeros
// and of at most eight digits: n in *number.
bool ComPortNumber(const char* name, unsigned* number) {
    if (!IsLetter(name[0], 'C') || !IsLetter(name[1], 'O') || !IsLetter(name[2], 'M')) return false;
    const char* digits = name + 3;
    if (digits[0] < '1' || digits[0] > '9') return false;
    unsigned value = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (!IsDigit(*p) || p - digits >= 8) return false;
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    *number = value;
    return true;
}

// Builds a path piece by piece, never past its end; `fits` turns false at
// the first piece that does not fit, terminator included.
struct PathBuilder {
    char* path;
    size_t size;
    size_t used;
    bool fits;

    void Add(const char* text) {
        for (; fits && *text != '\0'; ++text) {
            if (used + 1 >= size) {
                fits = false;
                return;
            }
            path[used++] = *text;
        }
    }
    void AddDecimal(unsigned value) {
        char digits[12];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        char reversed[12];
        for (int i = 0; i < count; ++i) reversed[i] = digits[count - 1 - i];
        reversed[count] = '\0';
        Add(reversed);
    }
    int Finish() {
        if (!fits) return -1;
        path[used] = '\0';
        return 0;
    }
};

bool UsableArguments(const char* name, char* path, size_t path_size) {
    return name != nullptr && path != nullptr && path_size != 0 && name[0] != '\0';
}

}  // namespace

int PosixDevicePath(const char* name, char* path, size_t path_size) {
    if (!UsableArguments(name, path, path_size)) return -1;
    PathBuilder builder = {path, path_size, 0, true};
    unsigned com_number = 0;
    if (SameLettersIgnoringCase(name, "NUL")) {
        builder.Add("/dev/null");
    } else if (ComPortNumber(name, &com_number)) {
        builder.Add("/dev/ttyS");
        builder.AddDecimal(com_number - 1);
    } else if (name[0] == '/' || name[0] == '.') {
        builder.Add(name);
    } else {
        builder.Add("/dev/");
        builder.Add(name);
    }
    return builder.Finish();
}

int WindowsDevicePath(const char* name, char* path, size_t path_size) {
    if (!UsableArguments(name, path, path_size)) return -1;
    PathBuilder builder = {path, path_size, 0, true};
    unsigned com_number = 0;
    if (ComPortNumber(name, &com_number) && com_number >= 10) builder.Add("\\\\.\\");
    builder.Add(name);
    return builder.Finish();
}
