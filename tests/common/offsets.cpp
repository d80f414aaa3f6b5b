// offsets.cpp: a path at every 4-byte offset of input and output within a 32-byte line.
// Hosts pass whatever pointers their arrays have. Buffers from an allocator are 16-byte
// aligned, so a path that used an aligned load or store, or assumed that input and output
// share an alignment, would pass every other check and fault or differ here.
#include "cases.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace swt {

namespace {

constexpr int kLine = 32;  // bytes: the widest vector a path uses
constexpr int kRoom = 64;  // canary bytes before and after the output

// The first byte at or after p on a kLine boundary.
unsigned char *line_start(unsigned char *p)
{
    return p + (-reinterpret_cast<uintptr_t>(p) & (kLine - 1));
}

} // namespace

void check_offsets(const Average &f, Sine sine, Report &r)
{
    const uint32_t canary = 0x7FBADBADu;
    // Short and long windows, counts that end inside a block and past a block of 480, and a
    // period whose weights come in chunks.
    struct Case {
        int period, count;
    };
    const Case cases[] = {{1, 37}, {2, 515}, {5, 1003}, {14, 500}, {50, 1100}, {1100, 1700}};
    Rng rng(4242);
    for (const Case &c : cases) {
        const std::vector<float> in = series(rng, c.count, 0);
        std::vector<float> want(size_t(c.count));
        oracle(in.data(), c.period, c.count, want.data(), sine);
        const size_t bytes = size_t(c.count) * sizeof(float);
        std::vector<unsigned char> in_raw(bytes + 2 * kLine);
        std::vector<unsigned char> out_raw(bytes + 2 * kRoom + 2 * kLine);
        unsigned char *const in_line = line_start(in_raw.data());
        unsigned char *const out_line = line_start(out_raw.data());
        int bad = 0;
        std::string first;
        for (int io = 0; io < kLine; io += 4) {
            for (int oo = 0; oo < kLine; oo += 4) {
                float *const src = reinterpret_cast<float *>(in_line + io);
                memcpy(src, in.data(), bytes);
                unsigned char *const dst = out_line + kRoom + oo;
                for (unsigned char *p = dst - kRoom; p < dst + bytes + kRoom; p += 4)
                    memcpy(p, &canary, 4);
                const int ret = f(src, c.period, c.count, reinterpret_cast<float *>(dst));
                bool clean = true;
                for (int g = 0; g < kRoom; g += 4)
                    clean = clean && memcmp(dst - kRoom + g, &canary, 4) == 0 &&
                            memcmp(dst + bytes + g, &canary, 4) == 0;
                std::string what;
                if (ret != c.count)
                    what = "returned " + std::to_string(ret);
                else if (!clean)
                    what = "wrote outside the output";
                else if (memcmp(dst, want.data(), bytes) != 0)
                    what = "results differ from the oracle";
                else if (memcmp(src, in.data(), bytes) != 0)
                    what = "changed the input";
                if (!what.empty() && bad++ == 0) {
                    char s[120];
                    snprintf(s, sizeof s,
                             "offsets: period %d count %d, input at +%d, output at +%d: ",
                             c.period, c.count, io, oo);
                    first = s + what;
                }
            }
        }
        r.expect(bad == 0, first + (bad > 1 ? " (and " + std::to_string(bad - 1) + " more)" : ""));
    }
}

} // namespace swt
