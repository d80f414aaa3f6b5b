// driver.cpp: the certified kernel's driver. It cuts the outputs into blocks, hands each
// to a variant, recomputes exactly what the variant could not certify, and chooses block by
// block between the estimate and the exact kernel by what each has cost
// (docs/certified.md, "The driver").
#include "certified/fallback.h"
#include "decided.h"

namespace {

inline bool finite_d(double x)
{
    return (swma_bits(x) & 0x7FF0000000000000ull) != 0x7FF0000000000000ull;
}

// A segment [kl, kl + ns) whose bound ended at l_end, redone on the scalar variant from
// where it went wrong: a segment still failing at its end (a huge value has left residue in
// the state), or whole if its bound ended non-finite (a safeguard only: the lanes take no
// NaN or infinity in). Whether it was; `scalar` counts the outputs redone.
bool recover_lane(const swma_cert &c, const float *in, int64_t kl, int ns, float *out,
                  double l_end, int &scalar)
{
    const int64_t end = kl + ns;
    if (!finite_d(l_end)) {
        swma_cert_block_scalar(c, in, kl, ns, out, 0);
        scalar += ns;
        return true;
    }
    // A lane still failing at its end: redo its final run of failures on the scalar variant,
    // which reseeds once failures pile up.
    constexpr int kStuck = 64;
    if (ns < 2 * kStuck)
        return false;
    int64_t f = end;
    while (f > kl && swma_bits(out[f - 1]) == SWMA_CERT_FAILED_BITS)
        f--;
    if (end - f < kStuck)
        return false;
    swma_cert_block_scalar(c, in, f, int(end - f), out, 0);
    scalar += int(end - f);
    return true;
}

// What a path costs, in nanoseconds measured on the benchmarks' machine (x86-64, AVX2, no
// FMA): an exact output costs exact0 + exact1 p, an estimate `estimate`, a range of failed
// outputs handed to the exact kernel range0 + range1 p, plus exact1 p per output in it, and
// an isolated failure (computed eight to a pass) scatter1 p. Only the driver's choice
// depends on them, never a result.
struct costs {
    double exact0, exact1, estimate, range0, range1;
    int lanes; // segments per block
    double scatter1;
};

costs path_costs(swma_isa isa)
{
    switch (isa) {
    case SWMA_ISA_AVX2:
#if defined(__i386__)
        return {0.6, 0.047, 1.7, 150, 1.25, 8, 0.2}; // eight ymm registers
#else
        return {0.6, 0.047, 1.2, 150, 1.25, 8, 0.17};
#endif
    case SWMA_ISA_SSE2:
#if defined(__i386__)
        return {0.9, 0.17, 3.2, 150, 2.0, 4, 0.4}; // eight xmm registers
#else
        return {0.7, 0.155, 2.2, 150, 2.0, 4, 0.35};
#endif
    default:
        return {0.5, 0.7, 8.5, 100, 1.5, 1, 0.0}; // no scattered kernel
    }
}

using block_fn = void (*)(const swma_cert &, const float *, int64_t, int, float *,
                         swma_cert_spans &);

// What a block cost on the estimate's path, by what the driver charges for it.
struct block_cost {
    int fails = 0;     // outputs that went to the exact kernel
    int ranges = 0;    // ranges of them, each a pass of the exact kernel
    int covered = 0;   // outputs those ranges cover
    int scattered = 0; // failures computed alone, eight to a pass
    int scalar = 0;    // outputs the scalar variant estimated
    int reseeds = 0;   // reseeds of a SIMD variant's lanes, p steps each
    int decided = 0;   // windows holding a NaN or an infinity, decided without sums
    int exact = 0;     // outputs past the segments summed by the exact kernel, not decided

    // The failures among outputs [s, s + l) to the fallback.
    void add_run(const exact_ctx &x, int64_t s, int l, pending &pd)
    {
        int f, cov, sc;
        ranges += swma_add_failures(x, s, l, pd, f, cov, sc);
        fails += f;
        covered += cov;
        scattered += sc;
    }
};

// The failures of a SIMD variant's segments to the fallback: the chunks it marked, the
// consecutive ones of a segment as one run, or every segment when it could not mark them.
void add_marked(const exact_ctx &x, const swma_cert_spans &spans, pending &pd, block_cost &b)
{
    if (spans.whole) {
        b.add_run(x, spans.k0, spans.lanes * spans.ns, pd);
        return;
    }
    const int row = spans.row, cells = spans.lanes * row;
    // The first cell at or after q whose bit is `bit`, or cells.
    const auto find = [&](int q, bool bit) {
        while (q < cells) {
            const uint64_t w = (bit ? spans.cell[q / 64] : ~spans.cell[q / 64]) >> (q % 64);
            if (w)
                return q + __builtin_ctzll(w) < cells ? q + __builtin_ctzll(w) : cells;
            q = (q / 64 + 1) * 64;
        }
        return cells;
    };
    for (int q = find(0, true); q < cells; q = find(q, true)) {
        const int lane = q / row, end = (lane + 1) * row;
        const int f = find(q + 1, false);
        const int e = f < end ? f : end;
        const int from = spans.first(q - lane * row);
        const int to = e == end ? spans.ns : spans.first(e - lane * row);
        b.add_run(x, spans.k0 + int64_t(lane) * spans.ns + from, to - from, pd);
        q = e;
    }
}

// The first index in [i, n) that holds a NaN or an infinity, for the windows of a block
// whose segments a SIMD variant took: among the segments' inputs it looks only where the
// lanes that took one in did (lane l's inputs lie at offsets -p + 1 .. ns - 1 from its
// first output, and those before offset 0 are the previous lane's, so each lane after the
// first is looked at from offset 0); past the segments, everywhere. Asked for increasing i.
struct taken_inputs {
    const float *in;
    const swma_cert_spans &s;
    int64_t lo; // the first input of the block's first window
    int lane = 0, run = 0;

    int64_t operator()(int64_t i, int64_t n)
    {
        const swma_nonfinite_runs &t = s.taken;
        if (!s.lanes || t.logged > t.kLog)
            return swma_next_nonfinite(in, i, n);
        for (; lane < s.lanes; lane++, run = 0) {
            const int64_t base = s.k0 + int64_t(lane) * s.ns;
            const int64_t floor = lane ? base : lo, ceil = base + s.ns;
            for (; run < t.logged; run++) {
                if (!(t.log_lanes[run] >> lane & 1))
                    continue;
                int64_t a = base + t.log_from[run], b = base + t.log_to[run];
                a = a < floor ? floor : a;
                a = a < i ? i : a;
                b = b < ceil ? b : ceil;
                if (a >= b)
                    continue;
                if (a >= n)
                    return n;
                const int64_t e = b < n ? b : n, f = swma_next_nonfinite(in, a, e);
                if (f < e || b > n)
                    return f;
            }
        }
        const int64_t past = s.k0 + int64_t(s.lanes) * s.ns;
        return swma_next_nonfinite(in, i > past ? i : past, n);
    }
};

// Everything one call of the driver works with.
struct driver {
    const swma_cert &c;
    const float *in;
    float *out;
    exact_ctx x;
    block_fn lanes; // the SIMD variant, or none
    costs cost;
    unsigned weak;
    pending &pd;

    // Outputs [k0, k0 + n) on the estimate: the variant's segments (lanes that still fail
    // at their end redone), the rest on the scalar variant; then the windows holding a NaN
    // or an infinity decided over whatever the estimate left there, and the failures to
    // the fallback.
    block_cost estimate(int64_t k0, int n, bool scalar_only)
    {
        block_cost b;
        const int p = c.period;
        // A block whose every window holds a NaN or an infinity needs no estimate: decided
        // from its first window, when that holds one, up to the first that holds none.
        if (swma_next_nonfinite(in, k0 - p + 1, k0 + 1) <= k0 &&
            swma_decide_windows(in, p, k0, k0 + n, out, SWMA_REST_STOP) == n) {
            b.decided = n;
            return b;
        }
        swma_cert_spans spans;
        if (lanes && !scalar_only)
            lanes(c, in, k0, n, out, spans);
        if (spans.lanes) {
            b.reseeds = spans.lanes;
            bool redone = false;
            if (spans.any)
                for (int l = 0; l < spans.lanes; l++)
                    redone |= recover_lane(c, in, k0 + int64_t(l) * spans.ns, spans.ns, out,
                                           spans.l_end[l], b.scalar);
            spans.whole |= redone; // its marks no longer tell where the failures are
        }
        // The outputs past the segments: on the scalar variant, or, where a SIMD variant ran
        // and the exact kernel's outputs cost less than the scalar variant's estimates (short
        // periods), on the exact kernel.
        const int done = spans.lanes * spans.ns, tail = n - done;
        const double exact_one = cost.exact0 + cost.exact1 * c.period;
        const double scalar_est = path_costs(SWMA_ISA_SCALAR).estimate;
        const bool tail_exact = tail && spans.lanes &&
                                cost.range0 + tail * exact_one < tail * scalar_est;
        bool tail_failed = false;
        if (tail_exact) {
            swma_exact_block(x, k0 + done, tail);
            b.exact = tail;
            b.ranges++;
            b.covered += tail;
        } else if (tail) {
            tail_failed = swma_cert_block_scalar(c, in, k0 + done, tail, out, weak) > 0;
            b.scalar += tail;
        }
        // Whether the windows hold a NaN or an infinity: the variant tests every input its
        // segments take in and says where; the inputs past them are scanned here.
        const int64_t unseen = spans.lanes ? k0 + done : k0 - p + 1;
        if (spans.taken.any || swma_next_nonfinite(in, unseen, k0 + n) < k0 + n) {
            const int64_t mid = k0 + done;
            b.decided = int(swma_decide_windows(in, p, k0, mid, out, SWMA_REST_SKIP,
                                                taken_inputs{in, spans, k0 - p + 1}));
            const int in_tail = int(swma_decide_windows(in, p, mid, k0 + n, out, SWMA_REST_SKIP,
                                                        taken_inputs{in, spans, k0 - p + 1}));
            b.decided += in_tail;
            if (tail_exact)
                b.exact -= in_tail;
        }
        if (spans.any)
            add_marked(x, spans, pd, b);
        if (tail_failed)
            b.add_run(x, k0 + done, n - done, pd);
        return b;
    }

    // What the block cost on the estimate, in the cost table's nanoseconds.
    double charge(const block_cost &b, int n) const
    {
        const double p = x.period;
        const double exact_one = cost.exact0 + cost.exact1 * p;
        const double scalar_est = path_costs(SWMA_ISA_SCALAR).estimate;
        return (n - b.scalar - b.exact) * cost.estimate + b.scalar * scalar_est +
               b.reseeds * p * cost.estimate / 4 + b.ranges * (cost.range0 + cost.range1 * p) +
               b.covered * exact_one + b.scattered * cost.scatter1 * p;
    }
};

// The choice between the estimate and the exact kernel, block by block. After a block
// whose estimate cost more than the exact kernel would have, the next blocks go to the
// exact kernel, 1, 2, 4 ... 64 of them; then a probe (R outputs on the scalar variant,
// cheap next to an exact block of a long period) tells whether the estimate pays again.
struct policy {
    bool choose;      // the kernel is the driver's choice; else always the estimate
    bool cheap_probe; // a scalar estimate costs less than an exact output
    int exact_left = 0, backoff = 1;
    bool probe = false;

    // The next block's kernel: true for the exact one.
    bool exact_next()
    {
        if (exact_left == 0)
            return false;
        exact_left--;
        probe = exact_left == 0 && cheap_probe;
        return true;
    }
    void after_estimate(double est_cost, double exact_cost)
    {
        if (choose && est_cost > exact_cost) {
            exact_left = backoff;
            backoff = backoff < 64 ? backoff * 2 : 64;
        } else if (choose && !probe) {
            backoff = 1; // a probe's success alone does not forget the losses
        }
        probe = false;
    }
};

// The length of the block from k0: `lanes` segments of 4m + 1 outputs fill it exactly
// (see the variants). The call's first block is short (segments of 2193 outputs at most):
// if its failures pile up, the exact kernel takes over before a long block is spent. A
// short last block keeps segments 145 (mod 1024) outputs long where it can, so its lanes
// stay in different cache sets too (see swma_cert_setup); the rest follows as one more,
// shorter block.
int block_length(const swma_cert &c, int lanes, int64_t k0, int64_t count, bool probe)
{
    const int64_t blk = lanes > 1 ? int64_t(c.reseed / 4 * 4 + 1) * lanes : c.reseed;
    const int64_t first_blk = lanes * (c.reseed < 2192 ? int64_t(c.reseed + 1) : 2193);
    const int64_t want = probe ? c.reseed : k0 == c.period - 1 ? first_blk : blk;
    int n = int(count - k0 < want ? count - k0 : want);
    if (n < want && lanes > 1 && n / lanes > 1024 + 145)
        n = lanes * ((n / lanes - 145) / 1024 * 1024 + 145);
    return n;
}

} // namespace

void swma_certified(const float *input, int period, int count, float *output, double sum,
                    double *store, swma_isa isa, bool choose, unsigned weak,
                    swma_cert_stats *stats, const swma_cert &c)
{
    const int p = period;
    double *const acc =
        store + (p <= SWMA_WEIGHT_CHUNK ? SWMA_WEIGHT_CHUNK : SWMA_LONG_WEIGHT_CHUNK);
    const exact_ctx x{input, output, p, sum, store, acc, swma_accumulate_scalar, nullptr};
    pending pd; // not cleared: it holds only what was added
    driver d{c, input, output, x, nullptr, path_costs(isa), weak, pd};
#if defined(__i386__) || defined(__x86_64__)
    // A test's weakened decision is the scalar variant's, beside the scalar exact kernel.
    const swma_isa path = weak ? SWMA_ISA_SCALAR : isa;
    if (path == SWMA_ISA_AVX2) {
        d.x.accumulate = swma_accumulate_avx2;
        d.x.scattered = swma_cert_scattered_avx2;
        d.lanes = swma_cert_block_avx2;
    } else if (path == SWMA_ISA_SSE2) {
        d.x.accumulate = swma_accumulate_sse2;
        d.x.scattered = swma_cert_scattered_sse2;
        d.lanes = swma_cert_block_sse2;
    }
#endif
    const double exact_one = d.cost.exact0 + d.cost.exact1 * p;
    policy pol{choose, path_costs(SWMA_ISA_SCALAR).estimate * 1.5 < exact_one};

    int64_t n_cert = 0, n_fail = 0, n_exact = 0, n_decided = 0;
    for (int64_t k0 = p - 1; k0 < count;) {
        const int n = block_length(c, d.cost.lanes, k0, count, pol.probe);
        if (pol.exact_next()) {
            swma_exact_block(d.x, k0, n);
            n_exact += n;
        } else {
            const block_cost b = d.estimate(k0, n, pol.probe);
            n_cert += n - b.fails - b.decided - b.exact;
            n_exact += b.exact;
            n_fail += b.fails;
            n_decided += b.decided;
            pol.after_estimate(d.charge(b, n), double(n) * exact_one);
        }
        k0 += n;
    }
    d.pd.flush(d.x);
    if (stats) {
        stats->certified += n_cert;
        stats->failed += n_fail;
        stats->exact += n_exact;
        stats->decided += n_decided;
    }
}

bool swma_cert_pays(int period, int64_t results, swma_isa isa, bool constants_known)
{
    const costs cost = path_costs(isa);
    const double p = period;
    // Per output the exact kernel costs exact0 + exact1 p, the estimate a fixed amount and
    // some failures. The call pays the constants (per weight a sine for the sum, one for the
    // mismatch and a double-double step, two chains side by side: about 36 ns, 52 on 32-bit
    // x86) and a reseed per segment of each block.
#if defined(__i386__)
    constexpr double kSetup = 52.0;
#else
    constexpr double kSetup = 36.0;
#endif
    // Beside its estimates the path pays about 0.35 ns per output for the scans for NaN,
    // infinities and runs of blanks and the stores around the estimates: at period 17 it
    // measured 1.5-1.7 ns per output on AVX2 (the exact kernel: 1.5) and 2.4-2.6 on SSE2
    // (the exact kernel: 3.0).
    constexpr double kAround = 0.35;
    const double gain = cost.exact0 + cost.exact1 * p - (cost.estimate * 1.15 + kAround);
    if (gain <= 0)
        return false;
    const double setup =
        (constants_known ? 0.0 : kSetup * p) + double(cost.lanes) * p * cost.estimate;
    return double(int(results)) * gain > 2.0 * setup; // results <= INT_MAX
}

