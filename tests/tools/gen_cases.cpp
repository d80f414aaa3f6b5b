// gen_cases.cpp: writes tests/common/generated_cases.inc, the knife-edge series and the
// corpus digests, with MPFR's correctly rounded sine in the oracle. Linux only; to regenerate:
//   build/native/tests/gen_cases > tests/common/generated_cases.inc
// The output is fixed by the seeds below; the test generated_cases_current reruns it and
// compares with the committed file byte for byte.
#include "cases.h"

#include <mpfr.h>
#include <stdio.h>

#include <algorithm>
#include <cmath>

namespace {

double cr_sin(double x)
{
    mpfr_t a, s;
    mpfr_inits2(53, a, s, (mpfr_ptr)0);
    mpfr_set_d(a, x, MPFR_RNDN);
    mpfr_sin(s, a, MPFR_RNDN);
    double r = mpfr_get_d(s, MPFR_RNDN);
    mpfr_clears(a, s, (mpfr_ptr)0);
    return r;
}

long double frac(long double v) { return v - std::floor(v); }

// One window of `period` floats whose weighted average lies within a tiny fraction of a
// double ulp of a float rounding midpoint, followed by two ordinary values.
// With lever >= 0, that position holds the largest value by far, so a weight rounded one
// ulp differently there moves the quotient by about an ulp.
bool make_edge(swt::Rng &rng, int period, int lever, std::vector<float> &out)
{
    std::vector<long double> alpha(static_cast<size_t>(period));
    long double s = 0;
    for (int i = 0; i < period; i++)
        s += alpha[size_t(i)] = cr_sin(double(i + 1) * 3.14159 / (double(period) + 1.0));
    for (long double &a : alpha)
        a /= s;
    // Position i lies in the binade [2^(e-s_i), 2^(e-s_i+1)) with float ulp u_i; values of
    // several magnitudes make a fine enough lattice even for two or three positions.
    const int e = -8 + rng.below(25);
    const double sign = rng.below(2) ? 1.0 : -1.0;
    std::vector<double> c(static_cast<size_t>(period)), u(static_cast<size_t>(period));
    long double q = 0;
    for (int i = 0; i < period; i++) {
        int shift = i == 0 ? 0 : rng.below(period <= 3 ? 15 : 7);
        if (lever >= 0)
            shift = i == lever ? 0 : 10 + rng.below(6);
        u[size_t(i)] = std::ldexp(1.0, e - shift - 23);
        c[size_t(i)] = std::floor((1.2 + 0.6 * rng.uniform()) * 0x1p23) * u[size_t(i)];
        q += alpha[size_t(i)] * c[size_t(i)];
    }
    int eq;
    long double mant = std::frexp(q, &eq) * 2; // q = mant * 2^(eq-1), mant in [1, 2)
    if (mant < 1.05L || mant > 1.95L)
        return false;
    const long double uq = std::ldexp(1.0L, eq - 1 - 23); // the float ulp of the result
    long double base = q / uq;
    // Free positions split in two halves; search d_i so that frac(base + sum alpha_i d_i) = 1/2.
    std::vector<int> pos;
    for (int i = 0; i < period; i++)
        pos.push_back(i);
    for (int i = period - 1; i > 0; i--)
        std::swap(pos[size_t(i)], pos[size_t(rng.below(i + 1))]);
    const int nfree = std::min(period, 6);
    pos.resize(size_t(nfree));
    const int na = nfree / 2;
    auto range = [](int len) { return len == 1 ? 100000 : len == 2 ? 224 : 30; };
    struct Entry {
        long double f;
        std::vector<int> d;
    };
    auto enumerate = [&](int from, int len) {
        std::vector<Entry> v;
        const int D = range(len);
        std::vector<int> d(size_t(len), -D);
        for (;;) {
            long double t = 0;
            for (int j = 0; j < len; j++)
                {
                const size_t p = size_t(pos[size_t(from + j)]);
                t += alpha[p] * d[size_t(j)] * (u[p] / uq);
            }
            v.push_back({frac(t), d});
            int j = 0;
            while (j < len && ++d[size_t(j)] > D)
                d[size_t(j++)] = -D;
            if (j == len)
                break;
        }
        return v;
    };
    std::vector<Entry> A = enumerate(0, na), B = enumerate(na, nfree - na);
    for (Entry &a : A)
        a.f = frac(a.f + base);
    std::sort(A.begin(), A.end(), [](const Entry &x, const Entry &y) { return x.f < y.f; });
    long double best = 1;
    const Entry *ba = nullptr, *bb = nullptr;
    for (const Entry &b : B) {
        long double target = frac(0.5L - b.f);
        auto it = std::lower_bound(A.begin(), A.end(), target,
                                   [](const Entry &x, long double t) { return x.f < t; });
        for (auto cand : {it, it == A.begin() ? A.end() - 1 : it - 1}) {
            if (cand == A.end())
                cand = A.begin();
            long double dist = std::fabs(frac(cand->f + b.f) - 0.5L);
            if (dist < best) {
                best = dist;
                ba = &*cand;
                bb = &b;
            }
        }
    }
    std::vector<double> x = c;
    for (int j = 0; j < na; j++)
        x[size_t(pos[size_t(j)])] += ba->d[size_t(j)] * u[size_t(pos[size_t(j)])];
    for (int j = na; j < nfree; j++)
        x[size_t(pos[size_t(j)])] += bb->d[size_t(j - na)] * u[size_t(pos[size_t(j)])];
    out.clear();
    for (double v : x)
        out.push_back(float(sign * v));
    out.push_back(float(sign * c[0]));
    out.push_back(float(sign * c[1 % period]));
    // Keep it only if it is sharp: within 2^-30 float ulps of the midpoint (a double ulp is 2^-29).
    return best < 0x1p-30L;
}

} // namespace

int main()
{
    printf("// generated_cases.inc: knife-edge series and corpus digests. Generated by\n"
           "// tests/tools/gen_cases.cpp with an MPFR oracle; do not edit.\n\n");
    printf("// Knife edges: period, count, then count float bit patterns; 0 ends the list.\n");
    printf("static const uint32_t kKnifeEdgeData[] = {\n");
    swt::Rng rng(0x6B6E6966ull);
    // Periods 24 and 29 have a weight (position 2 and 1) whose angle glibc's sin rounds the
    // other way from the nearest double; those series lean on that weight.
    struct Plan {
        int period, lever;
    };
    const Plan plans[] = {{2, -1},  {3, -1},  {4, -1},  {5, -1},  {6, -1}, {7, -1},  {8, -1},
                          {10, -1}, {14, -1}, {24, 1},  {29, 0},  {50, -1}, {100, -1}};
    int made = 0;
    for (const Plan &plan : plans) {
        const int period = plan.period;
        for (int n = 0; n < 3;) {
            std::vector<float> v;
            if (!make_edge(rng, period, plan.lever, v))
                continue;
            n++;
            made++;
            printf("    %d, %d,", period, int(v.size()));
            for (size_t i = 0; i < v.size(); i++)
                printf("%s0x%08X,", i % 6 == 0 ? "\n        " : " ", (unsigned)swt::bits(v[i]));
            printf("\n");
        }
    }
    printf("    0};\n\n");
    fprintf(stderr, "%d knife edges\n", made);

    std::vector<uint64_t> d = swt::corpus_digests(
        [](const float *in, int p, int n, float *o) { return swt::oracle(in, p, n, o, cr_sin); });
    printf("// corpus_digests() of the oracle, case by case.\n");
    printf("static const uint64_t kCorpusDigests[] = {\n");
    for (uint64_t h : d)
        printf("    0x%016llXull,\n", (unsigned long long)h);
    printf("};\n");
    return 0;
}
