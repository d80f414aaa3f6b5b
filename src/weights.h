// weights.h: the weights of a period, from read-only tables or from the sine, and the
// small-call path that uses them. Nothing here is exported.
#ifndef SWMA_WEIGHTS_H
#define SWMA_WEIGHTS_H

#include "sinewma_internal.h"

// y[m] = swma_sin(x[m]) for 0 <= m < n, the same bits, two angles at a time (x == y allowed).
void swma_sin_many(const double *x, int n, double *y);

// y[m] within SWMA_ROUGH_SINE_ERROR of swma_sin(x[m]), 0 <= x[m] <= 3.1415926, for
// estimates that are then proven to round to the same result (x == y allowed).
void swma_sin_rough_many(const double *x, int n, double *y);
constexpr double SWMA_ROUGH_SINE_ERROR = 0x1p-50;

// Periods 1 .. SWMA_TABLE_PERIODS have their weights and weight sums in read-only tables.
constexpr int SWMA_TABLE_PERIODS = 256;

// The tables (src/weight_table.h, read-only data): the rows of periods 1, 2, ..., 256 one
// after the other, and [period] the sum w(1) + ... + w(period) added in that order from +0.0.
extern const double swma_weight_table[SWMA_TABLE_PERIODS * (SWMA_TABLE_PERIODS + 1) / 2];
extern const double swma_weight_sums[SWMA_TABLE_PERIODS + 1];

// w(1) .. w(period) of a tabled period, or nullptr for any other period.
inline const double *swma_weight_row(int period)
{
    if (period < 1 || period > SWMA_TABLE_PERIODS)
        return nullptr;
    return swma_weight_table + int64_t(period - 1) * period / 2;
}

// out[j] = result j (from 0) of a period without a table, 1 <= results <= SWMA_SMALL_CALL,
// computed from rough weights and kept only if proven to be the exact weights' float (see
// small_call.cpp). Returns false, with out untouched, if any result is not proven.
bool swma_estimate_small(const float *input, int period, int results, float *out);

// Calls with at most this many results take the small-call path.
constexpr int SWMA_SMALL_CALL = 8;
// Whether a call takes the small-call path when its path is not forced.
inline bool swma_small_call(const float *input, int period, int count, const float *output)
{
    return input && output && period >= 1 && count >= period && count - period < SWMA_SMALL_CALL;
}

// The whole call for 1 <= period <= count < period + SWMA_SMALL_CALL, input and output not
// null: the no-value slots, then each result one ascending chain over the weights, a
// division and a narrowing, the same bits as the block paths. Returns count.
int swma_compute_small(const float *input, int period, int count, float *output);

#endif
