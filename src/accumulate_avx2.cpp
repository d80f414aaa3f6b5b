// accumulate_avx2.cpp: swma_accumulate with AVX2, four outputs per register.
// Compiled for AVX2 by a function attribute only, so the rest of the library runs on any
// x86; called only after the CPU and OS have been checked. No FMA: a fused multiply-add
// rounds once where the definition rounds twice, and changes results.
#include "sinewma_internal.h"

#include <immintrin.h>

#define SWMA_AVX2 __attribute__((target("avx2")))

namespace {

#if defined(__x86_64__)
constexpr int kWide = 8; // of 4, 6, 8 and 12, 8 measured fastest on Zen 3 (split loads bound it)
#else
constexpr int kWide = 6; // 32-bit x86 has 8 ymm registers
#endif

template <int R>
SWMA_AVX2 inline void block_avx2(const double *w, int nw, const double *x, double *acc,
                                 double sum, float *out)
{
    __m256d a[R];
    for (int r = 0; r < R; r++)
        a[r] = _mm256_loadu_pd(acc + 4 * r); // acc[4r .. 4r+3]
    for (int m = 0; m < nw; m++) {
        const __m256d wm = _mm256_broadcast_sd(w + m); // w[m] in all four lanes
        for (int r = 0; r < R; r++) {
            // a = a + w[m] * x[m + 4r + lane]
            a[r] = _mm256_add_pd(a[r], _mm256_mul_pd(wm, _mm256_loadu_pd(x + m + 4 * r)));
        }
    }
    if (!out) {
        for (int r = 0; r < R; r++)
            _mm256_storeu_pd(acc + 4 * r, a[r]);
        return;
    }
    const __m256d s = _mm256_set1_pd(sum);
    for (int r = 0; r < R; r++) {
        // out[4r .. 4r+3] = (float)(a / sum)
        _mm_storeu_ps(out + 4 * r, _mm256_cvtpd_ps(_mm256_div_pd(a[r], s)));
    }
}

} // namespace

SWMA_AVX2 void swma_accumulate_avx2(const double *w, int nw, const double *x, double *acc, int nb,
                                    double sum, float *out)
{
    int j = 0;
    for (; j + 4 * kWide <= nb; j += 4 * kWide)
        block_avx2<kWide>(w, nw, x + j, acc + j, sum, out ? out + j : nullptr);
    for (; j + 4 <= nb; j += 4)
        block_avx2<1>(w, nw, x + j, acc + j, sum, out ? out + j : nullptr);
    // Fewer than four left: the SSE2 path finishes them with the same arithmetic.
    if (j < nb)
        swma_accumulate_sse2(w, nw, x + j, acc + j, nb - j, sum, out ? out + j : nullptr);
}
