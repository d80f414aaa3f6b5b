// host_fuzz.cpp: libFuzzer target over the host's CSV reader and chart: bytes -> a table ->
// a chart. A rejected input must carry a message and a line and column inside the input; an
// accepted one must chart to well-formed XML with finite coordinates in the view and one
// point per finite value. The average is a plain trailing mean, so no library is needed.
#include "chart.h"
#include "csv.h"
#include "host_svg_check.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fault(const std::string &why)
{
    fprintf(stderr, "host_fuzz: %s\n", why.c_str());
    abort();
}

size_t points_in(const swma_svg::Checker &c, const char *cls)
{
    size_t n = 0;
    for (const swma_svg::Element &e : c.elements)
        if (e.name == "polyline" && e.attribute("class") == cls) {
            const std::string p = e.attribute("points");
            n += size_t(std::count(p.begin(), p.end(), ','));
        }
    return n;
}

} // namespace

// The first byte picks the options: the column (none, "1", "2", "close"), whether the first
// column is read as positions, and the period (1 to 32). The rest is the CSV text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t flags = size > 0 ? data[0] : 0;
    const std::string text(reinterpret_cast<const char *>(data) + (size > 0), size - (size > 0));
    swma_host::CsvOptions options;
    static const char *const kColumns[] = {"", "1", "2", "close"};
    options.column = kColumns[flags & 3];
    options.want_x = (flags & 4) != 0;
    const size_t period = size_t(flags >> 3) + 1;

    swma_host::Table t;
    swma_host::CsvError e;
    if (!swma_host::read_csv(text, options, t, e)) {
        if (e.message.empty() || e.line < 1 || e.column < 1)
            fault("a rejection without a message or a place: '" + e.message + "'");
        // The line must exist (or be the one just past the end), the column lie on it.
        size_t start = 0, line = 1;
        while (line < e.line && start <= text.size()) {
            const size_t nl = text.find('\n', start);
            start = nl == std::string::npos ? text.size() + 1 : nl + 1;
            line++;
        }
        if (start > text.size() && !(start == text.size() + 1 && e.column == 1 && text.empty()))
            fault("line " + std::to_string(e.line) + " is past the input: " + e.message);
        const size_t nl = text.find('\n', std::min(start, text.size()));
        const size_t length = (nl == std::string::npos ? text.size() : nl) - std::min(start, text.size());
        if (e.column > length + 1)
            fault("column " + std::to_string(e.column) + " is past line " + std::to_string(e.line) +
                  " (" + std::to_string(length) + " bytes): " + e.message);
        return 0;
    }
    const size_t n = t.values.size();
    if (n == 0 || (!t.x.empty() && t.x.size() != n) || t.chosen >= t.columns ||
        (!t.names.empty() && t.names.size() != t.columns))
        fault("an inconsistent table");
    // The rows walked again from the text are the rows read (the host prints them this way).
    size_t pos = t.data_begin, rows = 0;
    std::string_view line;
    while (swma_host::next_data_line(text, pos, line)) {
        if (rows >= n)
            fault("more data lines than values");
        if (line.find('"') == std::string_view::npos) { // unquoted: the field is plain to find
            size_t begin = 0;
            for (size_t field = 0; field < t.chosen; field++)
                begin = line.find(',', begin) + 1;
            const size_t end = std::min(line.find(',', begin), line.size());
            float v;
            if (!swma_host::parse_float(line.substr(begin, end - begin), v) ||
                memcmp(&v, &t.values[rows], sizeof v) != 0)
                fault("row " + std::to_string(rows) + " reads differently the second time");
        }
        rows++;
    }
    if (rows != n)
        fault("fewer data lines than values");

    std::vector<float> average(n);
    double sum = 0;
    for (size_t i = 0; i < n; i++) {
        sum += t.values[i];
        if (i >= period)
            sum -= t.values[i - period];
        average[i] = float(sum / double(period));
    }
    swma_host::ChartData d;
    d.series = t.values.data();
    d.average = average.data();
    d.n = n;
    d.average_from = period - 1;
    d.x = t.x.empty() ? nullptr : t.x.data();
    d.title = "period " + std::to_string(period);
    d.x_name = t.names.empty() ? "column 1" : t.names[0];
    d.series_name = t.names.empty() ? "series" : t.names[t.chosen];
    d.average_name = "average";
    const std::string svg = swma_host::svg_chart(d);
    swma_svg::Checker c(svg);
    const std::string why = c.check();
    if (!why.empty())
        fault("chart: " + why + "\n" + svg);
    size_t finite = 0, finite_average = 0;
    for (size_t i = 0; i < n; i++) {
        finite += std::isfinite(t.values[i]);
        finite_average += i + 1 >= period && std::isfinite(average[i]);
    }
    if (points_in(c, "series") != finite || points_in(c, "average") != finite_average)
        fault("chart: a point per finite value expected");
    return 0;
}
