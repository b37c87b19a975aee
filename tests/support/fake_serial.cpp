#include "tests/support/fake_serial.h"

#include <algorithm>
#include <cstring>
#include <sstream>

FakeSerialLine& FakeLine() {
    static FakeSerialLine line;
    return line;
}

void FakeSerialLine::Reset() { *this = FakeSerialLine(); }

void FakeSerialLine::QueueOpen(int result) { openResults_.push_back(result); }
void FakeSerialLine::QueueClose(int result) { closeResults_.push_back(result); }
void FakeSerialLine::QueuePurge(int result) { purgeResults_.push_back(result); }
void FakeSerialLine::QueueWrite(int result, std::optional<uint32_t> written) {
    writeResults_.emplace_back(result, written);
}
void FakeSerialLine::QueueRead(Bytes bytes) { reads_.push_back(ScriptedRead{std::move(bytes), false}); }
void FakeSerialLine::QueueReadFailure() { reads_.push_back(ScriptedRead{{}, true}); }
void FakeSerialLine::SetResponder(Responder responder) { responder_ = std::move(responder); }

std::vector<SerialCall> FakeSerialLine::CallsOf(SerialCall::Kind kind) const {
    std::vector<SerialCall> out;
    for (const SerialCall& call : calls_)
        if (call.kind == kind) out.push_back(call);
    return out;
}

std::vector<Bytes> FakeSerialLine::Writes() const {
    std::vector<Bytes> out;
    for (const SerialCall& call : CallsOf(SerialCall::kWrite)) out.push_back(call.bytes);
    return out;
}

std::string FakeSerialLine::Sequence() const {
    std::ostringstream text;
    const char* separator = "";
    for (const SerialCall& call : calls_) {
        text << separator;
        separator = " ";
        switch (call.kind) {
            case SerialCall::kOpen: text << "Open(" << call.name << ")"; break;
            case SerialCall::kClose: text << "Close"; break;
            case SerialCall::kSetTimeout: text << "SetTimeout(" << call.timeout << ")"; break;
            case SerialCall::kPurge: text << "Purge"; break;
            case SerialCall::kWrite: text << "Write(" << call.count << ")"; break;
            case SerialCall::kRead: text << "Read(" << call.count << ")"; break;
            case SerialCall::kBreak: text << "Break"; break;
            case SerialCall::kSleep: text << "Sleep"; break;
        }
    }
    return text.str();
}

int FakeSerialLine::Open(const char* name, const LineSettings* line, uint16_t options,
                         SerialHandle* out) {
    SerialCall call(SerialCall::kOpen);
    call.name = name;
    call.line = *line;
    call.options = options;
    int result = 0;
    if (!openResults_.empty()) {
        result = openResults_.front();
        openResults_.pop_front();
    }
    SerialHandle handle = InvalidSerialHandle();
    if (result == 0) {
        handle = reinterpret_cast<SerialHandle>(nextHandle_);
        nextHandle_ += 0x1000;
        readTimeout_ = 100;
    }
    *out = handle;
    call.handle = handle;
    call.result = result;
    Record(call);
    return result;
}

int FakeSerialLine::Close(SerialHandle handle) {
    SerialCall call(SerialCall::kClose);
    call.handle = handle;
    if (!closeResults_.empty()) {
        call.result = closeResults_.front();
        closeResults_.pop_front();
    }
    Record(call);
    return call.result;
}

int FakeSerialLine::SetTimeout(SerialHandle handle, int32_t timeout) {
    SerialCall call(SerialCall::kSetTimeout);
    call.handle = handle;
    call.timeout = timeout;
    call.result = handle ? readTimeout_ : 0;
    if (handle) readTimeout_ = timeout;
    Record(call);
    return call.result;
}

int FakeSerialLine::Purge(SerialHandle handle) {
    SerialCall call(SerialCall::kPurge);
    call.handle = handle;
    call.result = handle ? 0 : 1;
    if (!purgeResults_.empty()) {
        call.result = purgeResults_.front();
        purgeResults_.pop_front();
    }
    Record(call);
    return call.result;
}

int FakeSerialLine::Write(SerialHandle handle, const void* buffer, uint32_t count,
                          uint32_t* written_out) {
    SerialCall call(SerialCall::kWrite);
    call.handle = handle;
    call.count = count;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    call.bytes.assign(bytes, bytes + count);
    int result = handle ? 0 : 7;
    uint32_t written = count;
    if (!writeResults_.empty()) {
        result = writeResults_.front().first;
        written = writeResults_.front().second.value_or(count);
        writeResults_.pop_front();
    }
    if (result == 0 && written != count) result = 2;
    if (result != 7 && written_out) *written_out = written;
    call.result = result;
    Record(call);
    if (result == 0 && responder_) {
        std::optional<Bytes> reply = responder_(call.bytes);
        if (reply) QueueRead(*reply);
    }
    return result;
}

int FakeSerialLine::Read(SerialHandle handle, void* buffer, uint32_t count, uint32_t* read_out) {
    SerialCall call(SerialCall::kRead);
    call.handle = handle;
    call.count = count;
    if (read_out) *read_out = 0;
    ScriptedRead scripted{{}, true};
    if (handle && !reads_.empty()) {
        scripted = reads_.front();
        reads_.pop_front();
    }
    const uint32_t delivered =
        static_cast<uint32_t>(std::min<size_t>(count, scripted.bytes.size()));
    if (delivered) std::memcpy(buffer, scripted.bytes.data(), delivered);
    if (read_out) *read_out = delivered;
    call.bytes.assign(scripted.bytes.begin(), scripted.bytes.begin() + delivered);
    call.result = (!scripted.fail && delivered == count && count > 0) ? 0 : 7;
    Record(call);
    return call.result;
}

// The serial routines, routed to the fake line.
int OpenSerialPort(const char* name, const LineSettings* line, uint16_t options,
                   SerialHandle* handle_out) {
    return FakeLine().Open(name, line, options, handle_out);
}
int CloseSerialPort(SerialHandle handle) { return FakeLine().Close(handle); }
int SetSerialReadTimeout(SerialHandle handle, int32_t timeout) {
    return FakeLine().SetTimeout(handle, timeout);
}
int PurgeSerialInput(SerialHandle handle) { return FakeLine().Purge(handle); }
int WriteSerialPort(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written_out) {
    return FakeLine().Write(handle, buffer, count, written_out);
}
int ReadSerialExact(SerialHandle handle, void* buffer, uint32_t count, uint32_t* read_out) {
    return FakeLine().Read(handle, buffer, count, read_out);
}
int SendSerialBreak(uint32_t, SerialHandle handle) {
    SerialCall call(SerialCall::kBreak);
    call.handle = handle;
    FakeLine().Record(call);
    return 0;
}
int SerialSleep(uint32_t) {
    FakeLine().Record(SerialCall(SerialCall::kSleep));
    return 0;
}
