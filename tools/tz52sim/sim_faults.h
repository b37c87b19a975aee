// Faults the simulator can put on the line, scripted for chosen exchanges or
// drawn at random. Exchanges are numbered from 1 over every request the
// simulator answers or would answer (requests to its own stations).
#ifndef TZ52SIM_SIM_FAULTS_H
#define TZ52SIM_SIM_FAULTS_H

#include <cstdint>
#include <map>
#include <string>

#include "tools/tz52sim/sim_protocol.h"

namespace tz52sim {

enum class FaultKind {
    kNone,
    kSilent,    // no reply
    kLate,      // the reply after `amount` ms
    kDamage,    // the reply with the byte at position `amount` (2 or more) changed
    kBadStart,  // the reply with a wrong first byte
    kShort,     // only the first `amount` bytes of the reply
    kStray,     // the reply, then `amount` stray bytes before the next request
    kHangUp,    // part of the reply, then the line goes away and the simulator ends
    kLostWrite  // the reply as usual, but a write is not kept: the station's
                // memory stays as it was (a write acknowledged, then lost)
};

struct Fault {
    FaultKind kind = FaultKind::kNone;
    int amount = 0;
};

// "silent", "late=MS", "damage=POS", "badstart", "short=LEN", "stray=COUNT",
// "hangup", "lostwrite".
bool ParseFaultKind(const std::string& text, Fault* fault, std::string* error);
// "N:KIND" as --fault takes it.
bool ParseScriptedFault(const std::string& text, uint64_t* exchange, Fault* fault,
                        std::string* error);
// The same spelling back ("late=50"); "none" for no fault.
std::string DescribeFault(const Fault& fault);

// Which fault, if any, each exchange gets. A scripted fault wins over a drawn
// one. The random draw depends only on the seed and the exchange number, so a
// run can be predicted and repeated.
struct FaultPlan {
    std::map<uint64_t, Fault> scripted;
    double randomRate = 0.0;  // 0 to 1: the share of exchanges that get a drawn fault
    uint64_t seed = 0;
    int randomLateMs = 20;  // how late a drawn late reply comes

    Fault FaultFor(uint64_t exchange) const;
};

// What goes on the line for one reply.
struct Transmission {
    int delayMs = 0;   // extra wait before the first byte
    Bytes bytes;       // reply bytes as sent (possibly cut or changed)
    Bytes stray;       // sent right after the reply
    bool hangUp = false;
};

// Applies `fault` to the whole reply frame `reply`.
Transmission ApplyFault(const Fault& fault, const Bytes& reply, uint64_t exchange);

}  // namespace tz52sim

#endif  // TZ52SIM_SIM_FAULTS_H
