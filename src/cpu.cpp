// cpu.cpp: which arithmetic path this CPU and operating system can run, asked afresh each
// time (CPUID and XGETBV) so that the library keeps no state.
#include "sinewma_internal.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>

swma_isa swma_cpu_isa(void)
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return SWMA_ISA_SSE2;
    const bool osxsave = (c >> 27) & 1, avx = (c >> 28) & 1;
    if (!osxsave || !avx)
        return SWMA_ISA_SSE2;
    // XGETBV(0): the OS must save the xmm (bit 1) and ymm (bit 2) state on context switch.
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6) != 6)
        return SWMA_ISA_SSE2;
    if (__get_cpuid_max(0, nullptr) < 7)
        return SWMA_ISA_SSE2;
    __cpuid_count(7, 0, a, b, c, d);
    return ((b >> 5) & 1) ? SWMA_ISA_AVX2 : SWMA_ISA_SSE2;
}

#else

swma_isa swma_cpu_isa(void) { return SWMA_ISA_SCALAR; }

#endif
