// per_bar.cpp: per-bar calls against the full series; see per_bar.h.
#include "per_bar.h"

#include <stdio.h>

namespace swt {

void check_per_bar(const Average &bar, const Average &full, Sine sine, bool quick, Report &r)
{
    std::vector<int> periods;
    for (int p = 1; p <= 300; p++)
        periods.push_back(p);
    if (!quick)
        periods.insert(periods.end(), {1000, 1024, 1025, 5000});
    Rng rng(1010);
    const int tail = 48; // the full call's results past the first window
    for (int period : periods) {
        const int n = period - 1 + tail;
        std::vector<float> in = series(rng, n, period % 4);
        char what[96];
        snprintf(what, sizeof what, "per bar, full series, period %d", period);
        const std::vector<uint32_t> all = guarded(full, in, period, n, what, r);
        // Windows at the start, one apart, across the tail, at the very end.
        for (int off : {0, 1, 2, 3, 17, tail - 1}) {
            for (int results : {1, 2, 3, 8, 9}) {
                if (off + results > tail)
                    continue;
                const int count = period - 1 + results;
                const std::vector<float> win(in.begin() + off, in.begin() + off + count);
                snprintf(what, sizeof what, "per bar, period %d offset %d results %d", period,
                         off, results);
                const std::vector<uint32_t> got = guarded(bar, win, period, count, what, r);
                std::vector<uint32_t> want(static_cast<size_t>(count), kNoValueBits);
                for (int j = 0; j < results; j++)
                    want[size_t(period - 1 + j)] = all[size_t(period - 1 + off + j)];
                compare_bits(got, want, what, period, r);
                if (results == 1 && (off == 0 || period <= 64)) {
                    std::vector<float> o(static_cast<size_t>(count));
                    oracle(win.data(), period, count, o.data(), sine);
                    snprintf(what, sizeof what, "per bar against the oracle, period %d "
                             "offset %d", period, off);
                    compare_bits(std::vector<uint32_t>{got[size_t(count - 1)]},
                                 std::vector<uint32_t>{bits(o[size_t(count - 1)])}, what,
                                 period, r);
                }
            }
        }
    }
}

} // namespace swt
