// The Prometheus text exposition format (version 0.0.4), written for GET
// /metrics: each family's HELP and TYPE lines, then its samples. Counters
// are named without "_total", which the writer adds; a histogram's buckets
// are counted per bucket and written cumulative, with "+Inf", "_sum" and
// "_count". Label values from outside (user names, addresses) are escaped as
// the format asks, and bytes that are not UTF-8 are replaced, so that no
// value can spoil the scrape. Names are the caller's own constants.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_METRICS_TEXT_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_METRICS_TEXT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Label name and value pairs, in the order written.
using MetricLabels = std::vector<std::pair<std::string, std::string>>;

struct MetricSample {
    MetricLabels labels;
    double value = 0;
};

// Observations counted per bucket: counts[i] those no greater than
// upperBounds[i] (and greater than the bound before); counts has one more
// entry, for those above every bound.
struct HistogramCounts {
    explicit HistogramCounts(std::vector<double> bounds = {});
    void Observe(double value);

    std::vector<double> upperBounds;  // rising
    std::vector<uint64_t> counts;
    double sum = 0;
};

struct HistogramSample {
    MetricLabels labels;
    HistogramCounts counts;
};

class MetricsText {
public:
    void Counter(const std::string& name, const std::string& help, const std::vector<MetricSample>& samples);
    void Gauge(const std::string& name, const std::string& help, const std::vector<MetricSample>& samples);
    void Histogram(const std::string& name, const std::string& help, const std::vector<HistogramSample>& samples);

    const std::string& Text() const { return text_; }

private:
    void Family(const std::string& name, const char* type, const std::string& help);
    void Sample(const std::string& name, const MetricLabels& labels, const std::string& value,
                const std::pair<std::string, std::string>* extraLabel = nullptr);

    std::string text_;
};

// A label value as the format writes it between quotes: backslash, double
// quote and line feed escaped, bytes that are not UTF-8 as U+FFFD.
std::string EscapeLabelValue(const std::string& value);
// A sample value: integers whole, others as short as they read back the
// same, +Inf, -Inf, NaN.
std::string MetricValueText(double value);

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_METRICS_TEXT_H
