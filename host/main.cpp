// main.cpp: sinewma, a command-line host: reads a CSV series, loads the library at run time
// as trading and charting hosts do, and prints the series with its sine-weighted moving
// average (and, on request, draws both as an SVG chart).
#include "chart.h"
#include "csv.h"
#include "loader.h"
#include "sinewma.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <charconv>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#ifndef SINEWMA_VERSION
#define SINEWMA_VERSION "unknown"
#endif

namespace {

using namespace swma_host;

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
    "  --library PATH    the library to load (default: the one beside this program,\n"
    "                    or in the installed library folder)\n"
    "  --help            show this help and exit\n"
    "  --version         show the version, architecture, compiler, the library loaded\n"
    "                    and the SIMD the CPU offers, and exit\n"
    "\n"
    "The input may have a header row or not: the first row is a header when any of\n"
    "its fields is not a number. Numbers are read to the nearest float;\n"
    "results print in the shortest form that reads back to the same float.\n";

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string &message) { throw Failure{message}; }

// Reads the rest of `f`, in one piece when its size is known (a file, also as standard input),
// so that the text is never held twice while it grows.
bool read_all(FILE *f, std::string &out)
{
    const long here = ftell(f);
    if (here >= 0 && fseek(f, 0, SEEK_END) == 0) {
        const long end = ftell(f);
        if (end > here)
            out.reserve(size_t(end - here));
        fseek(f, here, SEEK_SET);
    }
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    return !ferror(f);
}

bool parse_period(const char *s, int &out)
{
    const char *e = s + strlen(s);
    auto r = std::from_chars(s, e, out);
    return r.ec == std::errc() && r.ptr == e && out >= 1;
}

std::string shortest(float v)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// What this program is and what it runs on; the library's own choice of path depends on each
// call (a small call stays on SSE2), so the CPU's offer is reported as the CPU's.
std::string version(const std::string &library)
{
    const char *arch =
#if defined(__x86_64__) || defined(_M_X64)
        "x86-64";
#elif defined(__i386__) || defined(_M_IX86)
        "x86";
#elif defined(__aarch64__)
        "aarch64";
#else
        "other";
#endif
    const std::string compiler =
#if defined(__clang__)
        "clang " __clang_version__;
#elif defined(__GNUC__)
        "GCC " __VERSION__;
#else
        "unknown compiler";
#endif
    Library lib;
    std::string error;
    const std::string loaded = load_library(library, lib, error) ? lib.path : "not loaded: " + error;
    return std::string("sinewma " SINEWMA_VERSION " (") + arch + ", " + compiler + ")\n" +
           "library: " + loaded + "\n" + "CPU offers: " + cpu_offers() + "\n";
}

int run(int argc, char **argv)
{
    int period = 14;
    std::string svg_file, library, file;
    CsvOptions options;
    bool raw = false, have_file = false, show_version = false;
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
            show_version = true; // after the rest, so that --library counts wherever it is
        } else if (a == "--period") {
            const char *v = value("--period");
            if (!parse_period(v, period))
                fail(std::string("--period must be a positive integer, not '") + v + "'");
        } else if (a == "--column") {
            options.column = value("--column");
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
    if (show_version) {
        fputs(version(library).c_str(), stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }

    std::string text;
    const std::string name = have_file && file != "-" ? file : "<stdin>";
    if (have_file && file != "-") {
        FILE *f = fopen(file.c_str(), "rb");
        if (!f)
            fail(file + ": cannot open: " + strerror(errno));
        const bool ok = read_all(f, text);
        fclose(f);
        if (!ok)
            fail(file + ": cannot read");
    } else if (!read_all(stdin, text)) {
        fail("<stdin>: cannot read");
    }
    options.want_x = !svg_file.empty();
    Table t;
    CsvError e;
    if (!read_csv(text, options, t, e))
        fail(name + ":" + std::to_string(e.line) + ":" + std::to_string(e.column) + ": " + e.message);

    Library lib;
    std::string error;
    if (!load_library(library, lib, error))
        fail(error);
    std::vector<float> avg(t.values.size());
    lib.fn(t.values.data(), period, int(t.values.size()), avg.data());

    // Everything that can fail has run; now write.
    if (!svg_file.empty()) {
        ChartData d;
        d.series = t.values.data();
        d.average = avg.data();
        d.n = t.values.size();
        d.average_from = size_t(period - 1);
        d.x = t.x.empty() ? nullptr : t.x.data();
        d.title = "Sine-weighted moving average, period " + std::to_string(period);
        d.x_name = t.names.empty() ? "column 1" : t.names[0];
        d.series_name = t.names.empty() ? "series" : t.names[t.chosen];
        d.average_name = "sine-weighted average, " + std::to_string(period);
        const std::string chart = svg_chart(d);
        FILE *f = fopen(svg_file.c_str(), "wb");
        const bool written = f && fwrite(chart.data(), 1, chart.size(), f) == chart.size();
        if (f && fclose(f) != 0)
            fail(svg_file + ": cannot write the chart");
        if (!written)
            fail(svg_file + ": cannot write the chart");
    }
    std::string out;
    out.reserve(1u << 21);
    const std::string col = "swma" + std::to_string(period);
    if (!t.header.empty())
        out.append(t.header).append(",").append(col).append("\n");
    size_t pos = t.data_begin;
    std::string_view line;
    for (size_t i = 0; i < t.values.size() && next_data_line(text, pos, line); i++) {
        out.append(line).append(",");
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
