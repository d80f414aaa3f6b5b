// lanes_sse2.cpp: the certified kernel's estimates with SSE2, four segments at once.
//
// The AVX2 variant's layout with vectors of two doubles: a block of outputs is cut into
// four segments, lanes 0-1 of one vector and lanes 2-3 of another carry their states, and
// each lane's state is the scalar variant's, operation for operation; the bound grows a
// chunk of 32 steps at a time and a chunk is decided beside the next one's steps, as in the
// AVX2 variant (docs/certified.md, section 8). The decision is the scalar variant's but for
// the + 0.0 on the estimate, which changes no decision (section 6). 32-bit x86 has eight
// xmm registers: the constants are read from memory.
#include "certified/certified.h"

#include <emmintrin.h>

namespace {

constexpr int kLanes = 4;

struct consts {
    __m128d vr, vi, zr, zi, r, g, abs_mask;
    __m128d ch_omega, ch_a_c, ch_a_in, ch_c_out; // the bound's growth over a chunk
    __m128d lo_max, lo_min, hi_max, hi_min;
    __m128i marker; // the failure marker's bits in every lane
};

// The per-call constants, one in every lane.
inline consts load_consts(const swma_cert &c)
{
    consts k;
    k.vr = _mm_set1_pd(c.vr);
    k.vi = _mm_set1_pd(c.vi);
    k.zr = _mm_set1_pd(c.zr);
    k.zi = _mm_set1_pd(c.zi);
    k.ch_omega = _mm_set1_pd(c.ch_omega);
    k.ch_a_c = _mm_set1_pd(c.ch_a_c);
    k.ch_a_in = _mm_set1_pd(c.ch_a_in);
    k.ch_c_out = _mm_set1_pd(c.ch_c_out);
    k.r = _mm_set1_pd(c.r);
    k.g = _mm_set1_pd(c.g);
    k.abs_mask = _mm_castsi128_pd(_mm_set1_epi32(-1));
    k.abs_mask = _mm_castsi128_pd(_mm_srli_epi64(_mm_castpd_si128(k.abs_mask), 1));
    k.lo_max = _mm_set1_pd(SWMA_FLT_BELOW_MAX);
    k.lo_min = _mm_set1_pd(-SWMA_FLT_MAX);
    k.hi_max = _mm_set1_pd(SWMA_FLT_MAX);
    k.hi_min = _mm_set1_pd(-SWMA_FLT_BELOW_MAX);
    k.marker = _mm_set1_epi32(int(SWMA_CERT_FAILED_BITS));
    return k;
}

struct lanes {
    __m128d cr, ci, l;
};

inline __m128d vabs(__m128d x, __m128d mask) { return _mm_and_pd(x, mask); }

// What a chunk of steps adds to the bound, for two lanes: the sums over its steps of
// sc = |C_r| + |C_i| (the state each step starts from), of |x_in| and of |x_out|.
struct sums {
    __m128d sc, in, out;
};

// The state-free parts of a step for two lanes, rounded as the scalar step rounds them;
// |x_in| and |x_out| go into the chunk's sums.
inline void entering(const consts &k, __m128d xin, __m128d xout, double *er, double *ei,
                     sums &t)
{
    _mm_store_pd(er, _mm_sub_pd(_mm_mul_pd(k.zr, xin), xout));
    _mm_store_pd(ei, _mm_mul_pd(k.zi, xin));
    t.in = _mm_add_pd(t.in, vabs(xin, k.abs_mask));
    t.out = _mm_add_pd(t.out, vabs(xout, k.abs_mask));
}

// One step of two lanes from its precomputed parts; the state's size into the chunk's sum.
inline void step_pre(const consts &k, lanes &s, const double *er, const double *ei, __m128d &sc)
{
    sc = _mm_add_pd(sc, _mm_add_pd(vabs(s.cr, k.abs_mask), vabs(s.ci, k.abs_mask)));
    const __m128d nr =
        _mm_add_pd(_mm_sub_pd(_mm_mul_pd(k.vr, s.cr), _mm_mul_pd(k.vi, s.ci)), _mm_load_pd(er));
    const __m128d ni =
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(k.vr, s.ci), _mm_mul_pd(k.vi, s.cr)), _mm_load_pd(ei));
    s.cr = nr;
    s.ci = ni;
}

// One reseed step of two lanes, nothing leaving: the state as the scalar step computes it
// with x_out = 0 (x - 0 is x), sc and |x_in| into the chunk's sums.
inline void seed_step(const consts &k, lanes &s, __m128d xin, sums &t)
{
    t.sc = _mm_add_pd(t.sc, _mm_add_pd(vabs(s.cr, k.abs_mask), vabs(s.ci, k.abs_mask)));
    t.in = _mm_add_pd(t.in, vabs(xin, k.abs_mask));
    const __m128d nr = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(k.vr, s.cr), _mm_mul_pd(k.vi, s.ci)),
                                  _mm_mul_pd(k.zr, xin));
    const __m128d ni = _mm_add_pd(_mm_add_pd(_mm_mul_pd(k.vr, s.ci), _mm_mul_pd(k.vi, s.cr)),
                                  _mm_mul_pd(k.zi, xin));
    s.cr = nr;
    s.ci = ni;
}

// The bound over a chunk of at most 32 steps (docs: section 8): L at its end into s.l, and
// the returned M, which bounds every state of the chunk.
inline __m128d chunk_bound(const consts &k, lanes &s, const sums &t)
{
    const __m128d pos =
        _mm_add_pd(_mm_mul_pd(s.l, k.ch_omega),
                   _mm_add_pd(_mm_mul_pd(k.ch_a_c, t.sc), _mm_mul_pd(k.ch_a_in, t.in)));
    s.l = _mm_add_pd(pos, _mm_mul_pd(k.ch_c_out, t.out));
    return _mm_max_pd(pos, s.l);
}

// The narrowed interval ends of two lanes (low two floats of each result). Without Clamp
// the caller has shown that no end can leave the float range (every input of the block
// within safe_bits).
template <bool Clamp>
inline void ends(const consts &k, __m128d est, __m128d m, __m128 &flo, __m128 &fhi)
{
    // est = Im C as it stands: a -0 fails like +0 would, since m > 0 (docs: section 6).
    const __m128d q = _mm_mul_pd(est, k.r);
    __m128d lo = _mm_sub_pd(q, m);
    __m128d hi = _mm_add_pd(q, m);
    if (Clamp) {
        lo = _mm_max_pd(_mm_min_pd(lo, k.lo_max), k.lo_min);
        hi = _mm_max_pd(_mm_min_pd(hi, k.hi_max), k.hi_min);
    }
    flo = _mm_cvtpd_ps(lo);
    fhi = _mm_cvtpd_ps(hi);
}

// The decision for four lanes (two vectors, est and m of lanes 0-1, then 2-3), lane order
// a0 a1 b0 b1: certified floats, or the failure marker where the narrowed ends differ.
// `differ` collects the lanes that failed.
template <bool Clamp>
inline __m128 decide(const consts &k, __m128d est_a, __m128d ma, __m128d est_b, __m128d mb,
                     __m128i &differ)
{
    __m128 la, ha, lb, hb;
    ends<Clamp>(k, est_a, ma, la, ha);
    ends<Clamp>(k, est_b, mb, lb, hb);
    const __m128 lo = _mm_movelh_ps(la, lb);
    const __m128 hi = _mm_movelh_ps(ha, hb);
    const __m128i same = _mm_cmpeq_epi32(_mm_castps_si128(lo), _mm_castps_si128(hi));
    differ = _mm_or_si128(differ, _mm_xor_si128(same, _mm_set1_epi32(-1)));
    return _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(same, _mm_castps_si128(lo)),
                                         _mm_andnot_si128(same, k.marker)));
}

// For the tests: the estimates and bounds (M, or L) of a chunk's outputs.
inline void trace(const double (*est)[kLanes], __m128d ma, __m128d mb, const int64_t *kl,
                  int j0, int nj, swma_cert_spans &spans)
{
    double m[kLanes];
    _mm_storeu_pd(m, ma);
    _mm_storeu_pd(m + 2, mb);
    spans.trace(est[0], m, kl, kLanes, j0, nj);
}

// Four floats, with a NaN or an infinity read as +0 when Masked (integer operations only).
template <bool Masked> inline __m128 load(const float *p)
{
    const __m128 v = _mm_loadu_ps(p);
    if (!Masked)
        return v;
    const __m128i exp = _mm_set1_epi32(0x7F800000);
    const __m128i finite = _mm_cmplt_epi32(_mm_and_si128(_mm_castps_si128(v), exp), exp);
    return _mm_and_ps(v, _mm_castsi128_ps(finite));
}

template <bool Masked> inline double load1(const float *p)
{
    return Masked && (swma_bits(*p) & 0x7F800000u) == 0x7F800000u ? 0.0 : double(*p);
}

// Four steps of four lanes: xa[s] = lanes 0-1 of step s, xb[s] lanes 2-3.
template <bool Masked>
inline void load4(const float *in, const int64_t *k, int off, __m128d xa[4], __m128d xb[4])
{
    __m128 r0 = load<Masked>(in + k[0] + off), r1 = load<Masked>(in + k[1] + off),
           r2 = load<Masked>(in + k[2] + off), r3 = load<Masked>(in + k[3] + off);
    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
    const __m128 r[4] = {r0, r1, r2, r3};
    for (int s = 0; s < 4; s++) {
        xa[s] = _mm_cvtps_pd(r[s]);
        xb[s] = _mm_cvtps_pd(_mm_movehl_ps(r[s], r[s]));
    }
}

template <bool Masked>
inline void gather1(const float *in, const int64_t *k, int off, __m128d &xa, __m128d &xb)
{
    xa = _mm_set_pd(load1<Masked>(in + k[1] + off), load1<Masked>(in + k[0] + off));
    xb = _mm_set_pd(load1<Masked>(in + k[3] + off), load1<Masked>(in + k[2] + off));
}

// What x[0 .. n) holds, by its magnitudes' bits (sign cleared, compared as integers; no
// floating-point operation): bit 1 set if a NaN or an infinity (bits above the largest
// finite float's), bit 0 if a finite magnitude's bits exceed `safe`.
inline int scan(const float *x, int64_t n, uint32_t safe)
{
    const __m128i mag = _mm_set1_epi32(0x7FFFFFFF);
    const __m128i fmax = _mm_set1_epi32(0x7F7FFFFF);
    const __m128i lim = _mm_set1_epi32(int(safe)); // safe <= 0x7F7FFFFF
    __m128i bad = _mm_setzero_si128(), big = _mm_setzero_si128();
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i v0 =
            _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i)), mag);
        const __m128i v1 =
            _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i + 4)), mag);
        const __m128i bad0 = _mm_cmpgt_epi32(v0, fmax), bad1 = _mm_cmpgt_epi32(v1, fmax);
        bad = _mm_or_si128(bad, _mm_or_si128(bad0, bad1));
        big = _mm_or_si128(big, _mm_or_si128(_mm_andnot_si128(bad0, _mm_cmpgt_epi32(v0, lim)),
                                             _mm_andnot_si128(bad1, _mm_cmpgt_epi32(v1, lim))));
    }
    bool any_bad = _mm_movemask_epi8(bad) != 0, any_big = _mm_movemask_epi8(big) != 0;
    for (; i < n; i++) {
        const uint32_t b = swma_bits(x[i]) & 0x7FFFFFFFu;
        any_bad |= b > 0x7F7FFFFFu;
        any_big |= b > safe && b <= 0x7F7FFFFFu;
    }
    return (any_bad ? 2 : 0) | (any_big ? 1 : 0);
}

template <bool Clamp, bool MayMask>
void lanes4(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
            swma_cert_spans &spans);

// Whether in[k[l] + off .. k[l] + off + m) holds a NaN or an infinity, for some lane l.
inline bool nonfinite4(const float *in, const int64_t *k, int off, int m)
{
    for (int l = 0; l < kLanes; l++)
        if (scan(in + k[l] + off, m, 0x7F7FFFFFu) == 2)
            return true;
    return false;
}

// Bit s for each step of four from offset j0 + 4s (nj a multiple of 4, at most 32) where
// some lane's input in[k[l] + j] is a NaN or an infinity; bit l of `lanes` for each lane
// that holds one.
inline uint32_t nonfinite_fours(const float *in, const int64_t *k, int j0, int nj,
                                unsigned &lanes)
{
    uint32_t fours = 0;
    lanes = 0;
    // Most chunks hold none: one test for the chunk, then one per step of four and lane.
    if (!nonfinite4(in, k, j0, nj))
        return fours;
    const __m128i mag = _mm_set1_epi32(0x7FFFFFFF), fmax = _mm_set1_epi32(0x7F7FFFFF);
    for (int s = 0; s < nj / 4; s++)
        for (int l = 0; l < kLanes; l++) {
            const __m128i v =
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k[l] + j0 + 4 * s));
            if (_mm_movemask_epi8(_mm_cmpgt_epi32(_mm_and_si128(v, mag), fmax))) {
                fours |= 1u << s;
                lanes |= 1u << l;
            }
        }
    return fours;
}

// A compile-time choice of the loads, for the generic lambdas below.
template <bool B> struct masked_tag {
    static constexpr bool value = B;
};

} // namespace

void swma_cert_block_sse2(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                          swma_cert_spans &spans)
{
    spans.lanes = 0;
    const int m4 = (n / kLanes - 1) / 4;
    if (m4 < 1)
        return;
    // A block whose inputs hold a NaN or an infinity tests each chunk's inputs for one (and
    // reads it as +0, which needs no clamp); the others test nothing more. The interval
    // ends are clamped only where the finite magnitudes need it.
    const int p = c.period;
    const int held = scan(in + (k0 - p + 1), int64_t(n) + p - 1, c.safe_bits);
    switch (held) {
    case 3:
        lanes4<true, true>(c, in, k0, n, out, spans);
        break;
    case 2:
        lanes4<false, true>(c, in, k0, n, out, spans);
        break;
    case 1:
        lanes4<true, false>(c, in, k0, n, out, spans);
        break;
    default:
        lanes4<false, false>(c, in, k0, n, out, spans);
    }
}

namespace {

// The block's four segments. A NaN or infinity must not enter the lanes' arithmetic
// (inf - inf raises invalid): with MayMask, a reseed's chunk whose inputs hold one reads
// them masked, each NaN or infinity as +0; after the reseed, so does each step of four
// whose entering inputs hold one, and each whose leaving inputs were entering ones of such
// a step; the driver decides the windows that hold one.
// Without Clamp, every finite input is known to be within c.safe_bits.
template <bool Clamp, bool MayMask>
void lanes4(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
            swma_cert_spans &spans)
{
    const int m4 = (n / kLanes - 1) / 4;
    const int p = c.period;
    const int ns = 4 * m4 + 1;
    const consts k = load_consts(c);
    __m128i differ = _mm_setzero_si128();

    int64_t kl[kLanes];
    for (int l = 0; l < kLanes; l++)
        kl[l] = k0 + int64_t(l) * ns;
    // The chunks holding failures go to `spans`, so the driver scans those alone.
    spans.begin(k0, kLanes, ns);

    lanes a, b;
    a.cr = a.ci = b.cr = b.ci = _mm_setzero_pd();
    a.l = b.l = _mm_set1_pd(swma_cert_eta_budget(c));
    const __m128d zero = _mm_setzero_pd();
    // The reseed's p steps, the bound growing a chunk of at most 32 steps at a time.
    int i = -p + 1;
    sums sa = {zero, zero, zero}, sb = sa;
    swma_nonfinite_runs &taken = spans.taken; // where the lanes took one in
    for (; (i - (-p + 1)) < p % 4; i++) {
        __m128d xa, xb;
        const bool odd = MayMask && nonfinite4(in, kl, i, 1);
        if (odd) {
            taken.add(i, i + 1);
            gather1<true>(in, kl, i, xa, xb);
        } else {
            gather1<false>(in, kl, i, xa, xb);
        }
        seed_step(k, a, xa, sa);
        seed_step(k, b, xb, sb);
    }
    chunk_bound(k, a, sa);
    chunk_bound(k, b, sb);
    const auto seed_chunk = [&](int e, auto tag) {
        constexpr bool M = decltype(tag)::value;
        for (; i < e; i += 4) {
            __m128d xa[4], xb[4];
            load4<M>(in, kl, i, xa, xb);
            for (int s = 0; s < 4; s++) {
                seed_step(k, a, xa[s], sa);
                seed_step(k, b, xb[s], sb);
            }
        }
    };
    while (i <= 0) {
        const int e = i + (1 - i < SWMA_CERT_CHUNK ? 1 - i : SWMA_CERT_CHUNK); // a multiple of 4
        sa = sb = sums{zero, zero, zero};
        if (MayMask && nonfinite4(in, kl, i, e - i)) {
            taken.add(i, e);
            seed_chunk(e, masked_tag<true>{});
        } else {
            seed_chunk(e, masked_tag<false>{});
        }
        chunk_bound(k, a, sa);
        chunk_bound(k, b, sb);
    }
    // Lanes that failed: their run of outputs goes to `spans`, which the driver scans.
    const auto note = [&](int off, int len) {
        const int bad = _mm_movemask_ps(_mm_castsi128_ps(differ));
        for (int l = 0; l < kLanes; l++)
            if (bad >> l & 1)
                spans.add(kl[l] + off, len);
        differ = _mm_setzero_si128();
    };
    {
        float f[4];
        _mm_storeu_ps(f, decide<Clamp>(k, a.ci, _mm_mul_pd(a.l, k.g), b.ci,
                                       _mm_mul_pd(b.l, k.g), differ));
        for (int l = 0; l < kLanes; l++)
            out[kl[l]] = f[l];
        note(0, 1);
        if (spans.trace_est) {
            alignas(16) double est[1][kLanes];
            _mm_store_pd(est[0], a.ci);
            _mm_store_pd(est[0] + 2, b.ci);
            trace(est, a.l, b.l, kl, 0, 1, spans);
        }
    }
    // A chunk of steps at a time: the state-free parts first (inputs transposed four steps
    // at a time), then the chain, which also decides the previous chunk's outputs (their
    // bound is known once all of the chunk's steps are taken), then those results, transposed
    // back into runs of outputs. er[cur] holds the chunk's entering parts, then its
    // estimates; er[cur ^ 1] the previous chunk's estimates.
    constexpr int kChunk = SWMA_CERT_CHUNK;
    alignas(16) double er[2][kChunk][kLanes], ei[kChunk][kLanes];
    alignas(16) float res[kChunk][kLanes];
    int cur = 0, pj0 = 0, pnj = 0;
    __m128d pma = zero, pmb = zero; // the previous chunk's M
    for (int j0 = 1;; j0 += kChunk) {
        // Past the last chunk (j0 >= ns): no steps, only the last decisions.
        const int nj = j0 >= ns ? 0 : ns - j0 < kChunk ? ns - j0 : kChunk; // a multiple of 4
        sums ta = {zero, zero, zero}, tb = ta;
        double(*e)[kLanes] = er[cur];
        // Four steps from offset j0 + s4, entering and leaving inputs read as `in_tag` and
        // `out_tag` say.
        const auto enter4 = [&](int s4, auto in_tag, auto out_tag) {
            constexpr bool MI = decltype(in_tag)::value, MO = decltype(out_tag)::value;
            __m128d ia[4], ib[4], oa[4], ob[4];
            load4<MI>(in, kl, j0 + s4, ia, ib);
            load4<MO>(in, kl, j0 + s4 - p, oa, ob);
            for (int t = 0; t < 4; t++) {
                entering(k, ia[t], oa[t], &e[s4 + t][0], &ei[s4 + t][0], ta);
                entering(k, ib[t], ob[t], &e[s4 + t][2], &ei[s4 + t][2], tb);
            }
        };
        const masked_tag<true> yes;
        const masked_tag<false> no;
        // The steps of four whose entering inputs hold one, by runs into `taken`; each side
        // of a step of four masked only where it may hold one.
        unsigned odd_lanes = 0;
        const uint32_t fours = MayMask && nj ? nonfinite_fours(in, kl, j0, nj, odd_lanes) : 0;
        taken.add_fours(j0, fours, odd_lanes);
        const bool leaving = MayMask && taken.hits(j0 - p, j0 + nj - p);
        if (!fours && !leaving)
            for (int s4 = 0; s4 < nj; s4 += 4)
                enter4(s4, no, no);
        else
            for (int s4 = 0; s4 < nj; s4 += 4) {
                const bool mi = fours >> (s4 / 4) & 1;
                const bool mo = leaving && taken.hits(j0 + s4 - p, j0 + s4 + 4 - p);
                if (mi && mo)
                    enter4(s4, yes, yes);
                else if (mi)
                    enter4(s4, yes, no);
                else if (mo)
                    enter4(s4, no, yes);
                else
                    enter4(s4, no, no);
            }
        // The steps (each new Im C replacing its er entry) beside the previous chunk's
        // decisions, with m = M g: the two are independent.
        const double(*pe)[kLanes] = er[cur ^ 1];
        const __m128d ma = _mm_mul_pd(pma, k.g), mb = _mm_mul_pd(pmb, k.g);
        const int both = nj < pnj ? nj : pnj;
        int t = 0;
        for (; t < both; t++) {
            step_pre(k, a, &e[t][0], &ei[t][0], ta.sc);
            step_pre(k, b, &e[t][2], &ei[t][2], tb.sc);
            _mm_store_pd(&e[t][0], a.ci);
            _mm_store_pd(&e[t][2], b.ci);
            _mm_store_ps(&res[t][0], decide<Clamp>(k, _mm_load_pd(&pe[t][0]), ma,
                                                   _mm_load_pd(&pe[t][2]), mb, differ));
        }
        for (; t < nj; t++) {
            step_pre(k, a, &e[t][0], &ei[t][0], ta.sc);
            step_pre(k, b, &e[t][2], &ei[t][2], tb.sc);
            _mm_store_pd(&e[t][0], a.ci);
            _mm_store_pd(&e[t][2], b.ci);
        }
        for (; t < pnj; t++)
            _mm_store_ps(&res[t][0], decide<Clamp>(k, _mm_load_pd(&pe[t][0]), ma,
                                                   _mm_load_pd(&pe[t][2]), mb, differ));
        if (pnj) {
            note(pj0, pnj);
            if (spans.trace_est)
                trace(pe, pma, pmb, kl, pj0, pnj, spans);
            for (int s4 = 0; s4 < pnj; s4 += 4) {
                __m128 r0 = _mm_load_ps(&res[s4][0]), r1 = _mm_load_ps(&res[s4 + 1][0]),
                       r2 = _mm_load_ps(&res[s4 + 2][0]), r3 = _mm_load_ps(&res[s4 + 3][0]);
                _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                _mm_storeu_ps(out + kl[0] + pj0 + s4, r0);
                _mm_storeu_ps(out + kl[1] + pj0 + s4, r1);
                _mm_storeu_ps(out + kl[2] + pj0 + s4, r2);
                _mm_storeu_ps(out + kl[3] + pj0 + s4, r3);
            }
        }
        if (!nj)
            break;
        pma = chunk_bound(k, a, ta);
        pmb = chunk_bound(k, b, tb);
        pj0 = j0;
        pnj = nj;
        cur ^= 1;
    }

    _mm_storeu_pd(spans.l_end, a.l);
    _mm_storeu_pd(spans.l_end + 2, b.l);
}

} // namespace

// The AVX2 variant's scattered exact outputs (certified.h) with vectors of two lanes: the
// definition's operations in its order for each lane.
void swma_cert_scattered_sse2(const swma_scatter &s)
{
    for (int g = 0; g < 8; g += 2) {
        __m128d acc = s.first ? _mm_setzero_pd() : _mm_set_pd(*s.acc[g + 1], *s.acc[g]);
        const float *a = s.src[g], *b = s.src[g + 1];
        int i = 0;
        for (; i + 2 <= s.nw; i += 2) {
            double pa, pb; // two floats of each lane, loaded as one 8-byte unit
            __builtin_memcpy(&pa, a + i, sizeof pa);
            __builtin_memcpy(&pb, b + i, sizeof pb);
            const __m128d xa = _mm_cvtps_pd(_mm_castpd_ps(_mm_set_sd(pa)));
            const __m128d xb = _mm_cvtps_pd(_mm_castpd_ps(_mm_set_sd(pb)));
            acc = _mm_add_pd(acc, _mm_mul_pd(_mm_set1_pd(s.w[i]), _mm_unpacklo_pd(xa, xb)));
            acc = _mm_add_pd(acc, _mm_mul_pd(_mm_set1_pd(s.w[i + 1]), _mm_unpackhi_pd(xa, xb)));
        }
        if (i < s.nw) {
            const __m128d x = _mm_set_pd(double(b[i]), double(a[i]));
            acc = _mm_add_pd(acc, _mm_mul_pd(_mm_set1_pd(s.w[i]), x));
        }
        double r[2];
        _mm_storeu_pd(r, acc);
        *s.acc[g] = r[0];
        *s.acc[g + 1] = r[1];
        if (s.last) {
            float f[4];
            _mm_storeu_ps(f, _mm_cvtpd_ps(_mm_div_pd(acc, _mm_set1_pd(s.sum))));
            if (s.dst[g])
                *s.dst[g] = f[0];
            if (s.dst[g + 1])
                *s.dst[g + 1] = f[1];
        }
    }
}
