// accumulate.cpp: the exact kernel. Outputs are computed SWMA_OUTPUT_BLOCK at a time; each
// keeps its own accumulator and takes its terms in ascending i, so blocking changes the
// speed and not a bit of a result. Periods above SWMA_WEIGHT_CHUNK take their weights in
// chunks, re-evaluated for each span of SWMA_LONG_SPAN outputs, which keeps the stack
// bounded however long the period.
#include "sinewma_internal.h"

void swma_exact(const float *input, int period, int64_t count, float *output, double sum,
                double *store, void (*accumulate)(const swma_pass &))
{
    const bool chunked = period > SWMA_WEIGHT_CHUNK;
    const int chunk = chunked ? SWMA_LONG_WEIGHT_CHUNK : SWMA_WEIGHT_CHUNK;
    const int span = chunked ? SWMA_LONG_SPAN : SWMA_OUTPUT_BLOCK;
    const double pp1 = double(period) + 1.0;
    double *const w = store;
    double *const acc = store + chunk;
    for (int64_t k0 = period - 1; k0 < count; k0 += span) {
        const int ns = int(count - k0 < span ? count - k0 : span);
        for (int64_t i0 = 1; i0 <= period; i0 += chunk) {
            const int nw = int(period - i0 + 1 < chunk ? period - i0 + 1 : chunk);
            if (chunked)
                swma_weights(i0, nw, pp1, w);
            const bool last = i0 + nw > period;
            for (int j0 = 0; j0 < ns; j0 += SWMA_OUTPUT_BLOCK) {
                const int nb = ns - j0 < SWMA_OUTPUT_BLOCK ? ns - j0 : SWMA_OUTPUT_BLOCK;
                // Position i of output k reads input[k - period + i].
                const int64_t k = k0 + j0;
                accumulate({w, nw, input + (k - period + i0), nb, acc + j0, i0 == 1,
                            last ? output + k : nullptr, sum});
            }
        }
    }
}

void swma_accumulate_scalar(const swma_pass &p)
{
    for (int j = 0; j < p.nb; j++) {
        double a = p.first ? 0.0 : p.acc[j];
        for (int m = 0; m < p.nw; m++)
            a = a + p.w[m] * double(p.src[j + m]);
        if (p.out)
            p.out[j] = float(a / p.sum);
        else
            p.acc[j] = a;
    }
}
