// cert_cases.cpp: series and checks for the certified kernel.
#include "cert_cases.h"

#include "sinewma_internal.h"

#include <stdio.h>
#include <string.h>

#include <cmath>
#include <limits>

namespace swt {

std::vector<float> cert_series(Rng &rng, int n, int kind)
{
    std::vector<float> v(size_t(n > 0 ? n : 0));
    double price = 50.0 + 100.0 * rng.uniform();
    for (int i = 0; i < n; i++) {
        float x;
        switch (kind) {
        case kReturns:
            x = float(2.0 * rng.uniform() - 1.0);
            break;
        case kSquare:
            x = float(((i / 13) % 2 ? 1000.0 : -1000.0) + 4.0 * (rng.uniform() - 0.5));
            break;
        case kTiny: // 1e-38 scale, one in four subnormal
            x = float((rng.uniform() - 0.3) * (rng.below(4) ? 1e-38 : 1e-42));
            break;
        case kHuge:
            x = float((rng.uniform() - 0.4) * 3.4e38);
            break;
        default:
            price *= 1.0 + 0.02 * (rng.uniform() - 0.5);
            x = float(price);
        }
        v[size_t(i)] = x;
    }
    if (kind == kSpecials) {
        const uint32_t special[] = {0x7FC00000u, 0x7F800000u, 0xFF800000u, 0x80000000u,
                                    0x00000001u, 0x807FFFFFu, 0x7F7FC99Eu, 0x7F7FFFFFu,
                                    0xFF7FFFFFu, 0x00000000u};
        // Sparse: long ordinary runs between specials, so the kernel must recover after each.
        for (int i = 0; i < n; i++) {
            if (rng.below(3000) == 0) {
                const int len = rng.below(4) == 0 ? 1 + rng.below(40) : 1;
                const uint32_t b = special[rng.below(10)];
                for (int j = i; j < i + len && j < n; j++)
                    v[size_t(j)] = from_bits(b);
            }
        }
    }
    if (kind == kZeros) {
        for (int i = 0; i < n;) {
            const int len = 50 + rng.below(5000);
            if (rng.below(2)) {
                const bool neg = rng.below(2);
                for (int j = i; j < i + len && j < n; j++)
                    v[size_t(j)] = neg ? -0.0f : 0.0f;
            }
            i += len;
        }
    }
    return v;
}

std::vector<double> lib_weights(int period, double *sum)
{
    std::vector<double> w(size_t(period) + 1);
    swma_weights(1, period, double(period) + 1.0, w.data() + 1);
    double s = 0.0;
    for (int i = 1; i <= period; i++)
        s = s + w[size_t(i)];
    *sum = s;
    return w;
}

double window_sum(const std::vector<double> &w, const float *x, int period, long k)
{
    double t = 0.0;
    for (int i = 1; i <= period; i++)
        t = t + w[size_t(i)] * double(x[k - period + i]);
    return t;
}

double midpoint_distance(double q)
{
    const float f = float(q);
    if (!std::isfinite(f) || !std::isfinite(q))
        return std::numeric_limits<double>::infinity();
    const float other = q >= double(f) ? std::nextafter(f, std::numeric_limits<float>::infinity())
                                       : std::nextafter(f, -std::numeric_limits<float>::infinity());
    const double mid = (double(f) + double(other)) / 2; // exact
    const double ulp = std::nextafter(std::fabs(mid), std::numeric_limits<double>::infinity()) -
                       std::fabs(mid);
    return (q - mid) / ulp;
}

double embed_midpoint(std::vector<float> &x, const std::vector<double> &w, double sum,
                      int period, long k, double ulps)
{
    const int p = period;
    if (p < 2)
        return std::numeric_limits<double>::infinity();
    double head = 0.0; // terms 1 .. p-2
    for (int i = 1; i <= p - 2; i++)
        head = head + w[size_t(i)] * double(x[size_t(k - p + i)]);
    // Move x[k-1] a few float steps so that T up to it lies close to a midpoint times S.
    float best_prev = x[size_t(k - 1)];
    double best_res = std::numeric_limits<double>::infinity(), best_t1 = 0, best_mid = 0;
    float xp = x[size_t(k - 1)];
    for (int j = 0; j < 400; j++) {
        const double t1 = head + w[size_t(p - 1)] * double(xp);
        const double q = t1 / sum;
        const float f = float(q);
        const float up = std::nextafter(f, std::numeric_limits<float>::infinity());
        const float dn = std::nextafter(f, -std::numeric_limits<float>::infinity());
        for (float o : {up, dn}) {
            const double mid = (double(f) + double(o)) / 2;
            const double res = std::fabs(mid * sum - t1);
            if (res < best_res) {
                best_res = res;
                best_prev = xp;
                best_t1 = t1;
                best_mid = mid;
            }
        }
        xp = std::nextafter(xp, j % 2 ? -std::numeric_limits<float>::infinity()
                                      : std::numeric_limits<float>::infinity());
    }
    x[size_t(k - 1)] = best_prev;
    // x[k] brings T / S to `ulps` double ulps from the midpoint.
    const double ulp = std::nextafter(std::fabs(best_mid), std::numeric_limits<double>::infinity()) -
                       std::fabs(best_mid);
    const double target = best_mid + ulps * ulp;
    const double wp = w[size_t(p)];
    float xk = float((target * sum - best_t1) / wp);
    double got_best = std::numeric_limits<double>::infinity();
    float xk_best = xk;
    float lo = xk, hi = xk;
    for (int j = 0; j < 256; j++) {
        for (float c : {lo, hi}) {
            const double t = best_t1 + wp * double(c);
            const double d = midpoint_distance(t / sum);
            if (std::fabs(d - ulps) < std::fabs(got_best - ulps)) {
                got_best = d;
                xk_best = c;
            }
        }
        lo = std::nextafter(lo, -std::numeric_limits<float>::infinity());
        hi = std::nextafter(hi, std::numeric_limits<float>::infinity());
    }
    x[size_t(k)] = xk_best;
    return got_best;
}

namespace {

bool same(uint32_t a, uint32_t b)
{
    const bool na = (a & 0x7F800000u) == 0x7F800000u && (a & 0x007FFFFFu);
    const bool nb = (b & 0x7F800000u) == 0x7F800000u && (b & 0x007FFFFFu);
    return na || nb ? na && nb : a == b;
}

void compare_runs(const Average &cert, const Average &exact, const std::vector<float> &in,
                  int period, const char *what, Report &r)
{
    const int n = int(in.size());
    std::vector<float> a(size_t(n) + 2), b(size_t(n) + 2);
    // Canaries past the end: the kernels write nothing there. (By bytes: a signalling NaN
    // returned through the x87 stack on 32-bit x86 would come back quieted.)
    const uint32_t canary = 0x7FBADBADu;
    memcpy(&a[size_t(n)], &canary, 4);
    memcpy(&b[size_t(n)], &canary, 4);
    const int ra = cert(in.data(), period, n, a.data());
    const int rb = exact(in.data(), period, n, b.data());
    char msg[200];
    snprintf(msg, sizeof msg, "%s, period %d: returned %d and %d", what, period, ra, rb);
    r.expect(ra == n && rb == n, msg);
    snprintf(msg, sizeof msg, "%s, period %d: wrote past count", what, period);
    r.expect(bits(a[size_t(n)]) == 0x7FBADBADu, msg);
    for (int k = 0; k < n; k++) {
        if (!same(bits(a[size_t(k)]), bits(b[size_t(k)]))) {
            snprintf(msg, sizeof msg, "%s, period %d: output %d is %s, exact kernel %s", what,
                     period, k, hex(bits(a[size_t(k)])).c_str(), hex(bits(b[size_t(k)])).c_str());
            r.expect(false, msg);
            return;
        }
    }
    r.expect(true, what);
}

} // namespace

const char *const kRealNames[kRealKinds] = {"clean",     "nan-sparse", "nan-runs",
                                            "nan-dense", "inf-sparse", "zero-padded",
                                            "all-zeros", "chained",    "volume"};

std::vector<float> real_series(int kind, const std::vector<float> &walk, const Average &average)
{
    const int n = int(walk.size());
    std::vector<float> x = walk;
    Rng rng(uint64_t(kind) + 77);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    switch (kind) {
    case kNanSparse:
    case kNanDense: {
        const int every = kind == kNanSparse ? 20000 : 2000;
        for (int i = every / 2; i < n; i += every)
            x[size_t(i)] = nan;
        break;
    }
    case kNanRuns:
        for (int i = 4000 + int(rng.below(2001)); i < n; i += 4000 + int(rng.below(2001)))
            for (int j = i, e = i + 1 + int(rng.below(50)); j < e && j < n; j++)
                x[size_t(j)] = nan;
        break;
    case kInfSparse:
        for (int i = 10000, s = 0; i < n; i += 20000, s++)
            x[size_t(i)] = s % 2 ? -inf : inf;
        break;
    case kZeroPadded:
        for (int i = 0; i < n * 3 / 10; i++)
            x[size_t(i)] = 0.0f;
        break;
    case kAllZeros:
        for (float &v : x)
            v = 0.0f;
        break;
    case kChained:
        average(walk.data(), 14, n, x.data());
        break;
    case kVolume:
        for (float &v : x)
            v = rng.below(5) ? float(1 + rng.below(5000)) : 0.0f;
        break;
    default:
        break;
    }
    return x;
}


// Windows whose result needs no sums (a NaN, an infinity, only zeros), at their edges: the
// special value as the first and the last value of a window, at the first and last slot of
// an output block (480), of a bound chunk (32), of a segment, and at the series' ends;
// +inf and -inf in one window; runs of -0 a period long, one shorter and one longer, and
// one that ends inside a window; NoValue and the largest float, which need the sums; runs of
// NaN, and runs of zeros holding a NaN or an infinity.
void check_decided_edges(const Average &certified, const Average &exact, bool light, Report &r)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf,
                              from_bits(0x7F7FC99Eu), from_bits(0x7F7FFFFFu)};
    const char *names[] = {"NaN", "+inf", "-inf", "NoValue", "largest float"};
    const int periods[] = {17, 50, 1000, 1500};
    Rng rng(20261209);
    for (int p : periods) {
        if (light && p == 1500)
            continue;
        const int n = 6 * p + 9000;
        const std::vector<float> walk = cert_series(rng, n, kWalk);
        std::vector<int> at = {0, p - 2, p - 1, p, 2 * p - 1, n - p, n - 1};
        for (int edge : {31, 32, 479, 480, 2192, 2193, 4386, 4387, 8773})
            for (int d : {-p, -p + 1, -1, 0, 1})
                if (edge + d >= 0 && edge + d < n)
                    at.push_back(edge + d);
        char what[160];
        for (int s = 0; s < 5; s++) {
            std::vector<float> in = walk;
            for (int j : at)
                in[size_t(j)] = specials[s];
            snprintf(what, sizeof what, "%s as a window's first and last value at block edges",
                     names[s]);
            compare_runs(certified, exact, in, p, what, r);
        }
        // +inf and -inf a window apart, less, and more; then both in one window with a NaN
        // leaving it.
        std::vector<float> in = walk;
        for (int j = p; j + 2 * p + 2 < n; j += 3 * p + 7) {
            in[size_t(j)] = inf;
            in[size_t(j + p - 1 - int(rng.below(2)))] = -inf;
        }
        compare_runs(certified, exact, in, p, "+inf and -inf in one window and apart", r);
        // Zero runs of -0 and +0: p - 1, p, p + 1 and 3p long, and one ending mid-window.
        in = walk;
        int j = 3;
        for (int len : {p - 1, p, p + 1, 3 * p, p / 2 + 1}) {
            for (int i = 0; i < len && j + i < n; i++)
                in[size_t(j + i)] = (i + len) % 3 ? -0.0f : 0.0f;
            j += len + p / 3 + 1;
        }
        for (int i = n - 2 * p; i < n; i++)
            in[size_t(i)] = -0.0f; // the series ends on zeros
        compare_runs(certified, exact, in, p, "zero runs about a period long", r);
        // NaN runs from one value to two periods; then runs of blanks a period long and
        // longer, zeros with a NaN or an infinity among them.
        const float nan = std::numeric_limits<float>::quiet_NaN();
        in = walk;
        j = 5;
        for (int len : {1, 2, 50, p - 1, p, p + 1, 2 * p + 3}) {
            for (int i = 0; i < len && j + i < n; i++)
                in[size_t(j + i)] = nan;
            j += len + p / 2 + 3;
        }
        for (int len : {p, p + 40}) {
            for (int i = 0; i < len && j + i < n; i++)
                in[size_t(j + i)] = i == p / 3 ? nan : i == len - 1 ? -inf : -0.0f;
            j += len + p / 2 + 3;
        }
        compare_runs(certified, exact, in, p, "runs of NaN and of blanks", r);
    }
}

void check_certified(const Average &certified, const Average &exact, bool light, Report &r)
{
    static const char *names[] = {"walk", "returns", "square", "tiny", "huge", "specials", "zeros"};
    const int periods_full[] = {1, 2, 3, 5, 14, 30, 50, 200, 1000, 1500, 4000};
    const int periods_light[] = {1, 2, 14, 50, 1000, 1500};
    const int *periods = light ? periods_light : periods_full;
    const int np = light ? 6 : 11;
    Rng rng(20261208);
    for (int kind = 0; kind < kCertKinds; kind++) {
        for (int pi = 0; pi < np; pi++) {
            const int p = periods[pi];
            const int n = (light ? 30000 : 70000) + (p >= 1000 ? 3 * p : 0);
            std::vector<float> in = cert_series(rng, n, kind);
            char what[120];
            snprintf(what, sizeof what, "%s series", names[kind]);
            compare_runs(certified, exact, in, p, what, r);
            if (kind == kSpecials || kind == kZeros || kind == kHuge || p < 2)
                continue;
            // Near-midpoint windows after long ordinary runs: 1 to 1e6 double ulps away,
            // either side.
            double sum;
            const std::vector<double> w = lib_weights(p, &sum);
            const double dist[] = {1, 2, 4, 10, 30, 100, 1e3, 1e4, 1e5, 1e6};
            int at = 5000 + p;
            for (int rep = 0; rep < 2; rep++) {
                for (double d : dist) {
                    if (at >= n - 1)
                        break;
                    embed_midpoint(in, w, sum, p, at, rep ? -d : d);
                    at += 1700 + rng.below(900);
                }
            }
            snprintf(what, sizeof what, "%s series with near-midpoint windows", names[kind]);
            compare_runs(certified, exact, in, p, what, r);
        }
    }
    check_decided_edges(certified, exact, light, r);
}

} // namespace swt
