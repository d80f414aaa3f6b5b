// small_call.h: the path of calls with a few results, a host's newest bar.
#ifndef SWMA_SMALL_CALL_H
#define SWMA_SMALL_CALL_H

#include "sinewma_internal.h"

// out[j] = result j (from 0) of a period without a table, 1 <= results <= SWMA_SMALL_CALL,
// computed from rough weights and kept only if proven to be the exact weights' float (see
// small_call.cpp). Returns false, with out untouched, if any result is not proven.
bool swma_estimate_small(const float *input, int period, int results, float *out);

// Calls with at most this many results take the small-call path.
constexpr int SWMA_SMALL_CALL = 8;
// Whether a call takes the small-call path when its path is not forced.
inline bool swma_small_call(const float *input, int period, int count, const float *output)
{
    return input && output && period >= 1 && count >= period && count - period < SWMA_SMALL_CALL;
}

// The whole call for 1 <= period <= count < period + SWMA_SMALL_CALL, input and output not
// null: the no-value slots, then each result one ascending chain over the weights, a
// division and a narrowing, the same bits as the block paths. Returns count.
int swma_compute_small(const float *input, int period, int count, float *output);

#endif
