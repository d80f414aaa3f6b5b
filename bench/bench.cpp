// bench.cpp: speed of the export, each forced arithmetic path, the definition written out
// literally (a sin per weight per use) and a plain loop over a weight table (one chain of
// dependent additions per output, as moving averages are usually written).
// Counters: ns per output and ns per output x weight. Each benchmark checks its results
// against the oracle after timing, and fails rather than report figures for wrong answers.
#include "cases.h"
#include "cert_cases.h"
#include "certified/certified.h"
#include "sinewma.h"
#include "sinewma_internal.h"
#include "real_table.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kCount = 1000000;

const std::vector<float> &prices()
{
    static const std::vector<float> v = [] {
        std::vector<float> p(kCount);
        uint64_t s = 12345;
        double price = 100.0;
        for (float &x : p) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            price *= 1.0 + 0.02 * (double(s >> 11) * 0x1p-53 - 0.5);
            x = float(price);
        }
        return p;
    }();
    return v;
}

double platform_sin(double x) { return std::sin(x); }

// The usual way: weights once, then one dependent chain of additions per output.
void table_loop(const float *in, int period, int count, float *out)
{
    std::vector<double> w(static_cast<size_t>(period) + 1);
    const double n1 = double(period) + 1.0;
    double s = 0.0;
    for (int i = 1; i <= period; i++)
        s = s + (w[size_t(i)] = swma_sin(double(i) * 3.14159 / n1));
    for (int k = 0; k < period - 1 && k < count; k++)
        out[k] = SINEWMA_NO_VALUE;
    for (int k = period - 1; k < count; k++) {
        double t = 0.0;
        const float *x = in + k - period;
        for (int i = 1; i <= period; i++)
            t = t + w[size_t(i)] * double(x[i]);
        out[k] = float(t / s);
    }
}

void set_counters(benchmark::State &st, int period, int count)
{
    const double outputs = double(count - period + 1);
    st.counters["per_output"] = benchmark::Counter(
        outputs, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    st.counters["per_output_x_weight"] =
        benchmark::Counter(outputs * period, benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

template <class F>
void run(benchmark::State &st, int period, int count, F f, bool check = true)
{
    const float *in = prices().data();
    std::vector<float> out(static_cast<size_t>(count));
    for (auto _ : st) {
        f(in, period, count, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (check && !swt::matches_oracle_at_ends(in, period, count, out.data(), swma_sin))
        st.SkipWithError("results differ from the oracle");
    set_counters(st, period, count);
}

void BM_export(benchmark::State &st)
{
    run(st, int(st.range(0)), int(st.range(1)), SineWeightedMovingAverage);
}

void BM_path(benchmark::State &st)
{
    const swma_isa isa = swma_isa(st.range(2));
    if (isa == SWMA_ISA_AVX2 && swma_cpu_isa() != SWMA_ISA_AVX2) {
        st.SkipWithError("no AVX2 here");
        return;
    }
    st.SetLabel(isa == SWMA_ISA_SCALAR ? "scalar" : isa == SWMA_ISA_SSE2 ? "sse2" : "avx2");
    run(st, int(st.range(0)), int(st.range(1)), [isa](const float *in, int p, int n, float *o) {
        swma_compute(in, p, n, o, isa);
    });
}

void BM_table_loop(benchmark::State &st)
{
    run(st, int(st.range(0)), int(st.range(1)), table_loop);
}

void BM_literal_platform_sin(benchmark::State &st)
{
    run(st, int(st.range(0)), int(st.range(1)),
        [](const float *in, int p, int n, float *o) { swt::oracle(in, p, n, o, platform_sin); },
        false); // the oracle itself, with the platform's sin: nothing to check it against
}

// The yardstick of the per-bar call: its arithmetic alone, with the weights and their sum
// already at hand: one ascending chain of multiply-adds, a division and a narrowing.
void BM_dot_ready(benchmark::State &st)
{
    const int period = int(st.range(0));
    const float *in = prices().data();
    std::vector<double> w(static_cast<size_t>(period));
    const double n1 = double(period) + 1.0;
    double s = 0.0;
    for (int i = 1; i <= period; i++)
        s = s + (w[size_t(i - 1)] = swma_sin(double(i) * 3.14159 / n1));
    float out = 0.0f;
    for (auto _ : st) {
        benchmark::DoNotOptimize(in);
        double a = 0.0;
        for (int i = 0; i < period; i++)
            a = a + w[size_t(i)] * double(in[i]);
        out = float(a / s);
        benchmark::DoNotOptimize(out);
    }
    std::vector<float> want(static_cast<size_t>(period));
    swt::oracle(in, period, period, want.data(), swma_sin);
    if (std::memcmp(&out, &want[size_t(period - 1)], sizeof out) != 0)
        st.SkipWithError("result differs from the oracle");
}

// The certified kernel beside the exact one: the export (automatic choice), each kernel
// forced, on a price walk, a +-1000 square wave and returns around zero. Counters: ns per
// output and the share of outputs the estimate could not settle.
const std::vector<float> &workload(int kind)
{
    static const std::vector<float> v[3] = {
        prices(),
        [] { swt::Rng r(1); return swt::cert_series(r, kCount, swt::kSquare); }(),
        [] { swt::Rng r(2); return swt::cert_series(r, kCount, swt::kReturns); }(),
    };
    return v[kind];
}

void BM_kernel(benchmark::State &st)
{
    const int period = int(st.range(0));
    const int kind = int(st.range(1));
    const swma_kernel kern = swma_kernel(st.range(2));
    const swma_isa isa = swma_isa(st.range(3));
    if (isa == SWMA_ISA_AVX2 && swma_cpu_isa() != SWMA_ISA_AVX2) {
        st.SkipWithError("no AVX2 here");
        return;
    }
    const char *kinds[] = {"walk", "square", "returns"};
    const char *kernels[] = {"export", "exact", "certified"};
    const char *isas[] = {"auto", "scalar", "sse2", "avx2"};
    st.SetLabel(std::string(kinds[kind]) + " " + kernels[kern] + " " + isas[isa]);
    const std::vector<float> &in = workload(kind);
    std::vector<float> out(in.size()), want(in.size());
    swma_cert_stats stats{};
    for (auto _ : st) {
        if (kern == SWMA_KERNEL_AUTO && isa == SWMA_ISA_AUTO)
            SineWeightedMovingAverage(in.data(), period, kCount, out.data());
        else
            swma_compute_kernel(in.data(), period, kCount, out.data(), isa, kern, 0, &stats);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    swma_compute_kernel(in.data(), period, kCount, want.data(), SWMA_ISA_AUTO, SWMA_KERNEL_EXACT,
                        0, nullptr);
    for (size_t i = 0; i < in.size(); i++)
        if (swt::bits(out[i]) != swt::bits(want[i]) && !(out[i] != out[i] && want[i] != want[i])) {
            st.SkipWithError("results differ from the exact kernel");
            return;
        }
    if (kern != SWMA_KERNEL_EXACT && !(kern == SWMA_KERNEL_AUTO && isa == SWMA_ISA_AUTO)) {
        const double all = double(stats.certified + stats.failed + stats.exact);
        st.counters["fallback"] = all > 0 ? double(stats.failed) / all : 0;
        st.counters["exact_share"] = all > 0 ? double(stats.exact) / all : 0;
    }
    set_counters(st, period, kCount);
}

// Series as hosts have them (NaN gaps, zero padding, infinities, a chained indicator,
// volumes) beside the clean walk: the export, each vector path on the automatic kernel,
// and the exact kernel alone on that path, which no series may beat by more than 10%.
const std::vector<float> &real_workload(int kind)
{
    static std::vector<float> v[swt::kRealKinds];
    if (v[kind].empty())
        v[kind] = swt::real_series(kind, prices(), SineWeightedMovingAverage);
    return v[kind];
}

void BM_real(benchmark::State &st)
{
    const int period = int(st.range(0)), kind = int(st.range(1));
    const swma_kernel kern = swma_kernel(st.range(2));
    const swma_isa isa = swma_isa(st.range(3));
    if (isa == SWMA_ISA_AVX2 && swma_cpu_isa() != SWMA_ISA_AVX2) {
        st.SkipWithError("no AVX2 here");
        return;
    }
    const char *kernels[] = {"auto", "exact", "certified"};
    const char *isas[] = {"export", "scalar", "sse2", "avx2"};
    st.SetLabel(std::string(swt::kRealNames[kind]) + " " + isas[isa] +
                (isa ? std::string(" ") + kernels[kern] : ""));
    const std::vector<float> &in = real_workload(kind);
    std::vector<float> out(in.size()), want(in.size());
    swma_cert_stats stats{};
    for (auto _ : st) {
        if (isa == SWMA_ISA_AUTO)
            SineWeightedMovingAverage(in.data(), period, kCount, out.data());
        else
            swma_compute_kernel(in.data(), period, kCount, out.data(), isa, kern, 0, &stats);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (isa != SWMA_ISA_AUTO) {
        // Where the outputs went: estimated and failed, on the exact kernel, decided alone.
        const double all = double(kCount - period + 1);
        st.counters["failed"] = double(stats.failed) / all;
        st.counters["exact"] = double(stats.exact) / all;
        st.counters["decided"] = double(stats.decided) / all;
    }
    swma_compute_kernel(in.data(), period, kCount, want.data(), SWMA_ISA_AUTO, SWMA_KERNEL_EXACT,
                        0, nullptr);
    for (size_t i = 0; i < in.size(); i++)
        if (!swt::same(out[i], want[i])) {
            st.SkipWithError("results differ from the exact kernel");
            return;
        }
    set_counters(st, period, kCount);
}

// With --benchmark_repetitions=N, also report the best of the N runs: on a shared machine
// the minimum is the figure that repeats.
double best(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

void periods(benchmark::internal::Benchmark *b, int count)
{
    b->ComputeStatistics("best", best);
    for (int p : {5, 14, 50, 200, 1000})
        b->Args({p, count});
    b->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(BM_export)->Apply([](auto *b) { periods(b, kCount); });
// A host's newest bar (count = period, one result), and beside it the same arithmetic with
// the weights ready.
BENCHMARK(BM_export)->Name("BM_per_bar")->Apply([](auto *b) {
    for (int p : {5, 14, 50, 200, 256, 1000})
        b->Args({p, p});
    b->Unit(benchmark::kNanosecond)->ComputeStatistics("best", best);
});
BENCHMARK(BM_dot_ready)->Apply([](auto *b) {
    for (int p : {5, 14, 50, 200, 256, 1000})
        b->Arg(p);
    b->Unit(benchmark::kNanosecond)->ComputeStatistics("best", best);
});
BENCHMARK(BM_path)->Apply([](auto *b) {
    for (int isa : {SWMA_ISA_SCALAR, SWMA_ISA_SSE2, SWMA_ISA_AVX2})
        for (int p : {5, 14, 50, 200, 1000})
            b->Args({p, kCount, isa});
    b->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);
});
BENCHMARK(BM_path)
    ->Name("BM_per_bar_path")
    ->Args({14, 14, SWMA_ISA_SSE2})
    ->Args({14, 14, SWMA_ISA_SCALAR})
    ->ComputeStatistics("best", best);
BENCHMARK(BM_kernel)->Apply([](auto *b) {
    for (int kind : {0, 1, 2})
        for (int p : {14, 50, 200, 1000, 4000}) {
            b->Args({p, kind, SWMA_KERNEL_AUTO, SWMA_ISA_AUTO});
            for (int isa : {SWMA_ISA_SSE2, SWMA_ISA_AVX2}) {
                b->Args({p, kind, SWMA_KERNEL_EXACT, isa});
                b->Args({p, kind, SWMA_KERNEL_CERTIFIED, isa});
                b->Args({p, kind, SWMA_KERNEL_AUTO, isa});
            }
        }
    b->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);
});
BENCHMARK(BM_kernel)->Name("BM_kernel_scalar")->Apply([](auto *b) {
    for (int p : {14, 50, 200, 1000, 4000}) {
        b->Args({p, 0, SWMA_KERNEL_EXACT, SWMA_ISA_SCALAR});
        b->Args({p, 0, SWMA_KERNEL_CERTIFIED, SWMA_ISA_SCALAR});
    }
    b->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);
});
BENCHMARK(BM_real)->Apply([](auto *b) {
    for (int kind = 0; kind < swt::kRealKinds; kind++)
        for (int p : {17, 50, 200, 1000, 4000}) {
            b->Args({p, kind, SWMA_KERNEL_AUTO, SWMA_ISA_AUTO});
            for (int isa : {SWMA_ISA_SSE2, SWMA_ISA_AVX2}) {
                b->Args({p, kind, SWMA_KERNEL_AUTO, isa});
                b->Args({p, kind, SWMA_KERNEL_EXACT, isa});
            }
        }
    b->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);
});
BENCHMARK(BM_table_loop)->Apply([](auto *b) { periods(b, kCount); });
// The literal form costs a sin per term: a smaller series keeps it to seconds.
BENCHMARK(BM_literal_platform_sin)->Args({14, 14})->Unit(benchmark::kNanosecond)->ComputeStatistics("best", best);
BENCHMARK(BM_literal_platform_sin)->Apply([](auto *b) { periods(b, 100000); });

// --real-table[=N]: the real-data series side by side instead (real_table.h), best of N
// alternating rounds (7 unless given). The goals on real data are ratios, and on a shared
// machine only series timed side by side keep theirs; BM_real times each alone.
int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], "--real-table", 12) == 0) {
            const int rounds = argv[i][12] == '=' ? atoi(argv[i] + 13) : 7;
            return swb::real_table(SineWeightedMovingAverage, prices(), rounds > 0 ? rounds : 7,
                                   false) != 0;
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
