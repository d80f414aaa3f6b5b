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


// What the results of one call share: the period's weights (all of them in store when the
// period fits, see swma_compute_kernel), the path and the kernel asked for.
struct results_ctx {
    int period;
    double pp1, sum;
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

// Outputs period - 1 .. count - 1 by the kernels' sums; the no-value slots are written.
void compute_results(results_ctx &r, const float *input, int64_t count, float *output)
{
    const int period = r.period;
    const bool chunked = period > SWMA_WEIGHT_CHUNK;
    const int chunk = chunked ? SWMA_LONG_WEIGHT_CHUNK : SWMA_WEIGHT_CHUNK;
    const int span = chunked ? SWMA_LONG_SPAN : SWMA_OUTPUT_BLOCK;
    double *const w = r.store;
    double *const acc = r.store + chunk;
    const int64_t results = count - (period - 1);

    // The certified sliding kernel where it pays (src/certified.h): the same bits.
    if (r.kernel == SWMA_KERNEL_CERTIFIED ||
        (r.kernel == SWMA_KERNEL_AUTO && swma_cert_pays(period, results, r.isa, r.have_cert))) {
        if (!r.have_cert) {
            // A period that fits the store has all its weights there.
            swma_cert_setup(period, r.sum, r.cert, chunked ? nullptr : r.store);
            r.have_cert = true;
        }
        swma_certified(input, period, int(count), output, r.sum, r.store, r.isa,
                       r.kernel == SWMA_KERNEL_AUTO, r.weak, r.stats, r.cert);
        return;
    }

    for (int64_t k0 = period - 1; k0 < count; k0 += span) {
        const int ns = int(count - k0 < span ? count - k0 : span);
        for (int64_t i0 = 1; i0 <= period; i0 += chunk) {
            const int nw = int(period - i0 + 1 < chunk ? period - i0 + 1 : chunk);
            if (chunked)
                swma_weights(i0, nw, r.pp1, w);
            const bool last = i0 + nw > period;
            for (int j0 = 0; j0 < ns; j0 += SWMA_OUTPUT_BLOCK) {
                const int nb = ns - j0 < SWMA_OUTPUT_BLOCK ? ns - j0 : SWMA_OUTPUT_BLOCK;
                // Position i of output k reads input[k - period + i].
                const int64_t k = k0 + j0;
                r.accumulate({w, nw, input + (k - period + i0), nb, acc + j0, i0 == 1,
                              last ? output + k : nullptr, r.sum});
            }
        }
    }
}

uint32_t bits_of(float x)
{
    uint32_t u;
    __builtin_memcpy(&u, &x, sizeof u);
    return u;
}
bool is_nonfinite(uint32_t u) { return (u & 0x7F800000u) == 0x7F800000u; }
bool is_zero(uint32_t u) { return (u << 1) == 0; }

// The first index in [i, n) whose value is a NaN or an infinity, or n. Whole blocks of 64
// values are tested first: adding 1 to an all-ones exponent carries into the sign bit, a
// loop of fixed length that the compiler turns into vector operations.
int64_t next_nonfinite(const float *x, int64_t i, int64_t n)
{
    for (; i + 64 <= n; i += 64) {
        uint32_t any = 0;
        for (int j = 0; j < 64; j++)
            any |= (bits_of(x[i + j]) & 0x7F800000u) + 0x00800000u;
        if (any & 0x80000000u)
            break;
    }
    for (; i < n; i++)
        if (is_nonfinite(bits_of(x[i])))
            return i;
    return n;
}

// The first run of at least `period` zeros (of either sign) that starts at or after `from`,
// as [*zs, *ze); false when there is none before n. Such a run holds an index
// from + period - 1 + m period for some m >= 0, so only those are read until a zero is found.
bool next_zero_run(const float *x, int64_t from, int64_t n, int period, int64_t *zs, int64_t *ze)
{
    for (int64_t j = from + period - 1; j < n; j += period) {
        if (!is_zero(bits_of(x[j])))
            continue;
        int64_t s = j, e = j + 1;
        while (s > from && is_zero(bits_of(x[s - 1])))
            s--;
        while (e < n && is_zero(bits_of(x[e])))
            e++;
        if (e - s >= period) {
            *zs = s;
            *ze = e;
            return true;
        }
        j = e - 1; // the next candidate is e + period - 1
    }
    return false;
}

// The results that need no sums. By IEEE arithmetic over positive weights, a window that
// holds a NaN, or both infinities, gives a NaN; one that holds only one kind of infinity
// gives that infinity (no finite float times a weight of at most 1, summed period times,
// comes near the double's range); a window of zeros of either sign gives +0, as the sums
// start from +0. The last index of each kind of value seen so far decides a window
// [k - period + 1, k] in O(1).
struct window_marks {
    int64_t nan, pinf, ninf, nonzero;

    void see(int64_t i, uint32_t u)
    {
        if (is_nonfinite(u)) {
            if (u & 0x7FFFFFu)
                nan = i;
            else if (u >> 31)
                ninf = i;
            else
                pinf = i;
        }
        if (!is_zero(u))
            nonzero = i;
    }
    // The result of the window starting at lo, or false if it needs the sums.
    bool decide(int64_t lo, float *out) const
    {
        if (nan >= lo || (pinf >= lo && ninf >= lo))
            *out = __builtin_nanf("");
        else if (pinf >= lo)
            *out = __builtin_inff();
        else if (ninf >= lo)
            *out = -__builtin_inff();
        else if (nonzero < lo)
            *out = 0.0f;
        else
            return false;
        return true;
    }
};

// Outputs period - 1 .. count - 1: the windows that need no sums decided one by one, every
// run of the others through compute_results. A clean series costs one scan for non-finite
// values and a read of every period-th value.
void compute_decided(results_ctx &r, const float *input, int64_t count, float *output)
{
    const int period = r.period;
    int64_t nf = -1, zs = 0, ze = 0; // the next non-finite value and run of zeros
    bool zeros = true;
    for (int64_t k = period - 1; k < count;) {
        const int64_t lo = k - period + 1;
        if (nf < lo)
            nf = next_nonfinite(input, lo, count);
        if (zeros && ze <= k)
            zeros = next_zero_run(input, ze > lo ? ze : lo, count, period, &zs, &ze);
        // The first window from k on that holds a non-finite value or only zeros.
        int64_t s = nf > k ? nf : k;
        if (zeros && zs + period - 1 < s)
            s = zs + period - 1 > k ? zs + period - 1 : k;
        if (s > k) {
            // Outputs k .. s - 1 as a call of their own would compute them.
            const int64_t shift = k - (period - 1);
            compute_results(r, input + shift, s - shift, output + shift);
            k = s;
            if (k == count)
                break;
        }
        // Decide windows one by one while they need no sums.
        window_marks m{-1, -1, -1, -1};
        for (int64_t i = k - period + 1; i <= k; i++)
            m.see(i, bits_of(input[i]));
        const int64_t from = k;
        while (m.decide(k - period + 1, output + k) && ++k < count)
            m.see(k, bits_of(input[k]));
        if (r.stats)
            r.stats->decided += k - from;
    }
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
    const int chunk = period > SWMA_WEIGHT_CHUNK ? SWMA_LONG_WEIGHT_CHUNK : SWMA_WEIGHT_CHUNK;
    double store[SWMA_STORE];
    double *const w = store;

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
    results_ctx r{period, pp1, sum, store, pick(isa, results * period), isa, kernel, weak, stats,
                  false, {}};
    if (stats)
        *stats = swma_cert_stats{};
    // The exact kernel forced is the reference and takes every window as it comes; a test's
    // weakened estimate must see the windows it is meant to see.
    if (kernel == SWMA_KERNEL_EXACT || weak)
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
