// real_table.h: the real-data table that swma_bench (--real-table) and swma_bench_dll print.
// For each period, every series on every path in turn, round after round, and the best
// round of each (this thread's CPU time where the system keeps it): the series are timed
// side by side, so that a shared machine's slow spells fall on all of them alike and their
// ratios to the clean walk hold. ns per output, and the ratios the goals are stated in: to
// the same path's clean walk, and to its exact kernel on the same series.
#ifndef SWMA_BENCH_REAL_TABLE_H
#define SWMA_BENCH_REAL_TABLE_H

#include "cases.h"
#include "cert_cases.h"
#include "sinewma_internal.h"

#include <stdio.h>
#include <time.h>

#include <chrono>
#include <vector>

namespace swb {

// Nanoseconds of this thread's CPU time where the system keeps it (other work on a shared
// machine then costs a row nothing), else of the steady clock.
inline double now_ns()
{
#if defined(__linux__)
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
#else
    return std::chrono::duration<double, std::nano>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

// Prints the table for `walk` (its length is the count); returns the cells whose results
// differ from the exact kernel's.
inline int real_table(const swt::Average &exported, const std::vector<float> &walk, int rounds,
                      bool quick)
{
    const int count = int(walk.size());
    const bool avx2 = swma_cpu_isa() == SWMA_ISA_AVX2;
    // Column c: the export, then (path, automatic kernel) and (path, exact kernel).
    struct column {
        const char *name;
        swma_isa isa;
        swma_kernel kernel;
    };
    std::vector<column> cols = {{"export", SWMA_ISA_AUTO, SWMA_KERNEL_AUTO},
                                {"sse2", SWMA_ISA_SSE2, SWMA_KERNEL_AUTO},
                                {"exact", SWMA_ISA_SSE2, SWMA_KERNEL_EXACT}};
    if (avx2) {
        cols.push_back({"avx2", SWMA_ISA_AVX2, SWMA_KERNEL_AUTO});
        cols.push_back({"exact", SWMA_ISA_AVX2, SWMA_KERNEL_EXACT});
    }
    std::vector<std::vector<float>> series;
    for (int kind = 0; kind < swt::kRealKinds; kind++)
        series.push_back(swt::real_series(kind, walk, exported));
    std::vector<float> out(walk.size()), want(walk.size());
    int wrong = 0;
    printf("\n%-12s %6s", "series", "period");
    for (const column &c : cols)
        printf(" %9s%s", c.name, c.kernel == SWMA_KERNEL_EXACT ? "" : "  x clean");
    printf("   (ns per output; x clean: the same path's clean walk; best of %d alternating"
           " rounds)\n",
           rounds);
    double worst_clean[5] = {0, 0, 0, 0, 0}, worst_exact[5] = {0, 0, 0, 0, 0};
    for (int p : {17, 50, 200, 1000, 4000}) {
        if (quick && p != 50 && p != 1000)
            continue;
        const int nk = swt::kRealKinds, nc = int(cols.size());
        std::vector<double> best(size_t(nk * nc), 1e300);
        for (int r = 0; r < rounds; r++)
            for (int kind = 0; kind < nk; kind++) {
                const float *x = series[size_t(kind)].data();
                // The first round's results are checked, outside the timing, against the
                // exact kernel's.
                if (r == 0)
                    swma_compute_kernel(x, p, count, want.data(), SWMA_ISA_AUTO,
                                        SWMA_KERNEL_EXACT, 0, nullptr);
                for (int c = 0; c < nc; c++) {
                    const double t0 = now_ns();
                    if (cols[size_t(c)].isa == SWMA_ISA_AUTO)
                        exported(x, p, count, out.data());
                    else
                        swma_compute_kernel(x, p, count, out.data(), cols[size_t(c)].isa,
                                            cols[size_t(c)].kernel, 0, nullptr);
                    const double t = (now_ns() - t0) / double(count - p + 1);
                    double &b = best[size_t(kind * nc + c)];
                    b = t < b ? t : b;
                    if (r == 0) {
                        for (int k = 0; k < count; k++)
                            if (!swt::same(out[size_t(k)], want[size_t(k)])) {
                                wrong++;
                                printf("%s, period %d, column %d: WRONG RESULTS\n",
                                       swt::kRealNames[kind], p, c);
                                break;
                            }
                    }
                }
            }
        for (int kind = 0; kind < nk; kind++) {
            printf("%-12s %6d", swt::kRealNames[kind], p);
            for (int c = 0; c < nc; c++) {
                const double t = best[size_t(kind * nc + c)];
                printf(" %9.3f", t);
                if (cols[size_t(c)].kernel == SWMA_KERNEL_EXACT)
                    continue;
                const double to_clean = t / best[size_t(c)];
                printf(" %6.2fx ", to_clean);
                if (kind > 0 && to_clean > worst_clean[c])
                    worst_clean[c] = to_clean;
                // A path's exact kernel is the next column; the export's, that of the path
                // it takes, the last (AVX2 where the CPU has it).
                double exact = best[size_t(kind * nc + (c == 0 ? nc - 1 : c + 1))];
                if (t / exact > worst_exact[c])
                    worst_exact[c] = t / exact;
            }
            printf("\n");
        }
    }
    printf("worst, over the series and periods:");
    for (int c = 0; c < int(cols.size()); c++)
        if (cols[size_t(c)].kernel != SWMA_KERNEL_EXACT)
            printf("  %s %.2fx its clean walk, %.2fx its exact kernel", cols[size_t(c)].name,
                   worst_clean[c], worst_exact[c]);
    printf("\n");
    return wrong;
}

} // namespace swb

#endif
