// accumulate_avx2.cpp: swma_accumulate with AVX2, four outputs per register.
// Compiled for AVX2 by a function attribute only, so the rest of the library runs on any
// x86; called only after the CPU and OS have been checked. No FMA: a fused multiply-add
// rounds once where the definition rounds twice, and changes results.
//
// Layout. The block's outputs are dealt into four lanes of S rows: row q holds outputs
// q, q + S, q + 2S and q + 3S, and its term m reads xt[q + m], a vector whose lane l holds
// src[q + m + lS]. So every input load is one aligned 32-byte load: four consecutive
// outputs per register would read across a cache line on three weights in eight, and the
// split loads, not the arithmetic, would bound the loop. The accumulators keep the row
// layout in acc between passes (acc[4q + l] is output q + lS); each lane still adds its
// own output's terms in ascending order.
#include "sinewma_internal.h"

#include <immintrin.h>

#define SWMA_AVX2 __attribute__((target("avx2")))

namespace {

// Rows per register block. x86-64 has 16 ymm registers: 8 accumulators, two weights, the
// input and a product, taking two weights a step. 32-bit x86 has 8: 6 accumulators, one
// weight and a product, one weight a step.
#if defined(__x86_64__)
constexpr int kWide = 8;
constexpr bool kPairs = true;
#else
constexpr int kWide = 6;
constexpr bool kPairs = false;
#endif

constexpr int kSub = 256;                          // weights per pass over one transposed span
constexpr int kRows = SWMA_OUTPUT_BLOCK / 4;       // S is at most this
constexpr int kSpan = kRows + kSub + 3;            // rows of xt, rounded up to whole groups of 4
static_assert(SWMA_OUTPUT_BLOCK % 16 == 0, "S must be a multiple of 4 for every block");

// xt[4n + l] = src[n + lS] for 0 <= n < len, 0.0 where n + lS >= valid (lanes past the
// block's last output read nothing). Four rows at a time: a 4x4 transpose of floats, then
// one widening per row.
SWMA_AVX2 void transpose_in(const float *src, int valid, int S, int len, double *xt)
{
    int n = 0;
    for (; n + 4 <= len && n + 3 * S + 4 <= valid; n += 4) {
        __m128 r0 = _mm_loadu_ps(src + n);
        __m128 r1 = _mm_loadu_ps(src + n + S);
        __m128 r2 = _mm_loadu_ps(src + n + 2 * S);
        __m128 r3 = _mm_loadu_ps(src + n + 3 * S);
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3); // r0 = src[n], src[n+S], src[n+2S], src[n+3S]
        _mm256_storeu_pd(xt + 4 * n, _mm256_cvtps_pd(r0));
        _mm256_storeu_pd(xt + 4 * n + 4, _mm256_cvtps_pd(r1));
        _mm256_storeu_pd(xt + 4 * n + 8, _mm256_cvtps_pd(r2));
        _mm256_storeu_pd(xt + 4 * n + 12, _mm256_cvtps_pd(r3));
    }
    for (; n < len; n++) {
        for (int l = 0; l < 4; l++) {
            const int i = n + l * S;
            xt[4 * n + l] = i < valid ? double(src[i]) : 0.0;
        }
    }
}

// Keeps v in a register: without this the compiler folds the load into both
// multiplications and loads it twice, which is what the pairing of weights is there to save.
SWMA_AVX2 inline void in_register(__m256d &v) { __asm__("" : "+x"(v)); }

// Division by the weight sum, and its reciprocal.
struct divisor {
    __m256d s, rs; // sum and 1 / sum in every lane
};

// (float)(a / sum) in each lane, exactly as dividing and narrowing would give, but mostly
// without a division, which costs as much here as a sixth of the multiplications and
// additions at period 50. q = a * (1 / sum) is within 6 steps of the correctly rounded
// quotient (2.5 of its ulps, crossing at most one power of two). Rounding to float is
// monotonic, so if the doubles 8 steps below and above q (q's bit pattern -+ 8) narrow to
// the same float, so does the quotient, and that float is the result. Otherwise, about
// once in 30 million outputs, or when q is zero: divide. A q of magnitude FLT_MAX or more,
// infinite or NaN must not reach the trick: its neighbours' bits may be a signalling NaN
// (invalid) or narrow past the largest float (overflow) where the quotient does not. Such
// a lane's q is replaced by +0, whose neighbours narrow to a quiet NaN and to 0, so the
// vector divides, raising just what dividing and narrowing raise.
SWMA_AVX2 inline __m128 narrow(__m256d a, const divisor &d)
{
    const __m256d qd = _mm256_mul_pd(a, d.rs);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    const __m256i mag = _mm256_castpd_si256(_mm256_and_pd(qd, abs_mask));
    // |q| < FLT_MAX compared as integers (the bits of non-negative doubles order as their
    // values, and NaN's lie above infinity's): a floating-point compare may be emitted as a
    // signalling one (Clang 14 turns _CMP_LT_OQ into vcmpltpd), which raises invalid on NaN.
    const __m256i flt_max = _mm256_set1_epi64x(0x47EFFFFFE0000000ll); // 3.4028234663852886e38
    const __m256i small = _mm256_cmpgt_epi64(flt_max, mag);
    const __m256i q = _mm256_and_si256(_mm256_castpd_si256(qd), small);
    const __m256i eight = _mm256_set1_epi64x(8);
    const __m128 lo = _mm256_cvtpd_ps(_mm256_castsi256_pd(_mm256_sub_epi64(q, eight)));
    const __m128 hi = _mm256_cvtpd_ps(_mm256_castsi256_pd(_mm256_add_epi64(q, eight)));
    if (_mm_movemask_ps(_mm_cmpneq_ps(lo, hi)) == 0) // unequal or NaN: not decided
        return lo;
    return _mm256_cvtpd_ps(_mm256_div_pd(a, d.s));
}

// Stores the first k (2 or 4) floats of v at out[i ..], but none at or past nb.
SWMA_AVX2 inline void put(float *out, int i, int nb, __m128 v, int k)
{
    if (i + k <= nb) {
        if (k == 4)
            _mm_storeu_ps(out + i, v);
        else
            _mm_storel_pi(reinterpret_cast<__m64 *>(out + i), v);
        return;
    }
    float f[4];
    _mm_storeu_ps(f, v);
    for (int e = 0; e < k && i + e < nb; e++)
        out[i + e] = f[e];
}

// out[i + lS + r] = (float)(ar lane l / sum) for r = 0 .. 3, none at or past nb: the four
// rows narrowed, then turned back into runs of outputs by a 4x4 transpose.
SWMA_AVX2 inline void finish4(__m256d a0, __m256d a1, __m256d a2, __m256d a3, const divisor &d,
                              float *out, int i, int S, int nb)
{
    __m128 f0 = narrow(a0, d);
    __m128 f1 = narrow(a1, d);
    __m128 f2 = narrow(a2, d);
    __m128 f3 = narrow(a3, d);
    _MM_TRANSPOSE4_PS(f0, f1, f2, f3); // fl = outputs i + lS .. i + lS + 3
    put(out, i, nb, f0, 4);
    put(out, i + S, nb, f1, 4);
    put(out, i + 2 * S, nb, f2, 4);
    put(out, i + 3 * S, nb, f3, 4);
}

// The same for two rows, by interleaving them into pairs.
SWMA_AVX2 inline void finish2(__m256d a0, __m256d a1, const divisor &d, float *out, int i, int S,
                              int nb)
{
    const __m128 f0 = narrow(a0, d);
    const __m128 f1 = narrow(a1, d);
    const __m128 lo = _mm_unpacklo_ps(f0, f1); // lanes 0 and 1, a pair of outputs each
    const __m128 hi = _mm_unpackhi_ps(f0, f1); // lanes 2 and 3
    put(out, i, nb, lo, 2);
    put(out, i + S, nb, _mm_movehl_ps(lo, lo), 2);
    put(out, i + 2 * S, nb, hi, 2);
    put(out, i + 3 * S, nb, _mm_movehl_ps(hi, hi), 2);
}

// Rows q .. q + R - 1 over weights w[0 .. ns): a[r] = a[r] + w[m] * xt[q + r + m], m ascending.
template <int R>
SWMA_AVX2 inline void rows(const double *w, int ns, const double *xt, double *acc, bool first,
                           int q, int S, int nb, const divisor &d, float *out)
{
    __m256d a[R];
#pragma GCC unroll 16
    for (int r = 0; r < R; r++)
        a[r] = first ? _mm256_setzero_pd() : _mm256_loadu_pd(acc + 4 * (q + r));
    // x walks xt[q + m]; the rows' loads are fixed offsets from it.
    const double *x = xt + 4 * q;
    int m = 0;
    if (kPairs) {
        // Two weights a step: row r's term m and row r - 1's term m + 1 both read
        // xt[q + r + m], so each load feeds two accumulators. Row r - 1 took its term m
        // one load earlier.
        for (; m + 2 <= ns; m += 2, x += 8) {
            const __m256d w0 = _mm256_broadcast_sd(w + m);
            const __m256d w1 = _mm256_broadcast_sd(w + m + 1);
            __m256d v = _mm256_loadu_pd(x);
            a[0] = _mm256_add_pd(a[0], _mm256_mul_pd(w0, v));
#pragma GCC unroll 16
            for (int r = 1; r < R; r++) {
                v = _mm256_loadu_pd(x + 4 * r);
                in_register(v);
                a[r - 1] = _mm256_add_pd(a[r - 1], _mm256_mul_pd(w1, v));
                a[r] = _mm256_add_pd(a[r], _mm256_mul_pd(w0, v));
            }
            v = _mm256_loadu_pd(x + 4 * R);
            a[R - 1] = _mm256_add_pd(a[R - 1], _mm256_mul_pd(w1, v));
        }
    }
#pragma GCC unroll 2
    for (; m < ns; m++, x += 4) {
        const __m256d wm = _mm256_broadcast_sd(w + m);
#pragma GCC unroll 16
        for (int r = 0; r < R; r++)
            a[r] = _mm256_add_pd(a[r], _mm256_mul_pd(wm, _mm256_loadu_pd(x + 4 * r)));
    }
    if (out) {
        int r = 0;
#pragma GCC unroll 2
        for (; r + 4 <= R; r += 4)
            finish4(a[r], a[r + 1], a[r + 2], a[r + 3], d, out, q + r, S, nb);
        if (r + 2 <= R)
            finish2(a[r], a[r + 1], d, out, q + r, S, nb);
        return;
    }
#pragma GCC unroll 16
    for (int r = 0; r < R; r++)
        _mm256_storeu_pd(acc + 4 * (q + r), a[r]);
}

} // namespace

SWMA_AVX2 void swma_accumulate_avx2(const swma_pass &p)
{
    // S rows cover nb outputs; a multiple of 4 so that rows go in blocks of 8, 6, 4 or 2.
    const int S = (p.nb + 15) / 16 * 4;
    double buf[4 * kSpan + 4];
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(buf) + 31) & ~uintptr_t(31);
    double *xt = reinterpret_cast<double *>(aligned); // 32-byte aligned, whatever the ABI
    const divisor d = {_mm256_set1_pd(p.sum), _mm256_set1_pd(1.0 / p.sum)};
    for (int m0 = 0; m0 < p.nw; m0 += kSub) {
        const int ns = p.nw - m0 < kSub ? p.nw - m0 : kSub;
        transpose_in(p.src + m0, p.nb + p.nw - 1 - m0, S, S + ns - 1, xt);
        const double *w = p.w + m0;
        const bool first = p.first && m0 == 0;
        float *out = m0 + ns == p.nw ? p.out : nullptr;
        int q = 0;
        for (; q + kWide <= S; q += kWide)
            rows<kWide>(w, ns, xt, p.acc, first, q, S, p.nb, d, out);
        for (; q + 4 <= S; q += 4)
            rows<4>(w, ns, xt, p.acc, first, q, S, p.nb, d, out);
        for (; q + 2 <= S; q += 2)
            rows<2>(w, ns, xt, p.acc, first, q, S, p.nb, d, out);
    }
}

SWMA_AVX2 void swma_narrow_avx2(const double *a, int n, double sum, float *out)
{
    const divisor d = {_mm256_set1_pd(sum), _mm256_set1_pd(1.0 / sum)};
    for (int i = 0; i + 4 <= n; i += 4)
        _mm_storeu_ps(out + i, narrow(_mm256_loadu_pd(a + i), d));
}
