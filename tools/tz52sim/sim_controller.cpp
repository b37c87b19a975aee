#include "tools/tz52sim/sim_controller.h"

namespace tz52sim {

namespace {

template <typename Map>
typename Map::mapped_type ValueAt(const Map& map, int key) {
    const auto found = map.find(key);
    return found == map.end() ? typename Map::mapped_type{0} : found->second;
}

int ByteAfter(int address) { return (address + 1) & 0xFFFF; }

}  // namespace

uint16_t ControllerMemory::Word(int address) const { return ValueAt(words_, address); }
uint8_t ControllerMemory::Byte(int address) const { return ValueAt(bytes_, address); }

uint16_t ControllerMemory::Point(char type, int index) const {
    switch (type) {
        case 'A': return ValueAt(analog_, index);
        case 'B': return ValueAt(binary_, index);
        case 'O': return ValueAt(outputs_, index);
        case 'C':
        case 'M': return Word(WordAddressOf(type, index));
        default: {  // 'S'
            const int high = ByteAddressOf(index);
            return static_cast<uint16_t>(Byte(high) << 8 | Byte(ByteAfter(high)));
        }
    }
}

void ControllerMemory::SetPoint(char type, int index, uint16_t value) {
    switch (type) {
        case 'A': analog_[index] = value; break;
        case 'B': binary_[index] = value; break;
        case 'O': outputs_[index] = static_cast<uint16_t>(value & 1); break;
        case 'C':
        case 'M': words_[WordAddressOf(type, index)] = value; break;
        default: {  // 'S'
            const int high = ByteAddressOf(index);
            bytes_[high] = static_cast<uint8_t>(value >> 8);
            bytes_[ByteAfter(high)] = static_cast<uint8_t>(value & 0xFF);
        }
    }
}

Bytes ControllerMemory::Execute(const Command& command) {
    uint8_t split[3];
    switch (command.format->kind) {
        case CommandKind::kReadAnalog: {
            // Two 7-bit bytes carry 0 to 381 as 2 x d0 + d1: d0 takes what it
            // can (up to 127), d1 the rest.
            const int value = ValueAt(analog_, command.address);
            const int high = value / 2 > 0x7F ? 0x7F : value / 2;
            const int low = value - 2 * high > 0x7F ? 0x7F : value - 2 * high;
            return {static_cast<uint8_t>(high), static_cast<uint8_t>(low)};
        }
        case CommandKind::kReadBinary:
            return {static_cast<uint8_t>(ValueAt(binary_, command.address) & 0x7F)};
        case CommandKind::kReadOutput:
            return {static_cast<uint8_t>(ValueAt(outputs_, command.address) & 1)};
        case CommandKind::kReadWord:
            SplitWord(Word(command.address), split);
            return {split[0], split[1], split[2]};
        case CommandKind::kReadByteWord:
            SplitWord(static_cast<uint16_t>(Byte(command.address) << 8 |
                                            Byte(ByteAfter(command.address))),
                      split);
            return {split[0], split[1], split[2]};
        case CommandKind::kWriteWord:
            words_[command.address] = command.value;
            return {};
        case CommandKind::kWriteBit:
            outputs_[command.address] = command.value;
            return {};
        case CommandKind::kWriteByte:
            bytes_[command.address] = static_cast<uint8_t>(command.value);
            // The acknowledgement echoes bits 7-1 of the byte; hosts ignore it.
            return {static_cast<uint8_t>(command.value >> 1)};
    }
    return {};
}

Controller::Controller(const std::vector<int>& stations) {
    for (int station : stations) memories_[station];
}

ControllerMemory* Controller::Memory(int station) {
    const auto found = memories_.find(station);
    return found == memories_.end() ? nullptr : &found->second;
}

const ControllerMemory* Controller::Memory(int station) const {
    const auto found = memories_.find(station);
    return found == memories_.end() ? nullptr : &found->second;
}

Bytes Controller::Answer(const Request& request, Command* command) {
    *command = DecodeCommand(request);
    return BuildReply(Memory(request.station)->Execute(*command));
}

}  // namespace tz52sim
