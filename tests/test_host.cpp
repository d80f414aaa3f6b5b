// test_host.cpp: the sinewma command-line host, run as a user runs it.
#include "cases.h"
#include "host_svg_check.h"
#include "sinewma.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out, err;
    long max_rss_kib = 0; // the child's peak resident memory, from wait4
};

std::string slurp(int fd)
{
    std::string s;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, size_t(n));
    return s;
}

// Runs the host with `args`, feeding `input` on standard input (through a file, so that
// large inputs cannot dead-lock on pipes). A host that loops or grows without end is stopped
// by limits on its processor time and (without sanitizers) its address space.
Result host(std::vector<std::string> args, const std::string &input = "",
            const char *program = SWMA_HOST_PATH)
{
    char in_path[] = "/tmp/swma_in_XXXXXX", out_path[] = "/tmp/swma_out_XXXXXX",
         err_path[] = "/tmp/swma_err_XXXXXX";
    int in = mkstemp(in_path), out = mkstemp(out_path), err = mkstemp(err_path);
    if (write(in, input.data(), input.size()) != ssize_t(input.size()))
        return {};
    lseek(in, 0, SEEK_SET);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
#ifdef SWMA_HOST_EMULATOR
        // A cross build: the kernel may not run the host by itself, and the emulator needs
        // address space and time of its own, so only a looser time limit holds there.
        struct rlimit cpu = {600, 600};
        setrlimit(RLIMIT_CPU, &cpu);
        std::vector<char *> argv = {const_cast<char *>(SWMA_HOST_EMULATOR),
                                    const_cast<char *>(program)};
#else
        struct rlimit cpu = {60, 60};
        setrlimit(RLIMIT_CPU, &cpu);
#if !defined(SWMA_SANITIZE)
        struct rlimit as = {rlim_t(2) << 30, rlim_t(2) << 30};
        setrlimit(RLIMIT_AS, &as);
#endif
        std::vector<char *> argv = {const_cast<char *>(program)};
#endif
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    wait4(pid, &status, 0, &usage);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.max_rss_kib = usage.ru_maxrss; // kilobytes on Linux
    lseek(out, 0, SEEK_SET);
    lseek(err, 0, SEEK_SET);
    r.out = slurp(out);
    r.err = slurp(err);
    for (int fd : {in, out, err})
        close(fd);
    unlink(in_path);
    unlink(out_path);
    unlink(err_path);
    return r;
}

std::vector<std::string> lines_of(const std::string &s)
{
    std::vector<std::string> v;
    std::istringstream is(s);
    for (std::string l; std::getline(is, l);)
        v.push_back(l);
    return v;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

const std::string kSample = std::string(SWMA_SOURCE_DIR) + "/data/sunspots.csv";

TEST(Host, BadInputGetsAMessageAnExitCodeAndNoOutput)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string input, message;
    };
    const Case cases[] = {
        {"non-numeric field", {}, "a,b\n1,2\n3,x\n", "<stdin>:3:3: not a number: 'x'"},
        {"missing column", {"--column", "close"}, "a,b\n1,2\n", "<stdin>:1:1: no column 'close'"},
        {"column number out of range", {"--column", "3"}, "1,2\n", "no column '3'"},
        {"ragged rows", {}, "a,b\n1,2\n3\n", "<stdin>:3:1: row has 1 fields, the first row 2"},
        {"empty input", {}, "", "<stdin>:1:1: empty input"},
        {"blank input", {}, "\n \n", "<stdin>:3:1: empty input"},
        {"header only", {}, "a,b\n", "<stdin>:2:1: no data rows after the header"},
        {"period zero", {"--period", "0"}, "1\n", "--period must be a positive integer, not '0'"},
        {"negative period", {"--period", "-3"}, "1\n", "not '-3'"},
        {"fractional period", {"--period", "1.5"}, "1\n", "not '1.5'"},
        {"huge period", {"--period", "99999999999"}, "1\n", "not '99999999999'"},
        {"period without value", {"--period"}, "1\n", "--period needs a value"},
        {"unreadable file", {"/nonexistent/prices.csv"}, "", "/nonexistent/prices.csv: cannot open"},
        {"library not loadable", {"--library", "/nonexistent/lib.so"}, "1\n",
         "cannot load the library /nonexistent/lib.so"},
        {"library without the export", {"--library", "libc.so.6"}, "1\n",
         "has no export SineWeightedMovingAverage"},
        {"unknown option", {"--perio", "3"}, "1\n", "unknown option '--perio'"},
        {"unterminated quote", {}, "a,\"b\n", "<stdin>:1:3: unterminated quote"},
        {"more than one file", {"a.csv", "b.csv"}, "", "more than one input file"},
        {"column in a file", {"--column", "nope", kSample}, "",
         "data/sunspots.csv:1:1: no column 'nope' (the input has 2 columns)"},
        {"svg not writable", {"--svg", "/nonexistent/x.svg"}, "1\n2\n", "cannot write the chart"},
    };
    for (const Case &c : cases) {
        Result r = host(c.args, c.input);
        EXPECT_NE(r.status, 0) << c.name;
        EXPECT_LT(r.status, 128) << c.name << ": crashed";
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind("sinewma: ", 0), 0u) << c.name << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": one line";
#if !defined(SWMA_SANITIZE)
        EXPECT_LT(r.max_rss_kib, 32 * 1024) << c.name;
#endif
    }
}

TEST(Host, RawRoundTripGivesTheLibrarysBits)
{
    // The sample's series through the host equals the series through the library directly.
    Result r = host({"--raw", "--period", "11", kSample});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 310u);
    EXPECT_EQ(lines[0], "\"YEAR\",\"SUNACTIVITY\",swma11");
    std::vector<float> in, got;
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string &l = lines[i];
        size_t c1 = l.find(','), c2 = l.find(',', c1 + 1);
        in.push_back(std::stof(l.substr(c1 + 1, c2 - c1 - 1)));
        got.push_back(std::strtof(l.c_str() + c2 + 1, nullptr));
    }
    void *h = dlopen(SWMA_LIBRARY_PATH, RTLD_NOW);
    ASSERT_NE(h, nullptr);
    auto fn = reinterpret_cast<SineWeightedMovingAverageFn>(dlsym(h, "SineWeightedMovingAverage"));
    std::vector<float> want(in.size());
    fn(in.data(), 11, int(in.size()), want.data());
    dlclose(h);
    for (size_t i = 0; i < in.size(); i++)
        ASSERT_EQ(swt::bits(got[i]), swt::bits(want[i])) << "row " << i + 1;
    // And the same bytes as every other build of the host (the Windows ones check this file).
    EXPECT_EQ(r.out, read_file(std::string(SWMA_SOURCE_DIR) + "/tests/data/sunspots_p11_raw.csv"));
}

TEST(Host, ColumnsHeadersAndWarmUp)
{
    // Default column: "close" in any case, else the last; warm-up slots print empty.
    Result r = host({"--period", "2"}, "date,Close,volume\nd1,1,9\nd2,2,9\nd3,4,9\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "date,Close,volume,swma2\nd1,1,9,\nd2,2,9,1.5000004\nd3,4,9,3.0000007\n");
    r = host({"--period", "2"}, "a,b\n1,10\n2,20\n");
    EXPECT_EQ(lines_of(r.out)[2], "2,20,15.000004");
    r = host({"--period", "2", "--column", "1"}, "1,10\n2,20\n");
    EXPECT_EQ(r.out, "1,10,\n2,20,1.5000004\n") << "numbered column, no header";
    r = host({"--period", "2", "--column", "a"}, "a,b\n1,10\n2,20\n");
    EXPECT_EQ(lines_of(r.out)[2], "2,20,1.5000004") << "named column";
    r = host({"--period", "3", "-"}, "1\r\n2\r\n3\r\n4\r\n5\r\n");
    EXPECT_EQ(r.out, "1,\n2,\n3,2.0000007\n4,3.0000007\n5,4.000001\n") << "one column, CRLF";
    r = host({"--period", "1"}, "0.1\n16777217\n1e-45\n-0\n");
    EXPECT_EQ(r.out, "0.1,0.1\n16777217,16777216\n1e-45,1e-45\n-0,0\n") << "nearest float, shortest";
    r = host({"--period", "9"}, "1\n2\n");
    EXPECT_EQ(r.out, "1,\n2,\n") << "period longer than the series";
}

TEST(Host, HelpAndVersion)
{
    Result r = host({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: sinewma"), std::string::npos);

    // The version, this machine's architecture, the compiler, the library file loaded and the
    // SIMD the CPU offers, worded as the CPU's.
    const std::string arch =
#if defined(__x86_64__)
        "x86-64";
#elif defined(__i386__)
        "x86";
#elif defined(__aarch64__)
        "aarch64";
#else
        "other";
#endif
    r = host({"--version"});
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("sinewma 1.", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("(" + arch + ", "), std::string::npos) << lines[0];
    EXPECT_TRUE(lines[0].find("GCC ") != std::string::npos || lines[0].find("clang ") != std::string::npos)
        << lines[0];
    ASSERT_EQ(lines[1].rfind("library: /", 0), 0u) << lines[1];
    EXPECT_EQ(std::filesystem::canonical(lines[1].substr(9)), std::filesystem::canonical(SWMA_LIBRARY_PATH));
    const std::set<std::string> offers = {"CPU offers: AVX2", "CPU offers: SSE2", "CPU offers: NEON",
                                          "CPU offers: scalar"};
    EXPECT_EQ(offers.count(lines[2]), 1u) << lines[2];
#if defined(__x86_64__)
    __builtin_cpu_init();
    EXPECT_EQ(lines[2] == "CPU offers: AVX2", bool(__builtin_cpu_supports("avx2")))
        << "the host's CPUID/XGETBV check agrees with the compiler's";
#endif

    // A library that cannot be loaded: the rest is still printed, and the failure named.
    r = host({"--version", "--library", "/nonexistent/lib.so"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("library: not loaded: cannot load the library /nonexistent/lib.so"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("CPU offers: "), std::string::npos);
}

// The installed layouts: the host in bin/ finds the library in lib/ or lib64/ beside it, and
// says where it looked when there is none.
TEST(Host, FindsTheLibraryInTheInstalledLayouts)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("swma_layout_" + std::to_string(getpid()));
    for (const char *libdir : {"lib", "lib64", ""}) {
        fs::remove_all(root);
        fs::create_directories(root / "bin");
        fs::copy_file(SWMA_HOST_PATH, root / "bin" / "sinewma");
        if (*libdir) {
            fs::create_directories(root / libdir);
            fs::copy_file(SWMA_LIBRARY_PATH, root / libdir / "libsinewma.so.1");
        }
        const std::string program = (root / "bin" / "sinewma").string();
        Result r = host({"--period", "2"}, "1\n3\n", program.c_str());
        if (*libdir) {
            EXPECT_EQ(r.status, 0) << libdir << ": " << r.err;
            EXPECT_EQ(r.out, "1,\n3,2.0000007\n") << libdir;
            r = host({"--version"}, "", program.c_str());
            EXPECT_NE(r.out.find("library: " + (root / "bin" / ".." / libdir / "libsinewma.so.1").string()),
                      std::string::npos)
                << r.out;
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find("sinewma: cannot find the library; tried " + (root / "bin").string() +
                                 "/libsinewma.so "),
                      std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("../lib64/libsinewma.so.1"), std::string::npos) << r.err;
        }
    }
    fs::remove_all(root);
}

// The points of every polyline of class `cls`, in order.
std::vector<std::string> points_of(const swma_svg::Checker &c, const char *cls)
{
    std::vector<std::string> v;
    for (const swma_svg::Element &e : c.elements)
        if (e.name == "polyline" && e.attribute("class") == cls) {
            std::istringstream is(e.attribute("points"));
            for (std::string pt; is >> pt;)
                v.push_back(pt);
        }
    return v;
}

TEST(Host, ChartIsWellFormedWithOnePointPerValueAndTheWarmUpGap)
{
    const std::string path = "/tmp/swma_chart_test_" + std::to_string(getpid()) + ".svg";
    Result r = host({"--period", "11", "--svg", path, kSample});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string svg = read_file(path);
    unlink(path.c_str());
    swma_svg::Checker c(svg);
    ASSERT_EQ(c.check(), "");
    const std::vector<std::string> series = points_of(c, "series"), average = points_of(c, "average");
    EXPECT_EQ(series.size(), 309u);
    ASSERT_EQ(average.size(), 309u - 10);
    // The average starts at the eleventh series point: the warm-up is drawn as a gap.
    EXPECT_EQ(average[0].substr(0, average[0].find(',')), series[10].substr(0, series[10].find(',')));
    // The years are the x axis, labelled in fixed notation.
    bool year_label = false;
    for (const swma_svg::Element &e : c.elements)
        year_label = year_label || (e.name == "text" && e.text == "1800");
    EXPECT_TRUE(year_label);
}

// Series that once made the chart's axis loop without end (a range widened by adding 1,
// which large values absorb): each ends at once with a well-formed chart, in little memory.
TEST(Host, DegenerateSeriesEndWithAWellFormedChart)
{
    struct Case {
        const char *name;
        std::string period, input;
        const char *y_label; // a label the value axis must have ("" for none expected)
    };
    const Case cases[] = {
        {"3.4e38 alone", "1", "3.4e38\n", "3.4e38"},
        {"1e16 twice", "2", "1e16\n1e16\n", "1e16"},
        {"1e30 three times", "3", "1e30\n1e30\n1e30\n", "1e30"},
        {"3.4e38 in a close column", "2", "date,close\nd1,3.4e38\nd2,3.4e38\nd3,3.4e38\n", "3.4e38"},
        {"nanosecond timestamps", "1", "t,v\n1700000000000000000,5\n1700000000000000001,6\n", "5.0"},
        {"both float extremes", "1", "-3.4e38\n3.4e38\n", "0"},
        {"NaN and infinities only", "2", "nan\ninf\n-inf\n", ""},
        {"a single value", "14", "42\n", "42"},
        {"all warm-up", "9", "1\n2\n3\n", "2.0"},
        {"the smallest float", "1", "1e-45\n1e-45\n", "1.4e-45"},
        {"positions beyond 1e300", "1", "x,y\n-1e308,1\n1e308,2\n", "1.4"},
    };
    const std::string path = "/tmp/swma_degenerate_" + std::to_string(getpid()) + ".svg";
    for (const Case &c : cases) {
        Result r = host({"--period", c.period, "--svg", path}, c.input);
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), std::count(c.input.begin(), c.input.end(), '\n'))
            << c.name;
#if !defined(SWMA_SANITIZE)
        EXPECT_LT(r.max_rss_kib, 32 * 1024) << c.name << ": a few bytes of input";
#endif
        const std::string svg = read_file(path);
        unlink(path.c_str());
        swma_svg::Checker x(svg);
        ASSERT_EQ(x.check(), "") << c.name << "\n" << svg;
        std::vector<std::string> labels;
        for (const swma_svg::Element &e : x.elements)
            if (e.name == "text")
                labels.push_back(e.text);
        EXPECT_LE(labels.size(), 2u + 3 + 2 * 32) << c.name;
        if (*c.y_label)
            EXPECT_NE(std::find(labels.begin(), labels.end(), c.y_label), labels.end())
                << c.name << ": " << ::testing::PrintToString(labels);
    }
}

TEST(Host, TenMillionValuesInLittleMemory)
{
    std::string input;
    input.reserve(10000000 * 8);
    swt::Rng rng(3);
    char buf[32];
    for (int i = 0; i < 10000000; i++) {
        snprintf(buf, sizeof buf, "%.2f\n", 100 + 10 * rng.uniform());
        input += buf;
    }
    Result r = host({"--period", "30"}, input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 10000000);
    // The text, 4 bytes a value and 4 for its average: about 2.2 times the input (70 MB of
    // text, 80 MB of floats) plus the program and its output buffer.
    const double ratio = double(r.max_rss_kib) * 1024 / double(input.size());
    RecordProperty("peak_rss_kib", std::to_string(r.max_rss_kib));
    printf("input %zu bytes, peak resident %ld KiB (%.2f x the input)\n", input.size(), r.max_rss_kib, ratio);
#if defined(SWMA_HOST_EMULATOR)
    EXPECT_LT(ratio, 2.8); // the emulator's own code and translation cache count too
#elif !defined(SWMA_SANITIZE)
    EXPECT_LT(ratio, 2.5);
#endif
}

} // namespace
