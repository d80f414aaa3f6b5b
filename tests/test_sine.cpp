// test_sine.cpp: the library's sine against MPFR, and its constants against their values.
#include "mpfr_sine.h"
#include "sine/sine_table.h"
#include "sinewma_internal.h"
#include "sine/weights.h"

#include <gtest/gtest.h>
#include <mpfr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>
#include <random>
#include <thread>

namespace {

uint64_t dbits(double x)
{
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// Checks the angles of periods [from, to] and returns the mismatches.
long mismatches_in_periods(int from, int to, long *checked)
{
    long bad = 0;
    for (int p = from; p <= to; p++) {
        const double n1 = double(p) + 1.0;
        for (int i = 1; i <= p; i++) {
            double x = double(i) * 3.14159 / n1;
            if (swma_sin(x) != mpfr_sine(x)) {
                if (bad++ < 5)
                    ADD_FAILURE() << "period " << p << " i " << i << " x " << std::hexfloat << x
                                  << ": " << swma_sin(x) << " want " << mpfr_sine(x);
            }
            ++*checked;
        }
    }
    return bad;
}

TEST(Sine, EveryAngleOfPeriodsUpTo3000IsCorrectlyRounded)
{
    // About 4.5 million angles, split over two threads (the ranges hold equal work).
    long c1 = 0, c2 = 0, b1 = 0, b2 = 0;
    std::thread t([&] { b1 = mismatches_in_periods(1, 2121, &c1); });
    b2 = mismatches_in_periods(2122, 3000, &c2);
    t.join();
    EXPECT_EQ(c1 + c2, 3000L * 3001 / 2);
    EXPECT_EQ(b1 + b2, 0);
}

TEST(Sine, MillionRandomAnglesAreCorrectlyRounded)
{
    std::mt19937_64 rng(31415);
    std::uniform_real_distribution<double> uni(0.0, 3.14159);
    long bad = 0;
    for (int n = 0; n < 1000000; n++) {
        double x = uni(rng);
        if (n % 4 == 0) // every binade down to tiny angles, too
            x = std::ldexp(1.0 + uni(rng) / 3.14159, -int(rng() % 40));
        if (x > 3.14159)
            continue;
        if (swma_sin(x) != mpfr_sine(x) && bad++ < 5)
            ADD_FAILURE() << std::hexfloat << "x " << x << ": " << swma_sin(x) << " want "
                          << mpfr_sine(x);
    }
    EXPECT_EQ(bad, 0);
}

TEST(Sine, EdgesOfTheDomainAndOfEachPath)
{
    // 0, the tiny-angle shortcut's border, the pi/2 fold, table midpoints, the top end.
    const double xs[] = {0.0,          0x1p-1074,   0x1p-27,       0x1.fffffffffffffp-27,
                         0x1p-26,      0x1.0000000000001p-26, 1.0 / 512, 3.0 / 512,
                         0x1.921fb54442d17p+0, 0x1.921fb54442d18p+0, 0x1.921fb54442d19p+0,
                         3.14159,      3.1415926,   3.14159 / 2.0, 402.0 / 256};
    for (double x : xs)
        EXPECT_EQ(dbits(swma_sin(x)), dbits(x == 0.0 ? 0.0 : mpfr_sine(x))) << std::hexfloat << x;
}

TEST(Sine, ConstantsAreTheNearestDoubles)
{
    mpfr_t pi, v, t;
    mpfr_inits2(400, pi, v, t, (mpfr_ptr)0);
    mpfr_const_pi(pi, MPFR_RNDN);
    // pi in three parts, each the nearest double to what the earlier ones leave.
    mpfr_set(v, pi, MPFR_RNDN);
    for (double part : {SWMA_PI_HI, SWMA_PI_LO, SWMA_PI_LO2}) {
        EXPECT_EQ(part, mpfr_get_d(v, MPFR_RNDN));
        mpfr_sub_d(v, v, part, MPFR_RNDN);
    }
    // pi in fixed point, limb by limb.
    mpfr_set(v, pi, MPFR_RNDN);
    for (int i = 0; i < 9; i++) {
        mpfr_floor(t, v);
        EXPECT_EQ(swma_pi_fixed[i], mpfr_get_ui(t, MPFR_RNDN)) << "limb " << i;
        mpfr_sub(v, v, t, MPFR_RNDN);
        mpfr_mul_2ui(v, v, 32, MPFR_RNDN);
    }
    // sin and cos of k/256 as double-doubles.
    for (int k = 0; k <= 402; k++) {
        mpfr_t a;
        mpfr_init2(a, 400);
        mpfr_set_d(a, k / 256.0, MPFR_RNDN);
        for (int f = 0; f < 2; f++) {
            (f == 0 ? mpfr_sin : mpfr_cos)(v, a, MPFR_RNDN);
            double hi = mpfr_get_d(v, MPFR_RNDN);
            mpfr_sub_d(t, v, hi, MPFR_RNDN);
            EXPECT_EQ(swma_sincos_table[k][2 * f], hi) << "k " << k;
            EXPECT_EQ(swma_sincos_table[k][2 * f + 1], mpfr_get_d(t, MPFR_RNDN)) << "k " << k;
        }
        mpfr_clear(a);
    }
    mpfr_clears(pi, v, t, (mpfr_ptr)0);
}

// Around every border between two table entries (k - 1/2)/256, and the same borders seen
// from pi (x = pi - border), 40 doubles either side: where the choice of k and the exactness
// of th = y - k/256 are decided. 2^-9 - 2^-62 once came out one ulp off, when rounding
// y * 256 + 0.5 up to 1 made th inexact.
TEST(Sine, AroundEveryBorderOfTheTable)
{
    long bad = 0, n = 0;
    std::vector<double> xs;
    for (int k = 1; k <= 402; k++) {
        for (double border : {(k - 0.5) / 256.0, 0x1.921fb54442d18p+1 - (k - 0.5) / 256.0}) {
            double lo = border, hi = border;
            for (int d = 0; d <= 40; d++) {
                for (double x : {lo, hi})
                    if (x >= 0x1p-26 && x <= 3.1415926)
                        xs.push_back(x);
                lo = std::nextafter(lo, 0.0);
                hi = std::nextafter(hi, 4.0);
            }
        }
    }
    std::vector<double> two(xs.size());
    swma_sin_many(xs.data(), int(xs.size()), two.data());
    for (size_t i = 0; i < xs.size(); i++, n++) {
        const double want = mpfr_sine(xs[i]);
        if ((dbits(swma_sin(xs[i])) != dbits(want) || dbits(two[i]) != dbits(want)) && bad++ < 5)
            ADD_FAILURE() << std::hexfloat << "x " << xs[i] << ": " << swma_sin(xs[i])
                          << ", two at a time " << two[i] << ", want " << want;
    }
    EXPECT_GT(n, 60000);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(dbits(swma_sin(0x1.fffffffffffffp-10)), dbits(0x1.ffffeaaaaaeeep-10));
}

// The tables hold, for every period they cover, the library's sine of each angle, which is
// MPFR's, and the sums of those weights added in ascending order.
TEST(WeightTable, EveryEntryIsTheCorrectlyRoundedSine)
{
    long checked = 0, bad = 0;
    size_t at = 0;
    for (int p = 1; p <= SWMA_TABLE_PERIODS; p++) {
        const double n1 = double(p) + 1.0;
        double sum = 0.0;
        ASSERT_EQ(swma_weight_row(p), swma_weight_table + at);
        for (int i = 1; i <= p; i++, at++) {
            const double x = double(i) * 3.14159 / n1;
            const double want = mpfr_sine(x);
            if ((dbits(swma_weight_table[at]) != dbits(want) ||
                 dbits(swma_sin(x)) != dbits(want)) && bad++ < 5)
                ADD_FAILURE() << "period " << p << " i " << i << std::hexfloat << ": table "
                              << swma_weight_table[at] << " sine " << swma_sin(x) << " MPFR "
                              << want;
            sum = sum + want;
            checked++;
        }
        EXPECT_EQ(dbits(swma_weight_sums[p]), dbits(sum)) << "period " << p;
    }
    EXPECT_EQ(at, sizeof swma_weight_table / sizeof swma_weight_table[0]);
    EXPECT_EQ(checked, 256L * 257 / 2);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(swma_weight_row(0), nullptr);
    EXPECT_EQ(swma_weight_row(SWMA_TABLE_PERIODS + 1), nullptr);
}

// swma_weights gives the sine's bits whether it reads a table or evaluates two at a time,
// for any stretch of a period's weights.
TEST(WeightTable, WeightsOfAnyStretchAreTheSines)
{
    std::vector<double> w(3000);
    for (int p : {1, 2, 3, 14, 255, 256, 257, 258, 1000, 1025, 2999, 1 << 30, 2147483647}) {
        const double n1 = double(p) + 1.0;
        for (int64_t first : {int64_t(1), int64_t(2), int64_t(p) / 2 + 1, int64_t(p)}) {
            const int n = int(std::min<int64_t>(int64_t(p) - first + 1, 3000));
            swma_weights(first, n, n1, w.data());
            for (int m = 0; m < n; m++) {
                const double x = double(int32_t(first + m)) * 3.14159 / n1;
                ASSERT_EQ(dbits(w[size_t(m)]), dbits(mpfr_sine(x)))
                    << "period " << p << " i " << first + m;
            }
        }
    }
}

// Two at a time gives the scalar sine's bits everywhere, slow path and tiny angles included:
// angles whose quick result the rounding test rejects (found by the scalar code's own test),
// each paired with a quick one on either side, and angles below 2^-26.
TEST(Sine, TwoAtATimeGivesTheSameBits)
{
    std::mt19937_64 rng(2718);
    std::uniform_real_distribution<double> uni(0.0, 3.1415926);
    std::vector<double> xs;
    for (int n = 0; n < 400000; n++) {
        double x = uni(rng);
        if (n % 5 == 0)
            x = std::ldexp(1.0 + uni(rng) / 3.1415926, -int(rng() % 34));
        xs.push_back(x);
    }
    xs.insert(xs.end(), {0x1p-27, 1.0, 0x1p-26, 3.1415926, 0x1.921fb54442d18p+0,
                         0x1.921fb54442d19p+0, 1.0 / 512, 0.0, 1e-300});
    std::vector<double> y(xs.size());
    for (size_t start : {size_t(0), size_t(1)}) { // each angle in either lane
        swma_sin_many(xs.data() + start, int(xs.size() - start), y.data() + start);
        for (size_t i = start; i < xs.size(); i++)
            ASSERT_EQ(dbits(y[i]), dbits(swma_sin(xs[i]))) << std::hexfloat << xs[i];
    }
    // In place, as swma_weights calls it.
    std::vector<double> z = xs;
    swma_sin_many(z.data(), int(z.size()), z.data());
    EXPECT_EQ(std::memcmp(z.data(), y.data(), z.size() * sizeof(double)), 0);
}

TEST(Sine, AngleConstantHasTheDocumentedBits)
{
    EXPECT_EQ(dbits(3.14159), 0x400921F9F01B866Eull);
}

} // namespace
