// cases.h: the test cases every build runs (Linux under GoogleTest, the Windows DLLs under
// Wine through the plain host), and the oracle they are judged by.
#ifndef SWMA_TEST_CASES_H
#define SWMA_TEST_CASES_H

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace swt {

// Anything with the export's signature: the dlopen'ed library, a DLL, a forced path.
using Average = std::function<int(const float *, int, int, float *)>;
using Sine = double (*)(double);

constexpr uint32_t kNoValueBits = 0x7F7FC99Eu;

uint32_t bits(float f);
float from_bits(uint32_t b);
// Same bits, where any NaN matches any NaN (its payload is the CPU's business).
bool same(float a, float b);
std::string hex(uint32_t b);

// The definition, transcribed literally: a sine per weight per use, products then sums in
// ascending position from +0.0, one narrowing per result. `sine` is the oracle's own
// choice (MPFR on Linux, so no platform sin rounds differently from ours).
int oracle(const float *input, int period, int count, float *output, Sine sine);
// Whether `output` agrees with the oracle over its first and last few thousand slots: the
// benchmarks' check, where the whole series would cost a sine per term.
bool matches_oracle_at_ends(const float *input, int period, int count, const float *output,
                            Sine sine);

// splitmix64: a fixed generator whose constants never change, so every platform and every
// run builds the same series.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next();
    double uniform(); // [0, 1)
    int below(int n); // [0, n)
};

// Series of n floats of one kind: 0 prices (random walk), 1 square wave of +-1000 with small
// noise, 2 with specials (NaN, +-inf, -0, subnormals, NoValue, FLT_MAX) sprinkled in,
// 3 wide random bit patterns (finite).
std::vector<float> series(Rng &rng, int n, int kind);

struct Known {
    std::string name;
    std::vector<float> input;
    int period;
    int count;
    std::vector<uint32_t> expect; // output slots, exact bits
};
// The documented examples, as exact bit patterns.
std::vector<Known> known_answers();

// Series whose quotient for some windows lies within a double ulp or two of a float rounding
// midpoint: a fused multiply-add, another summation order, extended precision or a sine
// rounded differently changes the stored float there.
struct KnifeEdge {
    std::vector<float> input;
    int period;
};
std::vector<KnifeEdge> knife_edges();

// Results of one check: each failure is a readable line that replays the case.
struct Report {
    int passed = 0;
    std::vector<std::string> failures;
    void expect(bool ok, const std::string &what);
    bool ok() const { return failures.empty(); }
};

// f's output for `in` inside a guarded buffer (canaries on both sides of count slots); a
// stray write or a wrong return value is recorded as a failure.
std::vector<uint32_t> guarded(const Average &f, const std::vector<float> &in, int period,
                              int count, const char *what, Report &r);
// Records one failure naming the first differing slot (any NaN matches any NaN).
void compare_bits(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want,
                  const char *what, int period, Report &r);

// Each group runs `f` and records what differs.
void check_known(const Average &f, Report &r);
// `cases` random cases from `seed`: periods 1 .. max_period (small ones often), counts
// around the period and past an output block, all four kinds of series; each run inside a
// guarded buffer and compared with the oracle.
void check_random(const Average &f, Sine sine, uint64_t seed, int cases, int max_period, Report &r);
void check_knife_edges(const Average &f, Sine sine, Report &r);
void check_departures(const Average &f, Report &r);
void check_threads(const Average &f, Report &r);

// A step that narrows n sums (n a multiple of 4) to out[i] = (float)(a[i] / sum), as a path
// does at the end of every output, possibly without dividing.
using Narrow = void (*)(const double *a, int n, double sum, float *out);

// `narrow` against dividing and narrowing: quotients from 24 doubles below to 24 above
// every kind of float rounding boundary (between normals, subnormals, at the overflow
// threshold, next to powers of two), zero, infinities and NaN, over many sums.
void check_narrowing(Narrow narrow, Report &r);

// A fixed corpus for cross-platform identity: one 64-bit digest per case over all output
// bits. The same list must come out of every build.
std::vector<uint64_t> corpus_digests(const Average &f);
// What every build must produce: the oracle's digests, generated once.
std::vector<uint64_t> expected_corpus_digests();

// f over the same series with input and output at each 4-byte offset within a 32-byte line
// (64 placements), for short, long and chunked periods; canaries around the output.
void check_offsets(const Average &f, Sine sine, Report &r);

} // namespace swt

#endif
