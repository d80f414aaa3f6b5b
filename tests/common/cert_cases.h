// cert_cases.h: series for the certified kernel's tests, and the group that compares it
// with the exact kernel (run under GoogleTest and, through the DLLs, under Wine).
#ifndef SWMA_TEST_CERT_CASES_H
#define SWMA_TEST_CERT_CASES_H

#include "cases.h"

#include <vector>

namespace swt {

// Kinds of series: what the estimate finds easy, hard, or must never be fooled by.
enum CertKind {
    kWalk = 0,    // a price walk around 100
    kReturns,     // returns around zero, uniform in [-1, 1]
    kSquare,      // +-1000 square wave, 26 values a cycle, noise of a few units
    kTiny,        // values around 1e-38 and subnormals
    kHuge,        // values of either sign up to 3.4e38
    kSpecials,    // a walk with NaN, +-inf, 3.4e38, -0, subnormals and zero runs sprinkled in
    kZeros,       // long runs of +0 and -0 between walks
    kCertKinds
};
std::vector<float> cert_series(Rng &rng, int n, int kind);

// Series as hosts have them, for the benchmarks: a clean price walk and the same walk with
// what real data holds. kChained is the library's own period-14 output of the walk.
enum RealKind {
    kClean = 0,  // the walk
    kNanSparse,  // one NaN every 20,000 values
    kNanRuns,    // runs of 1-50 NaN every 4,000-6,000 values
    kNanDense,   // one NaN every 2,000 values
    kInfSparse,  // +inf or -inf every 20,000 values, in turn
    kZeroPadded, // the first 30% zeros
    kAllZeros,   // zeros only
    kChained,    // the period-14 average of the walk, NoValue in its first 13 slots
    kVolume,     // integers 1-5000, 20% of them zeros
    kRealKinds
};
extern const char *const kRealNames[kRealKinds];
std::vector<float> real_series(int kind, const std::vector<float> &walk, const Average &average);

// Weights and weight sum exactly as the library forms them.
std::vector<double> lib_weights(int period, double *sum);

// The exact double sum T_k of output k (k >= period - 1), in ascending order.
double window_sum(const std::vector<double> &w, const float *x, int period, long k);

// Changes x[k - 1] and x[k] (the window's last two inputs; x[k] becomes a small value)
// so that fl(T_k / S) lies about `ulps` double ulps (signed) from a float rounding
// midpoint. Returns the distance reached, in double ulps, or a huge value if none.
double embed_midpoint(std::vector<float> &x, const std::vector<double> &w, double sum,
                      int period, long k, double ulps);

// Distance of fl(T/S) from the nearest float rounding midpoint, in double ulps.
double midpoint_distance(double q);

// The certified kernel against the exact kernel, bit for bit (any NaN matches any NaN),
// over long series of every kind and period, with near-midpoint windows embedded after
// long ordinary runs. `light` runs fewer and shorter cases (emulated hosts).
void check_certified(const Average &certified, const Average &exact, bool light, Report &r);

} // namespace swt

#endif
