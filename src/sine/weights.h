// weights.h: the weights of a period, from read-only tables or from the sine. Nothing here
// is exported.
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

#endif
