// win_host.cpp: a Windows host that loads sinewma.dll as hosts do and runs the shared cases
// through it (under Wine in the test command). Prints "N passed, M failed"; exit 1 on any
// failure. Usage: win_host PATH\TO\sinewma.dll
#include "cases.h"
#include "per_bar.h"
#include "cert_cases.h"
#include "sinewma.h"
#include "sinewma_internal.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

namespace {

swt::Report report;

void expect(bool ok, const std::string &what) { report.expect(ok, what); }

#if defined(__i386__)
unsigned short control_word()
{
    unsigned short cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    return cw;
}

void set_precision(unsigned pc) // 0: 24 bits, 2: 53 bits, 3: 64 bits
{
    unsigned short cw = static_cast<unsigned short>((control_word() & ~0x0300u) | (pc << 8));
    __asm__ volatile("fldcw %0" : : "m"(cw));
}

// Calls fn(in, period, count, out) with a hand-written cdecl sequence and returns how far
// the stack pointer moved across the call itself (before the caller removes the arguments):
// -16 means the arguments were left for the caller, 0 that the callee removed them.
// The stack is 16-byte aligned at the call, or with misalign 4 bytes off, as some 32-bit
// compilers leave it. The arguments are read through a register, never addressed from
// %esp, which the sequence moves.
int raw_call(SineWeightedMovingAverageFn fn, const float *in, int period, int count, float *out,
             bool misalign, int *result)
{
    struct {
        SineWeightedMovingAverageFn fn; // 0
        const float *in;                // 4
        int period;                     // 8
        int count;                      // 12
        float *out;                     // 16
        int misalign;                   // 20
    } args = {fn, in, period, count, out, misalign ? 1 : 0}, *a = &args;
    unsigned before, after;
    int r;
    __asm__ volatile("movl %%esp, %%ebx\n\t"
                     "andl $-16, %%esp\n\t"
                     "testl $1, 20(%[a])\n\t"
                     "jz 1f\n\t"
                     "subl $4, %%esp\n\t"
                     "1:\n\t"
                     "pushl 16(%[a])\n\t"
                     "pushl 12(%[a])\n\t"
                     "pushl 8(%[a])\n\t"
                     "pushl 4(%[a])\n\t"
                     "movl %%esp, %%esi\n\t"
                     "addl $16, %%esi\n\t"
                     "call *(%[a])\n\t"
                     "movl %%esp, %%edi\n\t"
                     "movl %%ebx, %%esp\n\t"
                     : "=a"(r), "=&S"(before), "=&D"(after), [a] "+c"(a)
                     :
                     : "ebx", "edx", "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4",
                       "xmm5", "xmm6", "xmm7");
    *result = r;
    return int(after - before);
}
#endif

swt::Average wrap(SineWeightedMovingAverageFn fn) { return fn; }

swt::Average forced(swma_isa isa)
{
    return [isa](const float *in, int p, int n, float *out) {
        return swma_compute(in, p, n, out, isa);
    };
}

void check_all_cases(const char *label, const swt::Average &f, bool full)
{
    size_t before = report.failures.size();
    swt::check_known(f, report);
    swt::check_departures(f, report);
    swt::check_knife_edges(f, swma_sin, report);
    swt::check_offsets(f, swma_sin, report);
    if (full) {
        swt::check_random(f, swma_sin, 20261208, 120, 1500, report);
        swt::check_threads(f, report);
    }
    expect(swt::corpus_digests(f) == swt::expected_corpus_digests(),
           std::string(label) + ": corpus differs from the oracle's digests");
    printf("%-24s %s\n", label, report.failures.size() == before ? "ok" : "FAILED");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: win_host sinewma.dll\n");
        return 2;
    }
    const char *path = argv[1];

#if defined(__i386__)
    // The loading thread runs at double precision after the load, from extended before.
    set_precision(3);
#endif
    HMODULE lib = LoadLibraryA(path);
    if (!lib) {
        fprintf(stderr, "cannot load %s (error %lu)\n", path, GetLastError());
        return 1;
    }
#if defined(__i386__)
    expect(((control_word() >> 8) & 3) == 2, "loading thread not at double precision after load");
    expect((control_word() & 0x0C3F) == 0x003F, "load changed rounding mode or exception masks");
#endif

    auto by_name = reinterpret_cast<SineWeightedMovingAverageFn>(
        reinterpret_cast<void *>(GetProcAddress(lib, "SineWeightedMovingAverage")));
    auto by_ordinal = reinterpret_cast<SineWeightedMovingAverageFn>(
        reinterpret_cast<void *>(GetProcAddress(lib, MAKEINTRESOURCEA(1))));
    expect(by_name != nullptr, "no export by name");
    expect(by_name == by_ordinal, "name and ordinal 1 resolve differently");
    for (const char *other : {"_SineWeightedMovingAverage", "SineWeightedMovingAverage@16",
                              "swma_compute", "swma_sin", "swma_dll_entry"})
        expect(GetProcAddress(lib, other) == nullptr, std::string(other) + " resolves");
    expect(GetProcAddress(lib, MAKEINTRESOURCEA(2)) == nullptr, "ordinal 2 resolves");
    if (!by_name) {
        printf("%d passed, %d failed\n", report.passed, int(report.failures.size()));
        return 1;
    }

    check_all_cases("export", wrap(by_name), true);
    {
        // A host tells warm-up slots from results by comparing with the header's macro.
        const float in[5] = {1, 2, 3, 4, 5};
        float out[5];
        by_name(in, 3, 5, out);
        expect(out[0] == SINEWMA_NO_VALUE && out[1] == SINEWMA_NO_VALUE &&
                   !(out[2] == SINEWMA_NO_VALUE) && !(out[4] == SINEWMA_NO_VALUE),
               "warm-up slots and SINEWMA_NO_VALUE compare wrongly");
    }
    check_all_cases("scalar path", forced(SWMA_ISA_SCALAR), false);
    check_all_cases("sse2 path", forced(SWMA_ISA_SSE2), false);
    if (swma_cpu_isa() == SWMA_ISA_AVX2) {
        check_all_cases("avx2 path", forced(SWMA_ISA_AVX2), false);
        const size_t before = report.failures.size();
        swt::check_narrowing(swma_narrow_avx2, report);
        printf("%-24s %s\n", "avx2 narrowing", report.failures.size() == before ? "ok" : "FAILED");
    } else
        printf("avx2 path                skipped: not on this CPU\n");

    // Per-bar calls (the small-call path) against the full series on each path.
    for (swma_isa isa : {SWMA_ISA_SCALAR, SWMA_ISA_SSE2, SWMA_ISA_AVX2}) {
        if (isa == SWMA_ISA_AVX2 && swma_cpu_isa() != SWMA_ISA_AVX2)
            continue;
        const size_t before = report.failures.size();
        swt::check_per_bar(wrap(by_name), forced(isa), swma_sin, isa != SWMA_ISA_SCALAR, report);
        swt::check_per_bar(forced(isa), wrap(by_name), swma_sin, true, report);
        printf("per bar, path %d          %s\n", int(isa),
               report.failures.size() == before ? "ok" : "FAILED");
    }

    // The certified kernel: the export (automatic choice) and each path forced, against the
    // exact kernel, over the series of every kind with near-midpoint windows.
    {
        auto kern = [](swma_isa isa, swma_kernel k) -> swt::Average {
            return [isa, k](const float *in, int p, int n, float *out) {
                return swma_compute_kernel(in, p, n, out, isa, k, 0, nullptr);
            };
        };
        const swt::Average exact = kern(SWMA_ISA_SSE2, SWMA_KERNEL_EXACT);
        struct {
            const char *label;
            swt::Average f;
        } runs[] = {{"certified, export", wrap(by_name)},
                    {"certified, sse2", kern(SWMA_ISA_SSE2, SWMA_KERNEL_CERTIFIED)},
                    {"certified, scalar", kern(SWMA_ISA_SCALAR, SWMA_KERNEL_CERTIFIED)},
                    {"certified, avx2", kern(SWMA_ISA_AVX2, SWMA_KERNEL_CERTIFIED)}};
        for (auto &run : runs) {
            if (run.label[11] == 'a' && swma_cpu_isa() != SWMA_ISA_AVX2)
                continue;
            const size_t before = report.failures.size();
            swt::check_certified(run.f, exact, true, report);
            printf("%-24s %s\n", run.label, report.failures.size() == before ? "ok" : "FAILED");
        }
    }

    // Reference bits from this (double-precision) thread for the precision checks below.
    swt::Rng rng(5);
    std::vector<float> big = swt::series(rng, 50000, 1);
    std::vector<float> ref(big.size());
    by_name(big.data(), 50, int(big.size()), ref.data());

#if defined(__i386__)
    // Every thread gets the same bits whatever its precision control, and keeps it.
    for (unsigned pc : {0u, 2u, 3u}) {
        std::thread t([&, pc] {
            set_precision(pc);
            const unsigned short cw = control_word();
            swt::Report local;
            swt::check_known(wrap(by_name), local);
            std::vector<float> out(big.size());
            by_name(big.data(), 50, int(big.size()), out.data());
            expect(control_word() == cw, "a call changed the control word");
            expect(local.ok(), "precision " + std::to_string(pc) + ": " +
                                   (local.ok() ? "" : local.failures[0]));
            expect(memcmp(out.data(), ref.data(), ref.size() * sizeof(float)) == 0,
                   "precision " + std::to_string(pc) + " thread differs");
        });
        t.join();
    }

    // Caller-cleans, seen from the host's side, on an aligned and a misaligned stack.
    for (bool misalign : {false, true}) {
        std::vector<float> out(big.size());
        int result = 0;
        int moved = raw_call(by_name, big.data(), 50, int(big.size()), out.data(), misalign,
                             &result);
        const char *how = misalign ? "misaligned stack" : "aligned stack";
        expect(moved == -16, std::string(how) + ": callee removed its arguments (moved " +
                                 std::to_string(moved) + ")");
        expect(result == int(big.size()), std::string(how) + ": wrong result");
        expect(memcmp(out.data(), ref.data(), ref.size() * sizeof(float)) == 0,
               std::string(how) + ": results differ");
    }
#endif
    FreeLibrary(lib);

    // Load, call and unload a hundred times: nothing carries over.
    for (int i = 0; i < 100; i++) {
        HMODULE h = LoadLibraryA(path);
        auto fn = h ? reinterpret_cast<SineWeightedMovingAverageFn>(
                          reinterpret_cast<void *>(GetProcAddress(h, MAKEINTRESOURCEA(1))))
                    : nullptr;
        std::vector<float> out(big.size());
        bool ok = fn && fn(big.data(), 50, int(big.size()), out.data()) == int(big.size()) &&
                  memcmp(out.data(), ref.data(), ref.size() * sizeof(float)) == 0;
        expect(ok, "load cycle " + std::to_string(i));
        if (h)
            FreeLibrary(h);
        if (!ok)
            break;
    }

    for (size_t i = 0; i < report.failures.size() && i < 30; i++)
        printf("FAIL: %s\n", report.failures[i].c_str());
    printf("%d passed, %d failed\n", report.passed, int(report.failures.size()));
    return report.ok() ? 0 : 1;
}
