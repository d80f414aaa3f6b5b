// test_small_call.cpp: the small-call path's estimates from rough weights: the rough sine
// within its stated bound, proven results equal to the exact weights' results, and a window
// whose result lies next to a float rounding midpoint declined (and still exact through
// the export).
#include "cases.h"
#include "sinewma_internal.h"
#include "exact/small_call.h"
#include "sine/weights.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

TEST(RoughSine, WithinItsBoundOfTheCorrectlyRoundedSine)
{
    // Every angle of periods up to 3000, then random angles over the whole domain.
    std::vector<double> x;
    for (int p = 1; p <= 3000; p++)
        for (int i = 1; i <= p; i++)
            x.push_back(double(i) * 3.14159 / (double(p) + 1.0));
    std::mt19937_64 rng(77);
    std::uniform_real_distribution<double> uni(0.0, 3.1415926);
    for (int n = 0; n < 1000000; n++)
        x.push_back(n % 4 ? uni(rng) : std::ldexp(1.0 + uni(rng) / 4, -int(rng() % 60)));
    std::vector<double> y(x.size());
    swma_sin_rough_many(x.data(), int(x.size()), y.data());
    double worst = 0.0;
    for (size_t i = 0; i < x.size(); i++)
        worst = std::max(worst, std::fabs(y[i] - swma_sin(x[i])));
    EXPECT_LE(worst, SWMA_ROUGH_SINE_ERROR);
    // The bound is not vacuous: the rough sine is rough (a few ulps off somewhere).
    EXPECT_GT(worst, 0x1p-54);
    RecordProperty("worst_log2", std::to_string(std::log2(worst)));
}

// The exact weights' results for window `in` (period - 1 + results values), by a block path.
std::vector<float> exact(const std::vector<float> &in, int period, int results)
{
    std::vector<float> out(in.size());
    swma_compute(in.data(), period, int(in.size()), out.data(), SWMA_ISA_SCALAR);
    return std::vector<float>(out.begin() + (period - 1), out.begin() + (period - 1 + results));
}

TEST(Estimate, ProvenResultsAreTheExactResults)
{
    swt::Rng rng(4242);
    int tried = 0, proven = 0;
    for (int period : {257, 300, 511, 512, 513, 1000, 1025, 5000, 70001}) {
        for (int c = 0; c < 24; c++) {
            const int results = 1 + c % SWMA_SMALL_CALL;
            std::vector<float> in = swt::series(rng, period - 1 + results, c % 4);
            std::vector<float> got(static_cast<size_t>(results), -1.0f);
            tried++;
            if (!swma_estimate_small(in.data(), period, results, got.data()))
                continue;
            proven++;
            std::vector<float> want = exact(in, period, results);
            for (int j = 0; j < results; j++)
                ASSERT_EQ(swt::bits(got[size_t(j)]), swt::bits(want[size_t(j)]))
                    << "period " << period << " case " << c << " result " << j;
        }
    }
    // Series with NaN and infinities are declined; the others are nearly always proven.
    EXPECT_GE(proven, tried * 7 / 10) << proven << " of " << tried;
    RecordProperty("proven", std::to_string(proven) + " of " + std::to_string(tried));
}

TEST(Estimate, DeclinesAResultNextToAFloatMidpoint)
{
    // One nonzero value, the window's first: the result is (w(1) x) / S. Find an x whose
    // quotient lies within 2^-46 of a midpoint between two floats, far inside the estimate's
    // error bound, so the estimate cannot decide it.
    const int period = 300;
    std::vector<double> w(static_cast<size_t>(period));
    swma_weights(1, period, double(period) + 1.0, w.data());
    double s = 0.0;
    for (double v : w)
        s = s + v;
    float x = 0.0f;
    for (uint32_t b = 0x3F800000u; b < 0x3F800000u + (1u << 26); b++) {
        const float xf = swt::from_bits(b);
        const double q = (0.0 + w[0] * double(xf)) / s;
        uint64_t qb;
        std::memcpy(&qb, &q, sizeof qb);
        const int64_t low = int64_t(qb & ((uint64_t(1) << 29) - 1)) - (int64_t(1) << 28);
        if (low >= -64 && low <= 64) {
            x = xf;
            break;
        }
    }
    ASSERT_NE(x, 0.0f) << "no window next to a midpoint found";
    std::vector<float> in(static_cast<size_t>(period), 0.0f);
    in[0] = x;
    float got = -1.0f;
    EXPECT_FALSE(swma_estimate_small(in.data(), period, 1, &got));
    EXPECT_EQ(got, -1.0f); // untouched
    std::vector<float> out(static_cast<size_t>(period));
    swma_compute(in.data(), period, period, out.data(), SWMA_ISA_AUTO); // the small-call path
    EXPECT_EQ(swt::bits(out.back()), swt::bits(exact(in, period, 1)[0]));
}

} // namespace
