// test_library.cpp: the library as a host sees it (loaded with dlopen) and each arithmetic
// path forced in turn, against known answers, the oracle and the knife-edge series.
#include "cases.h"
#include "mpfr_sine.h"
#include "per_bar.h"
#include "sinewma.h"
#include "sinewma_internal.h"
#include "stack_probe.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string joined(const swt::Report &r)
{
    std::string s;
    for (size_t i = 0; i < r.failures.size() && i < 20; i++)
        s += r.failures[i] + "\n";
    return s;
}

#define EXPECT_REPORT(r)                                                                     \
    do {                                                                                     \
        EXPECT_TRUE((r).ok()) << (r).failures.size() << " failures:\n" << joined(r);        \
        EXPECT_GT((r).passed, 0);                                                            \
    } while (0)

// The library as a host loads it.
struct Loaded {
    void *handle = nullptr;
    SineWeightedMovingAverageFn fn = nullptr;
    Loaded()
    {
        handle = dlopen(SWMA_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle)
            fn = reinterpret_cast<SineWeightedMovingAverageFn>(
                dlsym(handle, "SineWeightedMovingAverage"));
    }
    ~Loaded()
    {
        if (handle)
            dlclose(handle);
    }
};

swt::Average exported(const Loaded &lib) { return lib.fn; }

swt::Average forced(swma_isa isa)
{
    return [isa](const float *in, int p, int n, float *out) {
        return swma_compute(in, p, n, out, isa);
    };
}

// Every path this machine can run; AVX2 only where the CPU and OS have it.
std::vector<std::pair<const char *, swma_isa>> paths()
{
    std::vector<std::pair<const char *, swma_isa>> v = {{"scalar", SWMA_ISA_SCALAR}};
#if defined(__x86_64__) || defined(__i386__)
    v.push_back({"sse2", SWMA_ISA_SSE2});
    if (swma_cpu_isa() == SWMA_ISA_AVX2)
        v.push_back({"avx2", SWMA_ISA_AVX2});
#endif
    return v;
}

class Library : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lib = new Loaded; }
    static void TearDownTestSuite() { delete lib; }
    static Loaded *lib;
    void SetUp() override { ASSERT_NE(lib->fn, nullptr) << dlerror(); }
};
Loaded *Library::lib = nullptr;

TEST_F(Library, KnownAnswers)
{
    swt::Report r;
    swt::check_known(exported(*lib), r);
    EXPECT_REPORT(r);
}

TEST_F(Library, Departures)
{
    swt::Report r;
    swt::check_departures(exported(*lib), r);
    EXPECT_REPORT(r);
}

TEST_F(Library, OracleRandom)
{
    swt::Report r;
    swt::check_random(exported(*lib), mpfr_sine_cached, 20261208, 300, 3000, r);
    EXPECT_REPORT(r);
}

TEST_F(Library, KnifeEdges)
{
    swt::Report r;
    swt::check_knife_edges(exported(*lib), mpfr_sine_cached, r);
    EXPECT_REPORT(r);
}

TEST_F(Library, CorpusMatchesOracleDigests)
{
    EXPECT_EQ(swt::corpus_digests(exported(*lib)), swt::expected_corpus_digests());
}

TEST_F(Library, ThreadsShareInput)
{
    swt::Report r;
    swt::check_threads(exported(*lib), r);
    EXPECT_REPORT(r);
}

TEST(Loading, RepeatedLoadAndUnloadLeavesNothingBehind)
{
    const float in[] = {1, 2, 3, 4, 5};
    for (int i = 0; i < 100; i++) {
        Loaded lib;
        ASSERT_NE(lib.fn, nullptr);
        EXPECT_EQ(dlsym(lib.handle, "swma_compute"), nullptr);
        EXPECT_EQ(dlsym(lib.handle, "swma_sin"), nullptr);
        float out[5];
        ASSERT_EQ(lib.fn(in, 3, 5, out), 5);
        EXPECT_EQ(swt::bits(out[4]), 0x40800002u) << "load " << i;
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The library's own CPU check (two CPUID leaves and XGETBV) against the compiler runtime's:
// a check that wrongly said no would also skip every AVX2 test below without a word.
TEST(CpuCheck, AgreesWithTheCompilerRuntime)
{
    __builtin_cpu_init();
    EXPECT_EQ(swma_cpu_isa() == SWMA_ISA_AVX2, bool(__builtin_cpu_supports("avx2")));
}

// The AVX2 path narrows most results by multiplying with 1 / sum; it must give what the
// division gives, most of all where the quotient sits next to a float rounding boundary.
TEST(Narrowing, Avx2MatchesDivision)
{
    if (swma_cpu_isa() != SWMA_ISA_AVX2)
        GTEST_SKIP() << "no AVX2 here";
    swt::Report r;
    swt::check_narrowing(swma_narrow_avx2, r);
    EXPECT_REPORT(r);
}
#endif

// Each path against the same cases: the paths may differ in speed, never in a bit.
class Path : public ::testing::TestWithParam<std::pair<const char *, swma_isa>> {};

TEST_P(Path, KnownAnswersAndDepartures)
{
    swt::Report r;
    swt::check_known(forced(GetParam().second), r);
    swt::check_departures(forced(GetParam().second), r);
    EXPECT_REPORT(r);
}

TEST_P(Path, OracleRandom)
{
    swt::Report r;
    swt::check_random(forced(GetParam().second), mpfr_sine_cached, 7 + GetParam().second, 300,
                      3000, r);
    EXPECT_REPORT(r);
}

TEST_P(Path, KnifeEdges)
{
    swt::Report r;
    swt::check_knife_edges(forced(GetParam().second), mpfr_sine_cached, r);
    EXPECT_REPORT(r);
}

TEST_P(Path, HugePeriodsGoThroughChunks)
{
    // Periods past the weight table, with tails that are not a multiple of any block, and
    // enough results for several blocks in a span of re-evaluated weights and a second span.
    swt::Rng rng(99);
    const std::vector<std::pair<int, std::vector<int>>> cases = {
        {1024, {1, 3, 37, 1500}},        {1025, {1, 481, 961, 1441, 3000}},
        {2049, {1, 3, 37, 1000, 2000}}, {100000, {1, 3, 37}},
        {150001, {1, 3, 37}}};
    for (const auto &c : cases) {
        const int period = c.first;
        for (int results : c.second) {
            int count = period - 1 + results;
            std::vector<float> in = swt::series(rng, count, 0);
            std::vector<float> got(static_cast<size_t>(count)), want(static_cast<size_t>(count));
            swma_compute(in.data(), period, count, got.data(), GetParam().second);
            swt::oracle(in.data(), period, count, want.data(), mpfr_sine_cached);
            ASSERT_EQ(std::memcmp(got.data(), want.data(), sizeof(float) * size_t(count)), 0)
                << "period " << period << " results " << results;
        }
    }
}

// The per-bar call through the export (the small-call path) and through this path's blocks,
// against the same slots of the export's full-series call.
TEST_P(Path, PerBarMatchesFullSeries)
{
    Loaded lib;
    ASSERT_NE(lib.fn, nullptr);
    swt::Report r;
    swt::check_per_bar(forced(GetParam().second), exported(lib), mpfr_sine_cached, false, r);
    swt::check_per_bar(exported(lib), forced(GetParam().second), mpfr_sine_cached, false, r);
    EXPECT_REPORT(r);
}

TEST_P(Path, CorpusMatchesOracleDigests)
{
    EXPECT_EQ(swt::corpus_digests(forced(GetParam().second)), swt::expected_corpus_digests());
}

INSTANTIATE_TEST_SUITE_P(Each, Path, ::testing::ValuesIn(paths()),
                         [](const auto &info) { return std::string(info.param.first); });

// The knife-edge series must be sharp: each way of getting the arithmetic slightly wrong
// must change at least one of their results. Otherwise they would prove nothing.
using Wrong = double (*)(const std::vector<double> &w, const float *x, int period);

double sum_descending(const std::vector<double> &w, const float *x, int period)
{
    double t = 0.0;
    for (int i = period; i >= 1; i--)
        t = t + w[size_t(i)] * double(x[i - 1]);
    return t;
}
double sum_fused(const std::vector<double> &w, const float *x, int period)
{
    double t = 0.0;
    for (int i = 1; i <= period; i++)
        t = std::fma(w[size_t(i)], double(x[i - 1]), t);
    return t;
}
double sum_extended(const std::vector<double> &w, const float *x, int period)
{
    long double t = 0.0L;
    for (int i = 1; i <= period; i++)
        t = t + (long double)w[size_t(i)] * x[i - 1];
    return double(t);
}

TEST(KnifeEdges, EachWrongArithmeticChangesSomeResult)
{
    struct Variant {
        const char *name;
        Wrong sum;
        bool platform_sin;
    };
    const Variant variants[] = {{"descending order", sum_descending, false},
                                {"fused multiply-add", sum_fused, false},
                                {"extended precision", sum_extended, false},
                                {"platform sin", nullptr, true}};
    const auto cases = swt::knife_edges();
    for (const Variant &v : variants) {
        int changed = 0;
        for (const swt::KnifeEdge &c : cases) {
            const int p = c.period;
            std::vector<double> w(size_t(p) + 1);
            double s = 0.0;
            for (int i = 1; i <= p; i++) {
                double a = double(i) * 3.14159 / (double(p) + 1.0);
                w[size_t(i)] = v.platform_sin ? std::sin(a) : mpfr_sine(a);
                s = s + w[size_t(i)];
            }
            double t = 0.0;
            if (v.sum) {
                t = v.sum(w, c.input.data(), p);
            } else {
                for (int i = 1; i <= p; i++)
                    t = t + w[size_t(i)] * double(c.input[size_t(i - 1)]);
            }
            std::vector<float> want(c.input.size());
            swt::oracle(c.input.data(), p, int(c.input.size()), want.data(), mpfr_sine);
            changed += swt::bits(float(t / s)) != swt::bits(want[size_t(p - 1)]);
        }
        EXPECT_GT(changed, 0) << v.name << " leaves every knife-edge result unchanged";
        std::printf("%-20s changes %d of %zu knife-edge results\n", v.name, changed, cases.size());
    }
}

#if !defined(SWMA_SANITIZE)
// Stack use stays bounded whatever the period (measured by swt::stack_used).
TEST(Stack, BoundedWhateverThePeriod)
{
    Loaded lib;
    ASSERT_NE(lib.fn, nullptr);
    for (int period : {1, 14, 1000, 1025, 100000, 300000}) {
        std::vector<float> in(size_t(period) + 600, 1.5f), out(in.size());
        const size_t used = swt::stack_used(
            [&] { lib.fn(in.data(), period, int(in.size()), out.data()); });
        EXPECT_LT(used, 32u * 1024u) << "period " << period;
        EXPECT_GT(used, 1024u) << "the probe saw no stack use at all";
        std::printf("period %d: %zu bytes of stack\n", period, used);
    }
}

// The small-call path: tabled, estimated, and (a NaN in the window) the exact weights after a
// declined estimate.
TEST(Stack, BoundedForSmallCalls)
{
    Loaded lib;
    ASSERT_NE(lib.fn, nullptr);
    for (int period : {14, 300, 1000, 5000, 300000}) {
        for (int results : {1, 8}) {
            for (bool nan : {false, true}) {
                std::vector<float> in(size_t(period) - 1 + size_t(results), 1.5f), out(in.size());
                if (nan)
                    in[0] = std::nanf("");
                const size_t used = swt::stack_used(
                    [&] { lib.fn(in.data(), period, int(in.size()), out.data()); });
                EXPECT_LT(used, 32u * 1024u) << "period " << period;
                if (period > 256) // a tabled period needs next to no stack, below the probe
                    EXPECT_GT(used, 1024u) << "the probe saw no stack use at all";
                std::printf("period %d, %d results%s: %zu bytes of stack\n", period, results,
                            nan ? ", NaN" : "", used);
            }
        }
    }
}
#endif

// Input and output at every 4-byte offset within a 32-byte line, each path and the export.
TEST_P(Path, EveryFourByteOffset)
{
    swt::Report r;
    swt::check_offsets(forced(GetParam().second), mpfr_sine_cached, r);
    EXPECT_REPORT(r);
}

TEST_F(Library, EveryFourByteOffset)
{
    swt::Report r;
    swt::check_offsets(exported(*lib), mpfr_sine_cached, r);
    EXPECT_REPORT(r);
}

} // namespace
