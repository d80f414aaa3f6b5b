// weights.cpp: the weights of a period. Periods up to SWMA_TABLE_PERIODS read them from
// read-only tables generated from the library's own sine (tools/gen_weight_table.cpp); the
// others evaluate the sine, two angles at a time.
#include "sine/weights.h"
#include "sine/weight_table.h"

static_assert(SWMA_WEIGHT_TABLE_PERIODS == SWMA_TABLE_PERIODS, "weight_table.h is stale");


void swma_weights(int64_t first, int n, double period_plus_1, double *w)
{
    if (period_plus_1 <= double(SWMA_TABLE_PERIODS) + 1.0) {
        const double *row = swma_weight_row(int(period_plus_1) - 1) + (first - 1);
        for (int m = 0; m < n; m++)
            w[m] = row[m];
        return;
    }
    // w(i) = sin(i * 3.14159 / (period + 1)): the product first, then the quotient. The
    // numerator is 3.14159, not pi; the weights and every result depend on it.
    for (int m = 0; m < n; m++)
        w[m] = double(int32_t(first + m)) * 3.14159 / period_plus_1;
    swma_sin_many(w, n, w);
}

double swma_weight_sum(int period, int chunk, double *w)
{
    // period + 1 is formed in double, exact, so period = INT_MAX does not overflow.
    const double pp1 = double(period) + 1.0;
    double sum = 0.0;
    for (int64_t i0 = 1; i0 <= period; i0 += chunk) {
        const int nw = int(period - i0 + 1 < chunk ? period - i0 + 1 : chunk);
        swma_weights(i0, nw, pp1, w);
        for (int m = 0; m < nw; m++)
            sum = sum + w[m];
    }
    return sum;
}
