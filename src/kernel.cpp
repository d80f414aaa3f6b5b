// kernel.cpp: the driver of the moving average: no-value slots, weights, blocking, narrowing.
//
// Output k (period-1 <= k < count) is T_k / S with
//     S   = w(1) + w(2) + ... + w(period)
//     T_k = w(1) x[k-period+1] + w(2) x[k-period+2] + ... + w(period) x[k]
// each sum formed from +0.0 in ascending i, in IEEE double, and rounded once to float.
// Outputs are computed SWMA_OUTPUT_BLOCK at a time; each keeps its own accumulator and
// takes its terms in ascending i, so blocking changes the speed and not a bit of a result.
// Periods above SWMA_WEIGHT_CHUNK take their weights in chunks, re-evaluated for each span
// of SWMA_LONG_SPAN outputs, which keeps the stack bounded however long the period: about
// 26 KiB with a variant's frame (26,388 bytes at most, measured by the Stack test on x86-64
// with GCC 12), 27.7 KiB on the certified kernel's paths (its own Stack test).
#include "sinewma_internal.h"
#include "certified.h"
#include "weights.h"

namespace {

using accumulate_fn = void (*)(const swma_pass &);

accumulate_fn pick(swma_isa &isa, int64_t work)
{
#if defined(__i386__) || defined(__x86_64__)
    if (isa == SWMA_ISA_AUTO) {
        // CPUID traps to the hypervisor on virtual machines (the check took 9 us on the
        // benchmarks' machine), so a call of under 32768 multiply-adds, which SSE2 finishes
        // in about that time, stays on SSE2, which every build for this architecture can run.
        isa = work >= 32768 ? swma_cpu_isa() : SWMA_ISA_SSE2;
    }
    switch (isa) {
    case SWMA_ISA_AVX2:
        return swma_accumulate_avx2;
    case SWMA_ISA_SSE2:
        return swma_accumulate_sse2;
    default:
        return swma_accumulate_scalar;
    }
#else
    isa = SWMA_ISA_SCALAR;
    (void)work;
    return swma_accumulate_scalar;
#endif
}

} // namespace

// Every call but the small ones (see swma_compute): out of line, so that a small call does
// not set up this frame.
__attribute__((noinline)) int swma_compute_kernel(const float *input, int period, int count,
                                                 float *output, swma_isa isa, swma_kernel kernel,
                                                 unsigned weak, swma_cert_stats *stats)
{
    if (period < 1 || count <= 0 || output == nullptr)
        return count;

    // No-value slots: never past count, and all of them when there is nothing to read.
    const float nv = swma_no_value();
    int warm = period - 1 < count ? period - 1 : count;
    if (input == nullptr)
        warm = count;
    for (int k = 0; k < warm; k++)
        output[k] = nv;
    if (warm == count)
        return count;

    // One store holds the weights and the running sums. A period that fits keeps all its
    // weights; a longer one keeps a chunk at a time and re-evaluates them for each span of
    // outputs, so the store's other side holds the sums of a span of three blocks, which
    // pays for each evaluation three times over.
    const bool chunked = period > SWMA_WEIGHT_CHUNK;
    const int chunk = chunked ? SWMA_LONG_WEIGHT_CHUNK : SWMA_WEIGHT_CHUNK;
    const int span = chunked ? SWMA_LONG_SPAN : SWMA_OUTPUT_BLOCK;
    double store[SWMA_STORE];
    double *const w = store;
    double *const acc = store + chunk;

    // The weight sum, in ascending order. period + 1 is formed in double, exact, so
    // period = INT_MAX does not overflow.
    const double pp1 = double(period) + 1.0;
    double sum = 0.0;
    for (int64_t i0 = 1; i0 <= period; i0 += chunk) {
        const int nw = int(period - i0 + 1 < chunk ? period - i0 + 1 : chunk);
        swma_weights(i0, nw, pp1, w);
        for (int m = 0; m < nw; m++)
            sum = sum + w[m];
    }

    const int64_t results = int64_t(count) - (period - 1);
    const accumulate_fn accumulate = pick(isa, results * period);

    // The certified sliding kernel where it pays (src/certified.h): the same bits.
    if (kernel == SWMA_KERNEL_CERTIFIED ||
        (kernel == SWMA_KERNEL_AUTO && swma_cert_pays(period, results, isa))) {
        swma_certified(input, period, count, output, sum, store, isa, kernel == SWMA_KERNEL_AUTO,
                       weak, stats);
        return count;
    }

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
    return count;
}

int swma_compute(const float *input, int period, int count, float *output, swma_isa isa)
{
    // A few results (a host's newest bar): one chain each, no blocks (small_call.cpp). A
    // forced path keeps the blocks, so the tests can hold the two against each other.
    if (isa == SWMA_ISA_AUTO && swma_small_call(input, period, count, output))
        return swma_compute_small(input, period, count, output);
    return swma_compute_kernel(input, period, count, output, isa, SWMA_KERNEL_AUTO, 0, nullptr);
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
