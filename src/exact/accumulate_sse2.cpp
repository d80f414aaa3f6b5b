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
inline void block_sse2(const double *w, int nw, const double *x, double *acc, bool first,
                       double sum, float *out)
{
    __m128d a[R];
    for (int r = 0; r < R; r++)
        a[r] = first ? _mm_setzero_pd() : _mm_loadu_pd(acc + 2 * r); // acc[2r], acc[2r+1]
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

void swma_accumulate_sse2(const swma_pass &p)
{
    // Output j's term m reads src[j + m]: widen the span once, not on every load.
    double x[SWMA_WEIGHT_CHUNK + SWMA_OUTPUT_BLOCK];
    const int span = p.nb + p.nw - 1;
    for (int i = 0; i < span; i++)
        x[i] = double(p.src[i]);
    int j = 0;
    for (; j + 2 * kWide <= p.nb; j += 2 * kWide)
        block_sse2<kWide>(p.w, p.nw, x + j, p.acc + j, p.first, p.sum, p.out ? p.out + j : nullptr);
    for (; j + 2 <= p.nb; j += 2)
        block_sse2<1>(p.w, p.nw, x + j, p.acc + j, p.first, p.sum, p.out ? p.out + j : nullptr);
    if (j < p.nb) {
        swma_pass rest = p;
        rest.src += j;
        rest.nb -= j;
        rest.acc += j;
        rest.out = p.out ? p.out + j : nullptr;
        swma_accumulate_scalar(rest);
    }
}
