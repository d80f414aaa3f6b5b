// accumulate_sse2.cpp: swma_accumulate with SSE2, two outputs per register.
// Vectors run across outputs, never across one output's terms: lane j of an accumulator
// adds w[0] x[j], w[1] x[j+1], ... in that order, exactly as the scalar loop does.
#include "sinewma_internal.h"

#include <emmintrin.h>

namespace {

// Eight accumulators hide the adder's latency on x86-64; 32-bit x86 has only eight xmm
// registers, so it keeps six and leaves two for the weight and the product.
#if defined(__x86_64__)
constexpr int kWide = 8;
#else
constexpr int kWide = 6;
#endif

template <int R>
inline void block_sse2(const double *w, int nw, const double *x, double *acc)
{
    __m128d a[R];
    for (int r = 0; r < R; r++)
        a[r] = _mm_loadu_pd(acc + 2 * r); // acc[2r], acc[2r+1]
    for (int m = 0; m < nw; m++) {
        const __m128d wm = _mm_set1_pd(w[m]); // w[m] in both lanes
        for (int r = 0; r < R; r++) {
            // a = a + w[m] * x[m + 2r + lane]
            a[r] = _mm_add_pd(a[r], _mm_mul_pd(wm, _mm_loadu_pd(x + m + 2 * r)));
        }
    }
    for (int r = 0; r < R; r++)
        _mm_storeu_pd(acc + 2 * r, a[r]);
}

} // namespace

void swma_accumulate_sse2(const double *w, int nw, const double *x, double *acc, int nb)
{
    int j = 0;
    for (; j + 2 * kWide <= nb; j += 2 * kWide)
        block_sse2<kWide>(w, nw, x + j, acc + j);
    for (; j + 2 <= nb; j += 2)
        block_sse2<1>(w, nw, x + j, acc + j);
    if (j < nb)
        swma_accumulate_scalar(w, nw, x + j, acc + j, nb - j);
}

void swma_narrow_sse2(const double *acc, int nb, double sum, float *out)
{
    const __m128d s = _mm_set1_pd(sum);
    int j = 0;
    for (; j + 2 <= nb; j += 2) {
        // out[j], out[j+1] = (float)(acc / sum): one rounding in the division, one in the narrowing
        const __m128 f = _mm_cvtpd_ps(_mm_div_pd(_mm_loadu_pd(acc + j), s));
        _mm_store_sd(reinterpret_cast<double *>(out + j), _mm_castps_pd(f));
    }
    if (j < nb)
        swma_narrow_scalar(acc + j, nb - j, sum, out + j);
}
