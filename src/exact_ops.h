// exact_ops.h: error-free transformations of doubles, shared by the sine and the certified
// kernel's constants. Each holds only under round to nearest with no fused multiply-add
// (the build's -ffp-contract=off) and no extended precision (SSE2 on 32-bit x86).
#ifndef SWMA_EXACT_OPS_H
#define SWMA_EXACT_OPS_H

// s + e == a + b exactly, for |a| >= |b| or a == 0 (Dekker).
inline void swma_fast_two_sum(double a, double b, double &s, double &e)
{
    s = a + b;
    e = b - (s - a);
}

// s + e == a + b exactly, whatever their sizes (Knuth).
inline void swma_two_sum(double a, double b, double &s, double &e)
{
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// hi + lo == a, each with at most 26 significant bits (Veltkamp), so their products are exact.
inline void swma_split(double a, double &hi, double &lo)
{
    const double c = 134217729.0 * a; // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

// p + e == a * b exactly (Dekker), barring overflow and underflow.
inline void swma_two_prod(double a, double b, double &p, double &e)
{
    double ah, al, bh, bl;
    p = a * b;
    swma_split(a, ah, al);
    swma_split(b, bh, bl);
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

#endif
