// test_host.cpp: the sinewma command-line host, run as a user runs it.
#include "cases.h"
#include "sinewma.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out, err;
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
// large inputs cannot dead-lock on pipes).
Result host(std::vector<std::string> args, const std::string &input = "")
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
        std::vector<char *> argv;
#ifdef SWMA_HOST_EMULATOR // a cross build: the kernel may not run the host by itself
        argv.push_back(const_cast<char *>(SWMA_HOST_EMULATOR));
#endif
        argv.push_back(const_cast<char *>(SWMA_HOST_PATH));
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
        {"empty input", {}, "", "<stdin>: empty input"},
        {"blank input", {}, "\n \n", "<stdin>: empty input"},
        {"header only", {}, "a,b\n", "no data rows"},
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
        {"unterminated quote", {}, "a,\"b\n", "unterminated quote"},
        {"svg not writable", {"--svg", "/nonexistent/x.svg"}, "1\n2\n", "cannot write the chart"},
    };
    for (const Case &c : cases) {
        Result r = host(c.args, c.input);
        EXPECT_NE(r.status, 0) << c.name;
        EXPECT_LT(r.status, 128) << c.name << ": crashed";
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind("sinewma: ", 0), 0u) << c.name << ": " << r.err;
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
    r = host({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("sinewma 1."), std::string::npos);
    EXPECT_NE(r.out.find("SIMD path"), std::string::npos);
}

// A small XML reader: enough to prove the chart well-formed and to find its polylines.
struct Xml {
    const std::string &s;
    size_t i = 0;
    std::vector<std::pair<std::string, std::string>> polylines; // class, points
    bool fail(const char *why)
    {
        ADD_FAILURE() << "SVG not well-formed at " << i << ": " << why;
        return false;
    }
    bool element()
    {
        size_t start = ++i; // after '<'
        while (i < s.size() && (isalnum((unsigned char)s[i]) || s[i] == ':' || s[i] == '-'))
            i++;
        std::string name = s.substr(start, i - start), cls, points;
        if (name.empty())
            return fail("no element name");
        for (;;) {
            while (i < s.size() && isspace((unsigned char)s[i]))
                i++;
            if (i >= s.size())
                return fail("end inside a tag");
            if (s.compare(i, 2, "/>") == 0) {
                i += 2;
                break;
            }
            if (s[i] == '>') {
                i++;
                if (!content(name))
                    return false;
                break;
            }
            size_t a = i;
            while (i < s.size() && s[i] != '=' && !isspace((unsigned char)s[i]))
                i++;
            std::string attr = s.substr(a, i - a);
            if (s.compare(i, 2, "=\"") != 0)
                return fail("attribute without quoted value");
            size_t v = i + 2, e = s.find('"', v);
            if (e == std::string::npos || s.substr(v, e - v).find('<') != std::string::npos)
                return fail("bad attribute value");
            if (attr == "class")
                cls = s.substr(v, e - v);
            if (attr == "points")
                points = s.substr(v, e - v);
            i = e + 1;
        }
        if (name == "polyline")
            polylines.push_back({cls, points});
        return true;
    }
    bool content(const std::string &name)
    {
        for (;;) {
            size_t lt = s.find('<', i);
            if (lt == std::string::npos)
                return fail("unclosed element");
            i = lt;
            if (s.compare(i, 2, "</") == 0) {
                size_t gt = s.find('>', i);
                if (s.substr(i + 2, gt - i - 2) != name)
                    return fail("mismatched end tag");
                i = gt + 1;
                return true;
            }
            if (!element())
                return false;
        }
    }
    bool document()
    {
        if (s.compare(0, 5, "<?xml") == 0)
            i = s.find("?>") + 2;
        i = s.find('<', i);
        if (i == std::string::npos || !element())
            return false;
        return s.find_first_not_of(" \n", i) == std::string::npos || fail("text after the root");
    }
};

int count_points(const std::string &p)
{
    std::istringstream is(p);
    int n = 0;
    for (std::string pt; is >> pt;)
        n += pt.find(',') != std::string::npos;
    return n;
}

TEST(Host, ChartIsWellFormedWithOnePointPerValueAndTheWarmUpGap)
{
    const std::string path = "/tmp/swma_chart_test.svg";
    Result r = host({"--period", "11", "--svg", path, kSample});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string svg = read_file(path);
    unlink(path.c_str());
    Xml x{svg};
    ASSERT_TRUE(x.document());
    int series = 0, average = 0;
    std::string first_series, first_average;
    for (auto &[cls, points] : x.polylines) {
        if (cls == "series") {
            series += count_points(points);
            if (first_series.empty())
                first_series = points;
        }
        if (cls == "average") {
            average += count_points(points);
            if (first_average.empty())
                first_average = points;
        }
    }
    EXPECT_EQ(series, 309);
    EXPECT_EQ(average, 309 - 10);
    // The average starts at the eleventh series point: the warm-up is drawn as a gap.
    std::istringstream is(first_series);
    std::string pt;
    for (int k = 0; k < 11; k++)
        is >> pt;
    EXPECT_EQ(first_average.substr(0, first_average.find(',')), pt.substr(0, pt.find(',')));
    EXPECT_NE(svg.find("<text"), std::string::npos) << "labels";
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
}

} // namespace
