// chart.h: the host's SVG line chart of a series and its average.
#ifndef SINEWMA_HOST_CHART_H
#define SINEWMA_HOST_CHART_H

#include <stddef.h>

#include <string>
#include <vector>

namespace swma_host {

struct ChartData {
    const float *series = nullptr;  // n values
    const float *average = nullptr; // n values; drawn from index average_from on
    size_t n = 0, average_from = 0;
    const double *x = nullptr; // n positions, or null for the row index
    std::string title, x_name, series_name, average_name;
};

// An axis: the range drawn and its ticks (at most kMaxTicks), each with its label.
struct Axis {
    static constexpr size_t kMaxTicks = 32;
    double lo = 0, hi = 1, step = 1;
    bool scientific = false; // labels in scientific notation
    std::vector<double> ticks;
    std::vector<std::string> labels;
};

// The axis for data in [lo, hi] (lo > hi or a non-finite bound: no data), about `want` ticks,
// padded by 5% on each side if `pad`. A range that is empty, or too narrow for its
// magnitude to be divided into ticks, is widened to 10% of its magnitude around its centre
// (to [-1, 1] around zero). Bounds of magnitude up to 1e300 are taken.
Axis make_axis(double lo, double hi, int want, bool pad);

// A tick's label, `v` a multiple of `step`: fixed notation with the digits the step needs, or
// scientific notation with the digits that tell ticks `step` apart ("1.05e16", "2.5e-9").
std::string tick_label(double v, double step, bool scientific);

// The chart, 800 x 420: the series in grey, the average in blue; non-finite values break the
// lines. Positions are taken only when all are finite and of magnitude up to 1e300; else
// the row index is drawn. Every coordinate written is finite.
std::string svg_chart(const ChartData &data);

// Text made safe for XML character data and attribute values: markup escaped, control
// characters and invalid UTF-8 replaced by U+FFFD, cut to `max_chars` characters.
std::string xml_text(const std::string &s, size_t max_chars = 80);

} // namespace swma_host

#endif
