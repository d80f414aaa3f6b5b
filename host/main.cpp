// main.cpp: sinewma, a command-line host: reads a CSV series, loads the library at run time
// as trading and charting hosts do, and prints the series with its sine-weighted moving
// average (and, on request, draws both as an SVG chart).
#include "sinewma.h"
#include "sinewma_internal.h"

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <charconv>
#include <cmath>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#ifndef SINEWMA_VERSION
#define SINEWMA_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "usage: sinewma [options] [FILE]\n"
    "\n"
    "Reads a CSV series from FILE (or standard input, also as '-'), computes its\n"
    "sine-weighted moving average with the sinewma library and prints the input's\n"
    "columns plus one named swma<N>.\n"
    "\n"
    "options:\n"
    "  --period N        window length, a positive integer (default 14)\n"
    "  --column C        the series: a header name, or a 1-based column number\n"
    "                    (default: the column named close, any case, else the last)\n"
    "  --raw             print the stored value in warm-up slots (3.4e+38) instead of\n"
    "                    leaving them empty\n"
    "  --svg FILE        also draw the series and its average as an SVG line chart\n"
    "  --library PATH    the library to load (default: the one beside this program)\n"
    "  --help            show this help and exit\n"
    "  --version         show version, architecture, SIMD path and compiler, and exit\n"
    "\n"
    "The input may have a header row or not: the first row is a header when any of\n"
    "its fields is not a number. Numbers are read to the nearest float;\n"
    "results print in the shortest form that reads back to the same float.\n";

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string &message) { throw Failure{message}; }

std::string where(const std::string &file, size_t line, size_t column)
{
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
}

// ---- input ------------------------------------------------------------------------------

bool read_all(FILE *f, std::string &out)
{
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    return !ferror(f);
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Splits one CSV line into fields (double quotes may enclose a field, "" is a quote).
// Returns false on an unterminated quote.
bool split_fields(std::string_view line, std::vector<std::string_view> &fields)
{
    fields.clear();
    size_t i = 0;
    for (;;) {
        size_t start = i;
        if (i < line.size() && line[i] == '"') {
            i++;
            while (i < line.size() && !(line[i] == '"' && (i + 1 >= line.size() || line[i + 1] != '"')))
                i += line[i] == '"' ? 2 : 1;
            if (i >= line.size())
                return false;
            i++;
        }
        while (i < line.size() && line[i] != ',')
            i++;
        fields.push_back(line.substr(start, i - start));
        if (i >= line.size())
            return true;
        i++;
    }
}

std::string unquote(std::string_view f)
{
    f = trim(f);
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"') {
        std::string s;
        for (size_t i = 1; i + 1 < f.size(); i++) {
            s += f[i];
            if (f[i] == '"')
                i++;
        }
        return s;
    }
    return std::string(f);
}

// The nearest float to a decimal (or "nan", "inf"); false if the field is not a number.
bool parse_float(std::string_view text, float &out)
{
    std::string s = unquote(text);
    const char *b = s.data(), *e = s.data() + s.size();
    if (b != e && *b == '+')
        b++;
    if (b == e)
        return false;
    auto r = std::from_chars(b, e, out);
    return r.ec == std::errc() && r.ptr == e;
}

struct Table {
    std::vector<size_t> starts;     // where each data line begins in the text
    std::string_view header;        // empty if none
    std::vector<std::string> names; // header names, unquoted
    size_t columns = 0;
    size_t chosen = 0; // 0-based
    std::vector<float> values;
    std::vector<double> x; // the first column, when it is numeric and not the chosen one
};

bool ieq(const std::string &a, const char *b)
{
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i]))
            return false;
    return true;
}

// The line that starts at `pos`, without its line break.
std::string_view line_at(const std::string &text, size_t pos)
{
    size_t nl = text.find('\n', pos);
    std::string_view line(text.data() + pos, (nl == std::string::npos ? text.size() : nl) - pos);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// One pass over the text, keeping 12 bytes a row (its start and its value) besides the
// text itself, so that long series fit in a few times their own size.
Table parse(const std::string &text, const std::string &file, const std::string &column,
            bool want_x)
{
    Table t;
    std::vector<std::string_view> fields;
    size_t pos = 0, number = 0;
    bool first = true, x_numeric = false;
    while (pos < text.size()) {
        const size_t start = pos;
        std::string_view line = line_at(text, pos);
        number++;
        pos = start + line.size();
        pos = text.find('\n', pos);
        pos = pos == std::string::npos ? text.size() : pos + 1;
        if (trim(line).empty())
            continue;
        if (!split_fields(line, fields))
            fail(where(file, number, 1) + "unterminated quote");
        if (first) {
            first = false;
            t.columns = fields.size();
            // The first row is a header when any of its fields is not a number.
            float scratch;
            bool header = false;
            for (std::string_view f : fields)
                header = header || !parse_float(f, scratch);
            if (header) {
                t.header = line;
                for (std::string_view f : fields)
                    t.names.push_back(unquote(f));
            }
            if (!column.empty()) {
                const bool digits = column.find_first_not_of("0123456789") == std::string::npos;
                size_t found = SIZE_MAX;
                for (size_t i = 0; i < t.names.size() && found == SIZE_MAX; i++)
                    if (t.names[i] == column)
                        found = i;
                if (found == SIZE_MAX && digits && column.size() < 10) {
                    unsigned long n = strtoul(column.c_str(), nullptr, 10);
                    if (n >= 1 && n <= t.columns)
                        found = n - 1;
                }
                if (found == SIZE_MAX)
                    fail(where(file, number, 1) + "no column '" + column + "' (the input has " +
                         std::to_string(t.columns) + (t.names.empty() ? " unnamed" : "") +
                         " columns)");
                t.chosen = found;
            } else {
                t.chosen = t.columns - 1;
                for (size_t i = 0; i < t.names.size(); i++)
                    if (ieq(t.names[i], "close"))
                        t.chosen = i;
            }
            x_numeric = want_x && t.columns > 1 && t.chosen != 0;
            if (header)
                continue;
        }
        if (fields.size() != t.columns)
            fail(where(file, number, 1) + "row has " + std::to_string(fields.size()) +
                 " fields, the first row " + std::to_string(t.columns));
        float v;
        if (!parse_float(fields[t.chosen], v)) {
            size_t col = size_t(fields[t.chosen].data() - line.data()) + 1;
            fail(where(file, number, col) + "not a number: '" +
                 std::string(trim(fields[t.chosen])) + "'");
        }
        if (t.values.size() >= size_t(INT32_MAX))
            fail(where(file, number, 1) + "too many rows");
        t.values.push_back(v);
        t.starts.push_back(start);
        float xv;
        if (x_numeric && parse_float(fields[0], xv) && std::isfinite(xv))
            t.x.push_back(double(xv));
        else
            x_numeric = false;
    }
    if (first)
        fail(file + ": empty input: no rows");
    if (t.values.empty())
        fail(file + ": no data rows after the header");
    if (!x_numeric)
        t.x.clear();
    return t;
}

bool parse_period(const char *s, int &out)
{
    const char *e = s + strlen(s);
    auto r = std::from_chars(s, e, out);
    return r.ec == std::errc() && r.ptr == e && out >= 1;
}

// ---- the library ------------------------------------------------------------------------

std::string beside_program(const char *argv0)
{
#if defined(_WIN32)
    (void)argv0;
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    size_t slash = p.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + "sinewma.dll";
#else
    std::string p;
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    p = n > 0 ? std::string(buf, size_t(n)) : std::string(argv0);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "./" : p.substr(0, slash + 1);
    // Beside the program in a build folder, or ../lib beside bin in an installed tree.
    std::string here = dir + "libsinewma.so";
    if (access(here.c_str(), F_OK) == 0)
        return here;
    std::string installed = dir + "../lib/libsinewma.so.1";
    if (access(installed.c_str(), F_OK) == 0)
        return installed;
    return here;
#endif
}

SineWeightedMovingAverageFn load(const std::string &path)
{
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h)
        fail("cannot load the library " + path + " (error " + std::to_string(GetLastError()) + ")");
    auto fn = reinterpret_cast<SineWeightedMovingAverageFn>(
        reinterpret_cast<void *>(GetProcAddress(h, "SineWeightedMovingAverage")));
#else
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h)
        fail("cannot load the library " + path + ": " + dlerror());
    auto fn = reinterpret_cast<SineWeightedMovingAverageFn>(dlsym(h, "SineWeightedMovingAverage"));
#endif
    if (!fn)
        fail("the library " + path + " has no export SineWeightedMovingAverage");
    return fn; // the library stays loaded until the process ends
}

// ---- output -----------------------------------------------------------------------------

std::string shortest(float v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string fixed(double v, int digits)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

// Tick positions: a step of 1, 2 or 5 times a power of ten giving about `want` ticks.
std::vector<double> ticks(double lo, double hi, int want, int &digits)
{
    std::vector<double> t;
    double span = hi - lo;
    if (!(span > 0))
        span = 1;
    double raw = span / want, p = std::pow(10.0, std::floor(std::log10(raw)));
    double step = raw / p < 1.5 ? p : raw / p < 3.5 ? 2 * p : raw / p < 7.5 ? 5 * p : 10 * p;
    digits = step >= 1 ? 0 : int(std::ceil(-std::log10(step)));
    for (double v = std::ceil(lo / step) * step; v <= hi + step * 1e-9; v += step)
        t.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);
    return t;
}

std::string xml_escape(const std::string &s)
{
    std::string o;
    for (char c : s)
        o += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : c == '"' ? "&quot;" : std::string(1, c);
    return o;
}

// A line chart, 800 x 420: the series in grey, the average in blue, which starts at the
// first complete window (the warm-up is a gap). Non-finite values also break the lines.
std::string svg(const Table &t, const std::vector<float> &avg, int period, const std::string &title)
{
    const double W = 800, H = 420, left = 64, right = 20, top = 40, bottom = 48;
    const size_t n = t.values.size();
    auto xv = [&](size_t i) { return t.x.empty() ? double(i) : t.x[i]; };
    double x0 = xv(0), x1 = xv(n - 1);
    double y0 = HUGE_VAL, y1 = -HUGE_VAL;
    auto widen = [&](float v) {
        if (std::isfinite(v)) {
            y0 = std::fmin(y0, v);
            y1 = std::fmax(y1, v);
        }
    };
    for (size_t i = 0; i < n; i++) {
        widen(t.values[i]);
        if (i >= size_t(period - 1))
            widen(avg[i]);
    }
    if (!(y0 <= y1))
        y0 = 0, y1 = 1;
    if (x1 == x0)
        x1 = x0 + 1;
    if (y1 == y0)
        y1 = y0 + 1;
    const double pad = (y1 - y0) * 0.05;
    y0 -= pad;
    y1 += pad;
    auto px = [&](double x) { return left + (x - x0) / (x1 - x0) * (W - left - right); };
    auto py = [&](double y) { return top + (y1 - y) / (y1 - y0) * (H - top - bottom); };

    std::string s;
    s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"420\" viewBox=\"0 0 800 420\" "
         "font-family=\"sans-serif\" font-size=\"12\">\n";
    s += "<rect width=\"800\" height=\"420\" fill=\"white\"/>\n";
    s += "<text x=\"" + fixed(W / 2, 0) + "\" y=\"22\" text-anchor=\"middle\" font-size=\"15\">" +
         xml_escape(title) + "</text>\n";
    int dx, dy;
    s += "<g stroke=\"#ddd\">\n";
    std::string labels;
    for (double v : ticks(y0, y1, 6, dy)) {
        s += "<line x1=\"" + fixed(left, 1) + "\" x2=\"" + fixed(W - right, 1) + "\" y1=\"" +
             fixed(py(v), 1) + "\" y2=\"" + fixed(py(v), 1) + "\"/>\n";
        labels += "<text x=\"" + fixed(left - 6, 1) + "\" y=\"" + fixed(py(v) + 4, 1) +
                  "\" text-anchor=\"end\">" + fixed(v, dy) + "</text>\n";
    }
    for (double v : ticks(x0, x1, 8, dx)) {
        s += "<line x1=\"" + fixed(px(v), 1) + "\" x2=\"" + fixed(px(v), 1) + "\" y1=\"" +
             fixed(top, 1) + "\" y2=\"" + fixed(H - bottom, 1) + "\"/>\n";
        labels += "<text x=\"" + fixed(px(v), 1) + "\" y=\"" + fixed(H - bottom + 16, 1) +
                  "\" text-anchor=\"middle\">" + fixed(v, dx) + "</text>\n";
    }
    s += "</g>\n<g fill=\"#333\">\n" + labels + "</g>\n";
    s += "<path d=\"M" + fixed(left, 1) + " " + fixed(top, 1) + "V" + fixed(H - bottom, 1) + "H" +
         fixed(W - right, 1) + "\" fill=\"none\" stroke=\"#333\"/>\n";
    const std::string xname = t.x.empty() ? "index" : t.names.empty() ? "column 1" : t.names[0];
    s += "<text x=\"" + fixed((left + W - right) / 2, 1) + "\" y=\"" + fixed(H - 10, 1) +
         "\" text-anchor=\"middle\">" + xml_escape(xname) + "</text>\n";

    // One polyline per unbroken run; one point per value.
    auto lines = [&](const std::vector<float> &v, size_t from, const char *cls, const char *colour,
                     const char *width) {
        std::string out, pts;
        auto flush = [&] {
            if (!pts.empty())
                out += std::string("<polyline class=\"") + cls + "\" fill=\"none\" stroke=\"" +
                       colour + "\" stroke-width=\"" + width + "\" points=\"" + pts + "\"/>\n";
            pts.clear();
        };
        for (size_t i = from; i < n; i++) {
            if (!std::isfinite(v[i])) {
                flush();
                continue;
            }
            if (!pts.empty())
                pts += ' ';
            pts += fixed(px(xv(i)), 2) + "," + fixed(py(v[i]), 2);
        }
        flush();
        return out;
    };
    s += lines(t.values, 0, "series", "#999", "1");
    s += lines(avg, size_t(period - 1), "average", "#1f5fbf", "2");

    const std::string series = t.names.empty() ? "series" : t.names[t.chosen];
    s += "<g transform=\"translate(" + fixed(left + 12, 0) + "," + fixed(top + 8, 0) + ")\">\n"
         "<rect width=\"190\" height=\"44\" fill=\"white\" stroke=\"#ccc\"/>\n"
         "<line x1=\"8\" x2=\"32\" y1=\"15\" y2=\"15\" stroke=\"#999\"/>"
         "<text x=\"40\" y=\"19\">" + xml_escape(series) + "</text>\n"
         "<line x1=\"8\" x2=\"32\" y1=\"33\" y2=\"33\" stroke=\"#1f5fbf\" stroke-width=\"2\"/>"
         "<text x=\"40\" y=\"37\">sine-weighted average, " + std::to_string(period) + "</text>\n</g>\n";
    s += "</svg>\n";
    return s;
}

std::string version()
{
    std::string arch =
#if defined(__x86_64__)
        "x86_64";
#elif defined(__i386__)
        "x86";
#else
        "other";
#endif
    swma_isa isa = swma_cpu_isa();
    std::string simd = isa == SWMA_ISA_AVX2 ? "avx2" : isa == SWMA_ISA_SSE2 ? "sse2" : "scalar";
    return "sinewma " SINEWMA_VERSION " (" + arch + ", SIMD path " + simd + ", compiler " +
#if defined(__clang__)
           "clang " __clang_version__ +
#elif defined(__GNUC__)
           "GCC " __VERSION__ +
#else
           "unknown" +
#endif
           std::string(")\n");
}

int run(int argc, char **argv)
{
    int period = 14;
    std::string column, svg_file, library, file;
    bool raw = false, have_file = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc)
                fail(std::string("option ") + name + " needs a value (see --help)");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            fputs(version().c_str(), stdout);
            return 0;
        } else if (a == "--period") {
            const char *v = value("--period");
            if (!parse_period(v, period))
                fail(std::string("--period must be a positive integer, not '") + v + "'");
        } else if (a == "--column") {
            column = value("--column");
        } else if (a == "--svg") {
            svg_file = value("--svg");
        } else if (a == "--library") {
            library = value("--library");
        } else if (a == "--raw") {
            raw = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            fail("unknown option '" + a + "' (see --help)");
        } else if (have_file) {
            fail("more than one input file (see --help)");
        } else {
            file = a;
            have_file = true;
        }
    }

    std::string text, name = have_file && file != "-" ? file : "<stdin>";
    if (have_file && file != "-") {
        FILE *f = fopen(file.c_str(), "rb");
        if (!f)
            fail(file + ": cannot open: " + strerror(errno));
        if (fseek(f, 0, SEEK_END) == 0) { // read in one piece when the size is known
            long size = ftell(f);
            if (size > 0)
                text.reserve(size_t(size));
            fseek(f, 0, SEEK_SET);
        }
        bool ok = read_all(f, text);
        fclose(f);
        if (!ok)
            fail(file + ": cannot read");
    } else if (!read_all(stdin, text)) {
        fail("<stdin>: cannot read");
    }
    Table t = parse(text, name, column, !svg_file.empty());

    SineWeightedMovingAverageFn fn = load(library.empty() ? beside_program(argv[0]) : library);
    std::vector<float> avg(t.values.size());
    fn(t.values.data(), period, int(t.values.size()), avg.data());

    // Everything that can fail has run; now write.
    std::string chart;
    if (!svg_file.empty()) {
        chart = svg(t, avg, period,
                    "Sine-weighted moving average, period " + std::to_string(period));
        FILE *f = fopen(svg_file.c_str(), "wb");
        if (!f || fwrite(chart.data(), 1, chart.size(), f) != chart.size() || fclose(f) != 0)
            fail(svg_file + ": cannot write the chart");
    }
    std::string out;
    out.reserve(1u << 21);
    const std::string col = "swma" + std::to_string(period);
    if (!t.header.empty())
        out.append(t.header).append(",").append(col).append("\n");
    for (size_t i = 0; i < t.values.size(); i++) {
        out.append(line_at(text, t.starts[i])).append(",");
        if (raw || i >= size_t(period - 1))
            out.append(shortest(avg[i]));
        out.append("\n");
        if (out.size() > (1u << 20)) {
            fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    fwrite(out.data(), 1, out.size(), stdout);
    if (fflush(stdout) != 0)
        fail("cannot write standard output");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY); // the same bytes as on Linux: \n line ends
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    try {
        return run(argc, argv);
    } catch (const Failure &f) {
        fprintf(stderr, "sinewma: %s\n", f.message.c_str());
        return 1;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "sinewma: out of memory\n");
        return 1;
    }
}
