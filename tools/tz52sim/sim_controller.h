// The simulated controller: the memory of each station it answers for, and
// the answer to each decoded command.
#ifndef TZ52SIM_SIM_CONTROLLER_H
#define TZ52SIM_SIM_CONTROLLER_H

#include <cstdint>
#include <map>
#include <vector>

#include "tools/tz52sim/sim_points.h"
#include "tools/tz52sim/sim_protocol.h"

namespace tz52sim {

// One station's memory. Every cell starts at 0.
//   A inputs and B inputs by index; O outputs by index (0 or 1);
//   one word memory by device address, which the C and M commands share;
//   one byte memory by 16-bit address, where an S point keeps its high byte
//   at a and its low byte at a + 1.
class ControllerMemory {
public:
    // The value of a point as a read command returns it.
    uint16_t Point(char type, int index) const;
    // Sets a point; the caller has checked the value against its type.
    void SetPoint(char type, int index, uint16_t value);

    // Carries out `command` and returns the data bytes of its reply.
    Bytes Execute(const Command& command);

private:
    uint16_t Word(int address) const;
    uint8_t Byte(int address) const;

    std::map<int, uint16_t> analog_;
    std::map<int, uint16_t> binary_;
    std::map<int, uint16_t> outputs_;
    std::map<int, uint16_t> words_;
    std::map<int, uint8_t> bytes_;
};

// The stations the simulator answers for, each with its own memory.
class Controller {
public:
    explicit Controller(const std::vector<int>& stations);

    bool Serves(int station) const { return memories_.count(station) != 0; }
    // Null for a station not served.
    ControllerMemory* Memory(int station);
    const ControllerMemory* Memory(int station) const;

    // Carries out a request for a served station: decodes it into `command`
    // and returns the whole reply frame.
    Bytes Answer(const Request& request, Command* command);

private:
    std::map<int, ControllerMemory> memories_;
};

}  // namespace tz52sim

#endif  // TZ52SIM_SIM_CONTROLLER_H
