// kernel.cpp: the driver of a call: no-value slots, the weight sum, the windows decided
// without sums, and the runs of the others on the exact or the certified kernel.
//
// Output k (period-1 <= k < count) is T_k / S with
//     S   = w(1) + w(2) + ... + w(period)
//     T_k = w(1) x[k-period+1] + w(2) x[k-period+2] + ... + w(period) x[k]
// each sum formed from +0.0 in ascending i, in IEEE double, and rounded once to float.
// The stack stays bounded however long the period: about 26 KiB with a variant's frame
// (26,388 bytes at most, measured by the Stack test on x86-64 with GCC 12), 27.7 KiB on the
// certified kernel's paths (its own Stack test).
#include "sinewma_internal.h"
#include "certified/certified.h"
#include "decided.h"
#include "exact/small_call.h"

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


// What the results of one call share: the period's weights (all of them in store when the
// period fits, see swma_compute_kernel), the path and the kernel asked for.
struct results_ctx {
    int period;
    double sum;
    double *store;
    accumulate_fn accumulate;
    swma_isa isa;
    swma_kernel kernel;
    unsigned weak;
    swma_cert_stats *stats;
    // The certified kernel's constants, formed for the first run of outputs that goes
    // there and shared by the rest.
    bool have_cert;
    swma_cert cert;
};

// Whether a run of `results` outputs goes to the certified kernel.
bool goes_certified(const results_ctx &r, int64_t results)
{
    return r.kernel == SWMA_KERNEL_CERTIFIED ||
           (r.kernel == SWMA_KERNEL_AUTO &&
            swma_cert_pays(r.period, results, r.isa, r.have_cert));
}

// Outputs period - 1 .. count - 1 by the kernels' sums; the no-value slots are written.
void compute_results(results_ctx &r, const float *input, int64_t count, float *output)
{
    const int period = r.period;
    if (goes_certified(r, count - (period - 1))) {
        if (!r.have_cert) {
            // A period that fits the store has all its weights there.
            swma_cert_setup(period, r.sum, r.cert,
                            period > SWMA_WEIGHT_CHUNK ? nullptr : r.store);
            r.have_cert = true;
        }
        swma_certified(input, period, int(count), output, r.sum, r.store, r.isa,
                       r.kernel == SWMA_KERNEL_AUTO, r.weak, r.stats, r.cert);
        return;
    }
    swma_exact(input, period, count, output, r.sum, r.store, r.accumulate);
}

// Outputs k .. e - 1 as a call of their own would compute them.
void compute_run(results_ctx &r, const float *input, int64_t k, int64_t e, float *output)
{
    const int64_t shift = k - (r.period - 1);
    compute_results(r, input + shift, e - shift, output + shift);
}

// Below this period the scans that find the windows needing no sums cost more than those
// sums: the scan for NaN and infinities 0.16 ns per value on the benchmarks' machine, the
// one for runs of blanks (every period-th value, which at short periods is every cache line)
// 0.15-0.25 ns per output, against about 0.09 ns per term of the exact kernel. One NaN's
// windows at period 17 cost 25 ns of sums, a scan of the 2,000 values around it 320 ns. So
// a call on the exact kernel at such periods takes every window as it comes, and IEEE
// arithmetic gives a window of zeros +0 and one with a NaN or an infinity its NaN or
// infinity, as deciding them would.
constexpr int kScanPeriod = 64;

// Outputs k .. e - 1 of a stretch on the exact kernel: the windows holding a NaN or an
// infinity decided without sums, the runs of the others summed. Returns the windows decided.
int64_t exact_stretch(results_ctx &r, const float *input, int64_t k, int64_t e, float *output)
{
    const int period = r.period;
    if (period < kScanPeriod) {
        compute_run(r, input, k, e, output);
        return 0;
    }
    int64_t decided = 0;
    while (k < e) {
        const int64_t nf = swma_next_nonfinite(input, k - period + 1, e);
        const int64_t s = nf > k ? nf : k; // the first window from k on that holds one
        if (s > k)
            compute_run(r, input, k, s, output);
        if (s == e)
            break;
        const int64_t n = swma_decide_windows(input, period, s, e, output, SWMA_REST_STOP);
        decided += n;
        k = s + n;
    }
    return decided;
}

// Outputs period - 1 .. count - 1. Windows of blanks only (decided.h) are decided without
// sums. Between them, a stretch that goes to the certified kernel goes whole (it decides
// the windows holding a NaN or an infinity itself, block by block, and slides over them);
// one on the exact kernel is cut around those windows. A clean series costs one scan for
// non-finite values and a read of every period-th value.
void compute_decided(results_ctx &r, const float *input, int64_t count, float *output)
{
    const int period = r.period;
    int64_t zs = 0, ze = 0; // the next run of at least period blanks
    bool blanks = true;
    int64_t decided = 0;
    for (int64_t k = period - 1; k < count;) {
        const int64_t lo = k - period + 1;
        if (blanks && ze <= k)
            blanks = swma_next_blank_run(input, ze > lo ? ze : lo, count, period, &zs, &ze);
        // The windows k .. e - 1 are not all blanks; those from e to ze are.
        const int64_t e = !blanks ? count : zs + period - 1 > k ? zs + period - 1 : k;
        if (e > k) {
            if (goes_certified(r, e - k))
                compute_run(r, input, k, e, output);
            else
                decided += exact_stretch(r, input, k, e, output);
            k = e;
            continue;
        }
        // Windows inside the run of blanks: +0 where they hold no NaN or infinity.
        decided += swma_decide_windows(input, period, k, ze, output, SWMA_REST_ZERO);
        k = ze;
    }
    if (r.stats)
        r.stats->decided += decided;
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
    double store[SWMA_STORE];
    const int chunk = period > SWMA_WEIGHT_CHUNK ? SWMA_LONG_WEIGHT_CHUNK : SWMA_WEIGHT_CHUNK;
    const double sum = swma_weight_sum(period, chunk, store);

    const int64_t results = int64_t(count) - (period - 1);
    results_ctx r{period, sum, store, pick(isa, results * period), isa, kernel, weak, stats,
                  false, {}};
    if (stats)
        *stats = swma_cert_stats{};
    // The exact kernel forced is the reference and takes every window as it comes; a test's
    // weakened estimate must see the windows it is meant to see; a short period on the exact
    // kernel pays less for the sums than for the scans.
    if (kernel == SWMA_KERNEL_EXACT || weak ||
        (period < kScanPeriod && !goes_certified(r, results)))
        compute_results(r, input, count, output);
    else
        compute_decided(r, input, count, output);
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
