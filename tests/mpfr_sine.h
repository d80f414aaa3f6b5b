// mpfr_sine.h: the correctly rounded sine of MPFR, the reference for the library's own.
#ifndef SWMA_MPFR_SINE_H
#define SWMA_MPFR_SINE_H

// The double nearest to sin(x).
double mpfr_sine(double x);
// The same, remembered per thread: the oracle asks for the same few angles again and again.
double mpfr_sine_cached(double x);

#endif
