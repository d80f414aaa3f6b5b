// certified.h: the certified sliding kernel (docs/certified.md derives every constant here).
//
// Each window's exact sum T_k is estimated by a complex recurrence that slides in O(1), and
// a running bound L_k >= |T_k - est_k| is carried beside it. When both ends of the interval
// around est_k / S narrow to the same float bits, that float is the result; otherwise the
// output is marked and computed later by the exact kernel. Nothing here changes a bit of
// any result: it only decides when the exact kernel's work can be skipped.
#ifndef SWMA_CERTIFIED_H
#define SWMA_CERTIFIED_H

#include "sinewma_internal.h"

// The per-call constants of the recurrence and of the bound, named as in docs/certified.md.
struct swma_cert {
    double vr, vi;  // v ~ exp(-i theta): one step of the recurrence multiplies the state by v
    double zr, zi;  // z ~ v^-p, the entering coefficient
    double a_c;     // bound coefficient of the state's size |C_r| + |C_i| (step rounding)
    double a_in;    // bound coefficient of |x_in|: step rounding of z x_in, plus K
    double c_out;   // bound coefficient of |x_out|: rounding + leaving mismatch - K (signed)
    double eta;     // absolute term per step (underflow), a normal number; a reseed starts
                    // the bound at eta times the most steps before the next reseed
    double omega;   // growth of the bound per step: >= max(1, |v|), padded
    // The SIMD variants' bound a chunk of at most SWMA_CERT_CHUNK steps at a time
    // (section 8): the growth over a chunk, >= omega^32, and the coefficients of the
    // chunk's sums of sc, |x_in| and |x_out|, each times that growth (c_out's only where
    // positive), padded.
    double ch_omega, ch_a_c, ch_a_in, ch_c_out;
    double r;       // fl(1 / S)
    double g;       // m = L g bounds |fl(T/S) - q| and the rounding of q -+ m
    double sum;     // S, the weight sum, as the exact kernel forms it
    double k;       // K: bound per unit of sum |x| on |T - Im D| (for the tests' report)
    int period;
    int reseed;     // outputs between reseeds of one segment (R)
    uint32_t safe_bits; // inputs since a reseed whose magnitudes' bits are at most this
                        // keep every interval end inside the float range: no clamps needed
};

// Steps per chunk of the SIMD variants: their bound grows a chunk at a time.
constexpr int SWMA_CERT_CHUNK = 32;

// The bound's starting value at a reseed: eta for every step it may take before the next
// reseed (p steps of the reseed itself and at most R + 4 after it).
inline double swma_cert_eta_budget(const swma_cert &c)
{
    return c.eta * (double(c.period) + double(c.reseed) + 8.0);
}

// Computes every constant for this period in double-double arithmetic from the library's
// own weights (swma_weights; or `weights`, w_1 .. w_p, where the caller holds them all);
// `sum` is the exact kernel's weight sum. O(period), nothing cached.
void swma_cert_setup(int period, double sum, swma_cert &c, const double *weights = nullptr);

// The marker the scalar and AVX2 variants write into an output slot they could not certify
// (SSE2 writes all bits set). An accepted result is always finite, so any NaN in a slot
// means "compute exactly".
constexpr uint32_t SWMA_CERT_FAILED_BITS = 0x7FC0F00Du;

// Test-only weakenings of the decision (the tests show each one changes some result). The
// export never passes any of them; a nonzero set forces the scalar variant.
enum swma_cert_weak : unsigned {
    SWMA_WEAK_NONE = 0,
    SWMA_WEAK_NO_DIVISION_PAD = 1, // m = L / S: no room for the roundings of q, T/S, q -+ m
    SWMA_WEAK_VALUES = 2,          // compare the narrowed ends as values, not bits
    SWMA_WEAK_NONFINITE = 4,       // no clamp: a NaN or infinite interval end gets through
    SWMA_WEAK_SMALL_BOUND = 8,     // the bound divided by 8
};

// The decision alone: the bits of the float both ends of the interval around est / S narrow
// to, or of the failure marker. Sound whenever |T - est| <= bound (and bound carries its
// K sum|x| and eta parts). Bits, not a float: 32-bit x86 returns floats on the x87 stack.
uint32_t swma_cert_decide(const swma_cert &c, double est, double bound, unsigned weak);

// Where a SIMD variant's lanes took in a NaN or an infinity: runs [from, to) of offsets
// from the segments' first outputs, in increasing order, any lane's. A chunk's leaving
// inputs lie p offsets behind its entering ones, so they may hold one only where such a
// run lies among them; there alone the chunk reads them masked. Masking a finite value
// reads it as itself, so when the runs outgrow their room the last one widens to take the
// next: more chunks masked, never fewer. Every run is also kept in `log`, up to kLog of
// them, with the lanes that may hold one there (bit l for lane l), so that the driver
// looks for the values there alone.
struct swma_nonfinite_runs {
    static constexpr int kRuns = 16, kLog = 64;
    int from[kRuns], to[kRuns];
    int first = 0, n = 0; // a ring: runs first .. first + n - 1 (mod kRuns)
    bool any = false;     // whether one came in at all
    int log_from[kLog], log_to[kLog];
    unsigned log_lanes[kLog];
    int logged = 0; // runs in the log; kLog + 1 once they outgrew it

    void add(int a, int b, unsigned lanes = ~0u)
    {
        any = true;
        if (logged && logged <= kLog && log_to[logged - 1] >= a) {
            log_to[logged - 1] = b;
            log_lanes[logged - 1] |= lanes;
        } else if (logged < kLog) {
            log_from[logged] = a;
            log_lanes[logged] = lanes;
            log_to[logged++] = b;
        } else
            logged = kLog + 1;
        const int last = (first + n - 1) % kRuns;
        if (n && (to[last] >= a || n == kRuns)) {
            to[last] = b;
            return;
        }
        const int q = (first + n) % kRuns;
        from[q] = a;
        to[q] = b;
        n++;
    }
    // The steps of four from offset j0 whose bits are set in `fours` (bit s: offsets
    // j0 + 4s .. j0 + 4s + 3, s < 8), each run of them as one, taken in by `lanes`.
    void add_fours(int j0, uint32_t fours, unsigned lanes)
    {
        while (fours) {
            const int s0 = __builtin_ctz(fours), s1 = __builtin_ctz(~(fours >> s0)) + s0;
            add(j0 + 4 * s0, j0 + 4 * s1, lanes);
            fours &= ~((1u << s1) - 1);
        }
    }
    // Whether offsets [a, b) may hold one. The offsets asked about only grow, so the runs
    // that end before a are dropped.
    bool hits(int a, int b)
    {
        while (n && to[first] <= a) {
            first = (first + 1) % kRuns;
            n--;
        }
        return n && from[first] < b;
    }
};

// What a SIMD variant hands back for a block of outputs k0 .. k0 + n - 1: the segments its
// lanes took (`lanes` of ns outputs, segment l from k0 + l ns; none when it left the block
// to the scalar variant), each lane's bound at the end of its segment, and where the
// failures lie, so that the driver scans those outputs alone: the chunks of the segments
// that hold one (a bit each: chunk 0 is a segment's first output, chunk c >= 1 its outputs
// 32c - 31 .. 32c, as the variants decide them). With too many chunks for the bits
// (`whole`), the driver scans every segment. Likewise the runs of offsets where lanes
// took in a NaN or an infinity, and which lanes (`taken`), so that the driver looks for
// them there alone when it decides the windows that hold one. The outputs past the segments are the
// driver's.
struct swma_cert_spans {
    static constexpr int kCells = 6144;
    static constexpr int kMaxLanes = 8;
    int64_t k0 = 0;
    int lanes = 0, ns = 0, row = 0; // row: chunks per segment
    bool any = false, whole = false;
    swma_nonfinite_runs taken; // where the lanes took in a NaN or an infinity
    double l_end[kMaxLanes];
    uint64_t cell[kCells / 64]; // bit l * row + c: chunk c of segment l
    // The chunk of a segment's output j, and the first output of chunk c.
    static int chunk(int j) { return (j + 31) / 32; }
    static int first(int c) { return c ? 32 * c - 31 : 0; }
    // A block of `lanes` segments of ns outputs from k0, no failure yet.
    void begin(int64_t first, int nlanes, int nseg)
    {
        k0 = first;
        lanes = nlanes;
        ns = nseg;
        row = chunk(nseg - 1) + 1;
        any = false;
        whole = int64_t(row) * nlanes > kCells;
        if (!whole)
            for (int w = 0; w < (row * nlanes + 63) / 64; w++)
                cell[w] = 0;
    }
    // Outputs [s, s + l) of one segment hold failures.
    void add(int64_t s, int l)
    {
        any = true;
        if (whole)
            return;
        const int64_t off = s - k0;
        const int lane = int(off / ns), j = int(off % ns);
        for (int c = chunk(j); c <= chunk(j + l - 1); c++) {
            const int q = lane * row + c;
            cell[q / 64] |= uint64_t(1) << (q % 64);
        }
    }
    // For the tests: where set, the SIMD variants write the estimate est_k and the bound
    // they decided output k with (L_k, or its chunk's M) for each output of their segments.
    double *trace_est = nullptr, *trace_bound = nullptr;
    // Outputs kl[l] + j0 + t for t < nj of nl segments: estimate est[t * nl + l], bound
    // m[l].
    void trace(const double *est, const double *m, const int64_t *kl, int nl, int j0, int nj)
    {
        for (int l = 0; l < nl; l++)
            for (int t = 0; t < nj; t++) {
                trace_est[kl[l] + j0 + t] = est[t * nl + l];
                trace_bound[kl[l] + j0 + t] = m[l];
            }
    }
};

// The scalar variant's estimates of outputs k0 .. k0 + n - 1 (period - 1 <= k0,
// k0 + n <= count): each slot gets its certified result or the failure marker. It reads a
// NaN or an infinity as +0, so its results for the windows that hold one are the driver's
// to replace. Returns the failures. Where est and bound are set (the tests' trace), est_k
// and L_k go there.
int swma_cert_block_scalar(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                           unsigned weak, double *est = nullptr, double *bound = nullptr);
// Up to eight outputs of the exact kernel at scattered positions, one per lane: the chunk
// of weights w[0 .. nw) times src[l][0 .. nw), added to acc[l] in ascending order (acc[l]
// starts from 0 when `first`); when `last`, fl(acc[l] / sum) narrowed into dst[l]. All
// eight lanes are set (the caller repeats a lane to fill them; a repeated lane has its
// own acc and a null dst).
struct swma_scatter {
    const double *w;
    int nw;
    bool first, last;
    double sum;
    const float *src[8];
    double *acc[8];
    float *dst[8];
};

#if defined(__i386__) || defined(__x86_64__)
void swma_cert_scattered_sse2(const swma_scatter &s);
void swma_cert_scattered_avx2(const swma_scatter &s);
// The SIMD variants: as many whole segments of the block as their lanes fill, into `spans`.
// They read a NaN or an infinity as +0, as the scalar variant does, where their inputs hold
// one: the driver replaces the results of the windows that hold one.
void swma_cert_block_sse2(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                          swma_cert_spans &spans);
void swma_cert_block_avx2(const swma_cert &c, const float *in, int64_t k0, int n, float *out,
                          swma_cert_spans &spans);
#endif

// The whole certified computation of outputs period - 1 .. count - 1 (the driver has written
// the no-value slots and formed `sum`). `store` is the driver's SWMA_STORE doubles; when
// period <= SWMA_WEIGHT_CHUNK its first `period` entries hold the weights already.
// `choose` lets blocks whose failures pile up run on the exact kernel instead. `c` holds
// the period's constants (swma_cert_setup), which any number of calls may share.
struct swma_cert_stats {
    int64_t certified; // outputs the estimate settled
    int64_t failed;    // outputs computed exactly after the estimate failed
    int64_t exact;     // outputs computed exactly because the block went to the exact kernel
    int64_t decided;   // outputs whose windows needed no sums (set by the driver)
};
void swma_certified(const float *input, int period, int count, float *output, double sum,
                    double *store, swma_isa isa, bool choose, unsigned weak,
                    swma_cert_stats *stats, const swma_cert &c);

// Whether the certified kernel is expected to beat the exact one for this call (`results`
// outputs past the warm-up, on path `isa`): long enough periods and calls only. With
// `constants_known` the period's constants are already at hand and cost nothing more.
bool swma_cert_pays(int period, int64_t results, swma_isa isa, bool constants_known = false);

// For the tests: est_k and the bound L_k of every output k in period - 1 .. count - 1 as the
// scalar variant carries them (reseeds included), into est[k] and bound[k].
void swma_cert_trace(const float *input, int period, int count, double *est, double *bound);
#if defined(__i386__) || defined(__x86_64__)
// The same from the lanes of the SSE2 or the AVX2 variant (`isa`; the CPU must have it),
// blocks as the driver cuts them, results into out: est and the bound each output was
// decided with where a lane decided it, NaN elsewhere (the outputs past the segments, and
// blocks that went to the scalar variant).
void swma_cert_trace_lanes(swma_isa isa, const float *input, int period, int count,
                           float *out, double *est, double *bound);
#endif

#endif
