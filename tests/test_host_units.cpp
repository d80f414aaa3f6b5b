// test_host_units.cpp: the host's CSV reader and chart, each alone (no library, no process).
#include "chart.h"
#include "csv.h"
#include "host_svg_check.h"

#include <float.h>
#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace swma_host;

Table read_ok(const std::string &text, CsvOptions o = {})
{
    Table t;
    CsvError e;
    EXPECT_TRUE(read_csv(text, o, t, e)) << e.line << ":" << e.column << ": " << e.message;
    return t;
}

TEST(HostCsv, HeadersColumnsQuotesAndPositions)
{
    static const std::string plain = "date,Close,volume\nd1,1,9\n\nd2,2.5,9\r\n";
    Table t = read_ok(plain);
    EXPECT_EQ(t.header, "date,Close,volume");
    EXPECT_EQ(t.names, (std::vector<std::string>{"date", "Close", "volume"}));
    EXPECT_EQ(t.chosen, 1u) << "close, any case";
    EXPECT_EQ(t.values, (std::vector<float>{1, 2.5f}));
    // The rows again, from the text: the blank line skipped, CR LF taken off.
    size_t pos = t.data_begin;
    std::string_view line;
    EXPECT_EQ(pos, 18u);
    ASSERT_TRUE(next_data_line(plain, pos, line));
    EXPECT_EQ(line, "d1,1,9");
    ASSERT_TRUE(next_data_line(plain, pos, line));
    EXPECT_EQ(line, "d2,2.5,9");
    EXPECT_FALSE(next_data_line(plain, pos, line));
    static const std::string no_header = "\n\n  1\n";
    t = read_ok(no_header);
    EXPECT_EQ(line_at(no_header, t.data_begin), "  1");

    static const std::string quoted = "\"a, b\",\"say \"\"x\"\"\"\n\"1\", \"2\"\n";
    t = read_ok(quoted);
    EXPECT_EQ(t.names, (std::vector<std::string>{"a, b", "say \"x\""}));
    EXPECT_EQ(t.values, std::vector<float>{2}) << "the last column, quoted and spaced";

    static const std::string bare = "1,10\n2,20\n";
    CsvOptions first;
    first.column = "1";
    EXPECT_EQ(read_ok(bare, first).values, (std::vector<float>{1, 2})) << "numbered, no header";
    EXPECT_TRUE(read_ok(bare).names.empty());

    // Nearest float; the first column as exact doubles when it is all finite numbers.
    static const std::string ns = "t,v\n1700000000000000000,16777217\n1700000000000000256,+1e-45\n";
    CsvOptions want_x;
    want_x.want_x = true;
    t = read_ok(ns, want_x);
    EXPECT_EQ(t.values, (std::vector<float>{16777216.0f, 1e-45f}));
    EXPECT_EQ(t.x, (std::vector<double>{1700000000000000000.0, 1700000000000000256.0}));
    static const std::string one_bad = "t,v\n1,2\ninf,3\n";
    EXPECT_TRUE(read_ok(one_bad, want_x).x.empty()) << "a non-finite position: plot by index";
    static const std::string words = "t,v\nmon,2\ntue,3\n";
    EXPECT_TRUE(read_ok(words, want_x).x.empty());
    EXPECT_TRUE(read_ok(ns).x.empty()) << "positions only when asked for";

    float f;
    EXPECT_TRUE(parse_float(" 3.4e38 ", f) && f == 3.4e38f);
    EXPECT_TRUE(parse_float("nan", f) && isnan(f));
    EXPECT_TRUE(parse_float("-inf", f) && isinf(f) && f < 0);
    EXPECT_FALSE(parse_float("+-1", f));
    EXPECT_FALSE(parse_float("1e", f));
    EXPECT_FALSE(parse_float("", f));
    EXPECT_FALSE(parse_float("0x10", f));
}

TEST(HostCsv, EveryRejectionHasALineAndAColumn)
{
    struct Case {
        std::string text, column;
        size_t line, col;
        const char *message;
    };
    const Case cases[] = {
        {"a,b\n1,2\n3,x\n", "", 3, 3, "not a number: 'x'"},
        {"a,b\n1,2\n3,  \"y\"\n", "", 3, 3, "not a number: '\"y\"'"},
        {"a,b\n1,2\n3\n", "", 3, 1, "row has 1 fields, the first row 2"},
        {"a,b\n1,2\n", "close", 1, 1, "no column 'close' (the input has 2 columns)"},
        {"\n1,2\n", "3", 2, 1, "no column '3' (the input has 2 unnamed columns)"},
        {"a,b\n1,\"2\n", "", 2, 3, "unterminated quote"},
        {"", "", 1, 1, "empty input: no rows"},
        {"\n \n", "", 3, 1, "empty input: no rows"},
        {"  ", "", 1, 3, "empty input: no rows"},
        {"a,b\n", "", 2, 1, "no data rows after the header"},
        {"a,b", "", 1, 4, "no data rows after the header"},
    };
    for (const Case &c : cases) {
        Table t;
        CsvError e;
        CsvOptions o;
        o.column = c.column;
        ASSERT_FALSE(read_csv(c.text, o, t, e)) << c.text;
        EXPECT_EQ(e.line, c.line) << c.text;
        EXPECT_EQ(e.column, c.col) << c.text;
        EXPECT_EQ(e.message, c.message) << c.text;
    }
}

// The axis invariants: it covers the data, its ticks are few, distinct, increasing, inside it,
// and their labels are distinct.
void expect_sound_axis(double lo, double hi, bool pad, const char *what)
{
    const Axis a = make_axis(lo, hi, 6, pad);
    SCOPED_TRACE(what);
    ASSERT_TRUE(std::isfinite(a.lo) && std::isfinite(a.hi) && a.lo < a.hi);
    if (lo <= hi && fabs(lo) <= 1e300 && fabs(hi) <= 1e300) {
        EXPECT_LE(a.lo, lo);
        EXPECT_GE(a.hi, hi);
    }
    ASSERT_GE(a.ticks.size(), 2u);
    ASSERT_LE(a.ticks.size(), 16u);
    ASSERT_EQ(a.labels.size(), a.ticks.size());
    for (size_t k = 0; k < a.ticks.size(); k++) {
        EXPECT_GE(a.ticks[k], a.lo);
        EXPECT_LE(a.ticks[k], a.hi * (1 + 1e-12) + 1e-300);
        if (k > 0)
            EXPECT_LT(a.ticks[k - 1], a.ticks[k]);
    }
    EXPECT_EQ(std::set<std::string>(a.labels.begin(), a.labels.end()).size(), a.labels.size())
        << "labels repeat: " << ::testing::PrintToString(a.labels);
    for (const std::string &l : a.labels)
        EXPECT_LE(l.size(), 12u) << l;
}

TEST(HostChart, AxesOfDegenerateAndExtremeRanges)
{
    expect_sound_axis(3.4e38, 3.4e38, true, "3.4e38 alone");
    expect_sound_axis(-FLT_MAX, FLT_MAX, true, "both float extremes");
    expect_sound_axis(-FLT_MAX, -FLT_MAX, true, "-FLT_MAX alone");
    expect_sound_axis(1e16, 1e16, true, "1e16 twice");
    expect_sound_axis(1e30, 1e30, true, "1e30");
    expect_sound_axis(1.7e18, 1.7e18 + 256, false, "nanosecond timestamps one ulp apart");
    expect_sound_axis(1e16, 1e16 + 2, true, "spacing of the floats themselves");
    expect_sound_axis(0, 0, true, "zero");
    expect_sound_axis(1e-45, 1e-45, true, "the smallest float");
    expect_sound_axis(1e-310, 3e-310, false, "subnormal doubles");
    expect_sound_axis(-1e300, 1e300, false, "the largest taken");
    expect_sound_axis(-DBL_MAX, DBL_MAX, false, "beyond: clamped");
    expect_sound_axis(NAN, NAN, true, "no data");
    expect_sound_axis(HUGE_VAL, -HUGE_VAL, true, "no data, as the min/max start");
    expect_sound_axis(5, 5, true, "one value");
    expect_sound_axis(1.5, 1.5000001, true, "one float step");

    // The widening: a tenth of the magnitude around the value, not +1.
    Axis a = make_axis(1e16, 1e16, 4, false);
    EXPECT_DOUBLE_EQ(a.lo, 0.9e16);
    EXPECT_DOUBLE_EQ(a.hi, 1.1e16);
    EXPECT_EQ(a.labels, (std::vector<std::string>{"9e15", "9.5e15", "1e16", "1.05e16", "1.1e16"}));
    a = make_axis(0, 0, 4, false);
    EXPECT_EQ(a.labels, (std::vector<std::string>{"-1.0", "-0.5", "0", "0.5", "1.0"}));
    a = make_axis(0, 1000, 5, false);
    EXPECT_EQ(a.labels, (std::vector<std::string>{"0", "200", "400", "600", "800", "1000"}));
}

TEST(HostChart, TickLabels)
{
    EXPECT_EQ(tick_label(1.05e16, 5e14, true), "1.05e16");
    EXPECT_EQ(tick_label(-3e38, 1e38, true), "-3e38");
    EXPECT_EQ(tick_label(2.5e-9, 5e-10, true), "2.5e-9");
    EXPECT_EQ(tick_label(1.7000000002e18, 2e8, true), "1.7000000002e18");
    EXPECT_EQ(tick_label(0.6000000000000001, 0.2, false), "0.6");
    EXPECT_EQ(tick_label(1500, 500, false), "1500");
    EXPECT_EQ(tick_label(-0.0, 1, true), "0");
}

std::vector<std::string> points_of(const swma_svg::Checker &c, const char *cls)
{
    std::vector<std::string> v;
    for (const swma_svg::Element &e : c.elements)
        if (e.name == "polyline" && e.attribute("class") == cls)
            v.push_back(e.attribute("points"));
    return v;
}

TEST(HostChart, PointsLandWhereTheAxesSay)
{
    // Series 0..10 against the index: y padded to [-0.5, 10.5]; the plot is x 64..780, y 40..372.
    std::vector<float> s(11), avg(11, NAN);
    for (int i = 0; i <= 10; i++)
        s[i] = float(i);
    avg[10] = 5;
    ChartData d;
    d.series = s.data();
    d.average = avg.data();
    d.n = 11;
    d.average_from = 3;
    const std::string svg = svg_chart(d);
    swma_svg::Checker c(svg);
    ASSERT_EQ(c.check(), "") << svg;
    const std::vector<std::string> series = points_of(c, "series"), average = points_of(c, "average");
    ASSERT_EQ(series.size(), 1u);
    EXPECT_EQ(series[0].substr(0, series[0].find(' ')), "64.00,356.91"); // 40 + 10.5/11*332
    EXPECT_EQ(series[0].substr(series[0].rfind(' ') + 1), "780.00,55.09");
    EXPECT_EQ(average, std::vector<std::string>{"780.00,206.00"}) << "NaN breaks the line";
}

TEST(HostChart, WellFormedWhateverTheNamesAndValues)
{
    EXPECT_EQ(xml_text("a<b>&\"c\""), "a&lt;b&gt;&amp;&quot;c&quot;");
    EXPECT_EQ(xml_text("\x01\xff\xc3\xa9\xe2\x82\xac\xed\xa0\x80"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xc3\xa9\xe2\x82\xac\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")
        << "control, stray byte, é, €, then a surrogate's three bytes";
    EXPECT_EQ(xml_text("\xc0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD") << "an overlong NUL";
    EXPECT_EQ(xml_text("abcdef", 3), "abc\xE2\x80\xA6");

    const std::vector<float> values = {NAN, INFINITY, -FLT_MAX, FLT_MAX, 1e-45f, -INFINITY, 0};
    const std::vector<double> bad_x = {0, 1, 2, HUGE_VAL, 4, 5, 6}, big_x = {-1e300, 1e300, 0, 1, 2, 3, 4};
    for (const std::vector<double> *x : {(const std::vector<double> *)nullptr, &bad_x, &big_x}) {
        for (size_t from : {size_t(0), size_t(3), size_t(100)}) {
            ChartData d;
            d.series = values.data();
            d.average = values.data();
            d.n = values.size();
            d.average_from = from;
            d.x = x ? x->data() : nullptr;
            d.title = "<title> & \"quotes\"\x01";
            d.x_name = "x\xff";
            d.series_name = std::string(1000, '&');
            d.average_name = "]]>";
            const std::string svg = svg_chart(d);
            swma_svg::Checker c(svg);
            ASSERT_EQ(c.check(), "") << svg;
            size_t points = 0;
            for (const std::string &p : points_of(c, "series"))
                points += size_t(std::count(p.begin(), p.end(), ','));
            EXPECT_EQ(points, 4u) << "one point per finite value";
            EXPECT_EQ(points_of(c, "average").empty(), from == 100);
        }
    }
    // An empty series still makes a chart.
    ChartData empty;
    const std::string svg = svg_chart(empty);
    EXPECT_EQ(swma_svg::Checker(svg).check(), "");
}

TEST(HostChart, TheCheckerRejectsWhatIsNotWellFormed)
{
    // The checker the chart and the fuzz target rely on must itself catch faults.
    const char *bad[] = {
        "<svg><g></svg>",
        "<svg a=\"1\" a=\"2\"/>",
        "<svg>&bogus;</svg>",
        "<svg>a < b</svg>",
        "<svg x=1/>",
        "<svg/><svg/>",
        "<svg><line x1=\"nan\"/></svg>",
        "<svg><line x1=\"1e400\"/></svg>",
        "<svg><polyline points=\"1,2 3,inf\"/></svg>",
        "<svg><polyline points=\"1,2 3,9000\"/></svg>",
        "<svg>\xff</svg>",
        "<svg>\x01</svg>",
        "<svg><text>\xed\xa0\x80</text></svg>",
    };
    for (const char *b : bad)
        EXPECT_NE(swma_svg::Checker(b).check(), "") << b;
    EXPECT_EQ(swma_svg::Checker("<?xml version=\"1.0\"?>\n<svg a=\"&lt;&#38;\"><g x=\"1\">t&amp;</g></svg>\n")
                  .check(),
              "");
}

} // namespace
