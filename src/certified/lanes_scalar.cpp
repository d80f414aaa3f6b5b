// lanes_scalar.cpp: the certified kernel's scalar variant, one output after another, and
// the decision every variant makes (docs/certified.md, sections 2 to 6).
#include "certified/certified.h"

namespace {

inline double fabs_(double x) { return __builtin_fabs(x); }
// An input as the estimate takes it: a NaN or an infinity as +0 (the driver writes the
// results of the windows that hold one), so that none enters the arithmetic.
inline double input(const float *in, int64_t i)
{
    return (swma_bits(in[i]) & 0x7F800000u) != 0x7F800000u ? double(in[i]) : 0.0;
}
inline float failed_marker() { return swma_from_bits(SWMA_CERT_FAILED_BITS); }

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

// The largest magnitude among the inputs a state has taken in since its reseed, and where
// it last came in: once that input has left the window, a reseed no longer takes it in.
struct biggest {
    uint32_t bits = 0;
    int64_t at = -1;
    void see(const float *in, int64_t i)
    {
        const uint32_t b = swma_bits(in[i]) & 0x7FFFFFFFu;
        if (b >= bits && b < 0x7F800000u) {
            bits = b;
            at = i;
        }
    }
};

// The state of the window ending at k, from zero (docs: section 4).
inline state reseed(const swma_cert &c, const float *in, int64_t k, biggest &big)
{
    state s = {0.0, 0.0, swma_cert_eta_budget(c)};
    big = biggest{};
    for (int64_t i = k - c.period + 1; i <= k; i++) {
        big.see(in, i);
        step(c, s, input(in, i), 0.0);
    }
    return s;
}

// The decision (docs: section 6): the certified float, or the marker. The tests' weakenings
// (`weak`) are read only where Weak is set: the library's own calls compile them out.
template <bool Weak> inline float decide_(const swma_cert &c, double est, double l, unsigned weak)
{
    weak = Weak ? weak : 0;
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
        lo = lo < SWMA_FLT_BELOW_MAX ? lo : SWMA_FLT_BELOW_MAX;
        lo = lo > -SWMA_FLT_MAX ? lo : -SWMA_FLT_MAX;
        hi = hi < SWMA_FLT_MAX ? hi : SWMA_FLT_MAX;
        hi = hi > -SWMA_FLT_BELOW_MAX ? hi : -SWMA_FLT_BELOW_MAX;
    }
    const float flo = float(lo);
    const float fhi = float(hi);
    const bool same = (weak & SWMA_WEAK_VALUES) ? flo == fhi : swma_bits(flo) == swma_bits(fhi);
    return same ? flo : failed_marker();
}

// The scalar variant, optionally recording est and L (the tests' trace).
template <bool Weak>
int block_scalar(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                 unsigned weak, double *est, double *bound)
{
    const int p = c.period;
    int fails = 0;
    const int64_t end = k0 + n;
    biggest big;
    state s = reseed(c, in, k0, big);
    double fresh = s.l;
    int64_t seeded = k0;
    int fails_since = 0;
    bool early = false; // the one early reseed allowed since the last ordinary one is spent
    for (int64_t k = k0; k < end; k++) {
        if (k > seeded) {
            big.see(in, k);
            step(c, s, input(in, k), input(in, k - p));
        }
        if (est) {
            est[k] = s.ci + 0.0;
            bound[k] = s.l;
        }
        const float f = decide_<Weak>(c, s.ci, s.l, weak);
        if (out)
            out[k] = f;
        if (swma_bits(f) != SWMA_CERT_FAILED_BITS)
            continue;
        fails++;
        // Drift: a bound grown well past a fresh one's, or failures piling up since the last
        // reseed (a huge value has passed and left its residue in the state), is worth a
        // reseed (p steps) once p steps have passed since the last one. Failures piling up
        // once the largest input since then has left the window are worth one sooner: a
        // chained indicator's no-value slots leave residue no later reseed would take in.
        fails_since++;
        if (k + 1 >= end)
            continue;
        const bool spent = k - seeded >= p && (s.l > 4 * fresh || fails_since >= 16);
        const bool left = !early && fails_since >= 16 && big.at < k + 2 - p;
        if (spent || left) {
            early = !spent;
            s = reseed(c, in, k + 1, big);
            fresh = s.l;
            seeded = k + 1;
            fails_since = 0;
        }
    }
    return fails;
}

} // namespace

uint32_t swma_cert_decide(const swma_cert &c, double est, double bound, unsigned weak)
{
    return swma_bits(weak ? decide_<true>(c, est, bound, weak) : decide_<false>(c, est, bound, 0));
}

int swma_cert_block_scalar(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                           unsigned weak, double *est, double *bound)
{
    return weak ? block_scalar<true>(c, in, k0, n, out, weak, est, bound)
                : block_scalar<false>(c, in, k0, n, out, 0, est, bound);
}
