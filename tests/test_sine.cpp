// test_sine.cpp: the library's sine against MPFR, and its constants against their values.
#include "mpfr_sine.h"
#include "sine_table.h"
#include "sinewma_internal.h"

#include <gtest/gtest.h>
#include <mpfr.h>

#include <cstring>
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

TEST(Sine, AngleConstantHasTheDocumentedBits)
{
    EXPECT_EQ(dbits(3.14159), 0x400921F9F01B866Eull);
}

} // namespace
