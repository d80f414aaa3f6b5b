// small_call.cpp: calls with a few results (a host recomputing its newest bar asks for one).
// No blocks, no variant, no CPU check: the weights, then for each result one chain of
// multiply-adds in ascending order from +0.0, a division by the weight sum and a narrowing,
// exactly the operations of the block paths, so the same bits.
#include "exact/small_call.h"
#include "sine/weights.h"

namespace {

// The longest stretch of weights held at once for periods without a table (on the stack).
constexpr int kChunk = 512;

// a + w[0] x[0] + w[1] x[1] + ..., left to right, one rounding per product and per sum.
inline double chain(double a, const double *w, int n, const float *x)
{
    int m = 0;
    for (; m + 4 <= n; m += 4) { // four terms a turn, still one after the other
        a = a + w[m] * double(x[m]);
        a = a + w[m + 1] * double(x[m + 1]);
        a = a + w[m + 2] * double(x[m + 2]);
        a = a + w[m + 3] * double(x[m + 3]);
    }
    for (; m < n; m++)
        a = a + w[m] * double(x[m]);
    return a;
}

// The same, with the weight sum s carried beside it: two independent chains in one loop.
inline double chain_and_sum(double a, double &s, const double *w, int n, const float *x)
{
    double t = s;
    for (int m = 0; m < n; m++) {
        t = t + w[m];
        a = a + w[m] * double(x[m]);
    }
    s = t;
    return a;
}

// ---- estimates from rough weights -------------------------------------------------------
// With weights v(i) within d of the exact w(i), the chains a'(i) = a'(i-1) + v(i) x(i) and
// a(i) = a(i-1) + w(i) x(i), each step rounded, differ at the end by at most
//     E = ((d + 2u) X + 2u A) * (1 + 2^-18),    u = 2^-53,
// X = sum |x(i)| and A = sum |a'(i)|, both as computed: step i adds at most d |x| from the
// weight, u (|w x| + |v x|) <= 2u |x| (1 + 2^-49) from the products and u (|a(i)| + |a'(i)|)
// from the sums. The factor covers the growth of those terms by the difference itself and
// the roundings of X, A and E, for any period p up to 2^31. The weight sums are such a chain
// with every x = 1, where X = p and A <= p^2. If the result then rounds to the same float at
// both ends of the interval, it is the exact weights' result: division and narrowing are
// monotone.
struct Estimate {
    double a = 0.0, x = 0.0, sa = 0.0; // a', X, A
};

inline void estimate(Estimate &e, const double *v, int n, const float *x)
{
    double a = e.a, xs = e.x, sa = e.sa;
    for (int m = 0; m < n; m++) {
        const double xm = double(x[m]);
        a = a + v[m] * xm;
        xs = xs + __builtin_fabs(xm);
        sa = sa + __builtin_fabs(a);
    }
    e = {a, xs, sa};
}

// The same, with the weight sums' chain carried beside it.
inline void estimate_and_sum(Estimate &e, double &sum, const double *v, int n, const float *x)
{
    double a = e.a, xs = e.x, sa = e.sa, s = sum;
    for (int m = 0; m < n; m++) {
        const double xm = double(x[m]);
        a = a + v[m] * xm;
        xs = xs + __builtin_fabs(xm);
        sa = sa + __builtin_fabs(a);
        s = s + v[m];
    }
    e = {a, xs, sa};
    sum = s;
}

// [v - e, v + e] widened so that rounding the two ends cannot narrow it; false if not finite.
inline bool interval(double v, double e, double &lo, double &hi)
{
    if (!(__builtin_fabs(v) <= 0x1.fffffffffffffp+1023 && e <= 0x1p+1000))
        return false;
    if (e == 0.0) { // every x(i) is zero: the chain is exact
        lo = hi = v;
        return true;
    }
    const double w = e * (1.0 + 0x1p-20) + __builtin_fabs(v) * 0x1p-50;
    lo = v - w;
    hi = v + w;
    return true;
}

// The float that every quotient in [tlo, thi] / [slo, shi] (0 < slo) rounds to, if one.
inline bool settle(double tlo, double thi, double slo, double shi, float &out)
{
    double q1, q2;
    if (tlo >= 0.0) {
        q1 = tlo / shi;
        q2 = thi / slo;
    } else if (thi <= 0.0) {
        q1 = tlo / slo;
        q2 = thi / shi;
    } else {
        return false;
    }
    const float f1 = float(q1), f2 = float(q2);
    out = f1;
    return swma_bits(f1) == swma_bits(f2);
}

} // namespace

bool swma_estimate_small(const float *input, int period, int results, float *out)
{
    double v[kChunk];
    Estimate e[SWMA_SMALL_CALL];
    double sum = 0.0;
    const double pp1 = double(period) + 1.0;
    for (int64_t i0 = 1; i0 <= period; i0 += kChunk) {
        const int nw = int(period - i0 + 1 < kChunk ? period - i0 + 1 : kChunk);
        for (int m = 0; m < nw; m++)
            v[m] = double(int32_t(i0 + m)) * 3.14159 / pp1;
        swma_sin_rough_many(v, nw, v);
        const float *x = input + (i0 - 1);
        estimate_and_sum(e[0], sum, v, nw, x);
        for (int j = 1; j < results; j++)
            estimate(e[j], v, nw, x + j);
    }
    const double per_x = SWMA_ROUGH_SINE_ERROR + 0x1p-52, per_a = 0x1p-52,
                 grow = 1.0 + 0x1p-18;
    const double pd = double(period);
    double slo, shi;
    if (!interval(sum, (per_x * pd + per_a * pd * pd) * grow, slo, shi) || !(slo > 0.0))
        return false;
    float f[SWMA_SMALL_CALL];
    for (int j = 0; j < results; j++) {
        double tlo, thi;
        if (!interval(e[j].a, (per_x * e[j].x + per_a * e[j].sa) * grow, tlo, thi) ||
            !settle(tlo, thi, slo, shi, f[j]))
            return false;
    }
    for (int j = 0; j < results; j++)
        out[j] = f[j];
    return true;
}

namespace {

// A period without a table: rough weights with a proof, else the exact weights. Out of line,
// so that the tabled calls do not set up its frame.
__attribute__((noinline)) void untabled(const float *input, int period, int results,
                                        float *out)
{
    // Rough weights, with a proof that they give the same floats; the exact ones if not.
    if (swma_estimate_small(input, period, results, out))
        return;
    double w[kChunk];
    double acc[SWMA_SMALL_CALL] = {};
    double sum = 0.0;
    const double pp1 = double(period) + 1.0;
    for (int64_t i0 = 1; i0 <= period; i0 += kChunk) {
        const int nw = int(period - i0 + 1 < kChunk ? period - i0 + 1 : kChunk);
        swma_weights(i0, nw, pp1, w);
        const float *x = input + (i0 - 1);
        acc[0] = chain_and_sum(acc[0], sum, w, nw, x);
        for (int j = 1; j < results; j++)
            acc[j] = chain(acc[j], w, nw, x + j);
    }
    for (int j = 0; j < results; j++)
        out[j] = float(acc[j] / sum);
}

} // namespace

int swma_compute_small(const float *input, int period, int count, float *output)
{
    // Result k's window is input[k - period + 1 .. k]: the window of result j (from 0)
    // starts at input + j.
    const int first = period - 1;
    const float nv = swma_no_value();
    for (int k = 0; k < first; k++)
        output[k] = nv;
    const int results = count - first;
    if (const double *row = swma_weight_row(period)) {
        const double sum = swma_weight_sums[period];
        for (int j = 0; j < results; j++)
            output[first + j] = float(chain(0.0, row, period, input + j) / sum);
    } else {
        untabled(input, period, results, output + first);
    }
    return count;
}
