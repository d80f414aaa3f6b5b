// certified_fuzz.cpp: a differential fuzz target. Bytes become a series, a period and a
// path; the certified kernel forced on that path must give the exact kernel's bits (any NaN
// matching any NaN) and write nothing past count.
//
//   byte 0      path (bits 0-1: scalar, sse2, avx2, automatic choice), bit 2: generated
//               series, bits 3-5: its kind (tests/common/cert_cases.h)
//   bytes 1-2   period - 1 (little-endian, modulo 1500)
//   bytes 3-6   seed of the generated series (its length 2000 + seed % 40000)
//   the rest    raw floats: the whole series, or patches (2-byte position, 4-byte float)
//               over the generated one
#include "cases.h"
#include "cert_cases.h"
#include "certified/certified.h"
#include "sinewma_internal.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 7)
        return 0;
    const int path = data[0] & 3;
    const bool generated = data[0] & 4;
    const int kind = (data[0] >> 3) & 7;
    const int period = 1 + int((data[1] | (data[2] << 8)) % 1500);
    uint32_t seed;
    memcpy(&seed, data + 3, 4);
    data += 7;
    size -= 7;

    std::vector<float> in;
    if (generated) {
        swt::Rng rng(seed);
        in = swt::cert_series(rng, int(2000 + seed % 40000), kind % swt::kCertKinds);
        for (; size >= 6; data += 6, size -= 6) {
            const size_t at = size_t(data[0] | (data[1] << 8)) * in.size() / 65536;
            memcpy(&in[at], data + 2, 4);
        }
    } else {
        in.resize(size / 4);
        if (!in.empty())
            memcpy(in.data(), data, in.size() * 4);
    }
    const int n = int(in.size());

    static const swma_isa isas[] = {SWMA_ISA_SCALAR, SWMA_ISA_SSE2, SWMA_ISA_AVX2, SWMA_ISA_AUTO};
    swma_isa isa = isas[path];
#if defined(__i386__) || defined(__x86_64__)
    if (isa == SWMA_ISA_AVX2 && swma_cpu_isa() != SWMA_ISA_AVX2)
        isa = SWMA_ISA_SSE2;
#else
    isa = SWMA_ISA_SCALAR;
#endif
    const swma_kernel kernel = path == 3 ? SWMA_KERNEL_AUTO : SWMA_KERNEL_CERTIFIED;

    std::vector<float> got(size_t(n) + 1), want(size_t(n) + 1);
    const uint32_t canary = 0x7FBADBADu;
    memcpy(&got[size_t(n)], &canary, 4);
    swma_compute_kernel(in.data(), period, n, got.data(), isa, kernel, 0, nullptr);
    swma_compute_kernel(in.data(), period, n, want.data(), SWMA_ISA_SCALAR, SWMA_KERNEL_EXACT, 0,
                        nullptr);
    if (swt::bits(got[size_t(n)]) != 0x7FBADBADu) {
        fprintf(stderr, "wrote past count (period %d, count %d)\n", period, n);
        abort();
    }
    for (int k = 0; k < n; k++) {
        const float a = got[size_t(k)], b = want[size_t(k)];
        const bool nan_a = a != a, nan_b = b != b;
        if (nan_a != nan_b || (!nan_a && swt::bits(a) != swt::bits(b))) {
            fprintf(stderr, "output %d of %d, period %d, path %d: %s, exact %s\n", k, n, period,
                    int(isa), swt::hex(swt::bits(a)).c_str(), swt::hex(swt::bits(b)).c_str());
            abort();
        }
    }
    return 0;
}
