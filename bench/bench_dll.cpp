// bench_dll.cpp: the benchmark's workloads against the Windows DLL, for running under Wine
// (Google Benchmark is not packaged for mingw-w64). Same series, periods and counters as
// bench.cpp: best of N runs, results checked against the literal definition at both ends.
// Usage: swma_bench_dll sinewma.dll [--quick] [--rounds=N]
// (--rounds: rounds of the real-data table, 5 by default; more hold up better on a shared
// machine.)
#include "cases.h"
#include "cert_cases.h"
#include "certified/certified.h"
#include "sinewma.h"
#include "sinewma_internal.h"
#include "real_table.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>

#include <vector>

namespace {

double now_ns()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * 1e9 / double(f.QuadPart);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: swma_bench_dll sinewma.dll [--quick] [--rounds=N]\n");
        return 2;
    }
    bool quick = false;
    int rounds = 5;
    for (int a = 2; a < argc; a++) {
        if (strcmp(argv[a], "--quick") == 0)
            quick = true;
        else if (strncmp(argv[a], "--rounds=", 9) == 0 && atoi(argv[a] + 9) > 0)
            rounds = atoi(argv[a] + 9);
        else {
            fprintf(stderr, "unknown option %s\n", argv[a]);
            return 2;
        }
    }
    HMODULE lib = LoadLibraryA(argv[1]);
    auto fn = lib ? reinterpret_cast<SineWeightedMovingAverageFn>(reinterpret_cast<void *>(
                        GetProcAddress(lib, "SineWeightedMovingAverage")))
                  : nullptr;
    if (!fn) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    const int count = quick ? 20000 : 1000000, reps = quick ? 1 : 20;
    std::vector<float> in(static_cast<size_t>(count)), out(in.size());
    uint64_t s = 12345; // the same series as bench.cpp
    double price = 100.0;
    for (float &x : in) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        price *= 1.0 + 0.02 * (double(s >> 11) * 0x1p-53 - 0.5);
        x = float(price);
    }
    int failed = 0;
    printf("%-22s %14s %20s\n", "workload", "ns/output", "ns/(output*weight)");
    for (int period : {5, 14, 50, 200, 1000}) {
        const bool per_bar = period < 0;
        const int p = per_bar ? -period : period, n = per_bar ? p : count;
        const int inner = per_bar ? 20000 : 1;
        double best = 1e300;
        for (int r = 0; r < reps; r++) {
            double t0 = now_ns();
            for (int k = 0; k < inner; k++)
                fn(in.data(), p, n, out.data());
            double t = (now_ns() - t0) / inner;
            best = t < best ? t : best;
        }
        bool ok = swt::matches_oracle_at_ends(in.data(), p, n, out.data(), swma_sin);
        failed += !ok;
        const double outputs = double(n - p + 1);
        char name[64];
        snprintf(name, sizeof name, per_bar ? "per bar, period %d" : "period %d", p);
        printf("%-22s %14.3f %20.4f%s\n", name, best / outputs, best / (outputs * p),
               ok ? "" : "  WRONG RESULTS");
    }
    // A host's newest bar (count = period, one result), and beside it the same arithmetic with
    // the weights and their sum ready: one ascending chain, a division, a narrowing.
    printf("\n%-8s %16s %22s %8s\n", "period", "per-bar call ns", "dot, ready weights ns",
           "ratio");
    for (int p : {5, 14, 50, 200, 256, 1000}) {
        std::vector<double> w(static_cast<size_t>(p));
        double sw = 0.0;
        for (int i = 1; i <= p; i++)
            sw = sw + (w[size_t(i - 1)] = swma_sin(double(i) * 3.14159 / (double(p) + 1.0)));
        const int inner = quick ? 200 : 200000 / p + 100;
        double call = 1e300, dot = 1e300;
        float r = 0.0f;
        for (int rep = 0; rep < reps; rep++) {
            double t0 = now_ns();
            for (int k = 0; k < inner; k++)
                fn(in.data() + k % 64, p, p, out.data());
            const double t1 = now_ns();
            for (int k = 0; k < inner; k++) {
                const float *x = in.data() + k % 64;
                double a = 0.0;
                for (int i = 0; i < p; i++)
                    a = a + w[size_t(i)] * double(x[i]);
                r = float(a / sw);
                __asm__ volatile("" : : "x"(r)); // keep each result
            }
            const double t2 = now_ns();
            call = (t1 - t0) / inner < call ? (t1 - t0) / inner : call;
            dot = (t2 - t1) / inner < dot ? (t2 - t1) / inner : dot;
        }
        // The last window of each: the call's result is the dot product's, bit for bit.
        const bool ok = memcmp(&r, &out[size_t(p - 1)], sizeof r) == 0;
        failed += !ok;
        printf("%-8d %16.1f %22.1f %7.1fx%s\n", p, call, dot, call / dot,
               ok ? "" : "  WRONG RESULT");
    }

    // The yardstick for the per-bar call: the definition written out with this platform's sin.
    double best = 1e300;
    for (int r = 0; r < reps; r++) {
        double t0 = now_ns();
        for (int k = 0; k < 20000; k++)
            swt::oracle(in.data(), 14, 14, out.data(), [](double x) { return std::sin(x); });
        double t = (now_ns() - t0) / 20000;
        best = t < best ? t : best;
    }
    printf("%-22s %14.3f %20.4f\n", "per bar, literal sin", best, best / 14);

    // The certified kernel: the export beside each kernel forced on the SSE2 path (and AVX2
    // where the CPU has it), ns per output, and the share of outputs that fell back.
    int checked = 11; // the checks above
    {
        const char *kinds[] = {"walk", "square", "returns"};
        std::vector<float> series[3];
        series[0] = in;
        swt::Rng r1(1), r2(2);
        series[1] = swt::cert_series(r1, count, swt::kSquare);
        series[2] = swt::cert_series(r2, count, swt::kReturns);
        std::vector<float> want(in.size());
        const bool avx2 = swma_cpu_isa() == SWMA_ISA_AVX2;
        printf("\n%-8s %6s %9s %9s %9s %9s %9s %9s %9s\n", "series", "period", "export",
               "exact", "cert", "fallback", "exact", "cert", "fallback");
        printf("%-8s %6s %9s %29s %29s\n", "", "", "", "---- sse2 ----", avx2 ? "---- avx2 ----" : "");
        for (int kind = 0; kind < 3; kind++) {
            for (int p : {14, 50, 200, 1000, 4000}) {
                const float *x = series[kind].data();
                auto time = [&](auto f) {
                    double b = 1e300;
                    for (int r = 0; r < (quick ? 1 : 5); r++) {
                        const double t0 = now_ns();
                        f();
                        const double t = now_ns() - t0;
                        b = t < b ? t : b;
                    }
                    return b / double(count - p + 1);
                };
                const double t_export = time([&] { fn(x, p, count, out.data()); });
                swma_compute_kernel(x, p, count, want.data(), SWMA_ISA_SSE2, SWMA_KERNEL_EXACT, 0,
                                    nullptr);
                bool ok = memcmp(out.data(), want.data(), out.size() * sizeof(float)) == 0;
                double t[4] = {0, 0, 0, 0}, fb[2] = {0, 0};
                const swma_isa isas[2] = {SWMA_ISA_SSE2, SWMA_ISA_AVX2};
                for (int a = 0; a < (avx2 ? 2 : 1); a++) {
                    t[2 * a] = time([&] {
                        swma_compute_kernel(x, p, count, out.data(), isas[a], SWMA_KERNEL_EXACT, 0,
                                            nullptr);
                    });
                    swma_cert_stats st{};
                    t[2 * a + 1] = time([&] {
                        swma_compute_kernel(x, p, count, out.data(), isas[a],
                                            SWMA_KERNEL_CERTIFIED, 0, &st);
                    });
                    fb[a] = double(st.failed) / double(count - p + 1);
                    ok = ok && memcmp(out.data(), want.data(), out.size() * sizeof(float)) == 0;
                }
                checked++;
                failed += !ok;
                printf("%-8s %6d %9.3f %9.3f %9.3f %9.2e", kinds[kind], p, t_export, t[0], t[1], fb[0]);
                if (avx2)
                    printf(" %9.3f %9.3f %9.2e", t[2], t[3], fb[1]);
                printf("%s\n", ok ? "" : "  WRONG RESULTS");
            }
        }
    }
    // Series as hosts have them beside the clean walk, side by side (real_table.h).
    {
        const swt::Average dll = [fn](const float *x, int p, int n, float *o) {
            return fn(x, p, n, o);
        };
        const int wrong = swb::real_table(dll, in, quick ? 1 : rounds, quick);
        checked++;
        failed += wrong != 0;
    }
    printf("%d passed, %d failed\n", checked - failed, failed);
    return failed ? 1 : 0;
}
