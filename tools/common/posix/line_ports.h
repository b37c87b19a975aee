// The lines the POSIX tools serve or watch: a pseudo-terminal whose terminal
// side a host opens, a serial device opened raw, and a symlink that gives a
// pseudo-terminal a stable name. Each failure names the call and the path.
#ifndef TZ52_TOOLS_COMMON_POSIX_LINE_PORTS_H
#define TZ52_TOOLS_COMMON_POSIX_LINE_PORTS_H

#include <cstdint>
#include <string>

namespace tz52line {

// A character frame on the line: "8N1" and the like.
struct LineFormat {
    int dataBits = 8;   // 5 to 8
    char parity = 'N';  // N, E, O, M, S
    int stopBits = 1;   // 1 or 2
};

// Start bit, data bits, parity bit and stop bits.
int BitsPerCharacter(const LineFormat& format);

struct PseudoTerminal {
    int controlFd = -1;   // our side, non-blocking
    int terminalFd = -1;  // our own descriptor of the terminal side, held open
    std::string path;     // "/dev/pts/5"
    std::string portName; // "pts/5", as a host names the port
};

// Creates a pseudo-terminal, raw. Holding the terminal side open keeps the
// line up between hosts: without it our side reads EIO whenever no host has
// the port open.
bool OpenPseudoTerminal(PseudoTerminal* terminal, std::string* error);
void ClosePseudoTerminal(PseudoTerminal* terminal);

// Opens a serial device raw and non-blocking at `baud` (a standard rate, 300
// to 230400) and `format`, with no flow control, and drops what waits in it.
bool OpenRawDevice(const std::string& path, uint32_t baud, const LineFormat& format, int* fd,
                   std::string* error);

// Makes (or moves) the symlink `link` to point at `target`. Refuses to
// replace anything that is not a symlink.
bool MakeLink(const std::string& link, const std::string& target, const std::string& option,
              std::string* error);
// Removes `link` only while it still points at `target`: a later program may
// have taken the name.
void RemoveLinkIfOurs(const std::string& link, const std::string& target);

}  // namespace tz52line

#endif  // TZ52_TOOLS_COMMON_POSIX_LINE_PORTS_H
