// Metric families in the OpenMetrics text format, as scrapers and the node
// exporter's textfile collector read them.  Only the counter and gauge
// types are written: the Prometheus text parser of the textfile collector
// refuses the OpenMetrics-only types (unknown, info), so values of no
// better type are gauges, and an information metric is a gauge of 1 named
// ..._info.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace metrics {

struct Sample {
    std::vector<std::pair<std::string, std::string>> labels;  // name, value (any bytes)
    std::uint64_t value = 0;
};

struct Family {
    enum class Type { Gauge, Counter } type = Type::Gauge;
    std::string name;  // a counter's without "_total"
    std::string help;
    std::vector<Sample> samples;
};

// Whether a metric or label name is made of [a-zA-Z_:][a-zA-Z0-9_:]*
// (no colon in a label name).
bool ValidMetricName(const std::string& name);
bool ValidLabelName(const std::string& name);

// The exposition: every family once (families of one name given more than
// once are joined, a sample whose labels repeat one already written is
// left out), "# TYPE" and "# HELP" before its samples, a counter's samples
// named NAME_total, label values and help made printable (PrintableText.h)
// and escaped, ending with "# EOF".  A family or label whose name is not
// valid is left out.
std::string ToOpenMetrics(const std::vector<Family>& families);

}  // namespace metrics
