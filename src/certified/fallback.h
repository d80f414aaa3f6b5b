// fallback.h: the exact recomputation of what the certified variants could not certify.
// The driver hands it the marked outputs of each block; it computes them with the exact
// kernel's own passes, so they get the exact kernel's bits.
#ifndef SWMA_CERT_FALLBACK_H
#define SWMA_CERT_FALLBACK_H

#include "certified/certified.h"

using accumulate_fn = void (*)(const swma_pass &);

// Exact outputs for a set of ranges [start, start + len), by passes of the exact kernel
// (the same passes swma_compute makes, so the same bits). `w` holds all the weights when
// the period fits SWMA_WEIGHT_CHUNK; otherwise chunks are evaluated into it here. Where
// `scattered` is set, ranges of at most kScatterLen outputs go through it eight outputs a
// pass instead of a pass of sixteen each.
struct exact_ctx {
    const float *in;
    float *out;
    int period;
    double sum;
    double *w;   // weights, or room for a chunk of them
    double *acc; // room for SWMA_LONG_SPAN running sums
    accumulate_fn accumulate;
    void (*scattered)(const swma_scatter &);
};

constexpr int kMaxRanges = 256;
constexpr int kScatterLen = 4;

// Exact outputs for ranges [start[r], start[r] + len[r]), r < nr, within one span.
void swma_exact_ranges(const exact_ctx &x, const int *start, const uint16_t *len, int nr);

// All outputs [k0, k0 + n) exactly.
void swma_exact_block(const exact_ctx &x, int64_t k0, int n);


// Ranges waiting for the exact kernel: a long period's batch shares one evaluation of its
// weights, so failures are kept across blocks until the batch is full.
struct pending {
    int start[kMaxRanges];
    uint16_t len[kMaxRanges]; // at most SWMA_LONG_SPAN
    int nr = 0, total = 0;

    void flush(const exact_ctx &x)
    {
        if (nr)
            swma_exact_ranges(x, start, len, nr);
        nr = 0;
        total = 0;
    }
    // A range that takes `room` of the batch's running sums (at most `cap` in all).
    void add(const exact_ctx &x, int s, int l, int room, int cap)
    {
        if (nr == kMaxRanges || total + room > cap)
            flush(x);
        start[nr] = s;
        len[nr] = uint16_t(l);
        nr++;
        total += room;
    }
};

// The marked outputs of [k0, k0 + n) (those holding the failure marker's bits) into `pd`:
// `fails` of them, `covered` outputs of dense runs in the returned number of ranges,
// `scattered` outputs that go one by one.
int swma_add_failures(const exact_ctx &x, int64_t k0, int n, pending &pd, int &fails,
                      int &covered, int &scattered);

#endif
