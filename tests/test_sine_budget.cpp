// test_sine_budget.cpp: the quick path's hi + lo against MPFR, measured where the error
// budget (docs/sine-error.md) puts its worst case and elsewhere, within the proven bound.
// The library's sine.cpp is compiled here a second time, in a namespace of its own, with a
// probe that records each quick result before the rounding test.
#include <stdint.h>

#include "sine/sine_table.h"
#include "sinewma_internal.h"
#include "sine/weights.h"

#include <gtest/gtest.h>
#include <mpfr.h>

#include <cmath>
#include <random>
#include <vector>

namespace budget {
thread_local double seen_x, seen_hi, seen_lo;
}
#define SWMA_SINE_PROBE(x, hi, lo) (budget::seen_x = (x), budget::seen_hi = (hi), budget::seen_lo = (lo))

namespace probe {
#include "../src/sine/sine.cpp"
}

namespace {

// |hi + lo - sin x| / sin x of the quick path, exactly enough (MPFR at 300 bits).
double relative_error(double x)
{
    probe::swma_sin(x);
    mpfr_t s, r;
    mpfr_inits2(300, s, r, (mpfr_ptr)0);
    mpfr_set_d(s, x, MPFR_RNDN);
    mpfr_sin(s, s, MPFR_RNDN);
    mpfr_set_d(r, budget::seen_hi, MPFR_RNDN);
    mpfr_add_d(r, r, budget::seen_lo, MPFR_RNDN); // exact at 300 bits
    mpfr_sub(r, r, s, MPFR_RNDN);
    mpfr_div(r, r, s, MPFR_RNDN);
    const double e = std::fabs(mpfr_get_d(r, MPFR_RNDN));
    mpfr_clears(s, r, (mpfr_ptr)0);
    return e;
}

TEST(SineBudget, QuickPathWithinTheProvenBound)
{
    std::mt19937_64 rng(1414);
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    std::vector<double> xs;
    // The budget's worst case: k = 1 with t near -1/512 (y just above 1/512), on both sides
    // of the fold; then the same near every other border; then anywhere.
    for (int n = 0; n < 100000; n++) {
        const double y = 0x1p-9 * (1.0 + 0x1p-12 * uni(rng));
        xs.push_back(y);
        xs.push_back(0x1.921fb54442d18p+1 - y);
    }
    for (int n = 0; n < 100000; n++) {
        const int k = 1 + int(rng() % 402);
        const double y = (k - 0.5 + 0x1p-10 * uni(rng)) / 256.0;
        xs.push_back(y);
        xs.push_back(0x1.921fb54442d18p+1 - y);
    }
    for (int n = 0; n < 200000; n++)
        xs.push_back(3.1415926 * uni(rng));
    double worst = 0.0, worst_x = 0.0;
    for (double x : xs) {
        if (!(x >= 0x1p-26 && x <= 3.1415926))
            continue;
        const double e = relative_error(x);
        if (e > worst) {
            worst = e;
            worst_x = x;
        }
    }
    EXPECT_LE(worst, probe::kQuickPathError) << std::hexfloat << "at x = " << worst_x;
    EXPECT_GT(worst, 0x1p-75); // the probe saw the quick path's results
    RecordProperty("worst_log2", std::to_string(std::log2(worst)));
    std::printf("largest relative error of hi + lo: 2^%.2f at %a (bound 2^%.2f)\n",
                std::log2(worst), worst_x, std::log2(probe::kQuickPathError));
}

} // namespace
