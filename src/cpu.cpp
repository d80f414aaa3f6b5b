// cpu.cpp: which arithmetic path this CPU and operating system can run, asked afresh each
// time (CPUID and XGETBV) so that the library keeps no state.
#include "sinewma_internal.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>

// CPUID traps to the hypervisor on virtual machines (about 5 us a leaf on the machine the
// benchmarks ran on, where XGETBV takes 15 ns), so this asks two leaves and no more. Every
// CPU that runs SSE2 code has CPUID and its leaf 1.
swma_isa swma_cpu_isa(void)
{
    unsigned a, b, c, d;
    __cpuid(1, a, b, c, d);
    const bool xsave = (c >> 26) & 1, osxsave = (c >> 27) & 1, avx = (c >> 28) & 1;
    if (!xsave || !osxsave || !avx)
        return SWMA_ISA_SSE2;
    // XGETBV(0): the OS must save the xmm (bit 1) and ymm (bit 2) state on context switch.
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6) != 6)
        return SWMA_ISA_SSE2;
    // A CPU with XSAVE describes its state components in leaf 0Dh, so its highest basic leaf
    // is at least 0Dh and leaf 7 exists without asking leaf 0.
    __cpuid_count(7, 0, a, b, c, d);
    return ((b >> 5) & 1) ? SWMA_ISA_AVX2 : SWMA_ISA_SSE2;
}

#else

swma_isa swma_cpu_isa(void) { return SWMA_ISA_SCALAR; }

#endif
