// constants.cpp: the certified kernel's per-call constants, in double-double arithmetic.
// docs/certified.md derives each of them; the names here follow it.
#include "certified/certified.h"
#include "exact_ops.h"

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


// Section 0: v = cos(theta) - i sin(theta) for theta = fl(3.14159 / (p + 1)), the angle of
// the first weight: sin correctly rounded, cos = 1 - 2 sin^2(theta / 2) in double-double,
// then rounded. Closeness is not relied on: the mismatch of every coefficient is measured
// against the stored v (section 1).
void step_factor(double pp1, double &vr, double &vi)
{
    const double theta = 3.14159 / pp1;
    vi = -swma_sin(theta);
    const double s = swma_sin(theta * 0.5);
    double q, e;
    swma_two_prod(s, s, q, e);
    const dd one_minus = dd_add(dd{1.0, 0.0}, dd{-2.0 * q, -2.0 * e});
    vr = one_minus.hi + one_minus.lo;
}

// Section 3: an upper bound of max(1, |v|), by max(1, |v|^2): no square root needed.
double growth_bound(double vr, double vi)
{
    double a, ae, b, be;
    swma_two_prod(vr, vr, a, ae);
    swma_two_prod(vi, vi, b, be);
    const dd n2 = dd_add(dd{a, ae}, dd{b, be});
    const double n2_up = (n2.hi + fabs_(n2.lo) * 2) * (1 + 0x1p-50);
    return n2_up > 1.0 ? n2_up : 1.0;
}

// Section 0: z ~ v^-p, v^p by squaring in double-double, then its inverse, rounded to
// doubles.
void entering_factor(double vr, double vi, int p, double &zr, double &zi)
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

// What the scan of the coefficients finds (sections 1, 3 and 7).
struct mismatch {
    double k;         // K, before its pad
    double delta_out; // the leaving coefficient's mismatch |c_0 - 1|_1
    double cmax;      // >= |c_i|_1 for every i
};

// Section 1: K = max over i of gamma_{m_i} w_i + |w_i - Im c_i| with c_i = z v^(p-i), the
// chain taken downward in double-double; eps bounds the chain's own error. Two chains side
// by side, h = ceil(p / 2) steps each: lane 0 from c_p = z down to c_(p-h+1), lane 1 from
// c_h down to c_1 and one step more, to c_0 = z v^p. Together they take every index (h
// twice for odd p, which only repeats a bound). Each starts from z v^(p - top), with its
// start's error. `weights` holds w_1 .. w_p, or is null and they are evaluated here.
mismatch scan_coefficients(const swma_cert &c, double vabs_up, const double *weights)
{
    const int p = c.period;
    const double pp1 = double(p) + 1.0;
    const double vr = c.vr, vi = c.vi;
    const int64_t h = (int64_t(p) + 1) / 2;
    const int64_t top[2] = {p, h};
    cddt<swma_v2d> ci;
    swma_v2d eps, kmax_l = {}, cmax_l = {};
    for (int l = 0; l < 2; l++) {
        const chain_start st = chain_start_at(vr, vi, c.zr, c.zi, p - top[l]);
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
    mismatch m;
    m.delta_out =
        (fabs_((ci.re.hi[1] - 1.0) + ci.re.lo[1]) + fabs_(ci.im.hi[1] + ci.im.lo[1])) *
            (1 + 0x1p-50) +
        eps[1];
    m.k = kmax_l[0] > kmax_l[1] ? kmax_l[0] : kmax_l[1];
    m.cmax = cmax_l[0] > cmax_l[1] ? cmax_l[0] : cmax_l[1];
    return m;
}

// Sections 2 and 3: the bound's coefficients of one step, from K and delta_out.
void step_coefficients(swma_cert &c, double delta_out)
{
    const double g3 = gamma_up(3.0);
    c.a_c = g3 * (fabs_(c.vr) + fabs_(c.vi)) * kPadUp;
    c.a_in = (g3 * (fabs_(c.zr) + fabs_(c.zi)) * kPadUp + c.k) * kPadUp;
    const double x = g3 * kPadUp + delta_out * kPadUp;
    const double y = x - c.k;
    c.c_out = y >= 0 ? y * kPadUp : y * kPadDown * kPadDown;
}

// Section 8: a chunk's growth omega^32 by five squarings, each rounded up, and the step
// coefficients times it, padded once more for the roundings of the chunk's sums. A
// negative c_out is not grown: it only shrinks, toward zero.
void chunk_coefficients(swma_cert &c)
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

// Section 6: r = fl(1 / S) and g, with m = L g covering the roundings of T/S and of q:
// Phi = 1 + 8u + 8u (1 + K) / K.
void division(swma_cert &c, double sum)
{
    c.sum = sum;
    c.r = 1.0 / sum;
    const double phi = (1 + 0x1p-50) + 0x1p-50 * (1.0 + (1.0 / c.k) * kPadUp) * kPadUp;
    c.g = phi * c.r * kPadUp * kPadUp;
}

// Section 4: R, the outputs between reseeds. The drift term grows with the steps since a
// reseed while a reseed costs p steps: short periods reseed every 32 p outputs (at least
// 2048), long ones every 4 p (at least 4096). Then R = 144 (mod 1024), so that the SIMD
// variants' segments (R + 1 outputs each) start 580 bytes apart modulo 4096: eight
// segments read and write in eight different sets of the first-level cache. Segments a
// multiple of 4096 bytes apart all land in one set and evict each other (measured 25%
// slower).
int reseed_interval(int p)
{
    int64_t r = int64_t(p) * 4 > 4096 ? int64_t(p) * 4 : 4096;
    if (int64_t(p) * 32 < r)
        r = int64_t(p) * 32 > 2048 ? int64_t(p) * 32 : 2048;
    if (r > (int64_t(1) << 24))
        r = int64_t(1) << 24;
    return int((r - 144 + 1023) / 1024 * 1024 + 144);
}

// Section 7: the bits of the largest input magnitude for which no interval end can leave
// the float range: with every input since a reseed at most X, |lo|, |hi| <= F X + tiny.
uint32_t safe_bits(const swma_cert &c, double cmax)
{
    const int p = c.period;
    const double u2 = (1 + 2 * kU) * kPadUp;             // >= (1 + u)^2
    const double n = double(p) + double(c.reseed) + 8.0; // steps after a reseed, at most
    // alpha - 1 and beta of the growth L_{j+1} <= alpha L_j + beta X, rounded up; the
    // 2^-39 and the 1 + 2^-30 cover the SIMD variants' growth a chunk at a time too.
    const double am1 = ((c.omega - 1.0) + 4 * kU * c.omega + 2 * c.a_c + 0x1p-39) * kPadUp;
    const double cout_abs = c.c_out >= 0 ? c.c_out : -c.c_out;
    const double beta =
        ((1.5 * c.a_c * cmax * double(p) + c.a_in + cout_abs) * (1 + 5 * kU) * (1 + 0x1p-30)) *
        kPadUp;
    double x_safe = 0.0;
    if (n * am1 <= 0.5) { // then alpha^n <= e^0.5 < 2
        const double f = u2 *
                         (c.r * cmax * double(p) * kPadUp +
                          (c.r + c.g) * kPadUp * 2.0 * (n * beta * kPadUp)) *
                         kPadUp;
        x_safe = 0x1.fffffep127 * 0.5 / f * kPadDown;
    }
    // The float at most x_safe (a narrowing rounds by less than 2^-24), as magnitude bits.
    const float fs = x_safe < 0x1p126 ? float(x_safe * (1 - 0x1p-20)) : 0x1p126f;
    return swma_bits(fs);
}

} // namespace

void swma_cert_setup(int period, double sum, swma_cert &c, const double *weights)
{
    c.period = period;
    step_factor(double(period) + 1.0, c.vr, c.vi);
    // omega >= max(1, |v|) with room for the roundings of L (section 5).
    const double vabs_up = growth_bound(c.vr, c.vi);
    c.omega = vabs_up * (1 + 0x1p-39);
    entering_factor(c.vr, c.vi, period, c.zr, c.zi);
    const mismatch m = scan_coefficients(c, vabs_up, weights);
    c.k = m.k * kPadUp;
    step_coefficients(c, m.delta_out);
    chunk_coefficients(c);
    c.eta = kEta;
    division(c, sum);
    c.reseed = reseed_interval(period);
    c.safe_bits = safe_bits(c, m.cmax);
}
