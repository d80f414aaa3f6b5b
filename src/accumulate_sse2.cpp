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
inline void block_sse2(const double *w, int nw, const double *x, double *acc, double sum,
                       float *out)
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
    if (!out) {
        for (int r = 0; r < R; r++)
            _mm_storeu_pd(acc + 2 * r, a[r]);
        return;
    }
    const __m128d s = _mm_set1_pd(sum);
    for (int r = 0; r < R; r++) {
        // out[2r], out[2r+1] = (float)(a / sum), stored as one unaligned 8-byte pair
        const __m128 f = _mm_cvtpd_ps(_mm_div_pd(a[r], s));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 2 * r), _mm_castps_si128(f));
    }
}

} // namespace

void swma_accumulate_sse2(const double *w, int nw, const double *x, double *acc, int nb,
                          double sum, float *out)
{
    int j = 0;
    for (; j + 2 * kWide <= nb; j += 2 * kWide)
        block_sse2<kWide>(w, nw, x + j, acc + j, sum, out ? out + j : nullptr);
    for (; j + 2 <= nb; j += 2)
        block_sse2<1>(w, nw, x + j, acc + j, sum, out ? out + j : nullptr);
    if (j < nb)
        swma_accumulate_scalar(w, nw, x + j, acc + j, nb - j, sum, out ? out + j : nullptr);
}
