// certified.cpp: the certified sliding kernel's constants, its scalar variant and its driver.
// docs/certified.md derives the bound; the names here follow it.
#include "certified.h"
#include "exact_ops.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr double kU = 0x1p-53;       // unit roundoff of double
constexpr double kPadUp = 1 + 0x1p-40;   // pad of every positive coefficient (section 5)
constexpr double kPadDown = 1 - 0x1p-40; // pad toward zero of a negative coefficient
constexpr double kEta = 0x1p-1000;   // per-step absolute term: covers underflow (section 2)
constexpr double kDdStep = 0x1p-99;  // double-double complex product error (section 1)

// |x| by clearing the sign bit (no branch, no x87 select on 32-bit x86).
inline double fabs_(double x) { return __builtin_fabs(x); }

// ---- double-double arithmetic -----------------------------------------------------------
// T is double or a vector of doubles (the mismatch scan's chains side by side), lane by
// lane the same operations.
template <class T> struct ddt {
    T hi, lo;
};
using dd = ddt<double>;

template <class T> inline ddt<T> dd_add(ddt<T> a, ddt<T> b)
{
    T s, e, t, f;
    swma_two_sum(a.hi, b.hi, s, e);
    swma_two_sum(a.lo, b.lo, t, f);
    e = e + t;
    swma_two_sum(s, e, s, e);
    e = e + f;
    swma_two_sum(s, e, s, e);
    return {s, e};
}

template <class T> inline ddt<T> dd_neg(ddt<T> a) { return {-a.hi, -a.lo}; }

template <class T> inline ddt<T> dd_mul_d(ddt<T> a, T b)
{
    T p, e;
    swma_two_prod(a.hi, b, p, e);
    e = e + a.lo * b;
    T s, f;
    swma_two_sum(p, e, s, f);
    return {s, f};
}

inline dd dd_mul(dd a, dd b)
{
    double p, e;
    swma_two_prod(a.hi, b.hi, p, e);
    e = e + (a.hi * b.lo + a.lo * b.hi);
    double s, f;
    swma_two_sum(p, e, s, f);
    return {s, f};
}

template <class T> struct cddt {
    ddt<T> re, im;
};
using cdd = cddt<double>;

// (a.re + i a.im)(b.re + i b.im), an error below 2^-99 |a|_1 |b|_1 (docs: section 1).
inline cdd cmul(cdd a, cdd b)
{
    return {dd_add(dd_mul(a.re, b.re), dd_neg(dd_mul(a.im, b.im))),
            dd_add(dd_mul(a.re, b.im), dd_mul(a.im, b.re))};
}

template <class T> inline cddt<T> cmul_d(cddt<T> a, T br, T bi)
{
    return {dd_add(dd_mul_d(a.re, br), dd_neg(dd_mul_d(a.im, bi))),
            dd_add(dd_mul_d(a.re, bi), dd_mul_d(a.im, br))};
}

inline uint32_t fbits_(float f)
{
    uint32_t b;
    __builtin_memcpy(&b, &f, sizeof b);
    return b;
}

// gamma_n = n u / (1 - n u) <= n u (1 + 2^-20) for n <= 2^31, rounded up.
template <class T> inline T gamma_up(T n) { return n * kU * (1 + 0x1p-20) * kPadUp; }

// The mismatch scan runs two chains side by side, in the lanes of a swma_v2d (four lanes
// measured slower without AVX: two chains already fill the pipes).
inline swma_v2d lane_abs(swma_v2d x) { return (swma_v2d)((swma_v2l)x & INT64_MAX); }

// A start for a chain of the mismatch scan (docs: section 1): c ~ z v^m, with
// |c - z v^m| <= e. v^m by squaring; each product's error is bounded from the sizes of its
// operands as computed, |x|_1 taken over both parts.
struct chain_start {
    cdd c;
    double e;
};

chain_start chain_start_at(double vr, double vi, double zr, double zi, int64_t m)
{
    const auto n1 = [](const cdd &a) {
        return (fabs_(a.re.hi) + fabs_(a.re.lo) + fabs_(a.im.hi) + fabs_(a.im.lo)) *
               (1 + 0x1p-50);
    };
    // x y with |x^ - x| <= ex, |y^ - y| <= ey: |x^ y^ - x y| <= |x^| ey + |y| ex and the
    // product's own rounding.
    const auto mul = [&](const cdd &x, double ex, const cdd &y, double ey, double &ez) {
        const double nx = n1(x), ny = n1(y);
        ez = (nx * ey + (ny + ey) * ex + kDdStep * nx * ny) * kPadUp;
        return cmul(x, y);
    };
    cdd acc = {{1.0, 0.0}, {0.0, 0.0}}, base = {{vr, 0.0}, {vi, 0.0}};
    double eacc = 0.0, ebase = 0.0;
    for (int64_t e = m; e > 0; e >>= 1) {
        if (e & 1)
            acc = mul(acc, eacc, base, ebase, eacc);
        if (e > 1)
            base = mul(base, ebase, base, ebase, ebase);
    }
    const double nz = fabs_(zr) + fabs_(zi);
    return {cmul_d(acc, zr, zi), (nz * eacc + kDdStep * n1(acc) * nz) * kPadUp};
}

} // namespace

void swma_cert_setup(int period, double sum, swma_cert &c, const double *weights)
{
    const int p = period;
    const double pp1 = double(p) + 1.0;
    // theta = fl(3.14159 / (p + 1)), the angle of the first weight.
    const double theta = 3.14159 / pp1;
    // v = cos(theta) - i sin(theta): sin correctly rounded, cos = 1 - 2 sin^2(theta / 2)
    // in double-double, then rounded. Closeness is not relied on: the mismatch of every
    // coefficient is measured below against the stored v.
    const double vi = -swma_sin(theta);
    double vr;
    {
        const double s = swma_sin(theta * 0.5);
        double q, e;
        swma_two_prod(s, s, q, e);
        const dd one_minus = dd_add(dd{1.0, 0.0}, dd{-2.0 * q, -2.0 * e});
        vr = one_minus.hi + one_minus.lo;
    }
    // max(1, |v|) <= vabs_up, and omega >= max(1, |v|) with room for the roundings of L (section 5).
    double vabs_up;
    {
        double a, ae, b, be;
        swma_two_prod(vr, vr, a, ae);
        swma_two_prod(vi, vi, b, be);
        const dd n2 = dd_add(dd{a, ae}, dd{b, be});
        // max(1, |v|) <= max(1, |v|^2): no square root needed.
        const double n2_up = (n2.hi + fabs_(n2.lo) * 2) * (1 + 0x1p-50);
        vabs_up = n2_up > 1.0 ? n2_up : 1.0;
    }
    c.omega = vabs_up * (1 + 0x1p-39);

    // z ~ v^-p: v^p by squaring in double-double, then its inverse, rounded to doubles.
    double zr, zi;
    {
        cdd acc = {{1.0, 0.0}, {0.0, 0.0}};
        cdd base = {{vr, 0.0}, {vi, 0.0}};
        for (int64_t e = p; e > 0; e >>= 1) {
            if (e & 1)
                acc = cmul(acc, base);
            base = cmul(base, base);
        }
        // 1 / P = conj(P) / |P|^2, |P| ~ 1: inverse of the norm by one Newton step.
        const dd n2 = dd_add(dd_mul(acc.re, acc.re), dd_mul(acc.im, acc.im));
        const double inv0 = 1.0 / n2.hi;
        const dd corr = dd_add(dd{2.0, 0.0}, dd_neg(dd_mul_d(n2, inv0)));
        const dd inv = dd_mul_d(corr, inv0);
        zr = dd_mul(acc.re, inv).hi;
        zi = -dd_mul(acc.im, inv).hi;
    }

    // K = max over i of gamma_{m_i} w_i + |w_i - Im c_i| with c_i = z v^(p-i), the chain
    // taken downward in double-double; eps bounds the chain's own error. Two chains side by
    // side, h = ceil(p / 2) steps each: lane 0 from c_p = z down to c_(p-h+1), lane 1 from
    // c_h down to c_1 and one step more, to c_0 = z v^p. Together they take every index (h
    // twice for odd p, which only repeats a bound). Each starts from z v^(p - top), with
    // its start's error.
    const int64_t h = (int64_t(p) + 1) / 2;
    const int64_t top[2] = {p, h};
    cddt<swma_v2d> ci;
    swma_v2d eps, kmax_l = {}, cmax_l = {}; // cmax >= |c_i|_1 for every i (section 7)
    for (int l = 0; l < 2; l++) {
        const chain_start st = chain_start_at(vr, vi, zr, zi, p - top[l]);
        ci.re.hi[l] = st.c.re.hi;
        ci.re.lo[l] = st.c.re.lo;
        ci.im.hi[l] = st.c.im.hi;
        ci.im.lo[l] = st.c.im.lo;
        eps[l] = st.e;
    }
    const swma_v2d vrs = swma_v2d{} + vr, vis = swma_v2d{} + vi;
    constexpr int kRun = 128; // weights evaluated at a time, per lane
    double w[2][kRun];
    for (int64_t s0 = 0; s0 < h; s0 += kRun) {
        const int n = int(h - s0 < kRun ? h - s0 : kRun);
        // Lane l takes the indices top_l - s0 - t, t = 0 .. n - 1: w_i is wl[l][n - 1 - t].
        const double *wl[2];
        for (int l = 0; l < 2; l++) {
            const int64_t first = top[l] - s0 - n + 1;
            if (weights) {
                wl[l] = weights + (first - 1);
            } else {
                swma_weights(first, n, pp1, w[l]);
                wl[l] = w[l];
            }
        }
        for (int t = 0; t < n; t++) {
            swma_v2d wi, mi;
            for (int l = 0; l < 2; l++) {
                const int64_t i = top[l] - s0 - t;
                wi[l] = wl[l][n - 1 - t];
                mi[l] = i == 1 ? double(p) : double(int(p - i + 2));
            }
            const swma_v2d diff = lane_abs((wi - ci.im.hi) - ci.im.lo);
            const swma_v2d kappa = gamma_up(mi) * wi + diff * (1 + 0x1p-50) + eps;
            kmax_l = swma_pick_lanes(kappa > kmax_l, kappa, kmax_l);
            // step down: c_{i-1} = c_i v; error bound grows by |v| and the new rounding
            const swma_v2d cabs1 = lane_abs(ci.re.hi) + lane_abs(ci.im.hi) + 0x1p-60;
            const swma_v2d cbound = (cabs1 * (1 + 0x1p-50) + eps) * kPadUp;
            cmax_l = swma_pick_lanes(cbound > cmax_l, cbound, cmax_l);
            eps = (eps * vabs_up + kDdStep * cabs1 * (fabs_(vr) + fabs_(vi))) * kPadUp;
            ci = cmul_d(ci, vrs, vis);
        }
    }
    // Lane 1 now holds c_0 = z v^p: the leaving coefficient is 1, its mismatch delta_out.
    const double delta_out =
        (fabs_((ci.re.hi[1] - 1.0) + ci.re.lo[1]) + fabs_(ci.im.hi[1] + ci.im.lo[1])) *
            (1 + 0x1p-50) +
        eps[1];
    const double kmax = kmax_l[0] > kmax_l[1] ? kmax_l[0] : kmax_l[1];
    const double cmax = cmax_l[0] > cmax_l[1] ? cmax_l[0] : cmax_l[1];
    const double K = kmax * kPadUp;
    const double g3 = gamma_up(3.0);

    c.vr = vr;
    c.vi = vi;
    c.zr = zr;
    c.zi = zi;
    c.k = K;
    c.a_c = g3 * (fabs_(vr) + fabs_(vi)) * kPadUp;
    c.a_in = (g3 * (fabs_(zr) + fabs_(zi)) * kPadUp + K) * kPadUp;
    {
        const double x = g3 * kPadUp + delta_out * kPadUp;
        const double y = x - K;
        c.c_out = y >= 0 ? y * kPadUp : y * kPadDown * kPadDown;
    }
    // A chunk's growth omega^32 by five squarings, each rounded up, and the step
    // coefficients times it, padded once more for the roundings of the chunk's sums
    // (section 8). A negative c_out is not grown: it only shrinks, toward zero.
    {
        double grow = c.omega;
        for (int q = 0; q < 5; q++)
            grow = grow * grow * kPadUp;
        static_assert(SWMA_CERT_CHUNK == 32, "the squarings give omega^32");
        c.ch_omega = grow;
        c.ch_a_c = c.a_c * grow * kPadUp;
        c.ch_a_in = c.a_in * grow * kPadUp;
        c.ch_c_out = c.c_out >= 0 ? c.c_out * grow * kPadUp : c.c_out * kPadDown;
    }
    c.eta = kEta;
    c.sum = sum;
    c.r = 1.0 / sum;
    // Phi = 1 + 8u + 8u (1 + K) / K covers the roundings of T/S and of q (section 6).
    const double phi = (1 + 0x1p-50) + 0x1p-50 * (1.0 + (1.0 / K) * kPadUp) * kPadUp;
    c.g = phi * c.r * kPadUp * kPadUp;
    c.period = p;
    // R: the drift term grows with the steps since a reseed while a reseed costs p steps:
    // short periods reseed every 32 p outputs (at least 2048), long ones every 4 p (at least
    // 4096).
    int64_t r = int64_t(p) * 4 > 4096 ? int64_t(p) * 4 : 4096;
    if (int64_t(p) * 32 < r)
        r = int64_t(p) * 32 > 2048 ? int64_t(p) * 32 : 2048;
    if (r > (int64_t(1) << 24))
        r = int64_t(1) << 24;
    // Then R = 144 (mod 1024), so that the SIMD variants' segments (R + 1 outputs each) start
    // 580 bytes apart modulo 4096: eight segments read and write in eight different sets of
    // the first-level cache. Segments a multiple of 4096 bytes apart all land in one set and
    // evict each other (measured 25% slower).
    c.reseed = int((r - 144 + 1023) / 1024 * 1024 + 144);

    // The largest input magnitude for which no interval end can leave the float range
    // (section 7): with every input since a reseed at most X, |lo|, |hi| <= F X + tiny.
    {
        const double u2 = (1 + 2 * kU) * kPadUp;           // >= (1 + u)^2
        const double n = double(p) + double(c.reseed) + 8.0; // steps after a reseed, at most
        // alpha - 1 and beta of the growth L_{j+1} <= alpha L_j + beta X, rounded up; the
        // 2^-39 and the 1 + 2^-30 cover the SIMD variants' growth a chunk at a time too.
        const double am1 =
            ((c.omega - 1.0) + 4 * kU * c.omega + 2 * c.a_c + 0x1p-39) * kPadUp;
        const double cout_abs = c.c_out >= 0 ? c.c_out : -c.c_out;
        const double beta = ((1.5 * c.a_c * cmax * double(p) + c.a_in + cout_abs) *
                             (1 + 5 * kU) * (1 + 0x1p-30)) *
                            kPadUp;
        double x_safe = 0.0;
        if (n * am1 <= 0.5) { // then alpha^n <= e^0.5 < 2
            const double f = u2 * (c.r * cmax * double(p) * kPadUp +
                                   (c.r + c.g) * kPadUp * 2.0 * (n * beta * kPadUp)) *
                             kPadUp;
            x_safe = 0x1.fffffep127 * 0.5 / f * kPadDown;
        }
        // The float at most x_safe (a narrowing rounds by less than 2^-24), as magnitude bits.
        const float fs = x_safe < 0x1p126 ? float(x_safe * (1 - 0x1p-20)) : 0x1p126f;
        c.safe_bits = fbits_(fs);
    }
}

namespace {

inline uint32_t fbits(float f)
{
    uint32_t b;
    __builtin_memcpy(&b, &f, sizeof b);
    return b;
}

// Finiteness by the exponent field: no arithmetic on an infinity (x - x raises invalid).
inline bool finite_(double x)
{
    uint64_t b;
    __builtin_memcpy(&b, &x, sizeof b);
    return (b & 0x7FF0000000000000ull) != 0x7FF0000000000000ull;
}

inline bool finite_f(float x) { return (fbits(x) & 0x7F800000u) != 0x7F800000u; }

inline float failed_marker()
{
    const uint32_t b = SWMA_CERT_FAILED_BITS;
    float f;
    __builtin_memcpy(&f, &b, sizeof f);
    return f;
}

struct state {
    double cr, ci, l;
};

// One step of the recurrence and of the bound (docs: sections 2 and 5).
inline void step(const swma_cert &c, state &s, double xin, double xout)
{
    const double sc = fabs_(s.cr) + fabs_(s.ci);
    const double nr = (c.vr * s.cr - c.vi * s.ci) + (c.zr * xin - xout);
    const double ni = (c.vr * s.ci + c.vi * s.cr) + c.zi * xin;
    const double t = c.a_c * sc + (c.a_in * fabs_(xin) + c.c_out * fabs_(xout));
    s.l = s.l * c.omega + t;
    s.cr = nr;
    s.ci = ni;
}

// The state of the window ending at k, from zero (docs: section 4).
inline state reseed(const swma_cert &c, const float *in, int64_t k)
{
    state s = {0.0, 0.0, swma_cert_eta_budget(c)};
    for (int64_t i = k - c.period + 1; i <= k; i++)
        step(c, s, double(in[i]), 0.0);
    return s;
}

constexpr double kFltMax = 3.4028234663852886e38;  // largest float
constexpr double kFltMaxP = 3.4028232635611926e38; // the float below it

// The decision (docs: section 6): the certified float, or the marker.
inline float decide_(const swma_cert &c, double est, double l, unsigned weak)
{
    est = est + 0.0;
    if (weak & SWMA_WEAK_SMALL_BOUND)
        l = l * 0.125;
    const double q = est * c.r;
    const double m = (weak & SWMA_WEAK_NO_DIVISION_PAD) ? l * c.r : l * c.g;
    double lo = q - m;
    double hi = q + m;
    if (!(weak & SWMA_WEAK_NONFINITE)) {
        // Clamps that keep the narrowing from overflowing and turn NaN ends into unequal
        // finite ones; only a result within one float of the largest is lost.
        lo = lo < kFltMaxP ? lo : kFltMaxP;
        lo = lo > -kFltMax ? lo : -kFltMax;
        hi = hi < kFltMax ? hi : kFltMax;
        hi = hi > -kFltMaxP ? hi : -kFltMaxP;
    }
    const float flo = float(lo);
    const float fhi = float(hi);
    const bool same = (weak & SWMA_WEAK_VALUES) ? flo == fhi : fbits(flo) == fbits(fhi);
    return same ? flo : failed_marker();
}

// The scalar variant, optionally recording est and L (the tests' trace).
// A NaN or infinity never enters the recurrence or the bound (an infinity there gives
// inf - inf, which raises invalid): every output whose window holds one is marked for the
// exact kernel, and the state is reseeded behind the value once it has left the window.
// So the state's window never holds one, and the leaving value needs no test.
int block_scalar(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                 unsigned weak, double *est, double *bound)
{
    const int p = c.period;
    const float marker = failed_marker();
    int fails = 0;
    const int64_t end = k0 + n;
    // From output k on: marks every output whose window holds a non-finite value and
    // returns the first one (or end) whose window holds none.
    auto skip = [&](int64_t k) {
        for (;;) {
            int64_t j = k;
            while (j > k - p && finite_f(in[j]))
                j--;
            if (j == k - p)
                return k;
            const int64_t resume = j + p; // the first window without in[j]
            for (int64_t q = k; q < resume && q < end; q++) {
                if (out)
                    out[q] = marker;
                if (est)
                    est[q] = bound[q] = __builtin_nan("");
            }
            fails += int((resume < end ? resume : end) - k);
            if (resume >= end)
                return end;
            k = resume;
        }
    };
    int64_t k = skip(k0);
    if (k >= end)
        return fails;
    state s = reseed(c, in, k);
    double fresh = s.l;
    int64_t seeded = k;
    int fails_since = 0;
    for (; k < end; k++) {
        if (k > seeded) {
            if (!finite_f(in[k])) {
                k = skip(k);
                if (k >= end)
                    break;
                s = reseed(c, in, k);
                fresh = s.l;
                seeded = k;
                fails_since = 0;
            } else {
                step(c, s, double(in[k]), double(in[k - p]));
            }
        }
        if (est) {
            est[k] = s.ci + 0.0;
            bound[k] = s.l;
        }
        const float f = decide_(c, s.ci, s.l, weak);
        if (out)
            out[k] = f;
        // An accepted result is finite, so any NaN is the marker; the weakened decision that
        // lets a NaN end through must be told apart by the marker's bits instead.
        if ((weak & SWMA_WEAK_NONFINITE) ? fbits(f) != SWMA_CERT_FAILED_BITS : f == f)
            continue;
        fails++;
        // Drift: a bound grown well past a fresh one's, or failures piling up since the last
        // reseed (a huge value has passed and left its residue in the state), is worth a
        // reseed (p steps).
        fails_since++;
        if (k - seeded >= p && (s.l > 4 * fresh || fails_since >= 16) && k + 1 < end) {
            s = reseed(c, in, k + 1);
            fresh = s.l;
            seeded = k + 1;
            fails_since = 0;
        }
    }
    return fails;
}

using accumulate_fn = void (*)(const swma_pass &);

// Exact outputs for a set of ranges [start, start + len), by passes of the exact kernel
// (the same passes swma_compute makes, so the same bits). `w` holds all the weights when
// the period fits SWMA_WEIGHT_CHUNK; otherwise chunks are evaluated into it here. Where
// `scattered` is set, ranges of at most kScatterLen outputs go through it eight outputs a
// pass instead of a pass of sixteen each.
struct exact_ctx {
    const float *in;
    float *out;
    int period;
    double sum;
    double *w;   // weights, or room for a chunk of them
    double *acc; // room for SWMA_LONG_SPAN running sums
    accumulate_fn accumulate;
    void (*scattered)(const swma_scatter &);
};

constexpr int kMaxRanges = 256;
constexpr int kScatterLen = 4;

// Collects outputs for the scattered kernel, eight to a pass.
struct scatter_batch {
    swma_scatter s;
    void (*run)(const swma_scatter &);
    int lanes = 0;
    double pad[8];

    void add(const float *src, double *acc, float *dst)
    {
        s.src[lanes] = src;
        s.acc[lanes] = acc;
        s.dst[lanes] = dst;
        if (++lanes == 8)
            flush();
    }
    // Empty lanes repeat lane 0 with copies of its sum, so they compute its values (and
    // raise no flag it does not) without writing anything.
    void flush()
    {
        if (!lanes)
            return;
        for (int l = lanes; l < 8; l++) {
            pad[l] = s.first ? 0.0 : *s.acc[0];
            s.src[l] = s.src[0];
            s.acc[l] = pad + l;
            s.dst[l] = nullptr;
        }
        run(s);
        lanes = 0;
    }
};

void exact_ranges(const exact_ctx &x, const int *start, const uint16_t *len, int nr)
{
    const int p = x.period;
    const bool chunked = p > SWMA_WEIGHT_CHUNK;
    const double pp1 = double(p) + 1.0;
    double sums[8]; // the scattered outputs' sums when all weights are at hand
    // One pass over all the weights, or (long periods) ranges in one batch share each
    // chunk's evaluation, their running sums side by side in acc (the caller keeps a batch
    // within SWMA_LONG_SPAN outputs).
    for (int64_t i0 = 1; i0 <= p; i0 += SWMA_LONG_WEIGHT_CHUNK) {
        int nw = p;
        if (chunked) {
            nw = int(p - i0 + 1 < SWMA_LONG_WEIGHT_CHUNK ? p - i0 + 1 : SWMA_LONG_WEIGHT_CHUNK);
            swma_weights(i0, nw, pp1, x.w);
        }
        const bool last = i0 + nw > p;
        scatter_batch sb;
        sb.s.w = x.w;
        sb.s.nw = nw;
        sb.s.first = i0 == 1;
        sb.s.last = last;
        sb.s.sum = x.sum;
        sb.run = x.scattered;
        int off = 0;
        for (int r = 0; r < nr; r++) {
            if (x.scattered && len[r] <= kScatterLen) {
                for (int q = 0; q < len[r]; q++) {
                    const int64_t k = int64_t(start[r]) + q;
                    double *acc = chunked ? x.acc + off + q : sums + sb.lanes;
                    sb.add(x.in + (k - p + i0), acc, last ? x.out + k : nullptr);
                }
                off += len[r];
                continue;
            }
            for (int j0 = 0; j0 < len[r]; j0 += SWMA_OUTPUT_BLOCK) {
                const int nb = len[r] - j0 < SWMA_OUTPUT_BLOCK ? len[r] - j0 : SWMA_OUTPUT_BLOCK;
                const int64_t k = int64_t(start[r]) + j0;
                x.accumulate({x.w, nw, x.in + (k - p + i0), nb, chunked ? x.acc + off : x.acc,
                              i0 == 1, last ? x.out + k : nullptr, x.sum});
                if (chunked)
                    off += (nb + 15) / 16 * 16; // a variant's sums fill whole groups of 16
            }
        }
        sb.flush();
        if (!chunked)
            break;
    }
}

// All outputs [k0, k0 + n) exactly.
void exact_block(const exact_ctx &x, int64_t k0, int n)
{
    const int cap = x.period <= SWMA_WEIGHT_CHUNK ? SWMA_OUTPUT_BLOCK : SWMA_LONG_SPAN;
    for (int j = 0; j < n; j += cap) {
        const int s = int(k0 + j);
        const uint16_t l = uint16_t(n - j < cap ? n - j : cap);
        exact_ranges(x, &s, &l, 1);
    }
}

// Ranges waiting for the exact kernel: a long period's batch shares one evaluation of its
// weights, so failures are kept across blocks until the batch is full.
struct pending {
    int start[kMaxRanges];
    uint16_t len[kMaxRanges]; // at most SWMA_LONG_SPAN
    int nr = 0, total = 0;

    void flush(const exact_ctx &x)
    {
        if (nr)
            exact_ranges(x, start, len, nr);
        nr = 0;
        total = 0;
    }
    // A range that takes `room` of the batch's running sums (at most `cap` in all).
    void add(const exact_ctx &x, int s, int l, int room, int cap)
    {
        if (nr == kMaxRanges || total + room > cap)
            flush(x);
        start[nr] = s;
        len[nr] = uint16_t(l);
        nr++;
        total += room;
    }
};

// The marked outputs of [k0, k0 + n), exactly: runs of marks a few slots apart merge into
// one range (recomputing a certified slot gives the same bits), or, when a run's marks are
// sparse, each mark goes alone to the scattered kernel; batches of ranges share the
// weights' evaluation.
// The marked slots of out[0 .. n), found 64 at a time: a mark is a NaN (or, when `by_bits`,
// exactly the scalar and AVX2 variants' marker).
class mark_scan {
public:
    mark_scan(const float *out, int n, bool by_bits) : out_(out), n_(n), by_bits_(by_bits) {}

    // The first marked slot at or after `from`, or n.
    int next(int from)
    {
        while (from < n_) {
            const int b = from & ~63;
            if (b != base_) {
                base_ = b;
                word_ = load(b);
            }
            if (const uint64_t w = word_ >> (from - b))
                return from + __builtin_ctzll(w);
            from = b + 64;
        }
        return n_;
    }

private:
    // Bit q for slot b + q, q < 64.
    uint64_t load(int b) const
    {
        const float *f = out_ + b;
        const int m = n_ - b < 64 ? n_ - b : 64;
        uint64_t bits = 0;
        int q = 0;
#if defined(__SSE2__)
        if (!by_bits_)
            for (; q + 4 <= m; q += 4) {
                const __m128 v = _mm_loadu_ps(f + q); // quiet compare: raises nothing
                bits |= uint64_t(_mm_movemask_ps(_mm_cmpunord_ps(v, v))) << q;
            }
#endif
        for (; q < m; q++)
            bits |= uint64_t(by_bits_ ? fbits(f[q]) == SWMA_CERT_FAILED_BITS : f[q] != f[q]) << q;
        return bits;
    }

    const float *out_;
    int n_;
    bool by_bits_;
    int base_ = -64;
    uint64_t word_ = 0;
};

int add_failures(const exact_ctx &x, int64_t k0, int n, unsigned weak, pending &pd, int &fails,
                 int &covered, int &scattered)
{
    int ranges = 0;
    fails = 0;
    covered = 0;
    scattered = 0;
    mark_scan marks(x.out + k0, n, weak & SWMA_WEAK_NONFINITE);
    const int cap = x.period <= SWMA_WEIGHT_CHUNK ? SWMA_OUTPUT_BLOCK : SWMA_LONG_SPAN;
    constexpr int kGap = 8;
    for (int j = marks.next(0); j < n;) {
        // A run: extend while another mark lies within kGap slots of its end.
        int e = j + 1;
        for (int m = marks.next(e); m < n && m < e + kGap; m = marks.next(e))
            e = m + 1;
        const int l = e - j < SWMA_OUTPUT_BLOCK ? e - j : SWMA_OUTPUT_BLOCK;
        int f = 0;
        for (int q = marks.next(j); q < j + l; q = marks.next(q + 1))
            f++;
        fails += f;
        // A pass of the exact kernel computes sixteen outputs for the price of about four
        // scattered ones: a sparse run goes mark by mark to the scattered kernel.
        if (x.scattered && f <= kScatterLen * ((l + 15) / 16)) {
            scattered += f;
            for (int q = marks.next(j); q < j + l; q = marks.next(q + 1))
                pd.add(x, int(k0 + q), 1, 1, cap);
        } else {
            covered += l;
            ranges++;
            pd.add(x, int(k0 + j), l, (l + 15) / 16 * 16, cap);
        }
        j = marks.next(j + l);
    }
    return ranges;
}

// A segment [kl, kl + ns) whose bound ended at l_end, redone from where it went wrong (see
// swma_cert_finish). Whether it was.
bool recover_lane(const swma_cert &c, const float *in, int64_t kl, int ns, float *out,
                  double l_end)
{
    const int p = c.period;
    const int64_t end = kl + ns;
    if (!finite_(l_end)) {
        // Behind the last NaN or infinity in the segment's windows.
        int64_t j = end - 1;
        while (j > kl - p && finite_f(in[j]))
            j--;
        const int64_t from = j + p;
        if (j > kl - p && from < end) {
            block_scalar(c, in, from, int(end - from), out, 0, nullptr, nullptr);
            return true;
        }
        return false;
    }
    // A lane still failing at its end: redo its final run of failures on the scalar variant,
    // which reseeds once failures pile up.
    constexpr int kStuck = 64;
    if (ns < 2 * kStuck)
        return false;
    int64_t f = end;
    while (f > kl && out[f - 1] != out[f - 1])
        f--;
    if (end - f < kStuck)
        return false;
    block_scalar(c, in, f, int(end - f), out, 0, nullptr, nullptr);
    return true;
}

} // namespace

int swma_cert_finish(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                     const int64_t *kl, int lanes, int ns, const double *l_end,
                     swma_cert_spans &spans)
{
    const bool failed = spans.any;
    if (failed) {
        for (int l = 0; l < lanes; l++)
            if (recover_lane(c, in, kl[l], ns, out, l_end[l]))
                spans.whole = true;
    }
    const int64_t done = int64_t(lanes) * ns;
    const int tail = done < n ? block_scalar(c, in, k0 + done, int(n - done), out, 0, nullptr,
                                             nullptr)
                              : 0;
    if (!failed)
        return tail;
    if (tail)
        spans.add(k0 + done, int(n - done));
    return -1;
}

uint32_t swma_cert_decide(const swma_cert &c, double est, double bound, unsigned weak)
{
    return fbits(decide_(c, est, bound, weak));
}

int swma_cert_block_scalar(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                           unsigned weak)
{
    return block_scalar(c, in, k0, n, out, weak, nullptr, nullptr);
}

namespace {

// The constants of a call of this period, for the tests' traces: the weight sum as the
// exact kernel forms it (ascending), then the setup.
swma_cert trace_setup(int period)
{
    double sum = 0.0;
    double w[256];
    const double pp1 = double(period) + 1.0;
    for (int64_t i0 = 1; i0 <= period; i0 += 256) {
        const int nw = int(period - i0 + 1 < 256 ? period - i0 + 1 : 256);
        swma_weights(i0, nw, pp1, w);
        for (int m = 0; m < nw; m++)
            sum = sum + w[m];
    }
    swma_cert c;
    swma_cert_setup(period, sum, c);
    return c;
}

} // namespace

void swma_cert_trace(const float *input, int period, int count, double *est, double *bound)
{
    if (period < 1 || count < period)
        return;
    const swma_cert c = trace_setup(period);
    for (int64_t k0 = period - 1; k0 < count; k0 += c.reseed) {
        const int n = int(count - k0 < c.reseed ? count - k0 : c.reseed);
        block_scalar(c, input, k0, n, nullptr, 0, est, bound);
    }
}

#if defined(__i386__) || defined(__x86_64__)
void swma_cert_trace_lanes(swma_isa isa, const float *input, int period, int count,
                           float *out, double *est, double *bound)
{
    for (int64_t k = 0; k < count; k++)
        est[k] = bound[k] = __builtin_nan("");
    if (period < 1 || count < period)
        return;
    const swma_cert c = trace_setup(period);
    const bool avx2 = isa == SWMA_ISA_AVX2;
    const int64_t blk = int64_t(c.reseed / 4 * 4 + 1) * (avx2 ? 8 : 4);
    for (int64_t k0 = period - 1; k0 < count; k0 += blk) {
        const int n = int(count - k0 < blk ? count - k0 : blk);
        swma_cert_spans spans;
        spans.trace_est = est;
        spans.trace_bound = bound;
        if (avx2)
            swma_cert_block_avx2(c, input, k0, n, out, spans);
        else
            swma_cert_block_sse2(c, input, k0, n, out, spans);
    }
}
#endif

namespace {

using block_fn = int (*)(const swma_cert &, const float *, int64_t, int, float *,
                         swma_cert_spans &);

int block_scalar_plain(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                       swma_cert_spans &spans)
{
    spans.whole = true; // counted, so never scanned
    return block_scalar(c, in, k0, n, out, 0, nullptr, nullptr);
}

// What a path costs, in nanoseconds measured on the benchmarks' machine (x86-64, AVX2, no
// FMA): an exact output costs exact0 + exact1 p, an estimate `estimate`, a range of failed
// outputs handed to the exact kernel range0 + range1 p, plus exact1 p per output in it, and
// an isolated failure (computed eight to a pass) scatter1 p. Only the driver's choice
// depends on them, never a result.
struct costs {
    double exact0, exact1, estimate, range0, range1;
    int lanes; // segments per block
    double scatter1;
};

costs path_costs(swma_isa isa)
{
    switch (isa) {
    case SWMA_ISA_AVX2:
#if defined(__i386__)
        return {0.6, 0.047, 1.7, 150, 1.25, 8, 0.2}; // eight ymm registers
#else
        return {0.6, 0.047, 1.2, 150, 1.25, 8, 0.17};
#endif
    case SWMA_ISA_SSE2:
#if defined(__i386__)
        return {0.9, 0.17, 3.2, 150, 2.0, 4, 0.4}; // eight xmm registers
#else
        return {0.7, 0.155, 2.2, 150, 2.0, 4, 0.35};
#endif
    default:
        return {0.5, 0.7, 8.5, 100, 1.5, 1, 0.0}; // no scattered kernel
    }
}

} // namespace

void swma_certified(const float *input, int period, int count, float *output, double sum,
                    double *store, swma_isa isa, bool choose, unsigned weak,
                    swma_cert_stats *stats, const swma_cert &c)
{
    const int p = period;

    exact_ctx x;
    x.scattered = nullptr;
    x.in = input;
    x.out = output;
    x.period = p;
    x.sum = sum;
    x.w = store;
    x.acc = store + (p <= SWMA_WEIGHT_CHUNK ? SWMA_WEIGHT_CHUNK : SWMA_LONG_WEIGHT_CHUNK);
    block_fn block = block_scalar_plain;
    switch (weak ? SWMA_ISA_SCALAR : isa) {
#if defined(__i386__) || defined(__x86_64__)
    case SWMA_ISA_AVX2:
        x.accumulate = swma_accumulate_avx2;
        x.scattered = swma_cert_scattered_avx2;
        block = swma_cert_block_avx2;
        break;
    case SWMA_ISA_SSE2:
        x.accumulate = swma_accumulate_sse2;
        x.scattered = swma_cert_scattered_sse2;
        block = swma_cert_block_sse2;
        break;
#endif
    default:
        x.accumulate = swma_accumulate_scalar;
        break;
    }
    const costs cost = path_costs(isa);

    int64_t n_cert = 0, n_fail = 0, n_exact = 0;
    // Blocks of `lanes` segments of R outputs. After a block whose failures cost more than
    // the exact kernel would have, the next blocks go to the exact kernel, 1, 2, 4 ... 64 of
    // them; then a probe (R outputs on the scalar variant, cheap next to an exact block of a
    // long period) tells whether the estimate pays again.
    // Segments of 4m + 1 outputs fill a block exactly (see the variants).
    const int64_t blk = cost.lanes > 1 ? int64_t(c.reseed / 4 * 4 + 1) * cost.lanes : c.reseed;
    int exact_left = 0, backoff = 1;
    bool probe = false;
    // A scalar probe only where its estimate costs less than an exact output.
    const bool cheap_probe =
        path_costs(SWMA_ISA_SCALAR).estimate * 1.5 < cost.exact0 + cost.exact1 * p;
    pending pd;
    for (int64_t k0 = p - 1; k0 < count;) {
        // The call's first block is short (segments of 2193 outputs at most): if its
        // failures pile up, the exact kernel takes over before a long block is spent.
        const int64_t first_blk = cost.lanes * (c.reseed < 2192 ? int64_t(c.reseed + 1) : 2193);
        const int64_t want = probe ? c.reseed : k0 == period - 1 ? first_blk : blk;
        int n = int(count - k0 < want ? count - k0 : want);
        // A short last block keeps segments 145 (mod 1024) outputs long where it can, so its
        // lanes stay in different cache sets too (see swma_cert_setup); the rest follows as
        // one more, shorter block.
        if (n < want && cost.lanes > 1 && n / cost.lanes > 1024 + 145)
            n = cost.lanes * ((n / cost.lanes - 145) / 1024 * 1024 + 145);
        if (exact_left > 0) {
            exact_left--;
            probe = exact_left == 0 && cheap_probe;
            exact_block(x, k0, n);
            n_exact += n;
            k0 += n;
            continue;
        }
        int fails, ranges = 0, covered = 0, scattered = 0;
        swma_cert_spans spans;
        if (weak || probe)
            fails = swma_cert_block_scalar(c, input, k0, n, output, weak);
        else
            fails = block(c, input, k0, n, output, spans);
        if (fails < 0 && !spans.whole) {
            // Only the chunks the variant found failures in, consecutive ones of a segment
            // as one run, and the outputs past the segments.
            fails = 0;
            const auto run = [&](int64_t s, int l) {
                int f = 0, cov = 0, sc = 0;
                ranges += add_failures(x, s, l, weak, pd, f, cov, sc);
                fails += f;
                covered += cov;
                scattered += sc;
            };
            const int row = spans.row, cells = spans.lanes * row;
            // The first cell at or after q whose bit is `bit`, or cells.
            const auto find = [&](int q, bool bit) {
                while (q < cells) {
                    const uint64_t w = (bit ? spans.cell[q / 64] : ~spans.cell[q / 64]) >> (q % 64);
                    if (w)
                        return q + __builtin_ctzll(w) < cells ? q + __builtin_ctzll(w) : cells;
                    q = (q / 64 + 1) * 64;
                }
                return cells;
            };
            for (int q = find(0, true); q < cells; q = find(q, true)) {
                const int lane = q / row, end = (lane + 1) * row;
                const int f = find(q + 1, false);
                const int e = f < end ? f : end;
                const int from = spans.first(q - lane * row);
                const int to = e == end ? spans.ns : spans.first(e - lane * row);
                run(spans.k0 + int64_t(lane) * spans.ns + from, to - from);
                q = e;
            }
            if (spans.tail_len)
                run(spans.tail, spans.tail_len);
        } else if (fails) {
            ranges = add_failures(x, k0, n, weak, pd, fails, covered, scattered);
        }
        n_cert += n - fails;
        n_fail += fails;
        if (choose) {
            const double exact_one = cost.exact0 + cost.exact1 * p;
            const double reseeds = probe ? 0.0 : double(cost.lanes) * p * cost.estimate / 4;
            const double est_cost = n * cost.estimate + reseeds +
                                    ranges * (cost.range0 + cost.range1 * p) + covered * exact_one +
                                    scattered * cost.scatter1 * p;
            const double exact_cost = double(n) * exact_one;
            if (est_cost > exact_cost) {
                exact_left = backoff;
                backoff = backoff < 64 ? backoff * 2 : 64;
            } else if (!probe) {
                backoff = 1; // a probe's success alone does not forget the losses
            }
        }
        probe = false;
        k0 += n;
    }
    pd.flush(x);
    if (stats) {
        stats->certified += n_cert;
        stats->failed += n_fail;
        stats->exact += n_exact;
    }
}

bool swma_cert_pays(int period, int64_t results, swma_isa isa, bool constants_known)
{
    const costs cost = path_costs(isa);
    const double p = period;
    // Per output the exact kernel costs exact0 + exact1 p, the estimate a fixed amount and
    // some failures. The call pays the constants (per weight a sine for the sum, one for the
    // mismatch and a double-double step, two chains side by side: about 36 ns, 52 on 32-bit
    // x86) and a reseed per segment of each block.
#if defined(__i386__)
    constexpr double kSetup = 52.0;
#else
    constexpr double kSetup = 36.0;
#endif
    const double gain = cost.exact0 + cost.exact1 * p - cost.estimate * 1.15;
    if (gain <= 0)
        return false;
    const double setup = (constants_known ? 0.0 : kSetup * p) + double(cost.lanes) * p * cost.estimate;
    return double(int(results)) * gain > 2.0 * setup; // results <= INT_MAX
}
