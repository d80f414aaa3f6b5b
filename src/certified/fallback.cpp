// fallback.cpp: exact outputs for the ranges the certified variants left marked.
#include "certified/fallback.h"

namespace {

// Collects outputs for the scattered kernel, eight to a pass.
struct scatter_batch {
    swma_scatter s;
    void (*run)(const swma_scatter &);
    int lanes = 0;
    double pad[8];

    void add(const float *src, double *acc, float *dst)
    {
        s.src[lanes] = src;
        s.acc[lanes] = acc;
        s.dst[lanes] = dst;
        if (++lanes == 8)
            flush();
    }
    // Empty lanes repeat lane 0 with copies of its sum, so they compute its values (and
    // raise no flag it does not) without writing anything.
    void flush()
    {
        if (!lanes)
            return;
        for (int l = lanes; l < 8; l++) {
            pad[l] = s.first ? 0.0 : *s.acc[0];
            s.src[l] = s.src[0];
            s.acc[l] = pad + l;
            s.dst[l] = nullptr;
        }
        run(s);
        lanes = 0;
    }
};

} // namespace

void swma_exact_ranges(const exact_ctx &x, const int *start, const uint16_t *len, int nr)
{
    const int p = x.period;
    const bool chunked = p > SWMA_WEIGHT_CHUNK;
    const double pp1 = double(p) + 1.0;
    double sums[8]; // the scattered outputs' sums when all weights are at hand
    // One pass over all the weights, or (long periods) ranges in one batch share each
    // chunk's evaluation, their running sums side by side in acc (the caller keeps a batch
    // within SWMA_LONG_SPAN outputs).
    for (int64_t i0 = 1; i0 <= p; i0 += SWMA_LONG_WEIGHT_CHUNK) {
        int nw = p;
        if (chunked) {
            nw = int(p - i0 + 1 < SWMA_LONG_WEIGHT_CHUNK ? p - i0 + 1 : SWMA_LONG_WEIGHT_CHUNK);
            swma_weights(i0, nw, pp1, x.w);
        }
        const bool last = i0 + nw > p;
        scatter_batch sb;
        sb.s.w = x.w;
        sb.s.nw = nw;
        sb.s.first = i0 == 1;
        sb.s.last = last;
        sb.s.sum = x.sum;
        sb.run = x.scattered;
        int off = 0;
        for (int r = 0; r < nr; r++) {
            if (x.scattered && len[r] <= kScatterLen) {
                for (int q = 0; q < len[r]; q++) {
                    const int64_t k = int64_t(start[r]) + q;
                    double *acc = chunked ? x.acc + off + q : sums + sb.lanes;
                    sb.add(x.in + (k - p + i0), acc, last ? x.out + k : nullptr);
                }
                off += len[r];
                continue;
            }
            for (int j0 = 0; j0 < len[r]; j0 += SWMA_OUTPUT_BLOCK) {
                const int nb = len[r] - j0 < SWMA_OUTPUT_BLOCK ? len[r] - j0 : SWMA_OUTPUT_BLOCK;
                const int64_t k = int64_t(start[r]) + j0;
                x.accumulate({x.w, nw, x.in + (k - p + i0), nb, chunked ? x.acc + off : x.acc,
                              i0 == 1, last ? x.out + k : nullptr, x.sum});
                if (chunked)
                    off += (nb + 15) / 16 * 16; // a variant's sums fill whole groups of 16
            }
        }
        sb.flush();
        if (!chunked)
            break;
    }
}

// All outputs [k0, k0 + n) exactly.
void swma_exact_block(const exact_ctx &x, int64_t k0, int n)
{
    const int cap = x.period <= SWMA_WEIGHT_CHUNK ? SWMA_OUTPUT_BLOCK : SWMA_LONG_SPAN;
    for (int j = 0; j < n; j += cap) {
        const int s = int(k0 + j);
        const uint16_t l = uint16_t(n - j < cap ? n - j : cap);
        swma_exact_ranges(x, &s, &l, 1);
    }
}

namespace {

// The marked slots of out[0 .. n), found 64 at a time: those holding the failure marker's
// bits (a window decided by its NaN holds another NaN).
class mark_scan {
public:
    mark_scan(const float *out, int n) : out_(out), n_(n) {}

    // The first marked slot at or after `from`, or n.
    int next(int from)
    {
        while (from < n_) {
            const int b = from & ~63;
            if (b != base_) {
                base_ = b;
                word_ = load(b);
            }
            if (const uint64_t w = word_ >> (from - b))
                return from + __builtin_ctzll(w);
            from = b + 64;
        }
        return n_;
    }

private:
    // Bit q for slot b + q, q < 64.
    uint64_t load(int b) const
    {
        const float *f = out_ + b;
        const int m = n_ - b < 64 ? n_ - b : 64;
        uint64_t bits = 0;
        for (int q = 0; q < m; q++)
            bits |= uint64_t(swma_bits(f[q]) == SWMA_CERT_FAILED_BITS) << q;
        return bits;
    }

    const float *out_;
    int n_;
    int base_ = -64;
    uint64_t word_ = 0;
};

} // namespace

// The marked outputs of [k0, k0 + n), exactly: runs of marks a few slots apart merge into
// one range (recomputing a certified slot gives the same bits), or, when a run's marks are
// sparse, each mark goes alone to the scattered kernel; batches of ranges share the
// weights' evaluation.
int swma_add_failures(const exact_ctx &x, int64_t k0, int n, pending &pd, int &fails,
                      int &covered, int &scattered)
{
    int ranges = 0;
    fails = 0;
    covered = 0;
    scattered = 0;
    mark_scan marks(x.out + k0, n);
    const int cap = x.period <= SWMA_WEIGHT_CHUNK ? SWMA_OUTPUT_BLOCK : SWMA_LONG_SPAN;
    constexpr int kGap = 8;
    for (int j = marks.next(0); j < n;) {
        // A run: extend while another mark lies within kGap slots of its end.
        int e = j + 1;
        for (int m = marks.next(e); m < n && m < e + kGap; m = marks.next(e))
            e = m + 1;
        const int l = e - j < SWMA_OUTPUT_BLOCK ? e - j : SWMA_OUTPUT_BLOCK;
        int f = 0;
        for (int q = marks.next(j); q < j + l; q = marks.next(q + 1))
            f++;
        fails += f;
        // A pass of the exact kernel computes sixteen outputs for the price of about four
        // scattered ones: a sparse run goes mark by mark to the scattered kernel.
        if (x.scattered && f <= kScatterLen * ((l + 15) / 16)) {
            scattered += f;
            for (int q = marks.next(j); q < j + l; q = marks.next(q + 1))
                pd.add(x, int(k0 + q), 1, 1, cap);
        } else {
            covered += l;
            ranges++;
            pd.add(x, int(k0 + j), l, (l + 15) / 16 * 16, cap);
        }
        j = marks.next(j + l);
    }
    return ranges;
}
