// decided.h: the windows whose results need no sums, and the scans that find them.
//
// By IEEE arithmetic over positive weights, a window that holds a NaN, or both infinities,
// gives a NaN; one that holds only one kind of infinity gives that infinity (no finite
// float times a weight of at most 1, summed period times, comes near the double's range);
// a window of zeros of either sign gives +0, as the sums start from +0.
#ifndef SWMA_DECIDED_H
#define SWMA_DECIDED_H

#include "sinewma_internal.h"

inline bool swma_is_nonfinite(uint32_t u) { return (u & 0x7F800000u) == 0x7F800000u; }
inline bool swma_is_zero(uint32_t u) { return (u << 1) == 0; }

// The first index in [i, n) whose value is a NaN or an infinity, or n. Whole blocks of 64
// values are tested first: adding 1 to an all-ones exponent carries into the sign bit, a
// loop of fixed length that the compiler turns into vector operations.
inline int64_t swma_next_nonfinite(const float *x, int64_t i, int64_t n)
{
    for (; i + 64 <= n; i += 64) {
        uint32_t any = 0;
        for (int j = 0; j < 64; j++)
            any |= (swma_bits(x[i + j]) & 0x7F800000u) + 0x00800000u;
        if (any & 0x80000000u)
            break;
    }
    for (; i < n; i++)
        if (swma_is_nonfinite(swma_bits(x[i])))
            return i;
    return n;
}

// The first index in [i, n) whose value is not a zero of either sign, or n.
inline int64_t swma_next_nonzero(const float *x, int64_t i, int64_t n)
{
    for (; i + 64 <= n; i += 64) {
        uint32_t any = 0;
        for (int j = 0; j < 64; j++)
            any |= swma_bits(x[i + j]) << 1;
        if (any)
            break;
    }
    for (; i < n; i++)
        if (!swma_is_zero(swma_bits(x[i])))
            return i;
    return n;
}

// The first run of at least `period` zeros (of either sign) that starts at or after `from`,
// as [*zs, *ze); false when there is none before n. Such a run holds an index
// from + period - 1 + m period for some m >= 0, so only those are read until a zero is found.
inline bool swma_next_zero_run(const float *x, int64_t from, int64_t n, int period, int64_t *zs,
                               int64_t *ze)
{
    for (int64_t j = from + period - 1; j < n; j += period) {
        if (!swma_is_zero(swma_bits(x[j])))
            continue;
        int64_t s = j;
        while (s > from && swma_is_zero(swma_bits(x[s - 1])))
            s--;
        const int64_t e = swma_next_nonzero(x, j + 1, n);
        if (e - s >= period) {
            *zs = s;
            *ze = e;
            return true;
        }
        j = e - 1; // the next candidate is e + period - 1
    }
    return false;
}

// The last index of each kind of value seen so far: they decide a window
// [k - period + 1, k] in O(1).
struct swma_window_marks {
    int64_t nan = -1, pinf = -1, ninf = -1, nonzero = -1;

    void see(int64_t i, uint32_t u)
    {
        if (swma_is_nonfinite(u)) {
            if (u & 0x7FFFFFu)
                nan = i;
            else if (u >> 31)
                ninf = i;
            else
                pinf = i;
        }
        if (!swma_is_zero(u))
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

#endif
