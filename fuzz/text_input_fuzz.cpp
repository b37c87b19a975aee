// Feeds arbitrary bytes as a file to the tools' text reader and checks:
//   - it never reads past its limits: a file over the size limit, or with a
//     line over the line limit, is refused whole, with the file's name;
//   - a file it takes gives back exactly its bytes, split at "\n", each line
//     without its "\n" and one "\r" before it, no line over the limit;
//   - a first-line-only read gives the first line of the same split;
//   - a leading UTF-8 byte-order mark is dropped.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/common/text/text_input.h"

namespace {

const std::string& ScratchPath() {
    static const std::string path = "/tmp/text_input_fuzz." + std::to_string(getpid());
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::FILE* file = std::fopen(ScratchPath().c_str(), "wb");
    Require(file != nullptr, "cannot write the scratch file");
    Require(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(), "short write of the scratch file");
    Require(std::fclose(file) == 0, "cannot close the scratch file");

    TextLimits limits;
    limits.maxLineBytes = 16;
    limits.maxFileBytes = 256;
    std::vector<std::string> lines;
    std::string error;
    const bool taken = ReadTextLines(ScratchPath(), limits, &lines, &error);

    const std::string text = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
    // Every line's length before its "\r" is dropped.
    bool lineTooLong = false;
    size_t run = 0;
    for (const char c : text) {
        run = c == '\n' ? 0 : run + 1;
        if (run > limits.maxLineBytes) lineTooLong = true;
    }
    const bool fileTooLarge = size > limits.maxFileBytes;
    if (fileTooLarge || lineTooLong) {
        Require(!taken, "a file over a limit was taken");
        Require(error.compare(0, ScratchPath().size(), ScratchPath()) == 0, "the refusal does not name the file");
        return 0;
    }
    const std::vector<std::string> all = SplitLikeTextReader(text);
    Require(taken, "a file within the limits was refused");
    Require(lines == all, "the lines differ from the file's bytes");

    TextLimits firstOnly = limits;
    firstOnly.maxLines = 1;
    std::vector<std::string> first;
    Require(ReadTextLines(ScratchPath(), firstOnly, &first, &error), "a first-line read was refused");
    Require(first.size() == (all.empty() ? 0u : 1u) && (all.empty() || first[0] == all[0]),
            "the first-line read differs");
    return 0;
}
