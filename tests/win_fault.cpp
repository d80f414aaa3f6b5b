// win_fault.cpp: a host that survives an access violation inside the x64 DLL, as hosts that wrap
// each indicator call in an exception handler expect to. Two ways, each once per bad call:
//  - a vectored handler takes the fault and walks from the faulting instruction back out of the
//    library with the DLL's own function table (RtlLookupFunctionEntry, RtlVirtualUnwind), then
//    resumes the host just after its call, which "returns" a marker value;
//  - the frame a compiler makes for __try { call } __except (filter) { }: Windows dispatches the
//    fault by unwinding through the library's frames to the host's language handler, and the C
//    runtime's handler unwinds to the instruction after the call.
// Either way the host's non-volatile registers must come back as they were (the unwind data
// restored them), and the next ordinary call must give the right results. Prints "N passed,
// M failed"; exit 1 on any failure. Without unwind data in the DLL the first way ends the
// process with a message and the second never reaches the filter.
// Usage: win_fault PATH\TO\sinewma.dll
#include "cases.h"
#include "sinewma.h"

#include <windows.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

// One call made by marked_call (below): it loads set_gpr into rbx, rbp, rsi, rdi, r12..r15
// and set_xmm into xmm6..xmm15, calls fn, and stores what those registers hold afterwards.
struct MarkedCall {
    SineWeightedMovingAverageFn fn;
    const float *in;
    int period;
    int count;
    float *out;
    int64_t result;
    uint64_t set_gpr[8];
    uint64_t set_xmm[20];
    uint64_t got_gpr[8];
    uint64_t got_xmm[20];
};
static_assert(offsetof(MarkedCall, result) == 32 && offsetof(MarkedCall, set_gpr) == 40 &&
                  offsetof(MarkedCall, set_xmm) == 104 && offsetof(MarkedCall, got_gpr) == 264 &&
                  offsetof(MarkedCall, got_xmm) == 328,
              "the assembly below uses these offsets");

} // namespace

extern "C" void marked_call(MarkedCall *c);
extern "C" const char marked_call_return[];
extern "C" void guarded_call(MarkedCall *c);
extern "C" const char guarded_call_return[];
extern "C" LONG guarded_call_filter(EXCEPTION_POINTERS *ep, void *frame);

// A frame with every non-volatile register saved and described by its own unwind data, that
// loads the marks, calls, and stores the registers after the call (or after the fault).
#define SWMA_MARKED_CALL(name, handler)                                                           \
    ".text\n"                                                                                     \
    ".globl " name "\n"                                                                           \
    ".globl " name "_return\n"                                                                    \
    ".def " name "; .scl 2; .type 32; .endef\n"                                                   \
    ".seh_proc " name "\n" name ":\n"                                                             \
    "    pushq %rbp\n    .seh_pushreg %rbp\n"                                                     \
    "    pushq %rbx\n    .seh_pushreg %rbx\n"                                                     \
    "    pushq %rsi\n    .seh_pushreg %rsi\n"                                                     \
    "    pushq %rdi\n    .seh_pushreg %rdi\n"                                                     \
    "    pushq %r12\n    .seh_pushreg %r12\n"                                                     \
    "    pushq %r13\n    .seh_pushreg %r13\n"                                                     \
    "    pushq %r14\n    .seh_pushreg %r14\n"                                                     \
    "    pushq %r15\n    .seh_pushreg %r15\n"                                                     \
    "    subq $0xd8, %rsp\n    .seh_stackalloc 0xd8\n"                                            \
    "    movups %xmm6, 0x30(%rsp)\n    .seh_savexmm %xmm6, 0x30\n"                                \
    "    movups %xmm7, 0x40(%rsp)\n    .seh_savexmm %xmm7, 0x40\n"                                \
    "    movups %xmm8, 0x50(%rsp)\n    .seh_savexmm %xmm8, 0x50\n"                                \
    "    movups %xmm9, 0x60(%rsp)\n    .seh_savexmm %xmm9, 0x60\n"                                \
    "    movups %xmm10, 0x70(%rsp)\n    .seh_savexmm %xmm10, 0x70\n"                              \
    "    movups %xmm11, 0x80(%rsp)\n    .seh_savexmm %xmm11, 0x80\n"                              \
    "    movups %xmm12, 0x90(%rsp)\n    .seh_savexmm %xmm12, 0x90\n"                              \
    "    movups %xmm13, 0xa0(%rsp)\n    .seh_savexmm %xmm13, 0xa0\n"                              \
    "    movups %xmm14, 0xb0(%rsp)\n    .seh_savexmm %xmm14, 0xb0\n"                              \
    "    movups %xmm15, 0xc0(%rsp)\n    .seh_savexmm %xmm15, 0xc0\n"                              \
    "    .seh_endprologue\n"                                                                      \
    "    movq %rcx, 0x28(%rsp)\n"                                                                 \
    "    movq %rcx, %r11\n"                                                                       \
    "    movq 40(%r11), %rbx\n"                                                                   \
    "    movq 48(%r11), %rbp\n"                                                                   \
    "    movq 56(%r11), %rsi\n"                                                                   \
    "    movq 64(%r11), %rdi\n"                                                                   \
    "    movq 72(%r11), %r12\n"                                                                   \
    "    movq 80(%r11), %r13\n"                                                                   \
    "    movq 88(%r11), %r14\n"                                                                   \
    "    movq 96(%r11), %r15\n"                                                                   \
    "    movups 104(%r11), %xmm6\n"                                                               \
    "    movups 120(%r11), %xmm7\n"                                                               \
    "    movups 136(%r11), %xmm8\n"                                                               \
    "    movups 152(%r11), %xmm9\n"                                                               \
    "    movups 168(%r11), %xmm10\n"                                                              \
    "    movups 184(%r11), %xmm11\n"                                                              \
    "    movups 200(%r11), %xmm12\n"                                                              \
    "    movups 216(%r11), %xmm13\n"                                                              \
    "    movups 232(%r11), %xmm14\n"                                                              \
    "    movups 248(%r11), %xmm15\n"                                                              \
    "    movq 8(%r11), %rcx\n"                                                                    \
    "    movl 16(%r11), %edx\n"                                                                   \
    "    movl 20(%r11), %r8d\n"                                                                   \
    "    movq 24(%r11), %r9\n"                                                                    \
    name "_try:\n"                                                                                \
    "    callq *(%r11)\n"                                                                         \
    name "_return:\n"                                                                             \
    "    nop\n"                                                                                   \
    name "_end:\n"                                                                                \
    "    movq 0x28(%rsp), %r11\n"                                                                 \
    "    movq %rax, 32(%r11)\n"                                                                   \
    "    movq %rbx, 264(%r11)\n"                                                                  \
    "    movq %rbp, 272(%r11)\n"                                                                  \
    "    movq %rsi, 280(%r11)\n"                                                                  \
    "    movq %rdi, 288(%r11)\n"                                                                  \
    "    movq %r12, 296(%r11)\n"                                                                  \
    "    movq %r13, 304(%r11)\n"                                                                  \
    "    movq %r14, 312(%r11)\n"                                                                  \
    "    movq %r15, 320(%r11)\n"                                                                  \
    "    movups %xmm6, 328(%r11)\n"                                                               \
    "    movups %xmm7, 344(%r11)\n"                                                               \
    "    movups %xmm8, 360(%r11)\n"                                                               \
    "    movups %xmm9, 376(%r11)\n"                                                               \
    "    movups %xmm10, 392(%r11)\n"                                                              \
    "    movups %xmm11, 408(%r11)\n"                                                              \
    "    movups %xmm12, 424(%r11)\n"                                                              \
    "    movups %xmm13, 440(%r11)\n"                                                              \
    "    movups %xmm14, 456(%r11)\n"                                                              \
    "    movups %xmm15, 472(%r11)\n"                                                              \
    "    movups 0x30(%rsp), %xmm6\n"                                                              \
    "    movups 0x40(%rsp), %xmm7\n"                                                              \
    "    movups 0x50(%rsp), %xmm8\n"                                                              \
    "    movups 0x60(%rsp), %xmm9\n"                                                              \
    "    movups 0x70(%rsp), %xmm10\n"                                                             \
    "    movups 0x80(%rsp), %xmm11\n"                                                             \
    "    movups 0x90(%rsp), %xmm12\n"                                                             \
    "    movups 0xa0(%rsp), %xmm13\n"                                                             \
    "    movups 0xb0(%rsp), %xmm14\n"                                                             \
    "    movups 0xc0(%rsp), %xmm15\n"                                                             \
    "    addq $0xd8, %rsp\n"                                                                      \
    "    popq %r15\n"                                                                             \
    "    popq %r14\n"                                                                             \
    "    popq %r13\n"                                                                             \
    "    popq %r12\n"                                                                             \
    "    popq %rdi\n"                                                                             \
    "    popq %rsi\n"                                                                             \
    "    popq %rbx\n"                                                                             \
    "    popq %rbp\n"                                                                             \
    "    ret\n"                                                                                   \
    handler                                                                                       \
    ".seh_endproc\n"

__asm__(SWMA_MARKED_CALL("marked_call", ""));

// The same frame as a compiler makes for __try { call } __except (filter) { }: the C runtime's
// language handler with one scope, from just before the call to just after it, whose filter
// decides and whose target is the instruction after the call.
__asm__(SWMA_MARKED_CALL("guarded_call",
                         ".seh_handler __C_specific_handler, @except\n"
                         ".seh_handlerdata\n"
                         ".long 1\n"
                         ".rva guarded_call_try, guarded_call_end, guarded_call_filter, "
                         "guarded_call_return\n"
                         ".text\n"));

namespace {

swt::Report report;

// What the call "returns" when the handler resumes the host after a fault.
constexpr int64_t kFaulted = 0x7A5C0FFEE;

struct Image {
    uintptr_t base = 0, end = 0;
    bool holds(uintptr_t a) const { return a >= base && a < end; }
};

Image image_of(HMODULE m)
{
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(m);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(
        reinterpret_cast<const char *>(m) + dos->e_lfanew);
    Image i;
    i.base = reinterpret_cast<uintptr_t>(m);
    i.end = i.base + nt->OptionalHeader.SizeOfImage;
    return i;
}

// What the handler saw, for the host to judge after it resumes.
struct Walk {
    bool armed = false;  // the vectored handler takes the next access violation
    bool filter = false; // guarded_call's filter takes it
    bool seen = false;
    uintptr_t fault_rva = 0; // the faulting instruction, relative to the DLL
    int frames = 0;          // library frames unwound to reach the host
} walk;
Image dll;

LONG CALLBACK on_fault(EXCEPTION_POINTERS *ep)
{
    if (!walk.armed || ep->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    walk.armed = false;
    CONTEXT c = *ep->ContextRecord;
    if (!dll.holds(c.Rip)) {
        printf("FAIL: an access violation outside the library, at 0x%llx\n",
               (unsigned long long)c.Rip);
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    walk.seen = true;
    walk.fault_rva = c.Rip - dll.base;
    walk.frames = 0;
    int unlisted = 0;
    while (dll.holds(c.Rip) && walk.frames < 64) {
        DWORD64 base = 0;
        PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(c.Rip, &base, nullptr);
        if (f) {
            PVOID data = nullptr;
            DWORD64 frame = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, c.Rip, f, &c, &data, &frame, nullptr);
        } else { // no entry: a leaf, its return address on top of the stack
            c.Rip = *reinterpret_cast<const DWORD64 *>(c.Rsp);
            c.Rsp += 8;
            unlisted++;
        }
        walk.frames++;
    }
    if (c.Rip != reinterpret_cast<DWORD64>(marked_call_return)) {
        printf("FAIL: unwinding from the library's 0x%llx reached rip 0x%llx after %d frames "
               "(%d without a function-table entry), not the host's frame\n",
               (unsigned long long)walk.fault_rva, (unsigned long long)c.Rip, walk.frames,
               unlisted);
        fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    c.Rax = DWORD64(kFaulted);
    *ep->ContextRecord = c;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

// The __except filter of guarded_call: takes an access violation raised inside the library.
// Windows reaches it only by unwinding through every library frame between the fault and
// guarded_call; the C runtime's handler then unwinds to guarded_call_return (the call's
// result is then whatever the runtime leaves in rax: the exception code on Windows, 0 under
// Wine; never the count the library returns).
extern "C" LONG guarded_call_filter(EXCEPTION_POINTERS *ep, void *)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(ep->ExceptionRecord->ExceptionAddress);
    if (!walk.filter || ep->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
        !dll.holds(at))
        return EXCEPTION_CONTINUE_SEARCH;
    walk.filter = false;
    walk.seen = true;
    walk.fault_rva = at - dll.base;
    return EXCEPTION_EXECUTE_HANDLER;
}

namespace {

enum class Catch { none, vectored, except };

// Calls fn through marked_call (guarded_call for Catch::except) with fresh marks in every
// non-volatile register; records a failure if any comes back changed. Returns what the call
// returned.
int64_t call_marked(SineWeightedMovingAverageFn fn, const float *in, int period, int count,
                    float *out, const std::string &what, uint64_t seed, Catch how = Catch::none)
{
    MarkedCall c{};
    c.fn = fn;
    c.in = in;
    c.period = period;
    c.count = count;
    c.out = out;
    swt::Rng rng(seed);
    for (uint64_t &g : c.set_gpr)
        g = rng.next();
    for (uint64_t &x : c.set_xmm)
        x = rng.next();
    if (how == Catch::except)
        guarded_call(&c);
    else
        marked_call(&c);
    static const char *const names[] = {"rbx", "rbp", "rsi", "rdi", "r12", "r13", "r14", "r15"};
    for (int i = 0; i < 8; i++)
        report.expect(c.got_gpr[i] == c.set_gpr[i], what + ": " + names[i] + " not restored");
    for (int i = 0; i < 10; i++)
        report.expect(c.got_xmm[2 * i] == c.set_xmm[2 * i] &&
                          c.got_xmm[2 * i + 1] == c.set_xmm[2 * i + 1],
                      what + ": xmm" + std::to_string(6 + i) + " not restored");
    return c.result;
}

// `readable` bytes of read-write memory followed by a page that faults on any access.
struct Fence {
    char *base = nullptr;
    size_t size = 0;
    explicit Fence(size_t readable)
    {
        const size_t page = 4096;
        size = (readable + page - 1) / page * page + page;
        base = static_cast<char *>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE,
                                                PAGE_READWRITE));
        DWORD old;
        if (!base || !VirtualProtect(base + size - page, page, PAGE_NOACCESS, &old)) {
            printf("FAIL: cannot set up guarded memory\n");
            exit(1);
        }
    }
    ~Fence() { VirtualFree(base, 0, MEM_RELEASE); }
    // n floats ending where the readable memory ends.
    float *last(size_t n) { return reinterpret_cast<float *>(base + size - 4096) - n; }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: win_fault sinewma.dll\n");
        return 2;
    }
    HMODULE lib = LoadLibraryA(argv[1]);
    if (!lib) {
        fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    dll = image_of(lib);
    auto fn = reinterpret_cast<SineWeightedMovingAverageFn>(
        reinterpret_cast<void *>(GetProcAddress(lib, "SineWeightedMovingAverage")));
    if (!fn) {
        fprintf(stderr, "no export\n");
        return 1;
    }
    if (!AddVectoredExceptionHandler(1, on_fault)) {
        fprintf(stderr, "cannot install the handler\n");
        return 1;
    }

    // The reference: a long series computed before anything has gone wrong.
    swt::Rng rng(41);
    const std::vector<float> series = swt::series(rng, 200000, 0);
    std::vector<float> ref(series.size());
    const int64_t r0 = call_marked(fn, series.data(), 50, int(series.size()), ref.data(),
                                   "ordinary call", 1);
    report.expect(r0 == int64_t(series.size()), "ordinary call: wrong result");

    struct Bad {
        const char *what;
        int period, count;
        size_t readable;      // floats of input before the fence (0: a wild pointer)
        size_t writable;      // floats of output before the fence (0: ordinary output)
    };
    // A long call (the widest path the CPU has), a short one (SSE2), a period whose weights come
    // in chunks, a wild input pointer, and an output that ends early.
    const Bad bad[] = {{"input ends early, long call", 50, 200000, 120000, 0},
                       {"input ends early, short call", 14, 2000, 1000, 0},
                       {"input ends early, chunked period", 3000, 20000, 9000, 0},
                       {"wild input pointer", 20, 5000, 0, 0},
                       {"output ends early", 50, 200000, 0, 90000}};
    int seed = 2;
    for (const Bad &b : bad) {
        const std::string what = b.what;
        Fence in_fence(b.readable * sizeof(float)), out_fence(b.writable * sizeof(float));
        const float *in = series.data();
        if (b.readable) {
            float *p = in_fence.last(b.readable);
            memcpy(p, series.data(), b.readable * sizeof(float));
            in = p;
        } else if (!b.writable) {
            in = in_fence.last(0); // memory the process may not touch at all
        }
        std::vector<float> ordinary(size_t(b.count));
        float *out = b.writable ? out_fence.last(b.writable) : ordinary.data();

        // A vectored handler that unwinds by itself.
        walk = Walk();
        walk.armed = true;
        int64_t r = call_marked(fn, in, b.period, b.count, out, what, uint64_t(seed++),
                                Catch::vectored);
        walk.armed = false;
        report.expect(walk.seen && r == kFaulted,
                      what + ": the call did not fault (returned " + std::to_string(r) + ")");
        // Input is read only by the arithmetic paths, which the driver calls: at least the
        // path, the driver and the export were unwound.
        report.expect(walk.frames >= 3, what + ": only " + std::to_string(walk.frames) +
                                            " library frames unwound");
        printf("%-36s fault at +0x%llx, %d library frames unwound, host resumed\n", b.what,
               (unsigned long long)walk.fault_rva, walk.frames);

        // __try/__except, dispatched and unwound by Windows itself.
        walk = Walk();
        walk.filter = true;
        r = call_marked(fn, in, b.period, b.count, out, what + " (__except)", uint64_t(seed++),
                        Catch::except);
        walk.filter = false;
        report.expect(walk.seen && r != b.count,
                      what + ": __except did not catch the fault (returned " +
                          std::to_string(r) + ")");
        printf("%-36s fault at +0x%llx, caught by __except\n", b.what,
               (unsigned long long)walk.fault_rva);

        // The library is as good as before.
        std::vector<float> out2(series.size());
        const int64_t r2 = call_marked(fn, series.data(), 50, int(series.size()), out2.data(),
                                       what + ", the call after", uint64_t(seed++));
        report.expect(r2 == int64_t(series.size()) &&
                          memcmp(out2.data(), ref.data(), ref.size() * sizeof(float)) == 0,
                      what + ": the next call gives other results");
        swt::check_known(fn, report);
    }

    for (size_t i = 0; i < report.failures.size() && i < 30; i++)
        printf("FAIL: %s\n", report.failures[i].c_str());
    printf("%d passed, %d failed\n", report.passed, int(report.failures.size()));
    return report.ok() ? 0 : 1;
}
