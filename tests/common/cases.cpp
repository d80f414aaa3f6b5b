// cases.cpp: the shared test cases and the oracle.
#include "cases.h"

#include <stdio.h>
#include <string.h>

#include <cmath>
#include <limits>
#include <thread>

namespace swt {

uint32_t bits(float f)
{
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

float from_bits(uint32_t b)
{
    float f;
    memcpy(&f, &b, sizeof f);
    return f;
}

std::string hex(uint32_t b)
{
    char s[16];
    snprintf(s, sizeof s, "0x%08X", (unsigned)b);
    return s;
}

int oracle(const float *input, int period, int count, float *output, Sine sine)
{
    // Warm-up never past count (the library's bound), then the definition as written.
    for (int k = 0; k < period - 1 && k < count; k++)
        output[k] = from_bits(kNoValueBits);
    const double n1 = double(period) + 1.0;
    double s = 0.0;
    for (int i = 1; i <= period; i++)
        s = s + sine(double(i) * 3.14159 / n1);
    for (int k = period - 1; k < count; k++) {
        double t = 0.0;
        for (int i = 1; i <= period; i++)
            t = t + sine(double(i) * 3.14159 / n1) * double(input[k - period + i]);
        output[k] = float(t / s);
    }
    return count;
}

bool matches_oracle_at_ends(const float *input, int period, int count, const float *output,
                            Sine sine)
{
    const int part = 4000 + period;
    std::vector<float> want(static_cast<size_t>(part));
    const int n = count < part ? count : part;
    oracle(input, period, n, want.data(), sine);
    if (memcmp(output, want.data(), sizeof(float) * size_t(n)) != 0)
        return false;
    if (count <= part)
        return true;
    const int from = count - part; // the oracle's first period-1 slots there are no-value slots
    oracle(input + from, period, part, want.data(), sine);
    return memcmp(output + from + period - 1, want.data() + period - 1,
                  sizeof(float) * size_t(part - period + 1)) == 0;
}

uint64_t Rng::next()
{
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::uniform() { return double(next() >> 11) * 0x1p-53; }

int Rng::below(int n) { return int(next() % uint64_t(n)); }

std::vector<float> series(Rng &rng, int n, int kind)
{
    std::vector<float> v(size_t(n > 0 ? n : 0));
    double price = 100.0 * (0.5 + rng.uniform());
    for (int i = 0; i < n; i++) {
        switch (kind) {
        case 1: // a square wave of +-1000 (26 values a cycle) with noise of a few units
            v[size_t(i)] = float(((i / 13) % 2 ? 1000.0 : -1000.0) + 4.0 * (rng.uniform() - 0.5));
            break;
        case 3: { // any finite float, all exponents
            uint32_t b;
            do
                b = uint32_t(rng.next());
            while ((b & 0x7F800000u) == 0x7F800000u);
            v[size_t(i)] = from_bits(b);
            break;
        }
        default:
            price *= 1.0 + 0.02 * (rng.uniform() - 0.5);
            v[size_t(i)] = float(price);
        }
    }
    if (kind == 2) {
        const uint32_t special[] = {0x7FC00000u, 0x7F800000u, 0xFF800000u, 0x80000000u,
                                    0x00000001u, 0x807FFFFFu, kNoValueBits, 0x7F7FFFFFu,
                                    0xFF7FFFFFu, 0x00800000u};
        for (int i = 0; i < n; i++)
            if (rng.below(16) == 0)
                v[size_t(i)] = from_bits(special[rng.below(10)]);
    }
    return v;
}

std::vector<Known> known_answers()
{
    const uint32_t nv = kNoValueBits;
    std::vector<Known> k;
    k.push_back({"ramp period 3", {1, 2, 3, 4, 5}, 3, 5,
                 {nv, nv, 0x40000003, 0x40400003, 0x40800002}});
    k.push_back({"ramp period 4", {1, 2, 3, 4, 5, 6, 7, 8}, 4, 8,
                 {nv, nv, nv, 0x40200005, 0x40600005, 0x40900002, 0x40B00002, 0x40D00002}});
    k.push_back({"powers of two period 5", {2, 4, 8, 16, 32}, 5, 5, {nv, nv, nv, nv, 0x41356FA8}});
    k.push_back({"alternating period 2", {-1, 1, -1, 1, -1}, 2, 5,
                 {nv, 0x354DA0CF, 0xB54DA0CF, 0x354DA0CF, 0xB54DA0CF}});
    k.push_back({"constant 10 period 4", {10, 10, 10, 10, 10, 10}, 4, 6,
                 {nv, nv, nv, 0x41200000, 0x41200000, 0x41200000}});
    const float nz = from_bits(0x80000000u);
    k.push_back({"negative zeros give +0", {nz, nz, nz, nz}, 3, 4, {nv, nv, 0, 0}});
    const float inf = std::numeric_limits<float>::infinity();
    const float fmax = std::numeric_limits<float>::max();
    const float tiny = from_bits(1);
    k.push_back({"period 1 copies, -0 to +0", {1.5f, -inf, inf, nz, tiny, -fmax, 3e-39f}, 1, 7,
                 {0x3FC00000, 0xFF800000, 0x7F800000, 0, 1, 0xFF7FFFFF, bits(3e-39f)}});
    const float nvf = from_bits(nv);
    k.push_back({"all NoValue windows", {nvf, nvf, nvf, nvf, nvf, nvf}, 4, 6,
                 {nv, nv, nv, nv, nv, nv}});
    k.push_back({"largest finite stays finite", {fmax, fmax, fmax}, 3, 3,
                 {nv, nv, 0x7F7FFFFF}});
    k.push_back({"NoValue is an ordinary number", {nvf, nvf, 5}, 3, 3, {nv, nv, 0x7F34DE77}});
    k.push_back({"infinities", {1, inf, 2, 3, -inf, 4}, 2, 6,
                 {nv, 0x7F800000, 0x7F800000, bits(2.5000005f), 0xFF800000, 0xFF800000}});
    k.push_back({"both infinities meet", {inf, -inf}, 2, 2, {nv, 0x7FC00000}});
    const float qnan = from_bits(0x7FC00000u);
    k.push_back({"NaN in a window", {qnan, 1, 2, 3, 4}, 2, 5,
                 {nv, 0x7FC00000, bits(1.5000004f), bits(2.5000005f), bits(3.5000005f)}});
    return k;
}

void Report::expect(bool ok, const std::string &what)
{
    if (ok)
        passed++;
    else
        failures.push_back(what);
}

namespace {

bool is_nan_bits(uint32_t b) { return (b & 0x7F800000u) == 0x7F800000u && (b & 0x7FFFFFu); }

// Same bits, where any NaN matches any NaN (its payload is the CPU's business).
bool same(uint32_t a, uint32_t b) { return a == b || (is_nan_bits(a) && is_nan_bits(b)); }

} // namespace

bool same(float a, float b) { return same(bits(a), bits(b)); }

namespace {

std::string describe(const char *what, int period, int count, int k, uint32_t got, uint32_t want)
{
    char s[200];
    snprintf(s, sizeof s, "%s: period %d count %d slot %d: got %s want %s", what, period, count,
             k, hex(got).c_str(), hex(want).c_str());
    return s;
}

// Runs f over `in` with `guard` canary slots on each side of `count` output slots.
// Returns the count slots; any stray write or a wrong return value is a failure.
std::vector<uint32_t> run_guarded(const Average &f, const std::vector<float> &in, int period,
                                  int count, const char *what, Report &r)
{
    const int guard = 8;
    const uint32_t canary = 0x7FBADBADu; // a signalling NaN nobody computes
    const int slots = count > 0 ? count : 0;
    std::vector<float> buf(size_t(slots + 2 * guard), from_bits(canary));
    int ret = f(in.empty() ? nullptr : in.data(), period, count, buf.data() + guard);
    r.expect(ret == count, std::string(what) + ": returned " + std::to_string(ret) + " not " +
                               std::to_string(count));
    bool clean = true;
    for (int g = 0; g < guard; g++)
        clean = clean && bits(buf[size_t(g)]) == canary &&
                bits(buf[size_t(slots + guard + g)]) == canary;
    r.expect(clean, std::string(what) + ": wrote outside the output, period " +
                        std::to_string(period) + " count " + std::to_string(count));
    std::vector<uint32_t> out(static_cast<size_t>(slots));
    for (int k = 0; k < slots; k++)
        out[size_t(k)] = bits(buf[size_t(guard + k)]);
    return out;
}

void compare(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want,
             const char *what, int period, Report &r)
{
    int bad = 0;
    std::string first;
    for (size_t k = 0; k < want.size(); k++) {
        if (!same(got[k], want[k]) && bad++ == 0)
            first = describe(what, period, int(want.size()), int(k), got[k], want[k]);
    }
    r.expect(bad == 0, first + (bad > 1 ? " (and " + std::to_string(bad - 1) + " more)" : ""));
}

} // namespace

std::vector<uint32_t> guarded(const Average &f, const std::vector<float> &in, int period,
                              int count, const char *what, Report &r)
{
    return run_guarded(f, in, period, count, what, r);
}

void compare_bits(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want,
                  const char *what, int period, Report &r)
{
    compare(got, want, what, period, r);
}

void check_known(const Average &f, Report &r)
{
    for (const Known &c : known_answers()) {
        std::vector<uint32_t> got = run_guarded(f, c.input, c.period, c.count, c.name.c_str(), r);
        compare(got, c.expect, c.name.c_str(), c.period, r);
    }
}

void check_random(const Average &f, Sine sine, uint64_t seed, int cases, int max_period, Report &r)
{
    Rng rng(seed);
    for (int c = 0; c < cases; c++) {
        // Periods spread over 1 .. max_period, small ones often; counts around the boundaries.
        int period = rng.below(4) == 0 ? 1 + rng.below(max_period) : 1 + rng.below(40);
        int extra;
        switch (rng.below(5)) {
        case 0: extra = -1 - rng.below(period); break;   // fewer values than the period
        case 1: extra = rng.below(3) - 1; break;         // count = period - 1, period, period + 1
        case 2: extra = 500 + rng.below(700); break;     // past an output block
        default: extra = rng.below(80);
        }
        int count = period + extra;
        if (count < 0)
            count = 0;
        if (int64_t(period) * (count - period + 1) > 3000000) // keep the MPFR oracle quick
            count = period + 3000000 / period;
        std::vector<float> in = series(rng, count, rng.below(4));
        char what[96];
        snprintf(what, sizeof what, "random case %d (seed %llu)", c, (unsigned long long)seed);
        std::vector<uint32_t> got = run_guarded(f, in, period, count, what, r);
        std::vector<float> want(static_cast<size_t>(count));
        oracle(in.data(), period, count, want.data(), sine);
        std::vector<uint32_t> wb(static_cast<size_t>(count));
        for (int k = 0; k < count; k++)
            wb[size_t(k)] = bits(want[size_t(k)]);
        compare(got, wb, what, period, r);
    }
}

void check_departures(const Average &f, Report &r)
{
    const uint32_t nv = kNoValueBits;
    const std::vector<float> five = {1, 2, 3, 4, 5};
    // The no-value slots stop at count: count 3 with period 5 writes three slots, not four.
    std::vector<uint32_t> got = run_guarded(f, five, 5, 3, "short count", r);
    compare(got, {nv, nv, nv}, "short count", 5, r);
    got = run_guarded(f, five, 4, 0, "count 0", r);
    got = run_guarded(f, five, 1, -5, "negative count", r);
    // period < 1: nothing written, count returned.
    for (int p : {0, -1, -2147483647 - 1}) {
        got = run_guarded(f, five, p, 5, "period below 1", r);
        bool untouched = true;
        for (uint32_t b : got)
            untouched = untouched && b == 0x7FBADBADu;
        r.expect(untouched, "period " + std::to_string(p) + " wrote output slots");
    }
    // Null input: every slot gets NoValue.
    got = run_guarded(f, {}, 3, 5, "null input", r);
    compare(got, {nv, nv, nv, nv, nv}, "null input", 3, r);
    // Null output: nothing happens, count comes back.
    r.expect(f(five.data(), 3, 5, nullptr) == 5, "null output: wrong return");
    r.expect(f(nullptr, 3, 5, nullptr) == 5, "both null: wrong return");
    // A huge period with a small count returns at once with only no-value slots.
    got = run_guarded(f, five, 2147483647, 5, "INT_MAX period", r);
    compare(got, {nv, nv, nv, nv, nv}, "INT_MAX period", 2147483647, r);
}

void check_threads(const Average &f, Report &r)
{
    Rng rng(77);
    const int n = 60000, period = 21;
    std::vector<float> in = series(rng, n, 0);
    std::vector<float> one(static_cast<size_t>(n));
    f(in.data(), period, n, one.data());
    const int threads = 6;
    std::vector<std::vector<float>> outs(threads, std::vector<float>(size_t(n)));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            for (int rep = 0; rep < 5; rep++)
                f(in.data(), period, n, outs[size_t(t)].data());
        });
    for (std::thread &t : pool)
        t.join();
    for (int t = 0; t < threads; t++)
        r.expect(memcmp(outs[size_t(t)].data(), one.data(), sizeof(float) * size_t(n)) == 0,
                 "thread " + std::to_string(t) + " differs from a call made alone");
}

namespace {

// The double k representable steps from x (k may be negative), for finite positive x.
double steps_from(double x, int k)
{
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    b = uint64_t(int64_t(b) + k);
    memcpy(&x, &b, sizeof x);
    return x;
}

} // namespace

void check_narrowing(Narrow narrow, Report &r)
{
    Rng rng(2029);
    // Boundaries: where narrowing to float changes its result, and powers of two.
    std::vector<double> edges;
    auto midpoint_after = [&](uint32_t fb) { // between the float with bits fb and the next up
        const double lo = double(from_bits(fb));
        const double hi = fb == 0x7F7FFFFFu ? 0x1p128 : double(from_bits(fb + 1));
        edges.push_back(lo + (hi - lo) / 2); // exact in double
    };
    for (uint32_t fb : {0x00000000u, 0x00000001u, 0x007FFFFEu, 0x007FFFFFu, 0x00800000u,
                        0x3F7FFFFFu, 0x3F800000u, 0x7F7FFFFEu, 0x7F7FFFFFu})
        midpoint_after(fb);
    for (int i = 0; i < 1500; i++)
        midpoint_after(uint32_t(rng.next() % 0x7F7FFFFFu)); // every binade, subnormals too
    for (int e = -152; e <= 129; e += 7)
        edges.push_back(std::ldexp(1.0, e));

    std::vector<double> sums = {1.0, 3.0, 7.0, 0.75, 10.0 / 3.0};
    for (int i = 0; i < 12; i++)
        sums.push_back((0.5 + rng.uniform()) * std::ldexp(1.0, rng.below(32)));

    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double sum : sums) {
        std::vector<double> a = {0.0, inf, -inf, nan, 1e300, -1e300, 1e-300, 4.9e-324};
        for (double edge : edges) {
            for (int k = -24; k <= 24; k++) {
                const double q = steps_from(edge, k) * (k % 2 ? -1.0 : 1.0);
                a.push_back(q * sum); // a / sum is q give or take a rounding
            }
        }
        while (a.size() % 4)
            a.push_back(1.0);
        std::vector<float> got(a.size());
        narrow(a.data(), int(a.size()), sum, got.data());
        int bad = 0;
        for (size_t i = 0; i < a.size(); i++) {
            const float want = float(a[i] / sum);
            const bool same = bits(got[i]) == bits(want) || (got[i] != got[i] && want != want);
            if (!same && bad++ < 3) {
                char line[160];
                snprintf(line, sizeof line, "narrowing %a / %a: got %s, want %s", a[i], sum,
                         hex(bits(got[i])).c_str(), hex(bits(want)).c_str());
                r.expect(false, line);
            }
        }
        r.expect(bad == 0, "narrowing over sum " + std::to_string(sum));
    }
}

std::vector<uint64_t> corpus_digests(const Average &f)
{
    // A fixed list of (seed, period, count, kind): never change it, only append.
    struct Case {
        int period, count, kind;
    };
    const Case list[] = {{1, 100, 0}, {2, 100, 2},    {3, 1000, 0},   {5, 1000, 1},
                         {7, 999, 2}, {14, 5000, 0},  {14, 14, 0},    {20, 3000, 3},
                         {33, 777, 1}, {50, 20000, 0}, {64, 5000, 2}, {100, 4000, 1},
                         {200, 3000, 0}, {511, 2000, 2}, {1000, 2500, 0}, {1024, 2100, 1},
                         {1025, 2100, 0}, {2049, 4000, 3}, {3000, 3600, 2}, {5000, 5100, 0}};
    std::vector<uint64_t> out;
    uint64_t seed = 1;
    for (const Case &c : list) {
        Rng rng(seed++);
        std::vector<float> in = series(rng, c.count, c.kind);
        std::vector<float> o(size_t(c.count));
        f(in.data(), c.period, c.count, o.data());
        uint64_t h = 0xCBF29CE484222325ull; // FNV-1a over the output bits
        for (float v : o) {
            uint32_t b = bits(v);
            if (is_nan_bits(b))
                b = 0x7FC00000u;
            for (int i = 0; i < 4; i++) {
                h ^= (b >> (8 * i)) & 0xFF;
                h *= 0x100000001B3ull;
            }
        }
        out.push_back(h);
    }
    return out;
}

} // namespace swt
