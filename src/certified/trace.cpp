// trace.cpp: for the tests, the estimates and bounds the certified variants carry.
#include "certified/certified.h"

namespace {

// The constants of a call of this period, as a call forms them.
swma_cert trace_setup(int period)
{
    double w[SWMA_LONG_WEIGHT_CHUNK];
    const double sum = swma_weight_sum(period, SWMA_LONG_WEIGHT_CHUNK, w);
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
        swma_cert_block_scalar(c, input, k0, n, nullptr, 0, est, bound);
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

