// exact_ops.h: error-free transformations of doubles, shared by the sine and the certified
// kernel's constants. Each holds only under round to nearest with no fused multiply-add
// (the build's -ffp-contract=off) and no extended precision (SSE2 on 32-bit x86). T is
// double or a vector of doubles (swma_v2d), lane by lane the same.
#ifndef SWMA_EXACT_OPS_H
#define SWMA_EXACT_OPS_H

#include <stdint.h>

// Two doubles side by side (SSE2 on x86, NEON on ARM, plain pairs elsewhere), for two
// computations at once; each lane rounds exactly as the scalar code would.
typedef double swma_v2d __attribute__((vector_size(16)));
typedef int64_t swma_v2l __attribute__((vector_size(16)));

// a where m is all ones, else b
inline swma_v2d swma_pick_lanes(swma_v2l m, swma_v2d a, swma_v2d b)
{
    return (swma_v2d)(((swma_v2l)a & m) | ((swma_v2l)b & ~m));
}

// s + e == a + b exactly, for |a| >= |b| or a == 0 (Dekker).
template <class T> inline void swma_fast_two_sum(T a, T b, T &s, T &e)
{
    s = a + b;
    e = b - (s - a);
}

// s + e == a + b exactly, whatever their sizes (Knuth).
template <class T> inline void swma_two_sum(T a, T b, T &s, T &e)
{
    s = a + b;
    const T bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// hi + lo == a, each with at most 26 significant bits (Veltkamp), so their products are exact.
template <class T> inline void swma_split(T a, T &hi, T &lo)
{
    const T c = 134217729.0 * a; // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

// p + e == a * b exactly (Dekker), barring overflow and underflow.
template <class T> inline void swma_two_prod(T a, T b, T &p, T &e)
{
    T ah, al, bh, bl;
    p = a * b;
    swma_split(a, ah, al);
    swma_split(b, bh, bl);
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

#endif
