#include "tools/tz52sim/sim_faults.h"

#include "tools/common/cli/numbers.h"
#include "tools/common/cli/quoted.h"

namespace tz52sim {

namespace {

struct FaultName {
    FaultKind kind;
    const char* name;
    bool takesAmount;
    uint64_t minAmount;
    uint64_t maxAmount;
    const char* amountMeaning;
};

constexpr FaultName kFaultNames[] = {
    {FaultKind::kSilent, "silent", false, 0, 0, ""},
    {FaultKind::kLate, "late", true, 0, 600000, "a delay in ms"},
    {FaultKind::kDamage, "damage", true, 2, 1000, "a reply byte position from 2"},
    {FaultKind::kBadStart, "badstart", false, 0, 0, ""},
    {FaultKind::kShort, "short", true, 0, 1000, "a byte count"},
    {FaultKind::kStray, "stray", true, 1, 4096, "a byte count from 1"},
    {FaultKind::kHangUp, "hangup", false, 0, 0, ""},
    {FaultKind::kLostWrite, "lostwrite", false, 0, 0, ""},
};

// The kinds a random draw chooses from, in equal shares.
constexpr FaultKind kDrawnKinds[] = {FaultKind::kSilent, FaultKind::kLate,  FaultKind::kDamage,
                                     FaultKind::kBadStart, FaultKind::kShort, FaultKind::kStray};

constexpr uint8_t kWrongStartByte = 0xFF;

// Exchange numbers and seeds stop well short of 64 bits.
constexpr uint64_t kLastExchange = 1ull << 62;

// SplitMix64: a well-mixed 64-bit value from any 64-bit input.
uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

bool ParseFaultKind(const std::string& text, Fault* fault, std::string* error) {
    const size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    for (const FaultName& entry : kFaultNames) {
        if (name != entry.name) continue;
        Fault parsed;
        parsed.kind = entry.kind;
        if (!entry.takesAmount) {
            if (equals != std::string::npos) {
                *error = "fault " + Quoted(name) + " takes no value";
                return false;
            }
        } else {
            uint64_t amount = 0;
            if (equals == std::string::npos ||
                !ParseWholeNumber(std::string_view(text).substr(equals + 1), entry.maxAmount, &amount) ||
                amount < entry.minAmount) {
                *error = "fault " + Quoted(name) + " needs " + entry.amountMeaning + " (" + name +
                         "=" + std::to_string(entry.minAmount) + ".." +
                         std::to_string(entry.maxAmount) + ")";
                return false;
            }
            parsed.amount = static_cast<int>(amount);
        }
        *fault = parsed;
        return true;
    }
    *error = "unknown fault " + Quoted(name) + " (silent, late=MS, damage=POS, badstart, short=LEN, stray=COUNT, hangup, lostwrite)";
    return false;
}

bool ParseScriptedFault(const std::string& text, uint64_t* exchange, Fault* fault,
                        std::string* error) {
    const size_t colon = text.find(':');
    uint64_t number = 0;
    if (colon == std::string::npos ||
        !ParseWholeNumber(std::string_view(text).substr(0, colon), kLastExchange, &number) || number < 1) {
        *error = "fault " + Quoted(text) + " is not N:KIND with N an exchange number from 1";
        return false;
    }
    if (!ParseFaultKind(text.substr(colon + 1), fault, error)) return false;
    *exchange = number;
    return true;
}

std::string DescribeFault(const Fault& fault) {
    for (const FaultName& entry : kFaultNames) {
        if (entry.kind != fault.kind) continue;
        if (!entry.takesAmount) return entry.name;
        return std::string(entry.name) + "=" + std::to_string(fault.amount);
    }
    return "none";
}

Fault FaultPlan::FaultFor(uint64_t exchange) const {
    const auto found = scripted.find(exchange);
    if (found != scripted.end()) return found->second;
    if (randomRate <= 0.0) return Fault{};

    const uint64_t draw = Mix(seed ^ Mix(exchange));
    // The top 53 bits as a fraction in [0, 1).
    const double share = static_cast<double>(draw >> 11) / 9007199254740992.0;
    if (share >= randomRate) return Fault{};

    const uint64_t detail = Mix(draw);
    Fault fault;
    fault.kind = kDrawnKinds[detail % (sizeof kDrawnKinds / sizeof kDrawnKinds[0])];
    const int pick = static_cast<int>((detail >> 8) % 1024);
    switch (fault.kind) {
        case FaultKind::kLate: fault.amount = randomLateMs; break;
        case FaultKind::kDamage: fault.amount = 2 + pick % 8; break;  // within a 10-byte reply
        case FaultKind::kShort: fault.amount = pick % 10; break;
        case FaultKind::kStray: fault.amount = 1 + pick % 8; break;
        default: break;
    }
    return fault;
}

Transmission ApplyFault(const Fault& fault, const Bytes& reply, uint64_t exchange) {
    Transmission out;
    out.bytes = reply;
    const size_t last = reply.size() - 1;
    switch (fault.kind) {
        case FaultKind::kNone: break;
        case FaultKind::kLostWrite: break;  // the reply is whole; the memory is the server's to keep
        case FaultKind::kSilent: out.bytes.clear(); break;
        case FaultKind::kLate: out.delayMs = fault.amount; break;
        case FaultKind::kDamage: {
            // Flipping bit 0 keeps the byte 7-bit but breaks its pair's sum.
            const size_t at = static_cast<size_t>(fault.amount) < last
                                  ? static_cast<size_t>(fault.amount) : last;
            out.bytes[at] = static_cast<uint8_t>(out.bytes[at] ^ 0x01);
            break;
        }
        case FaultKind::kBadStart: out.bytes[0] = kWrongStartByte; break;
        case FaultKind::kShort: {
            const size_t keep = static_cast<size_t>(fault.amount) < last
                                    ? static_cast<size_t>(fault.amount) : last;
            out.bytes.resize(keep);
            break;
        }
        case FaultKind::kStray: {
            // The first stray byte looks like the start of a reply, the most
            // misleading thing a host could find waiting.
            uint64_t noise = Mix(exchange ^ 0x5354524159ull);
            for (int i = 0; i < fault.amount; ++i) {
                if (i == 0) {
                    out.stray.push_back(0xFE);
                } else {
                    if (i % 8 == 0) noise = Mix(noise);
                    out.stray.push_back(static_cast<uint8_t>(noise >> (8 * (i % 8))));
                }
            }
            break;
        }
        case FaultKind::kHangUp:
            out.bytes.resize(reply.size() / 2);
            out.hangUp = true;
            break;
    }
    return out;
}

}  // namespace tz52sim
