// chart.cpp: the host's SVG line chart.
#include "chart.h"

#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <cmath>

namespace swma_host {
namespace {

// Magnitudes beyond this are clamped (a position column of 1e308 would overflow hi - lo).
constexpr double kMaxMagnitude = 1e300;
// A narrower range is widened: below it, tick multiples of the step would no longer be
// integers exactly representable, and ticks would repeat.
constexpr double kMinRelativeSpan = 0x1p-30;
// The narrowest range in absolute terms (keeps steps and their logarithms normal numbers).
constexpr double kMinSpan = 1e-280;

std::string fixed(double v, int digits)
{
    char buf[400];
    snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

} // namespace

Axis make_axis(double lo, double hi, int want, bool pad)
{
    Axis a;
    if (!(lo <= hi) || !std::isfinite(lo) || !std::isfinite(hi))
        lo = 0, hi = 1;
    lo = std::clamp(lo, -kMaxMagnitude, kMaxMagnitude);
    hi = std::clamp(hi, -kMaxMagnitude, kMaxMagnitude);
    const double m = std::fmax(std::fabs(lo), std::fabs(hi));
    if (!(hi - lo > m * kMinRelativeSpan)) {
        // Empty, or the values' own spacing: no step would move a tick. Widen around the
        // centre by a tenth of the magnitude; adding a constant would be absorbed by 1e16.
        const double c = lo / 2 + hi / 2, w = m > 0 ? m * 0.1 : 1;
        lo = c - w;
        hi = c + w;
    }
    if (!(hi - lo >= kMinSpan)) {
        const double c = lo / 2 + hi / 2;
        lo = c - kMinSpan;
        hi = c + kMinSpan;
    }
    if (pad) {
        const double p = (hi - lo) * 0.05;
        lo -= p;
        hi += p;
    }
    a.lo = lo;
    a.hi = hi;
    // A step of 1, 2 or 5 times a power of ten giving about `want` ticks.
    const double raw = (hi - lo) / want, p10 = std::pow(10.0, std::floor(std::log10(raw)));
    const double r = raw / p10;
    a.step = (r < 1.5 ? 1 : r < 3.5 ? 2 : r < 7.5 ? 5 : 10) * p10;
    a.scientific = std::fmax(std::fabs(lo), std::fabs(hi)) >= 1e9 || a.step < 1e-6;
    // Integers, exactly (|k| <= 10 * want / kMinRelativeSpan), so every tick is distinct.
    const double k0 = std::ceil(lo / a.step), k1 = std::floor(hi / a.step + 1e-9);
    for (double k = k0; k <= k1 && a.ticks.size() < Axis::kMaxTicks; k++) {
        const double v = k == 0 ? 0.0 : k * a.step;
        a.ticks.push_back(v);
        a.labels.push_back(tick_label(v, a.step, a.scientific));
    }
    return a;
}

std::string tick_label(double v, double step, bool scientific)
{
    if (v == 0 || !std::isfinite(v) || !(step > 0))
        return "0";
    const int e_step = int(std::floor(std::log10(step) + 1e-9));
    if (!scientific)
        return fixed(v, std::max(0, -e_step));
    const int e_v = int(std::floor(std::log10(std::fabs(v)) + 1e-12));
    char buf[64];
    snprintf(buf, sizeof buf, "%.*e", std::clamp(e_v - e_step, 0, 16), v);
    // "1.050e+16" -> "1.05e16", "2.0e-09" -> "2e-9".
    std::string s = buf;
    const size_t e = s.find('e');
    std::string mant = s.substr(0, e), exp = s.substr(e + 1);
    if (mant.find('.') != std::string::npos) {
        while (mant.back() == '0')
            mant.pop_back();
        if (mant.back() == '.')
            mant.pop_back();
    }
    const bool negative = exp[0] == '-';
    size_t digits = exp.find_first_not_of("+-0");
    return mant + "e" + (negative ? "-" : "") + (digits == std::string::npos ? "0" : exp.substr(digits));
}

std::string xml_text(const std::string &s, size_t max_chars)
{
    static const uint32_t kMinCode[5] = {0, 0, 0x80, 0x800, 0x10000}; // shortest forms only
    std::string o;
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); chars++) {
        if (chars == max_chars) {
            o += "\xE2\x80\xA6"; // an ellipsis
            break;
        }
        const unsigned char c = (unsigned char)s[i];
        size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint32_t code = len == 1 ? c : len == 2 ? c & 0x1Fu : len == 3 ? c & 0x0Fu : c & 0x07u;
        bool ok = len > 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; k++) {
            const unsigned char d = (unsigned char)s[i + k];
            ok = (d & 0xC0) == 0x80;
            code = code << 6 | (d & 0x3Fu);
        }
        // The characters XML allows, less line breaks (a name or title is one line).
        ok = ok && code >= kMinCode[len] && (code >= 0x20 || code == '\t') &&
             !(code >= 0xD800 && code <= 0xDFFF) && code != 0xFFFE && code != 0xFFFF && code <= 0x10FFFF;
        if (!ok) {
            o += "\xEF\xBF\xBD"; // U+FFFD for each byte that is not part of a character
            i++;
            continue;
        }
        switch (c) {
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '&': o += "&amp;"; break;
        case '"': o += "&quot;"; break;
        default: o.append(s, i, len);
        }
        i += len;
    }
    return o;
}

std::string svg_chart(const ChartData &d)
{
    const double W = 800, H = 420, left = 64, right = 20, top = 40, bottom = 48;
    const size_t n = d.n;
    bool positions = d.x != nullptr;
    for (size_t i = 0; positions && i < n; i++)
        positions = std::isfinite(d.x[i]) && std::fabs(d.x[i]) <= kMaxMagnitude;
    auto xv = [&](size_t i) { return positions ? d.x[i] : double(i); };
    double x0 = HUGE_VAL, x1 = -HUGE_VAL, y0 = HUGE_VAL, y1 = -HUGE_VAL;
    auto widen = [&](float v) {
        if (std::isfinite(v)) {
            y0 = std::fmin(y0, v);
            y1 = std::fmax(y1, v);
        }
    };
    for (size_t i = 0; i < n; i++) {
        x0 = std::fmin(x0, xv(i));
        x1 = std::fmax(x1, xv(i));
        widen(d.series[i]);
        if (i >= d.average_from)
            widen(d.average[i]);
    }
    const Axis ax = make_axis(x0, x1, 8, false), ay = make_axis(y0, y1, 6, true);
    // In the axis's own terms first: both differences are finite for bounds up to 1e300.
    auto px = [&](double x) { return left + (x - ax.lo) / (ax.hi - ax.lo) * (W - left - right); };
    auto py = [&](double y) { return top + (ay.hi - y) / (ay.hi - ay.lo) * (H - top - bottom); };

    std::string s;
    s.reserve(4096 + (n < SIZE_MAX / 32 ? n * 32 : 0));
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"420\" viewBox=\"0 0 800 420\" "
         "font-family=\"sans-serif\" font-size=\"12\">\n";
    s += "<rect width=\"800\" height=\"420\" fill=\"white\"/>\n";
    s += "<text x=\"" + fixed(W / 2, 0) + "\" y=\"22\" text-anchor=\"middle\" font-size=\"15\">" +
         xml_text(d.title) + "</text>\n";
    s += "<g stroke=\"#ddd\">\n";
    std::string labels;
    for (size_t k = 0; k < ay.ticks.size(); k++) {
        const double y = py(ay.ticks[k]);
        s += "<line x1=\"" + fixed(left, 1) + "\" x2=\"" + fixed(W - right, 1) + "\" y1=\"" +
             fixed(y, 1) + "\" y2=\"" + fixed(y, 1) + "\"/>\n";
        labels += "<text x=\"" + fixed(left - 6, 1) + "\" y=\"" + fixed(y + 4, 1) +
                  "\" text-anchor=\"end\">" + ay.labels[k] + "</text>\n";
    }
    for (size_t k = 0; k < ax.ticks.size(); k++) {
        const double x = px(ax.ticks[k]);
        s += "<line x1=\"" + fixed(x, 1) + "\" x2=\"" + fixed(x, 1) + "\" y1=\"" + fixed(top, 1) +
             "\" y2=\"" + fixed(H - bottom, 1) + "\"/>\n";
        labels += "<text x=\"" + fixed(x, 1) + "\" y=\"" + fixed(H - bottom + 16, 1) +
                  "\" text-anchor=\"middle\">" + ax.labels[k] + "</text>\n";
    }
    s += "</g>\n<g fill=\"#333\">\n" + labels + "</g>\n";
    s += "<path d=\"M" + fixed(left, 1) + " " + fixed(top, 1) + "V" + fixed(H - bottom, 1) + "H" +
         fixed(W - right, 1) + "\" fill=\"none\" stroke=\"#333\"/>\n";
    s += "<text x=\"" + fixed((left + W - right) / 2, 1) + "\" y=\"" + fixed(H - 10, 1) +
         "\" text-anchor=\"middle\">" + xml_text(positions ? d.x_name : "index") + "</text>\n";

    // One polyline per unbroken run; one point per value, written straight into the document
    // (a chart of ten million points is some 300 MB; it is not copied).
    auto lines = [&](const float *v, size_t from, const char *cls, const char *colour,
                     const char *width) {
        bool open = false;
        for (size_t i = from; i < n; i++) {
            if (!std::isfinite(v[i])) {
                if (open)
                    s += "\"/>\n";
                open = false;
                continue;
            }
            if (!open)
                s += std::string("<polyline class=\"") + cls + "\" fill=\"none\" stroke=\"" + colour +
                     "\" stroke-width=\"" + width + "\" points=\"";
            else
                s += ' ';
            open = true;
            s += fixed(px(xv(i)), 2);
            s += ',';
            s += fixed(py(v[i]), 2);
        }
        if (open)
            s += "\"/>\n";
    };
    lines(d.series, 0, "series", "#999", "1");
    lines(d.average, d.average_from, "average", "#1f5fbf", "2");

    s += "<g transform=\"translate(" + fixed(left + 12, 0) + "," + fixed(top + 8, 0) + ")\">\n"
         "<rect width=\"190\" height=\"44\" fill=\"white\" stroke=\"#ccc\"/>\n"
         "<line x1=\"8\" x2=\"32\" y1=\"15\" y2=\"15\" stroke=\"#999\"/>"
         "<text x=\"40\" y=\"19\">" + xml_text(d.series_name, 24) + "</text>\n"
         "<line x1=\"8\" x2=\"32\" y1=\"33\" y2=\"33\" stroke=\"#1f5fbf\" stroke-width=\"2\"/>"
         "<text x=\"40\" y=\"37\">" + xml_text(d.average_name, 40) + "</text>\n</g>\n";
    s += "</svg>\n";
    return s;
}

} // namespace swma_host
