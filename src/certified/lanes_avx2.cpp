// lanes_avx2.cpp: the certified kernel's estimates with AVX2, eight segments at once.
//
// A block of outputs is cut into eight segments of equal length; lane l of two vectors of
// four doubles carries segment l's state (C_r, C_i and the bound L), so one step advances
// eight independent recurrences and the latency of each chain hides behind the others.
// Each lane's state is the scalar variant's, operation for operation (docs/certified.md);
// only the order in which lanes are visited differs. The bound is not: it grows a chunk of
// 32 steps at a time from the chunk's sums (docs: section 8), so a step costs the state's
// arithmetic and three sums, and a chunk's outputs are decided once its last step is
// taken, beside the next chunk's steps.
// Inputs come in four steps at a time, widened and transposed as 4x4 blocks of doubles;
// results leave eight steps at a time by 8x8 transposes of floats. Compiled for AVX2 by
// function attributes only; no FMA (a fused multiply-add would change the roundings the
// bound counts). The decision keeps the scalar variant's operations except the + 0.0 on
// the estimate, which changes no decision (docs: section 6).
#include "certified/certified.h"

#include <immintrin.h>

#define SWMA_AVX2 __attribute__((target("avx2")))

namespace {

constexpr int kLanes = 8;

struct consts {
    __m256d vr, vi, zr, zi, r, g, abs_mask;
    __m256d ch_omega, ch_a_c, ch_a_in, ch_c_out; // the bound's growth over a chunk
    __m256d lo_max, lo_min, hi_max, hi_min;
};

// The per-call constants, one in every lane.
SWMA_AVX2 inline consts load_consts(const swma_cert &c)
{
    consts k;
    k.vr = _mm256_set1_pd(c.vr);
    k.vi = _mm256_set1_pd(c.vi);
    k.zr = _mm256_set1_pd(c.zr);
    k.zi = _mm256_set1_pd(c.zi);
    k.ch_omega = _mm256_set1_pd(c.ch_omega);
    k.ch_a_c = _mm256_set1_pd(c.ch_a_c);
    k.ch_a_in = _mm256_set1_pd(c.ch_a_in);
    k.ch_c_out = _mm256_set1_pd(c.ch_c_out);
    k.r = _mm256_set1_pd(c.r);
    k.g = _mm256_set1_pd(c.g);
    k.abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    k.lo_max = _mm256_set1_pd(SWMA_FLT_BELOW_MAX);
    k.lo_min = _mm256_set1_pd(-SWMA_FLT_MAX);
    k.hi_max = _mm256_set1_pd(SWMA_FLT_MAX);
    k.hi_min = _mm256_set1_pd(-SWMA_FLT_BELOW_MAX);
    return k;
}

struct lanes {
    __m256d cr, ci, l;
};

SWMA_AVX2 inline __m256d vabs(__m256d x, __m256d mask) { return _mm256_and_pd(x, mask); }

// What a chunk of steps adds to the bound, for four lanes: the sums over its steps of
// sc = |C_r| + |C_i| (the state each step starts from), of |x_in| and of |x_out|.
struct sums {
    __m256d sc, in, out;
};

// The parts of a step that do not depend on the state, for four lanes: er = zr x_in - x_out
// and ei = zi x_in, each rounded as the scalar step rounds it; |x_in| and |x_out| go into
// the chunk's sums.
SWMA_AVX2 inline void entering(const consts &k, __m256d xin, __m256d xout, double *er, double *ei,
                               sums &t)
{
    _mm256_store_pd(er, _mm256_sub_pd(_mm256_mul_pd(k.zr, xin), xout));
    _mm256_store_pd(ei, _mm256_mul_pd(k.zi, xin));
    t.in = _mm256_add_pd(t.in, vabs(xin, k.abs_mask));
    t.out = _mm256_add_pd(t.out, vabs(xout, k.abs_mask));
}

// One step of four lanes from its precomputed entering parts: the state as the scalar step
// computes it; the bound only takes the state's size into the chunk's sum.
SWMA_AVX2 inline void step_pre(const consts &k, lanes &s, __m256d er, __m256d ei, __m256d &sc)
{
    sc = _mm256_add_pd(sc, _mm256_add_pd(vabs(s.cr, k.abs_mask), vabs(s.ci, k.abs_mask)));
    const __m256d nr =
        _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(k.vr, s.cr), _mm256_mul_pd(k.vi, s.ci)), er);
    const __m256d ni =
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(k.vr, s.ci), _mm256_mul_pd(k.vi, s.cr)), ei);
    s.cr = nr;
    s.ci = ni;
}

// The bound over a chunk of at most 32 steps (docs/certified.md, section 8): from L at its
// start and its sums, L at its end (into s.l) and the returned M, which bounds every state
// of the chunk. M is the part without the leaving inputs where their coefficient is
// negative, else L at the end: the larger of the two.
SWMA_AVX2 inline __m256d chunk_bound(const consts &k, lanes &s, const sums &t)
{
    const __m256d pos =
        _mm256_add_pd(_mm256_mul_pd(s.l, k.ch_omega),
                      _mm256_add_pd(_mm256_mul_pd(k.ch_a_c, t.sc), _mm256_mul_pd(k.ch_a_in, t.in)));
    s.l = _mm256_add_pd(pos, _mm256_mul_pd(k.ch_c_out, t.out));
    return _mm256_max_pd(pos, s.l);
}

// One reseed step of four lanes, nothing leaving: the state as the scalar step computes it
// with x_out = 0 (x - 0 is x), sc and |x_in| into the chunk's sums.
SWMA_AVX2 inline void seed_step(const consts &k, lanes &s, __m256d xin, sums &t)
{
    t.sc = _mm256_add_pd(t.sc, _mm256_add_pd(vabs(s.cr, k.abs_mask), vabs(s.ci, k.abs_mask)));
    t.in = _mm256_add_pd(t.in, vabs(xin, k.abs_mask));
    const __m256d nr = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(k.vr, s.cr), _mm256_mul_pd(k.vi, s.ci)),
                                     _mm256_mul_pd(k.zr, xin));
    const __m256d ni = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(k.vr, s.ci), _mm256_mul_pd(k.vi, s.cr)),
                                     _mm256_mul_pd(k.zi, xin));
    s.cr = nr;
    s.ci = ni;
}

// The decision for four lanes from est = Im C and m: certified floats, or the marker where
// the narrowed ends differ in any bit. The clamps use min(x, bound) / max(x, bound) with x
// first, which give the bound for a NaN x, as the scalar comparisons do. Without Clamp the
// caller has shown that no end can leave the float range (every input since the reseed
// within safe_bits).
template <bool Clamp>
SWMA_AVX2 inline __m128 decide(const consts &k, __m256d est, __m256d m, __m128 marker)
{
    // est = Im C as it stands: a -0 fails like +0 would, since m > 0 (docs: section 6).
    const __m256d q = _mm256_mul_pd(est, k.r);
    __m256d lo = _mm256_sub_pd(q, m);
    __m256d hi = _mm256_add_pd(q, m);
    if (Clamp) {
        lo = _mm256_max_pd(_mm256_min_pd(lo, k.lo_max), k.lo_min);
        hi = _mm256_max_pd(_mm256_min_pd(hi, k.hi_max), k.hi_min);
    }
    const __m128 flo = _mm256_cvtpd_ps(lo);
    const __m128 fhi = _mm256_cvtpd_ps(hi);
    const __m128i same = _mm_cmpeq_epi32(_mm_castps_si128(flo), _mm_castps_si128(fhi));
    return _mm_blendv_ps(marker, flo, _mm_castsi128_ps(same));
}

constexpr int kChunk = SWMA_CERT_CHUNK;

// nj steps of both groups of lanes from their entering parts in er and ei; each step's
// new Im C replaces its er entry. Beside them, the decisions of the previous chunk's nd
// outputs from its estimates `pest` and its m (ma, mb): the two are independent, so the
// decisions fill the time each step waits for the one before.
template <bool Clamp>
SWMA_AVX2 inline void chain(const consts &k, lanes &a, lanes &b, sums &ta, sums &tb,
                            double (*er)[kLanes], const double (*ei)[kLanes], int nj,
                            const double (*pest)[kLanes], __m256d ma, __m256d mb,
                            float (*res)[kLanes], int nd, __m128 marker)
{
    const int both = nj < nd ? nj : nd;
    int t = 0;
    for (; t < both; t++) {
        step_pre(k, a, _mm256_load_pd(&er[t][0]), _mm256_load_pd(&ei[t][0]), ta.sc);
        step_pre(k, b, _mm256_load_pd(&er[t][4]), _mm256_load_pd(&ei[t][4]), tb.sc);
        _mm256_store_pd(&er[t][0], a.ci);
        _mm256_store_pd(&er[t][4], b.ci);
        _mm_store_ps(&res[t][0], decide<Clamp>(k, _mm256_load_pd(&pest[t][0]), ma, marker));
        _mm_store_ps(&res[t][4], decide<Clamp>(k, _mm256_load_pd(&pest[t][4]), mb, marker));
    }
    for (; t < nj; t++) {
        step_pre(k, a, _mm256_load_pd(&er[t][0]), _mm256_load_pd(&ei[t][0]), ta.sc);
        step_pre(k, b, _mm256_load_pd(&er[t][4]), _mm256_load_pd(&ei[t][4]), tb.sc);
        _mm256_store_pd(&er[t][0], a.ci);
        _mm256_store_pd(&er[t][4], b.ci);
    }
    for (; t < nd; t++) {
        _mm_store_ps(&res[t][0], decide<Clamp>(k, _mm256_load_pd(&pest[t][0]), ma, marker));
        _mm_store_ps(&res[t][4], decide<Clamp>(k, _mm256_load_pd(&pest[t][4]), mb, marker));
    }
}

// x[s] lane i = src_i[s] for s = 0..3, i = 0..3, widened: four steps of four lanes. Each
// run of four floats is widened as it is loaded, then the doubles are transposed (fewer
// operations than transposing the floats and widening each step).
// With Masked, a NaN or an infinity is read as +0 (integer operations only).
template <bool Masked> SWMA_AVX2 inline __m128 load(const float *p)
{
    const __m128 v = _mm_loadu_ps(p);
    if (!Masked)
        return v;
    const __m128i exp = _mm_set1_epi32(0x7F800000);
    const __m128i finite = _mm_cmplt_epi32(_mm_and_si128(_mm_castps_si128(v), exp), exp);
    return _mm_and_ps(v, _mm_castsi128_ps(finite));
}

template <bool Masked = false>
SWMA_AVX2 inline void load4(const float *p0, const float *p1, const float *p2, const float *p3,
                            __m256d x[4])
{
    const __m256d a0 = _mm256_cvtps_pd(load<Masked>(p0)), a1 = _mm256_cvtps_pd(load<Masked>(p1)),
                  a2 = _mm256_cvtps_pd(load<Masked>(p2)), a3 = _mm256_cvtps_pd(load<Masked>(p3));
    const __m256d t0 = _mm256_unpacklo_pd(a0, a1), t1 = _mm256_unpackhi_pd(a0, a1),
                  t2 = _mm256_unpacklo_pd(a2, a3), t3 = _mm256_unpackhi_pd(a2, a3);
    x[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    x[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    x[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    x[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// The largest magnitude's bits (sign cleared, as integers) among four runs of four floats,
// folded into big: a NaN or infinity shows as bits above the largest finite float's, or,
// Masked, as +0's. Integer operations only.
template <bool Masked>
SWMA_AVX2 inline void magnitudes(const float *p0, const float *p1, const float *p2,
                                 const float *p3, __m128i &big)
{
    const __m128 mag = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    auto m = [&](const float *p) SWMA_AVX2 {
        return _mm_castps_si128(_mm_and_ps(load<Masked>(p), mag));
    };
    big = _mm_max_epi32(big,
                        _mm_max_epi32(_mm_max_epi32(m(p0), m(p1)), _mm_max_epi32(m(p2), m(p3))));
}

SWMA_AVX2 inline uint32_t largest(__m128i big)
{
    big = _mm_max_epi32(big, _mm_shuffle_epi32(big, _MM_SHUFFLE(1, 0, 3, 2)));
    big = _mm_max_epi32(big, _mm_shuffle_epi32(big, _MM_SHUFFLE(2, 3, 0, 1)));
    return uint32_t(_mm_cvtsi128_si32(big));
}

// The largest magnitude's bits in in[kl[l] + j0 .. kl[l] + j0 + nj) over the lanes l (nj a
// multiple of 4): above 0x7F7FFFFF for a NaN or an infinity, unless Masked. Eight floats a
// load where it can.
template <bool Masked>
SWMA_AVX2 inline uint32_t runs_largest(const float *in, const int64_t *kl, int j0, int nj)
{
    const __m256i mag = _mm256_set1_epi32(0x7FFFFFFF);
    const __m256i fmax = _mm256_set1_epi32(0x7F7FFFFF);
    __m256i big = _mm256_setzero_si256();
    const int j8 = nj / 8 * 8;
    for (int l = 0; l < kLanes; l++) {
        const float *x = in + kl[l] + j0;
        for (int j = 0; j < j8; j += 8) {
            const __m256i v = _mm256_and_si256(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x + j)), mag);
            // Masked, a NaN or an infinity counts as +0.
            big = _mm256_max_epi32(
                big, Masked ? _mm256_andnot_si256(_mm256_cmpgt_epi32(v, fmax), v) : v);
        }
    }
    const int j = j8;
    __m128i b = _mm_max_epi32(_mm256_castsi256_si128(big), _mm256_extracti128_si256(big, 1));
    if (j < nj) {
        const int o = j0 + j;
        magnitudes<Masked>(in + kl[0] + o, in + kl[1] + o, in + kl[2] + o, in + kl[3] + o, b);
        magnitudes<Masked>(in + kl[4] + o, in + kl[5] + o, in + kl[6] + o, in + kl[7] + o, b);
    }
    return largest(b);
}

// Bit s for each step of four from offset j0 + 4s (nj a multiple of 4, at most 32) where
// some lane's entering input in[kl[l] + j] is a NaN or an infinity; bit l of `lanes` for
// each lane that holds one.
SWMA_AVX2 inline uint32_t nonfinite_fours(const float *in, const int64_t *kl, int j0, int nj,
                                          unsigned &lanes)
{
    const __m128i mag = _mm_set1_epi32(0x7FFFFFFF), fmax = _mm_set1_epi32(0x7F7FFFFF);
    uint32_t fours = 0;
    lanes = 0;
    for (int s = 0; s < nj / 4; s++)
        for (int l = 0; l < kLanes; l++) {
            const __m128i v =
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + kl[l] + j0 + 4 * s));
            if (_mm_movemask_epi8(_mm_cmpgt_epi32(_mm_and_si128(v, mag), fmax))) {
                fours |= 1u << s;
                lanes |= 1u << l;
            }
        }
    return fours;
}

// The largest magnitude's bits among in[k[l] + off], l = 0..3 (Masked: of the finite ones).
template <bool Masked>
SWMA_AVX2 inline uint32_t largest1(const float *in, const int64_t *k, int off)
{
    uint32_t b = 0;
    for (int l = 0; l < 4; l++) {
        uint32_t f = swma_bits(in[k[l] + off]) & 0x7FFFFFFFu;
        f = Masked && f > 0x7F7FFFFFu ? 0 : f;
        b = f > b ? f : b;
    }
    return b;
}

SWMA_AVX2 inline void store4(float *p0, float *p1, float *p2, float *p3, __m128 f0, __m128 f1,
                             __m128 f2, __m128 f3)
{
    _MM_TRANSPOSE4_PS(f0, f1, f2, f3);
    _mm_storeu_ps(p0, f0);
    _mm_storeu_ps(p1, f1);
    _mm_storeu_ps(p2, f2);
    _mm_storeu_ps(p3, f3);
}

// Eight steps of results, res[s][l] for s = 0..7, into runs of eight outputs, one per lane:
// dst[l][s] = res[s][l].
SWMA_AVX2 inline void store8(float *const *dst, const float (*res)[kLanes])
{
    const __m256 r0 = _mm256_load_ps(res[0]), r1 = _mm256_load_ps(res[1]),
                 r2 = _mm256_load_ps(res[2]), r3 = _mm256_load_ps(res[3]),
                 r4 = _mm256_load_ps(res[4]), r5 = _mm256_load_ps(res[5]),
                 r6 = _mm256_load_ps(res[6]), r7 = _mm256_load_ps(res[7]);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1),
                 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3),
                 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5),
                 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
    // For l < 4, u_l holds steps 0-3 of lane l (low half) and of lane l + 4 (high half),
    // u_{l+4} their steps 4-7.
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE),
                 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE),
                 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE),
                 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    _mm256_storeu_ps(dst[0], _mm256_permute2f128_ps(u0, u4, 0x20));
    _mm256_storeu_ps(dst[1], _mm256_permute2f128_ps(u1, u5, 0x20));
    _mm256_storeu_ps(dst[2], _mm256_permute2f128_ps(u2, u6, 0x20));
    _mm256_storeu_ps(dst[3], _mm256_permute2f128_ps(u3, u7, 0x20));
    _mm256_storeu_ps(dst[4], _mm256_permute2f128_ps(u0, u4, 0x31));
    _mm256_storeu_ps(dst[5], _mm256_permute2f128_ps(u1, u5, 0x31));
    _mm256_storeu_ps(dst[6], _mm256_permute2f128_ps(u2, u6, 0x31));
    _mm256_storeu_ps(dst[7], _mm256_permute2f128_ps(u3, u7, 0x31));
}

template <bool Masked> SWMA_AVX2 inline double load1(const float *p)
{
    return Masked && (swma_bits(*p) & 0x7F800000u) == 0x7F800000u ? 0.0 : double(*p);
}

template <bool Masked> SWMA_AVX2 inline __m256d gather1(const float *in, const int64_t *k, int off)
{
    return _mm256_set_pd(load1<Masked>(in + k[3] + off), load1<Masked>(in + k[2] + off),
                         load1<Masked>(in + k[1] + off), load1<Masked>(in + k[0] + off));
}

// For the tests: the estimates and bounds (M, or L) of a chunk's outputs.
SWMA_AVX2 inline void trace(const double (*est)[kLanes], __m256d ma, __m256d mb,
                            const int64_t *kl, int j0, int nj, swma_cert_spans &spans)
{
    double m[kLanes];
    _mm256_storeu_pd(m, ma);
    _mm256_storeu_pd(m + 4, mb);
    spans.trace(est[0], m, kl, kLanes, j0, nj);
}

// Records [start, start + len) for each lane whose bit in `failed` is set.
SWMA_AVX2 inline void note_failures(int failed, const int64_t *kl, int off, int len,
                                    swma_cert_spans &spans)
{
    for (int l = 0; l < kLanes; l++)
        if (failed >> l & 1)
            spans.add(kl[l] + off, len);
}

// The lanes (bit l for lane l) with a failure marker among the results res[0 .. n): a
// NaN (quiet: the comparison raises nothing), since an accepted result is finite.
SWMA_AVX2 inline int marked_lanes(const float (*res)[kLanes], int n)
{
    __m256 nan = _mm256_setzero_ps();
    for (int t = 0; t < n; t++) {
        const __m256 r = _mm256_load_ps(res[t]);
        nan = _mm256_or_ps(nan, _mm256_cmp_ps(r, r, _CMP_UNORD_Q));
    }
    return _mm256_movemask_ps(nan);
}

// A compile-time choice of the loads, for the generic lambdas below.
template <bool B> struct masked_tag {
    static constexpr bool value = B;
};

SWMA_AVX2 void block(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                     swma_cert_spans &spans)
{
    // Segments of ns = 4m + 1 outputs: the first is decided right after the reseed, the
    // other 4m in steps of four. What does not fit goes to the scalar variant.
    const int m4 = (n / kLanes - 1) / 4;
    if (m4 < 1)
        return;
    const int p = c.period;
    const int ns = 4 * m4 + 1;
    const consts k = load_consts(c);
    const __m128 marker = _mm_castsi128_ps(_mm_set1_epi32(int(SWMA_CERT_FAILED_BITS)));

    int64_t kl[kLanes];
    for (int l = 0; l < kLanes; l++)
        kl[l] = k0 + int64_t(l) * ns;
    const int64_t *ka = kl, *kb = kl + 4;

    // Reseed: the windows ending at kl[l], from zero, p steps with nothing leaving.
    lanes a, b;
    a.cr = a.ci = b.cr = b.ci = _mm256_setzero_pd();
    a.l = b.l = _mm256_set1_pd(swma_cert_eta_budget(c));
    const __m256d zero = _mm256_setzero_pd();
    int i = -p + 1; // offset from kl of the entering input
    // A NaN or infinity must not enter the lanes' arithmetic (inf - inf raises invalid).
    // Every input is tested by its bits as it first comes in (the reseeds' windows, then
    // each chunk's entering inputs, before any arithmetic on them). A reseed's chunk whose
    // inputs hold one reads them masked, each NaN or infinity as +0; after the reseed, so
    // does each step of four whose entering inputs hold one, and each whose leaving inputs
    // were entering ones of such a step. The driver decides the windows that hold one.
    swma_nonfinite_runs &taken = spans.taken;
    // The largest magnitude's bits of every finite input the lanes have taken in: beyond
    // c.safe_bits the decisions clamp their interval ends. Whether there were others.
    uint32_t seen = 0;
    const auto take = [&](uint32_t raw, auto finite_only) SWMA_AVX2 {
        const uint32_t m = raw > 0x7F7FFFFFu ? finite_only() : raw;
        seen = m > seen ? m : seen;
        return raw > 0x7F7FFFFFu;
    };
    // The bound grows a chunk of at most 32 steps at a time, as after the reseed.
    sums sa = {zero, zero, zero}, sb = sa;
    for (; (i - (-p + 1)) < p % 4; i++) {
        const uint32_t ra = largest1<false>(in, ka, i), rb = largest1<false>(in, kb, i);
        const bool odd = take(ra > rb ? ra : rb, [&]() SWMA_AVX2 {
            const uint32_t fa = largest1<true>(in, ka, i), fb = largest1<true>(in, kb, i);
            return fa > fb ? fa : fb;
        });
        if (odd)
            taken.add(i, i + 1);
        seed_step(k, a, odd ? gather1<true>(in, ka, i) : gather1<false>(in, ka, i), sa);
        seed_step(k, b, odd ? gather1<true>(in, kb, i) : gather1<false>(in, kb, i), sb);
    }
    chunk_bound(k, a, sa);
    chunk_bound(k, b, sb);
    const auto seed_chunk = [&](int e, auto tag) SWMA_AVX2 {
        constexpr bool M = decltype(tag)::value;
        for (; i < e; i += 4) {
            __m256d xa[4], xb[4];
            load4<M>(in + ka[0] + i, in + ka[1] + i, in + ka[2] + i, in + ka[3] + i, xa);
            load4<M>(in + kb[0] + i, in + kb[1] + i, in + kb[2] + i, in + kb[3] + i, xb);
            for (int s = 0; s < 4; s++) {
                seed_step(k, a, xa[s], sa);
                seed_step(k, b, xb[s], sb);
            }
        }
    };
    while (i <= 0) {
        const int m = 1 - i < kChunk ? 1 - i : kChunk; // a multiple of 4
        const bool odd = take(runs_largest<false>(in, kl, i, m),
                              [&]() SWMA_AVX2 { return runs_largest<true>(in, kl, i, m); });
        sa = sb = sums{zero, zero, zero};
        if (odd) {
            taken.add(i, i + m);
            seed_chunk(i + m, masked_tag<true>{});
        } else {
            seed_chunk(i + m, masked_tag<false>{});
        }
        chunk_bound(k, a, sa);
        chunk_bound(k, b, sb);
    }
    // The chunks holding failures go to `spans`, so the driver scans those alone.
    spans.begin(k0, kLanes, ns);

    // The segments' first outputs.
    {
        alignas(32) float f[1][kLanes];
        _mm_store_ps(f[0], decide<true>(k, a.ci, _mm256_mul_pd(a.l, k.g), marker));
        _mm_store_ps(f[0] + 4, decide<true>(k, b.ci, _mm256_mul_pd(b.l, k.g), marker));
        note_failures(marked_lanes(f, 1), kl, 0, 1, spans);
        for (int l = 0; l < kLanes; l++)
            out[kl[l]] = f[0][l];
        if (spans.trace_est) {
            alignas(32) double est[1][kLanes];
            _mm256_store_pd(est[0], a.ci);
            _mm256_store_pd(est[0] + 4, b.ci);
            trace(est, a.l, b.l, kl, 0, 1, spans);
        }
    }

    // Outputs kl + j for j = 1 .. ns - 1: step (x_in = in[kl + j], x_out = in[kl + j - p]),
    // then decide. A chunk of steps at a time: first the state-free parts of every step for
    // all eight lanes (transposing the inputs), then the chain, which also decides the
    // previous chunk's outputs, whose bound is known once all of its steps are taken; then
    // those results, transposed back into runs of outputs.
    // er[cur] holds the chunk's entering parts, then its estimates; er[cur ^ 1] the previous
    // chunk's estimates.
    alignas(32) double er[2][kChunk][kLanes], ei[kChunk][kLanes];
    alignas(32) float res[kChunk][kLanes];
    int cur = 0, pj0 = 0, pnj = 0;
    __m256d pma = zero, pmb = zero; // the previous chunk's M
    // The previous chunk's nj results out of `res`; the runs of lanes that failed in it into
    // `spans`.
    const auto emit = [&](int j0, int nj) SWMA_AVX2 {
        if (const int failed = marked_lanes(res, nj))
            note_failures(failed, kl, j0, nj, spans);
        if (spans.trace_est)
            trace(er[cur ^ 1], pma, pmb, kl, j0, nj, spans);
        int s8 = 0;
        for (; s8 + 8 <= nj; s8 += 8) {
            float *dst[kLanes];
            for (int l = 0; l < kLanes; l++)
                dst[l] = out + kl[l] + j0 + s8;
            store8(dst, res + s8);
        }
        for (int s4 = s8; s4 < nj; s4 += 4) {
            const int j = j0 + s4;
            for (int g = 0; g < 2; g++) {
                const int64_t *kg = kl + 4 * g;
                store4(out + kg[0] + j, out + kg[1] + j, out + kg[2] + j, out + kg[3] + j,
                       _mm_load_ps(&res[s4][4 * g]), _mm_load_ps(&res[s4 + 1][4 * g]),
                       _mm_load_ps(&res[s4 + 2][4 * g]), _mm_load_ps(&res[s4 + 3][4 * g]));
            }
        }
    };
    // The state-free parts of four steps from offset j0 + s4, their entering and leaving
    // inputs read as `in_tag` and `out_tag` say.
    const auto enter4 = [&](int j0, int s4, sums &ta, sums &tb, auto in_tag,
                            auto out_tag) SWMA_AVX2 {
        constexpr bool MI = decltype(in_tag)::value, MO = decltype(out_tag)::value;
        const int j = j0 + s4, jo = j - p;
        for (int g = 0; g < 2; g++) {
            const int64_t *kg = kl + 4 * g;
            __m256d xi[4], xo[4];
            load4<MI>(in + kg[0] + j, in + kg[1] + j, in + kg[2] + j, in + kg[3] + j, xi);
            load4<MO>(in + kg[0] + jo, in + kg[1] + jo, in + kg[2] + jo, in + kg[3] + jo, xo);
            for (int t = 0; t < 4; t++)
                entering(k, xi[t], xo[t], &er[cur][s4 + t][4 * g], &ei[s4 + t][4 * g],
                         g ? tb : ta);
        }
    };
    // The same for a chunk: each side masked only in the steps of four that may hold one (a
    // masked load costs three operations more per four floats): the entering side where
    // bit s4 / 4 of `in_fours` is set, the leaving side, where `leaving`, as `taken` says.
    const auto enter_chunk = [&](int j0, int nj, sums &ta, sums &tb, uint32_t in_fours,
                                 bool leaving) SWMA_AVX2 {
        const masked_tag<true> yes;
        const masked_tag<false> no;
        if (!in_fours && !leaving) {
            for (int s4 = 0; s4 < nj; s4 += 4)
                enter4(j0, s4, ta, tb, no, no);
            return;
        }
        for (int s4 = 0; s4 < nj; s4 += 4) {
            const bool mi = in_fours >> (s4 / 4) & 1;
            const bool mo = leaving && taken.hits(j0 + s4 - p, j0 + s4 + 4 - p);
            if (mi && mo)
                enter4(j0, s4, ta, tb, yes, yes);
            else if (mi)
                enter4(j0, s4, ta, tb, yes, no);
            else if (mo)
                enter4(j0, s4, ta, tb, no, yes);
            else
                enter4(j0, s4, ta, tb, no, no);
        }
    };
    for (int j0 = 1;; j0 += kChunk) {
        // Past the last chunk (j0 >= ns): no steps, only the last decisions.
        const int nj = j0 >= ns ? 0 : ns - j0 < kChunk ? ns - j0 : kChunk; // a multiple of 4
        const bool odd = nj && take(runs_largest<false>(in, kl, j0, nj), [&]() SWMA_AVX2 {
                             return runs_largest<true>(in, kl, j0, nj);
                         });
        // The steps of four whose entering inputs hold one, by runs into `taken`.
        unsigned odd_lanes = 0;
        const uint32_t fours = odd ? nonfinite_fours(in, kl, j0, nj, odd_lanes) : 0;
        taken.add_fours(j0, fours, odd_lanes);
        sums ta = {zero, zero, zero}, tb = ta;
        enter_chunk(j0, nj, ta, tb, fours, taken.hits(j0 - p, j0 + nj - p));
        // m = M g for the previous chunk's decisions.
        const __m256d ma = _mm256_mul_pd(pma, k.g), mb = _mm256_mul_pd(pmb, k.g);
        if (seen > c.safe_bits)
            chain<true>(k, a, b, ta, tb, er[cur], ei, nj, er[cur ^ 1], ma, mb, res, pnj, marker);
        else
            chain<false>(k, a, b, ta, tb, er[cur], ei, nj, er[cur ^ 1], ma, mb, res, pnj, marker);
        if (pnj)
            emit(pj0, pnj);
        if (!nj)
            break;
        pma = chunk_bound(k, a, ta);
        pmb = chunk_bound(k, b, tb);
        pj0 = j0;
        pnj = nj;
        cur ^= 1;
    }

    _mm256_storeu_pd(spans.l_end, a.l);
    _mm256_storeu_pd(spans.l_end + 4, b.l);
}

} // namespace

SWMA_AVX2 void swma_cert_block_avx2(const swma_cert &c, const float *in, int64_t k0, int n,
                                    float *out, swma_cert_spans &spans)
{
    spans.lanes = 0;
    block(c, in, k0, n, out, spans);
}

// Isolated failures would each cost a pass of sixteen contiguous outputs of the exact
// kernel; here eight of them share a pass, one per lane, with the definition's operations
// in its order: t = fl(w_i x_i), acc = fl(acc + t) for ascending i, then fl(acc / sum)
// narrowed once.
SWMA_AVX2 void swma_cert_scattered_avx2(const swma_scatter &s)
{
    __m256d acc[2];
    for (int g = 0; g < 2; g++)
        acc[g] = s.first ? _mm256_setzero_pd()
                         : _mm256_set_pd(*s.acc[4 * g + 3], *s.acc[4 * g + 2],
                                         *s.acc[4 * g + 1], *s.acc[4 * g]);
    int i = 0;
    for (; i + 4 <= s.nw; i += 4) {
        __m256d xa[4], xb[4];
        load4(s.src[0] + i, s.src[1] + i, s.src[2] + i, s.src[3] + i, xa);
        load4(s.src[4] + i, s.src[5] + i, s.src[6] + i, s.src[7] + i, xb);
        for (int t = 0; t < 4; t++) {
            const __m256d w = _mm256_broadcast_sd(s.w + i + t);
            acc[0] = _mm256_add_pd(acc[0], _mm256_mul_pd(w, xa[t]));
            acc[1] = _mm256_add_pd(acc[1], _mm256_mul_pd(w, xb[t]));
        }
    }
    for (; i < s.nw; i++) {
        const __m256d w = _mm256_broadcast_sd(s.w + i);
        for (int g = 0; g < 2; g++) {
            const float *const *q = s.src + 4 * g;
            const __m256d x = _mm256_set_pd(double(q[3][i]), double(q[2][i]), double(q[1][i]),
                                            double(q[0][i]));
            acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(w, x));
        }
    }
    for (int g = 0; g < 2; g++) {
        alignas(32) double a[4];
        _mm256_store_pd(a, acc[g]);
        for (int l = 0; l < 4; l++)
            *s.acc[4 * g + l] = a[l];
        if (s.last) {
            alignas(16) float f[4];
            _mm_store_ps(f, _mm256_cvtpd_ps(_mm256_div_pd(acc[g], _mm256_set1_pd(s.sum))));
            for (int l = 0; l < 4; l++)
                if (s.dst[4 * g + l])
                    *s.dst[4 * g + l] = f[l];
        }
    }
}
