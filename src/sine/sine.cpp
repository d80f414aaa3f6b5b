// sine.cpp: a correctly rounded sine for 0 <= x <= 3.1415926, in plain double arithmetic.
//
// Why our own: a platform's sin is faithful, not correctly rounded (glibc's differs from the
// nearest double for about 0.14% of the angles this library forms), and x87 code follows the
// calling thread's precision control. This one returns the double nearest to the true sine,
// so the weights are the same bits everywhere. It uses no libm, no x87 and no writable data.
//
// Quick path (nearly always): reduce to y in [0, pi/2], split y = k/256 + t, and evaluate
// sin(k/256 + t) = sin(a) cos(t) + cos(a) sin(t) from a double-double table, to within
// 5.6 * 2^-70 relative as hi + lo (proven in docs/sine-error.md). If hi is then provably the
// nearest double, return it.
// Slow path (rare): Taylor series in 256-bit fixed point.
#include "sinewma_internal.h"
#include "exact_ops.h"
#include "sine/sine_table.h"

#include <stdint.h>

namespace {

// The quick path's relative error, proven term by term in docs/sine-error.md, and the error
// up to which its rounding test, rh == rh + rl (1 + kRoundingTestFactor), can only pass when
// rh is the nearest double (the same note, last section).
constexpr double kQuickPathError = 5.6 * 0x1p-70;
constexpr double kRoundingTestFactor = 0x1p-12;
constexpr double kRoundingTestTolerance = 0x1p-54 * kRoundingTestFactor * (1.0 - 0x1p-10);

// ---- slow path: 256-bit fixed point ----------------------------------------------------
// A number is 9 limbs of 32 bits, most significant first: limb 0 is the integer part and
// limbs 1..8 the fraction, so the unit in the last place is 2^-256.
constexpr int kLimbs = 9;
struct Fixed {
    uint32_t w[kLimbs];
};

Fixed fixed_from_double(double x) // 2^-26 <= x < 4: every bit lands inside the fraction
{
    Fixed f = {};
    uint64_t u = swma_bits(x);
    int e = int((u >> 52) & 0x7FF) - 1075; // x = m * 2^e
    uint64_t m = (u & ((uint64_t(1) << 52) - 1)) | (uint64_t(1) << 52);
    int pos = 256 + e; // bit index of m's lowest bit, counting from 2^-256 upwards
    for (int b = 0; b < 53; b++) {
        if ((m >> b) & 1) {
            int p = pos + b;
            f.w[kLimbs - 1 - p / 32] |= uint32_t(1) << (p % 32);
        }
    }
    return f;
}

void fixed_add(Fixed &a, const Fixed &b)
{
    uint64_t carry = 0;
    for (int i = kLimbs - 1; i >= 0; i--) {
        uint64_t s = uint64_t(a.w[i]) + b.w[i] + carry;
        a.w[i] = uint32_t(s);
        carry = s >> 32;
    }
}

void fixed_sub(Fixed &a, const Fixed &b) // a >= b
{
    uint64_t borrow = 0;
    for (int i = kLimbs - 1; i >= 0; i--) {
        uint64_t d = uint64_t(a.w[i]) - b.w[i] - borrow;
        a.w[i] = uint32_t(d);
        borrow = (d >> 32) & 1;
    }
}

// a * b truncated to 2^-256 (the error is below 2^-251). Both operands are below 4.
Fixed fixed_mul(const Fixed &a, const Fixed &b)
{
    // Column sums of limb products; column c holds weight 2^(32 * (8 - c)) relative to limb 8.
    uint32_t acc[2 * kLimbs] = {};
    for (int i = kLimbs - 1; i >= 0; i--) {
        uint64_t carry = 0;
        for (int j = kLimbs - 1; j >= 0; j--) {
            uint64_t t = uint64_t(a.w[i]) * b.w[j] + acc[i + j + 1] + carry;
            acc[i + j + 1] = uint32_t(t);
            carry = t >> 32;
        }
        acc[i] = uint32_t(carry);
    }
    // The product has 2 * 8 fraction limbs: keep the integer limb and the top 8 fraction limbs.
    Fixed r;
    for (int i = 0; i < kLimbs; i++)
        r.w[i] = acc[i + 1];
    return r;
}

// a / d for 1 <= d < 2^16, truncated. Works in 16-bit halves so that 32-bit x86 needs no
// 64-bit division helper from a runtime library.
void fixed_div_small(Fixed &a, uint32_t d)
{
    uint32_t rem = 0;
    for (int i = 0; i < kLimbs; i++) {
        uint32_t hi = (rem << 16) | (a.w[i] >> 16);
        uint32_t qh = hi / d;
        rem = hi % d;
        uint32_t lo = (rem << 16) | (a.w[i] & 0xFFFF);
        uint32_t ql = lo / d;
        rem = lo % d;
        a.w[i] = (qh << 16) | ql;
    }
}

// Nearest double to a fixed-point value in (0, 2). Ties cannot occur for a sine of a
// nonzero double (it is transcendental), and 256 bits are far more than the hardest
// cases of double precision need to decide the rounding.
double fixed_to_double(const Fixed &f)
{
    int top = -1; // index (from 2^-256 upwards) of the leading one bit
    for (int i = 0; i < kLimbs && top < 0; i++) {
        if (f.w[i] != 0) {
            int b = 31;
            while (!((f.w[i] >> b) & 1))
                b--;
            top = (kLimbs - 1 - i) * 32 + b;
        }
    }
    if (top < 0)
        return 0.0;
    auto bit = [&f](int p) { return (f.w[kLimbs - 1 - p / 32] >> (p % 32)) & 1; };
    uint64_t m = 0;
    for (int p = top; p > top - 53; p--)
        m = (m << 1) | bit(p);
    int low = top - 52; // weight 2^(low - 256) of m's last bit
    if (bit(low - 1)) {
        bool sticky = false;
        for (int p = low - 2; p >= 0 && !sticky; p--)
            sticky = bit(p);
        if (sticky || (m & 1))
            m++;
    }
    // m * 2^(low - 256), with m possibly 2^53 after rounding up; both exact in double.
    // Converted in two 27-bit halves: 32-bit x86 has no SSE2 conversion from 64-bit integers.
    double r = double(int32_t(m >> 27)) * 0x1p27 + double(int32_t(m & 0x7FFFFFF));
    int e = low - 256;
    return r * swma_double_from_bits(uint64_t(1023 + e) << 52);
}

double sin_slow(double x)
{
    Fixed y = fixed_from_double(x);
    if (x > 0x1.921fb54442d18p+0) { // past pi/2: sin(x) = sin(pi - x)
        Fixed pi;
        __builtin_memcpy(pi.w, swma_pi_fixed, sizeof pi.w);
        fixed_sub(pi, y);
        y = pi;
    }
    // sin y = y - y^3/3! + y^5/5! - ...; every partial sum stays positive for y <= pi/2.
    Fixed y2 = fixed_mul(y, y);
    Fixed sum = y, term = y;
    for (uint32_t n = 1;; n++) {
        term = fixed_mul(term, y2);
        fixed_div_small(term, (2 * n) * (2 * n + 1));
        bool zero = true;
        for (int i = 0; i < kLimbs; i++)
            zero = zero && term.w[i] == 0;
        if (zero)
            break;
        if (n & 1)
            fixed_sub(sum, term);
        else
            fixed_add(sum, term);
    }
    return fixed_to_double(sum);
}

} // namespace

double swma_sin(double x)
{
    // Below 2^-26, x^3/6 is less than a quarter of an ulp of x: the nearest double is x.
    if (!(x >= 0x1p-26))
        return x;

    // y = yh + yl in [0, pi/2 + 2^-53], the angle whose sine equals sin(x).
    double yh, yl;
    if (x <= 0x1.921fb54442d18p+0) { // pi/2 rounded down
        yh = x;
        yl = 0.0;
    } else {
        double d = SWMA_PI_HI - x; // exact (Sterbenz), and at least 5e-8 for x <= 3.1415926
        swma_fast_two_sum(d, SWMA_PI_LO, yh, yl);
        yl += SWMA_PI_LO2;
    }

    // y = a + t with a = k/256, |t| <= 1/512 (1 + 2^-44); th = yh - a is exact. Below 1/512
    // k is 0: yh * 256 + 0.5 can round up to 1 there (at yh = 2^-9 - 2^-62), and then th would
    // need more bits than a double has.
    int k = yh < 0x1p-9 ? 0 : int(yh * 256.0 + 0.5);
    const double *tab = swma_sincos_table[k];
    double sh = tab[0], sl = tab[1], ch = tab[2], cl = tab[3];
    double th = yh - double(k) * (1.0 / 256.0);
    double t = th + yl;
    const double t2 = t * t, t3 = t * t2;

    // cos t - 1 and sin t - t: Taylor to below 2^-75 of the result, the two higher terms
    // beside the first to keep the chain of dependent operations short.
    const double cm1 = t2 * -0.5 + (t2 * t2) * (1.0 / 24 + t2 * (-1.0 / 720));
    const double sm = t3 * (-1.0 / 6) + (t3 * t2) * (1.0 / 120 + t2 * (-1.0 / 5040));

    // sin(a + t) = sh + ch*th  +  [sl + cl*th + ch*yl + sin(a)(cos t - 1) + cos(a)(sin t - t)]
    double ph, pl;
    swma_two_prod(ch, th, ph, pl);
    double s, se;
    swma_fast_two_sum(sh, ph, s, se); // sh >= |ph| for k >= 1; sh == 0 for k == 0
    const double low = ((se + pl) + (sl + cl * th)) + ((ch * yl + sh * cm1) + ch * sm);
    double rh, rl;
    swma_fast_two_sum(s, low, rh, rl);

    // rh is the nearest double to the true sine if rh + rl, give or take the error bound
    // eps |rh|, stays closer to rh than the midpoint towards its neighbour. Test it in
    // floating point, which on 32-bit x86 avoids the store-forwarding stalls of bit fiddling:
    // rh + rl (1 + 2^-12) rounds back to rh only if |rl| is at least 2^-12 half-ulps, over
    // 2^-66 (1 - 2^-10) |rh|, short of that midpoint, also below a power of two, where the
    // neighbour is half as far. The error budget, term by term in docs/sine-error.md, proves
    // eps < 5.6 * 2^-70 (about 2^-67.5; the largest error measured is 2^-69.6), so the test
    // holds with a factor 2.8 to spare; the slow path runs for about one angle in 4000.
    static_assert(kQuickPathError < kRoundingTestTolerance, "the rounding test is too tight");
#ifdef SWMA_SINE_PROBE
    SWMA_SINE_PROBE(x, rh, rl); // tests/test_sine_budget.cpp: the error against the bound
#endif
    if (rh == rh + rl * (1.0 + kRoundingTestFactor))
        return rh;
    return sin_slow(x);
}

// Two angles at once: the quick path above, operation for operation, in the two lanes of a
// vector. Each lane rounds exactly as the scalar code does, so a lane's rh and rl, and its
// rounding test, are the scalar ones.
void swma_sin_many(const double *x, int n, double *y)
{
    int m = 0;
    for (; m + 2 <= n; m += 2) {
        const double x0 = x[m], x1 = x[m + 1];
        if (!(x0 >= 0x1p-26) || !(x1 >= 0x1p-26)) { // tiny angles: the scalar shortcut
            y[m] = swma_sin(x0);
            y[m + 1] = swma_sin(x1);
            continue;
        }
        const swma_v2d xv = {x0, x1};
        const swma_v2d zero = {0.0, 0.0};
        const swma_v2l folded = (swma_v2l)(xv > 0x1.921fb54442d18p+0);
        swma_v2d d = SWMA_PI_HI - xv, fh, fl;
        swma_fast_two_sum(d, zero + SWMA_PI_LO, fh, fl);
        fl = fl + SWMA_PI_LO2;
        const swma_v2d yh = swma_pick_lanes(folded, fh, xv), yl = swma_pick_lanes(folded, fl, zero);

        // as above
        const swma_v2d kf = swma_pick_lanes((swma_v2l)(yh >= 0x1p-9), yh * 256.0 + 0.5, zero);
        const int k0 = int(kf[0]), k1 = int(kf[1]);
        const double *a0 = swma_sincos_table[k0], *a1 = swma_sincos_table[k1];
        const swma_v2d sh = {a0[0], a1[0]}, sl = {a0[1], a1[1]}, ch = {a0[2], a1[2]},
                  cl = {a0[3], a1[3]};
        const swma_v2d kd = {double(k0), double(k1)};
        const swma_v2d th = yh - kd * (1.0 / 256.0);
        const swma_v2d t = th + yl;
        const swma_v2d t2 = t * t, t3 = t * t2;
        const swma_v2d cm1 = t2 * -0.5 + (t2 * t2) * (1.0 / 24 + t2 * (-1.0 / 720));
        const swma_v2d sm = t3 * (-1.0 / 6) + (t3 * t2) * (1.0 / 120 + t2 * (-1.0 / 5040));

        swma_v2d ph, pl, s, se, rh, rl;
        swma_two_prod(ch, th, ph, pl);
        swma_fast_two_sum(sh, ph, s, se);
        const swma_v2d low = ((se + pl) + (sl + cl * th)) + ((ch * yl + sh * cm1) + ch * sm);
        swma_fast_two_sum(s, low, rh, rl);
        const swma_v2l ok = (swma_v2l)(rh == rh + rl * (1.0 + kRoundingTestFactor));
        y[m] = ok[0] ? rh[0] : sin_slow(x0);
        y[m + 1] = ok[1] ? rh[1] : sin_slow(x1);
    }
    for (; m < n; m++)
        y[m] = swma_sin(x[m]);
}

// A rough sine for estimates: the same reduction and table, one double per step, a shorter
// polynomial, no rounding test. For 0 <= x <= 3.1415926 it is within SWMA_ROUGH_SINE_ERROR
// (2^-50) of swma_sin(x), term by term:
//   folding, pi - x as (PI_HI - x) + PI_LO: d is exact (Sterbenz), the sum rounds by at most
//     2^-53 * 1.58 and PI_LO2 is left out (2^-107): within 2^-52.3 in the angle, so in the
//     sine; t = y - k/256 is exact and |t| <= 2^-9 (1 + 2^-40);
//   the polynomials leave out t^6/720 < 2^-63 and t^7/5040 < 2^-75; their own roundings
//     and those of sh*cm1, ch*sm and their sum stay below 2^-68;
//   ch*t: the table's cos (within 2^-54) times t and the rounding, below 2^-61; its sum
//     with the rest rounds by at most 2^-62;
//   sh within 2^-54 of sin(a), and the last addition (a result near or below 1) by 2^-53.
// Total below 2^-52.3 + 2^-54 + 2^-53 + 2^-60 < 2^-51.2 from sin(x), and with swma_sin's
// own half ulp (2^-54) below 2^-50.9 from swma_sin(x).
namespace {

// Two lanes and one, the same operations.
inline void rough2(swma_v2d xv, double *y)
{
    const swma_v2l folded = (swma_v2l)(xv > 0x1.921fb54442d18p+0);
    const swma_v2d yv = swma_pick_lanes(folded, (SWMA_PI_HI - xv) + SWMA_PI_LO, xv);
    const swma_v2d zero = {0.0, 0.0};
    const swma_v2d kf = swma_pick_lanes((swma_v2l)(yv >= 0x1p-9), yv * 256.0 + 0.5, zero);
    const int k0 = int(kf[0]), k1 = int(kf[1]);
    const double *a0 = swma_sincos_table[k0], *a1 = swma_sincos_table[k1];
    const swma_v2d sh = {a0[0], a1[0]}, ch = {a0[2], a1[2]};
    const swma_v2d kd = {double(k0), double(k1)};
    const swma_v2d t = yv - kd * (1.0 / 256.0);
    const swma_v2d t2 = t * t;
    const swma_v2d cm1 = t2 * (-0.5 + t2 * (1.0 / 24));
    const swma_v2d sm = (t * t2) * (-1.0 / 6 + t2 * (1.0 / 120));
    const swma_v2d r = sh + (ch * t + (sh * cm1 + ch * sm));
    y[0] = r[0];
    y[1] = r[1];
}

inline double rough1(double xm)
{
    const double ym = xm > 0x1.921fb54442d18p+0 ? (SWMA_PI_HI - xm) + SWMA_PI_LO : xm;
    const int k = ym < 0x1p-9 ? 0 : int(ym * 256.0 + 0.5);
    const double *a = swma_sincos_table[k];
    const double t = ym - double(k) * (1.0 / 256.0);
    const double t2 = t * t;
    const double cm1 = t2 * (-0.5 + t2 * (1.0 / 24));
    const double sm = (t * t2) * (-1.0 / 6 + t2 * (1.0 / 120));
    return a[0] + (a[2] * t + (a[0] * cm1 + a[2] * sm));
}

} // namespace

void swma_sin_rough_many(const double *x, int n, double *y)
{
    int m = 0;
    for (; m + 2 <= n; m += 2) {
        const swma_v2d xv = {x[m], x[m + 1]};
        rough2(xv, y + m);
    }
    for (; m < n; m++)
        y[m] = rough1(x[m]);
}
