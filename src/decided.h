// decided.h: the windows whose results need no sums, and the scans that find them.
//
// By IEEE arithmetic over positive weights, a window that holds a NaN, or both infinities,
// gives a NaN; one that holds only one kind of infinity gives that infinity (no finite
// float times a weight of at most 1, summed period times, comes near the double's range);
// a window of zeros of either sign gives +0, as the sums start from +0. A "blank" is a value
// that is a zero, a NaN or an infinity: a window of blanks only is decided by these rules.
#ifndef SWMA_DECIDED_H
#define SWMA_DECIDED_H

#include "sinewma_internal.h"

inline bool swma_is_nonfinite(uint32_t u) { return (u & 0x7F800000u) == 0x7F800000u; }
inline bool swma_is_zero(uint32_t u) { return (u << 1) == 0; }
inline bool swma_is_blank(uint32_t u) { return swma_is_zero(u) || swma_is_nonfinite(u); }

// Whether x[i .. i + N) holds a NaN or an infinity: adding 1 to an all-ones exponent
// carries into the sign bit, a loop of fixed length that the compiler turns into vector
// operations.
template <int N> inline bool swma_any_nonfinite(const float *x, int64_t i)
{
    uint32_t any = 0;
    for (int j = 0; j < N; j++)
        any |= (swma_bits(x[i + j]) & 0x7F800000u) + 0x00800000u;
    return any & 0x80000000u;
}

// The first index in [i, n) whose value is a NaN or an infinity, or n. Whole blocks of 64
// values are tested first, then of 8 (the short runs the certified driver looks through).
inline int64_t swma_next_nonfinite(const float *x, int64_t i, int64_t n)
{
    for (; i + 64 <= n; i += 64)
        if (swma_any_nonfinite<64>(x, i))
            break;
    for (; i + 8 <= n; i += 8)
        if (swma_any_nonfinite<8>(x, i))
            break;
    for (; i < n; i++)
        if (swma_is_nonfinite(swma_bits(x[i])))
            return i;
    return n;
}

// The first index in [i, n) whose value is not a blank, or n.
inline int64_t swma_next_nonblank(const float *x, int64_t i, int64_t n)
{
    // Most runs of blanks are short: the next few values one by one first.
    for (const int64_t e = i + 8 < n ? i + 8 : n; i < e; i++)
        if (!swma_is_blank(swma_bits(x[i])))
            return i;
    for (; i + 64 <= n; i += 64) {
        // A blank's exponent is 0 (with a zero mantissa) or all ones: tested by blocks for
        // a value whose magnitude's bits lie strictly between.
        uint32_t any = 0;
        for (int j = 0; j < 64; j++)
            any |= (swma_bits(x[i + j]) & 0x7FFFFFFFu) - 1u < 0x7F7FFFFFu ? 1u : 0u;
        if (any)
            break;
    }
    for (; i < n; i++)
        if (!swma_is_blank(swma_bits(x[i])))
            return i;
    return n;
}

// The first run of at least `period` blanks that starts at or after `from`, as
// [*zs, *ze); false when there is none before n. Such a run holds an index
// from + period - 1 + m period for some m >= 0, so only those are read until a blank is found.
inline bool swma_next_blank_run(const float *x, int64_t from, int64_t n, int period, int64_t *zs,
                                int64_t *ze)
{
    for (int64_t j = from + period - 1; j < n; j += period) {
        if (!swma_is_blank(swma_bits(x[j])))
            continue;
        int64_t s = j;
        while (s > from && swma_is_blank(swma_bits(x[s - 1])))
            s--;
        const int64_t e = swma_next_nonblank(x, j + 1, n);
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
    // The result of the window starting at lo if it holds a NaN or an infinity, or false.
    bool decide_nonfinite(int64_t lo, float *out) const
    {
        if (nan >= lo || (pinf >= lo && ninf >= lo))
            *out = __builtin_nanf("");
        else if (pinf >= lo)
            *out = __builtin_inff();
        else if (ninf >= lo)
            *out = -__builtin_inff();
        else
            return false;
        return true;
    }
    // The result of the window starting at lo, or false if it needs the sums.
    bool decide(int64_t lo, float *out) const
    {
        if (decide_nonfinite(lo, out))
            return true;
        if (nonzero >= lo)
            return false;
        *out = 0.0f;
        return true;
    }
};

// What swma_decide_windows does with a window that holds no NaN and no infinity: leaves it
// and goes on to the next that holds one, stops there, or gives it +0 (the caller knows
// the window to hold zeros only).
enum swma_rest { SWMA_REST_SKIP, SWMA_REST_STOP, SWMA_REST_ZERO };

// The windows ending at q .. end - 1 decided into out by their NaN and infinities, the
// others as `rest` says. Returns how many were decided. A result holds until a non-finite
// value enters or the last of a kind leaves, so the work is one scan for non-finite values
// and a fill between those events. `next(i, n)` is the first index in [i, n) that holds a
// NaN or an infinity, or n, asked for increasing i from q - period + 1.
template <class Next>
inline int64_t swma_decide_windows(const float *x, int period, int64_t q, int64_t end,
                                   float *out, swma_rest rest, Next next_nonfinite)
{
    swma_window_marks m;
    int64_t next = next_nonfinite(q - period + 1, end); // the next not yet seen
    int64_t decided = 0;
    while (q < end) {
        for (; next <= q; next = next_nonfinite(next + 1, end))
            m.see(next, swma_bits(x[next]));
        const int64_t lo = q - period + 1;
        float v;
        int64_t t = next; // the first window after q whose result may differ
        if (m.decide_nonfinite(lo, &v)) {
            if (m.nan >= lo || (m.pinf >= lo && m.ninf >= lo)) {
                // While the window holds a NaN, or both infinities, whatever enters keeps
                // its result a NaN: what enters before that ends is taken in here, a run of
                // non-finite values read straight through rather than asked for one by one.
                for (;;) {
                    const int64_t both = m.pinf < m.ninf ? m.pinf : m.ninf;
                    t = (m.nan > both ? m.nan : both) + period;
                    if (next >= t || next >= end)
                        break;
                    m.see(next, swma_bits(x[next]));
                    next = next + 1 < end && swma_is_nonfinite(swma_bits(x[next + 1]))
                               ? next + 1
                               : next_nonfinite(next + 1, end);
                }
            } else {
                // One kind of infinity: until another non-finite value enters or the last
                // of it leaves.
                const int64_t l = m.pinf >= lo ? m.pinf : m.ninf;
                t = l + period < t ? l + period : t;
            }
        } else if (rest == SWMA_REST_ZERO) {
            v = 0.0f;
        } else if (rest == SWMA_REST_STOP) {
            break;
        } else {
            q = next;
            continue;
        }
        t = t < end ? t : end;
        decided += t - q;
        for (; q < t; q++)
            out[q] = v;
    }
    return decided;
}

// The same, every input scanned.
inline int64_t swma_decide_windows(const float *x, int period, int64_t q, int64_t end,
                                   float *out, swma_rest rest)
{
    return swma_decide_windows(x, period, q, end, out, rest, [x](int64_t i, int64_t n) {
        return swma_next_nonfinite(x, i, n);
    });
}

#endif
