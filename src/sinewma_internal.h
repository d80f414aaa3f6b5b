// sinewma_internal.h: what the library's source files share; nothing here is exported.
#ifndef SWMA_INTERNAL_H
#define SWMA_INTERNAL_H

#include <stdint.h>

// Correctly rounded sine: the double nearest to sin(x), for 0 <= x <= 3.1415926.
double swma_sin(double x);

// w[m] = w(first + m) = swma_sin((first + m) * 3.14159 / period_plus_1) for 0 <= m < n,
// 1 <= first + m <= INT_MAX; period_plus_1 is period + 1, formed in double.
void swma_weights(int64_t first, int n, double period_plus_1, double *w);

// The arithmetic paths. Every one gives the same bits; they differ only in speed.
enum swma_isa {
    SWMA_ISA_AUTO = 0,   // best the CPU and OS allow, decided per call
    SWMA_ISA_SCALAR = 1, // plain C++, the reference
    SWMA_ISA_SSE2 = 2,
    SWMA_ISA_AVX2 = 3,
};

// Best path this CPU and OS can run (CPUID and XGETBV; no cached state).
swma_isa swma_cpu_isa(void);

// The whole computation on a chosen path, departures included; returns count.
int swma_compute(const float *input, int period, int count, float *output, swma_isa isa);

// acc[j] = (...((acc[j] + w[0] * x[j]) + w[1] * x[j + 1]) + ...) + w[nw-1] * x[j + nw - 1]
// for 0 <= j < nb: each output's terms are added in ascending order, one rounding per
// product and per sum. The variants compute many j at once and no j's terms out of order.
// With out == nullptr the sums go back to acc (more chunks of weights follow); otherwise
// this is the last chunk and out[j] = (float)(acc[j] / sum), one rounding in the division
// and one in the narrowing, done per register block so the divisions overlap the next
// block's multiplications.
void swma_accumulate_scalar(const double *w, int nw, const double *x, double *acc, int nb,
                            double sum, float *out);
#if defined(__i386__) || defined(__x86_64__)
void swma_accumulate_sse2(const double *w, int nw, const double *x, double *acc, int nb,
                          double sum, float *out);
void swma_accumulate_avx2(const double *w, int nw, const double *x, double *acc, int nb,
                          double sum, float *out);
#endif

// Stack budget of one call: the weight table, the widened inputs and the accumulators.
constexpr int SWMA_WEIGHT_CHUNK = 1024; // weights evaluated per pass; longer periods go in chunks
constexpr int SWMA_OUTPUT_BLOCK = 480;  // outputs accumulated at once: a multiple of every
                                        // variant's register block (48, 24, 16, 12)

#endif
