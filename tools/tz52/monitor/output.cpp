#include "tools/tz52/monitor/output.h"

#include <cstdio>

#include "tools/tz52/output/json.h"

namespace tz52monitor {

namespace {

const Verdict kFailureOrder[] = {Verdict::kBadPair, Verdict::kWrongFirstByte, Verdict::kShortReply,
                                 Verdict::kNoReply, Verdict::kStrayBytes};

const char* FailureName(Verdict verdict) {
    switch (verdict) {
        case Verdict::kBadPair: return "bad pair";
        case Verdict::kWrongFirstByte: return "wrong first byte";
        case Verdict::kShortReply: return "short reply";
        case Verdict::kNoReply: return "no reply";
        case Verdict::kStrayBytes: return "stray bytes";
        case Verdict::kOk: break;
    }
    return "ok";
}

std::string Milliseconds(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%lld.%03lld", us < 0 ? "-" : "", static_cast<long long>((us < 0 ? -us : us) / 1000),
                  static_cast<long long>((us < 0 ? -us : us) % 1000));
    return text;
}

Json MillisecondsJson(int64_t us) {
    if (us == kNoTime) return nullptr;
    return static_cast<double>(us) / 1000.0;
}

const char* SideName(Side side) { return side == Side::kHost ? "host" : "controller"; }

}  // namespace

std::string DayTimeText(int64_t dayUs, int decimals) {
    int64_t us = dayUs % kMicrosecondsPerDay;
    if (us < 0) us += kMicrosecondsPerDay;
    char text[32];
    const long long seconds = us / 1000000;
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%06lld", seconds / 3600, seconds / 60 % 60, seconds % 60,
                  static_cast<long long>(us % 1000000));
    std::string result = text;
    result.resize(result.size() - static_cast<size_t>(6 - decimals));
    return result;
}

std::string TimeText(int64_t timeUs, const DisplayOptions& options) {
    if (timeUs == kNoTime) return "-";
    if (options.clock && options.hasClock) return DayTimeText(options.clockAtZeroUs + timeUs, 3);
    return Milliseconds(timeUs);
}

std::string HeaderText(const DisplayOptions& options) {
    char text[160];
    std::snprintf(text, sizeof text, "%12s  %3s  %-30s %7s  %10s  %s\n",
                  options.clock && options.hasClock ? "CLOCK" : "TIME (ms)", "ST", "COMMAND", "VALUE", "REPLY (ms)",
                  "VERDICT");
    return text;
}

std::string RecordText(const Record& record, const DisplayOptions& options) {
    std::string command;
    std::string station = "-";
    std::string value = "";
    if (record.isExchange) {
        command = tz52line::DescribeCommand(record.command);
        station = std::to_string(record.station);
        if (record.hasValue) value = std::to_string(record.value);
    } else {
        command = std::string("(from the ") + SideName(record.straySide) + ")";
    }
    const std::string reply = record.replyUs == kNoTime ? "-" : Milliseconds(record.replyUs);
    char line[256];
    std::snprintf(line, sizeof line, "%12s  %3s  %-30s %7s  %10s  %s\n", TimeText(record.timeUs, options).c_str(),
                  station.c_str(), command.c_str(), value.c_str(), reply.c_str(), VerdictText(record).c_str());
    std::string text = line;
    if (!options.raw) return text;
    const std::string indent(14, ' ');
    if (!record.isExchange) {
        return text + indent + (record.straySide == Side::kHost ? "> " : "< ") + tz52line::HexBytes(record.request) +
               "\n";
    }
    text += indent + "> " + tz52line::HexBytes(record.request) + "\n";
    if (!record.reply.empty()) text += indent + "< " + tz52line::HexBytes(record.reply) + "\n";
    if (!record.stray.empty()) text += indent + "< " + tz52line::HexBytes(record.stray) + " (stray)\n";
    return text;
}

std::string RecordJson(const Record& record, const DisplayOptions& options) {
    Json json;
    if (record.isExchange) {
        json["exchange"] = record.number;
    } else {
        json["stray"] = SideName(record.straySide);
    }
    json["timeMs"] = MillisecondsJson(record.timeUs);
    if (options.clock && options.hasClock && record.timeUs != kNoTime) {
        json["clock"] = DayTimeText(options.clockAtZeroUs + record.timeUs, 6);
    }
    const Verdict verdict = record.Main();
    if (record.isExchange) {
        bool write = false;
        json["station"] = record.station;
        const std::string target = tz52line::CommandTarget(record.command, &write);
        json["command"] = write ? "write" : "read";
        json["point"] = target;
        if (write) json["written"] = record.command.value;
        json["value"] = record.hasValue ? Json(record.value) : Json(nullptr);
        json["replyMs"] = MillisecondsJson(record.replyUs);
        json["verdict"] = VerdictKey(verdict);
        json["detail"] = VerdictText(record);
        json["request"] = tz52line::HexBytes(record.request);
        json["reply"] = tz52line::HexBytes(record.reply);
        json["strayBytes"] = tz52line::HexBytes(record.stray);
    } else {
        json["verdict"] = VerdictKey(verdict);
        json["detail"] = VerdictText(record);
        json["bytes"] = tz52line::HexBytes(record.request);
    }
    return JsonText(json);
}

std::string NotShownText(uint64_t count, const DisplayOptions& options) {
    if (options.json) return JsonText(Json{{"notShown", count}}) + "\n";
    return "(" + std::to_string(count) + " exchange(s) not shown: the display fell behind the line)\n";
}

std::string SummaryText(const Summary& summary, const DisplayOptions& options) {
    int64_t minUs = 0, medianUs = 0, maxUs = 0;
    const bool timed = summary.ReplyTimes(&minUs, &medianUs, &maxUs);
    if (options.json) {
        Json stations = Json::object();
        for (const auto& entry : summary.stations) {
            stations[std::to_string(entry.first)] = {{"exchanges", entry.second.exchanges},
                                                     {"failed", entry.second.failed}};
        }
        Json failures = Json::object();
        for (Verdict verdict : kFailureOrder) {
            const auto found = summary.failures.find(verdict);
            failures[VerdictKey(verdict)] = found == summary.failures.end() ? 0 : found->second;
        }
        Json replies = {{"count", summary.replies}};
        replies["minMs"] = timed ? MillisecondsJson(minUs) : Json(nullptr);
        replies["medianMs"] = timed ? MillisecondsJson(medianUs) : Json(nullptr);
        replies["maxMs"] = timed ? MillisecondsJson(maxUs) : Json(nullptr);
        Json all = {{"exchanges", summary.exchanges}, {"stations", stations}, {"failures", failures},
                    {"replyTimes", replies}, {"notShown", summary.notShown},
                    {"bytesNotDecoded", summary.bytesNotDecoded}};
        return JsonText(Json{{"summary", all}}) + "\n";
    }
    uint64_t failed = 0;
    for (const auto& entry : summary.stations) failed += entry.second.failed;
    std::string text = "summary: " + std::to_string(summary.exchanges) + " exchange(s), " + std::to_string(failed) +
                       " failed\n";
    for (const auto& entry : summary.stations) {
        text += "  station " + std::to_string(entry.first) + ": " + std::to_string(entry.second.exchanges) +
                " exchange(s), " + std::to_string(entry.second.failed) + " failed\n";
    }
    std::string failures;
    for (Verdict verdict : kFailureOrder) {
        const auto found = summary.failures.find(verdict);
        if (found == summary.failures.end()) continue;
        failures += (failures.empty() ? "" : ", ") + std::string(FailureName(verdict)) + " " +
                    std::to_string(found->second);
    }
    text += "  failures: " + (failures.empty() ? std::string("none") : failures) + "\n";
    if (timed) {
        text += "  reply time: min " + Milliseconds(minUs) + " ms, median " + Milliseconds(medianUs) + " ms, max " +
                Milliseconds(maxUs) + " ms (" + std::to_string(summary.replies) + " timed replies)\n";
    } else {
        text += "  reply time: no timed replies\n";
    }
    if (summary.notShown > 0) {
        text += "  " + std::to_string(summary.notShown) + " exchange(s) not shown: the display fell behind the line\n";
    }
    if (summary.bytesNotDecoded > 0) {
        text += "  " + std::to_string(summary.bytesNotDecoded) +
                " byte(s) relayed but not decoded: the output was blocked too long\n";
    }
    return text;
}

}  // namespace tz52monitor
