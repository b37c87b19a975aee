#include "tools/tz52/bridge/http/metrics_text.h"

#include <charconv>
#include <cmath>

namespace {

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char least = 0x80;
    unsigned char most = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) least = 0xA0;  // no overlong forms
        if (lead == 0xED) most = 0x9F;   // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) least = 0x90;
        if (lead == 0xF4) most = 0x8F;   // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < least || byte(at + 1) > most) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

// HELP text: backslash and line feed escaped.
std::string EscapeHelp(const std::string& help) {
    std::string escaped;
    for (const char c : help) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

}  // namespace

HistogramCounts::HistogramCounts(std::vector<double> bounds)
    : upperBounds(std::move(bounds)), counts(upperBounds.size() + 1, 0) {}

void HistogramCounts::Observe(double value) {
    size_t bucket = 0;
    while (bucket < upperBounds.size() && value > upperBounds[bucket]) ++bucket;
    ++counts[bucket];
    sum += value;
}

std::string EscapeLabelValue(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (size_t at = 0; at < value.size();) {
        const size_t length = Utf8SequenceLength(value, at);
        if (length == 0) {
            escaped += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        const char c = value[at];
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '"') {
            escaped += "\\\"";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped.append(value, at, length);
        }
        at += length;
    }
    return escaped;
}

std::string MetricValueText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto written = std::abs(value) < 1e15 && value == std::floor(value)
                             ? std::to_chars(text, text + sizeof text, static_cast<int64_t>(value))
                             : std::to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
}

void MetricsText::Family(const std::string& name, const char* type, const std::string& help) {
    text_ += "# HELP " + name + " " + EscapeHelp(help) + "\n";
    text_ += "# TYPE " + name + " " + type + "\n";
}

void MetricsText::Sample(const std::string& name, const MetricLabels& labels, const std::string& value,
                         const std::pair<std::string, std::string>* extraLabel) {
    text_ += name;
    if (!labels.empty() || extraLabel != nullptr) {
        char separator = '{';
        for (const auto& label : labels) {
            text_ += separator + label.first + "=\"" + EscapeLabelValue(label.second) + "\"";
            separator = ',';
        }
        if (extraLabel != nullptr) text_ += separator + extraLabel->first + "=\"" + extraLabel->second + "\"";
        text_ += '}';
    }
    text_ += " " + value + "\n";
}

void MetricsText::Counter(const std::string& name, const std::string& help,
                          const std::vector<MetricSample>& samples) {
    const std::string total = name + "_total";
    Family(total, "counter", help);
    for (const MetricSample& sample : samples) Sample(total, sample.labels, MetricValueText(sample.value));
}

void MetricsText::Gauge(const std::string& name, const std::string& help, const std::vector<MetricSample>& samples) {
    Family(name, "gauge", help);
    for (const MetricSample& sample : samples) Sample(name, sample.labels, MetricValueText(sample.value));
}

void MetricsText::Histogram(const std::string& name, const std::string& help,
                            const std::vector<HistogramSample>& samples) {
    Family(name, "histogram", help);
    for (const HistogramSample& sample : samples) {
        const HistogramCounts& counts = sample.counts;
        uint64_t cumulative = 0;
        for (size_t i = 0; i < counts.counts.size(); ++i) {
            cumulative += counts.counts[i];
            const std::pair<std::string, std::string> bound{
                "le", i < counts.upperBounds.size() ? MetricValueText(counts.upperBounds[i]) : "+Inf"};
            Sample(name + "_bucket", sample.labels, std::to_string(cumulative), &bound);
        }
        Sample(name + "_sum", sample.labels, MetricValueText(counts.sum));
        Sample(name + "_count", sample.labels, std::to_string(cumulative));
    }
}
