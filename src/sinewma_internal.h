// sinewma_internal.h: what the library's source files share; nothing here is exported.
#ifndef SWMA_INTERNAL_H
#define SWMA_INTERNAL_H

#include <stdint.h>

// A float's bits and back: the one place the library reinterprets a value's storage.
inline uint32_t swma_bits(float f)
{
    uint32_t u;
    __builtin_memcpy(&u, &f, sizeof u);
    return u;
}
inline float swma_from_bits(uint32_t u)
{
    float f;
    __builtin_memcpy(&f, &u, sizeof f);
    return f;
}
inline uint64_t swma_bits(double x)
{
    uint64_t u;
    __builtin_memcpy(&u, &x, sizeof u);
    return u;
}
inline double swma_double_from_bits(uint64_t u)
{
    double x;
    __builtin_memcpy(&x, &u, sizeof x);
    return x;
}

// NoValue, the marker of slots without a result: 3.4e38f, bits 0x7F7FC99E, made from its bits
// so that no rounding of a literal can differ.
inline float swma_no_value() { return swma_from_bits(0x7F7FC99Eu); }

// The largest float and the one below it, as doubles: the bounds the interval ends of a
// certified decision are clamped to.
constexpr double SWMA_FLT_MAX = 3.4028234663852886e38;
constexpr double SWMA_FLT_BELOW_MAX = 3.4028232635611926e38;

// Correctly rounded sine: the double nearest to sin(x), for 0 <= x <= 3.1415926.
double swma_sin(double x);

// w[m] = w(first + m) = swma_sin((first + m) * 3.14159 / period_plus_1) for 0 <= m < n,
// 1 <= first + m <= INT_MAX; period_plus_1 is period + 1, formed in double.
void swma_weights(int64_t first, int n, double period_plus_1, double *w);

// S = w(1) + ... + w(period), in ascending order from +0, the weights evaluated `chunk` at a
// time into w; when period <= chunk, w keeps all of them.
double swma_weight_sum(int period, int chunk, double *w);

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

// One pass of a block of consecutive outputs over one chunk of weights. For 0 <= j < nb the
// pass continues output j's sum with the chunk's terms, in ascending order:
//     acc_j = (...((acc_j + w[0] * x[j]) + w[1] * x[j + 1]) + ...) + w[nw-1] * x[j + nw - 1]
// where x[i] = (double)src[i]; one rounding per product and per sum. On the block's first
// chunk acc_j starts from +0.0. The running sums live in acc between passes, in a layout
// that is the variant's own. On the last chunk (out != nullptr) out[j] = (float)(acc_j / sum),
// one rounding in the division and one in the narrowing.
struct swma_pass {
    const double *w;  // the chunk's weights, w[0 .. nw)
    int nw;           // 1 .. SWMA_WEIGHT_CHUNK
    const float *src; // the inputs it reads, src[0 .. nb + nw - 1)
    int nb;           // outputs in the block, 1 .. SWMA_OUTPUT_BLOCK
    double *acc;      // room for SWMA_OUTPUT_BLOCK running sums
    bool first;       // the block's first chunk: acc holds nothing yet
    float *out;       // the last chunk: where the block's results go; else nullptr
    double sum;       // the sum of all the weights
};

// The arithmetic paths: many j at once, and no j's terms out of order, so every one gives
// the same bits as the scalar reference.
void swma_accumulate_scalar(const swma_pass &p);

// The exact kernel: outputs period - 1 .. count - 1 by passes of `accumulate`. `store` is
// SWMA_STORE doubles; when period <= SWMA_WEIGHT_CHUNK its first `period` hold the weights
// already, else they are evaluated there a chunk at a time.
void swma_exact(const float *input, int period, int64_t count, float *output, double sum,
                double *store, void (*accumulate)(const swma_pass &));
#if defined(__i386__) || defined(__x86_64__)
void swma_accumulate_sse2(const swma_pass &p);
void swma_accumulate_avx2(const swma_pass &p);

// out[i] = (float)(a[i] / sum) for 0 <= i < n, n a multiple of 4, by the AVX2 path's own
// narrowing (which mostly multiplies by 1 / sum): for the tests, beside the path itself.
void swma_narrow_avx2(const double *a, int n, double sum, float *out);
#endif

// Stack budget of one call: the driver's store of weights and running sums (SWMA_STORE
// doubles, 13.25 KiB) and one variant's widened copy of its inputs, under 12 KiB (SSE2:
// SWMA_WEIGHT_CHUNK + SWMA_OUTPUT_BLOCK doubles; AVX2: a transposed copy of
// SWMA_OUTPUT_BLOCK / 4 + 259 rows of four doubles, and 4 for alignment: 1520 doubles).
constexpr int SWMA_WEIGHT_CHUNK = 1024; // a period up to this keeps all its weights
constexpr int SWMA_OUTPUT_BLOCK = 480;  // outputs per pass: a multiple of 16, so a variant
                                        // can deal a whole block into four lanes of rows
// Longer periods evaluate their weights a chunk at a time for each span of three blocks.
constexpr int SWMA_LONG_WEIGHT_CHUNK = 256;
constexpr int SWMA_LONG_SPAN = 3 * SWMA_OUTPUT_BLOCK;
constexpr int SWMA_STORE_SHORT = SWMA_WEIGHT_CHUNK + SWMA_OUTPUT_BLOCK;
constexpr int SWMA_STORE_LONG = SWMA_LONG_WEIGHT_CHUNK + SWMA_LONG_SPAN;
constexpr int SWMA_STORE = SWMA_STORE_SHORT > SWMA_STORE_LONG ? SWMA_STORE_SHORT : SWMA_STORE_LONG;

// Which kernel computes the results: the exact blocked kernel, the certified sliding one
// (src/certified.h), or the driver's choice per call and per block. Every choice gives
// the same bits.
enum swma_kernel {
    SWMA_KERNEL_AUTO = 0,
    SWMA_KERNEL_EXACT = 1,
    SWMA_KERNEL_CERTIFIED = 2,
};
struct swma_cert_stats;

// swma_compute with the kernel chosen. `weak` (docs/certified.md: the tests' weakenings)
// and `stats` are for the tests and benchmarks; swma_compute passes 0 and nullptr.
int swma_compute_kernel(const float *input, int period, int count, float *output, swma_isa isa,
                        swma_kernel kernel, unsigned weak, swma_cert_stats *stats);

#endif
