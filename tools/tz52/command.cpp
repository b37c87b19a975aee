// What the commands share beyond the port: the address help, type and
// point names, the read-back rule.
#include <cstdio>

#include "tools/tz52/command.h"
#include "tools/tz52/host/point_types.h"

const char kAddressHelp[] =
    "ADDRESS is the driver's point address: a three-digit station (001 to 127), a point\n"
    "type letter (A B C M O S, either case) and a three-digit index, as in 001M025.\n"
    "The driver judges every address before anything goes on the line.\n";

std::string TypeName(int32_t typeCode) { return std::string(1, PointTypeLetter(typeCode)); }

std::string PointText(int station, char type, int index) {
    char text[16];
    std::snprintf(text, sizeof text, "%03d%c%03d", station, type, index);
    return text;
}

bool ReadBackMatches(const CheckedAddress& address, uint16_t written, uint16_t readBack) {
    if (address.pointType == kPointO) return readBack == (written & 1u);
    return readBack == written;
}
