// small_call.cpp: calls with a few results (a host recomputing its newest bar asks for one).
// No blocks, no variant, no CPU check: the weights, then for each result one chain of
// multiply-adds in ascending order from +0.0, a division by the weight sum and a narrowing,
// exactly the operations of the block paths, so the same bits.
#include "weights.h"

namespace {

// The longest stretch of weights held at once for periods without a table (on the stack).
constexpr int kChunk = 512;

// a + w[0] x[0] + w[1] x[1] + ..., left to right, one rounding per product and per sum.
inline double chain(double a, const double *w, int n, const float *x)
{
    for (int m = 0; m < n; m++)
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

} // namespace

void swma_compute_small(const float *input, int period, int count, float *output)
{
    // Result k's window is input[k - period + 1 .. k]: the window of result j (from 0)
    // starts at input + j.
    const int first = period - 1;
    const int results = count - first;
    if (const double *row = swma_weight_row(period)) {
        const double sum = swma_weight_sum(period);
        for (int j = 0; j < results; j++)
            output[first + j] = float(chain(0.0, row, period, input + j) / sum);
        return;
    }
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
        output[first + j] = float(acc[j] / sum);
}
