// mpfr_sine.cpp: MPFR's sine, rounded to nearest at 53 bits (MPFR rounds correctly).
#include "mpfr_sine.h"

#include <mpfr.h>

#include <unordered_map>

namespace {
struct Scratch {
    mpfr_t a, s;
    Scratch() { mpfr_inits2(53, a, s, (mpfr_ptr)0); }
    ~Scratch()
    {
        mpfr_clears(a, s, (mpfr_ptr)0);
        mpfr_free_cache(); // MPFR keeps per-thread caches; free them with the thread
    }
};
} // namespace

double mpfr_sine(double x)
{
    thread_local Scratch m;
    mpfr_set_d(m.a, x, MPFR_RNDN);
    mpfr_sin(m.s, m.a, MPFR_RNDN);
    return mpfr_get_d(m.s, MPFR_RNDN);
}

double mpfr_sine_cached(double x)
{
    thread_local std::unordered_map<double, double> seen;
    auto it = seen.find(x);
    if (it != seen.end())
        return it->second;
    if (seen.size() > 4000000)
        seen.clear();
    return seen[x] = mpfr_sine(x);
}
