// Feeds arbitrary text as a capture to tz52 monitor's decoder, from its lines
// to the exchanges shown, and checks:
//   - every line left out is named by a number within the input, once, in
//     order, with a reason free of control characters;
//   - every piece has bytes, and the times kept run forward from 0;
//   - every byte of every piece is shown once: in a request, a reply, or
//     as stray bytes of its side;
//   - every verdict is one of the known ones, and every record can be shown
//     as text and as JSON.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/tz52/monitor/monitor.h"
#include "tools/tz52/monitor/capture.h"

using namespace tz52monitor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 64 * 1024) return 0;
    const std::vector<std::string> lines = SplitLikeTextReader(std::string(reinterpret_cast<const char*>(data), size));
    const CaptureContents contents = ReadCaptureLines(lines);

    size_t lastFault = 0;
    for (const CaptureFault& fault : contents.faults) {
        Require(fault.line >= 1 && fault.line <= lines.size(), "a fault names a line outside the input");
        Require(fault.line > lastFault, "faults out of order or a line named twice");
        Require(!fault.error.empty() && HasNoControlCharacters(fault.error), "a fault's reason is empty or holds control bytes");
        lastFault = fault.line;
    }
    Require(contents.pieces.size() + contents.faults.size() <= lines.size(), "more pieces and faults than lines");

    size_t hostBytes = 0, deviceBytes = 0;
    int64_t lastUs = 0;
    for (const Piece& piece : contents.pieces) {
        Require(!piece.bytes.empty(), "a piece without bytes");
        if (piece.timeUs != kNoTime) {
            Require(piece.timeUs >= lastUs, "a piece's time goes back or before 0");
            lastUs = piece.timeUs;
        }
        (piece.side == Side::kHost ? hostBytes : deviceBytes) += piece.bytes.size();
    }

    const int readLimitMs = contents.facts.hasReadLimit ? contents.facts.readLimitMs : 40;
    ExchangeTracker tracker(QuietLimitUs(readLimitMs));
    std::vector<Record> records;
    for (const Piece& piece : contents.pieces) tracker.Add(piece, &records);
    tracker.Finish(&records);

    DisplayOptions display;
    display.hasClock = contents.facts.hasClock || contents.dayTimes;
    display.clockAtZeroUs = contents.dayTimes ? contents.firstDayTimeUs : contents.facts.clockAtZeroUs;
    Summary summary;
    size_t shownHost = 0, shownDevice = 0;
    for (const Record& record : records) {
        const Verdict verdict = record.Main();
        const char* key = VerdictKey(verdict);
        bool known = false;
        for (const char* name : {"ok", "badPair", "wrongFirstByte", "shortReply", "noReply", "strayBytes"}) {
            known = known || std::strcmp(key, name) == 0;
        }
        Require(known, "a verdict outside the known set");
        Require(!VerdictText(record).empty(), "a verdict without text");
        if (record.isExchange) {
            Require(!record.request.empty(), "an exchange without a request");
            shownHost += record.request.size();
            shownDevice += record.reply.size() + record.stray.size();
        } else {
            // Stray bytes are kept where an exchange keeps its request.
            Require(!record.request.empty(), "stray bytes without bytes");
            (record.straySide == Side::kHost ? shownHost : shownDevice) += record.request.size();
        }
        Require(!RecordText(record, display).empty(), "a record without text");
        Require(!RecordJson(record, display).empty(), "a record without JSON");
        summary.Add(record);
    }
    Require(shownHost == hostBytes, "bytes from the host lost or shown twice");
    Require(shownDevice == deviceBytes, "bytes from the controller lost or shown twice");
    Require(!SummaryText(summary, display).empty(), "no summary");
    return 0;
}
