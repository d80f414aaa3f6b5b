// export.cpp: the library's one export and, on Windows, its module entry. The only file
// that knows about loaders.
#include "sinewma.h"
#include "sinewma_internal.h"
#include "exact/small_call.h"

// 32-bit hosts built by other compilers may call with the stack aligned to only 4 bytes;
// realign here so the SSE and AVX code below may keep 16- and 32-byte spills.
#if defined(__i386__)
#define SWMA_REALIGN __attribute__((force_align_arg_pointer))
#else
#define SWMA_REALIGN
#endif

extern "C" SINEWMA_API SWMA_REALIGN int SINEWMA_CALL
SineWeightedMovingAverage(const float *input, int period, int count, float *output)
{
    // A host's newest bar goes straight to the small-call path (as swma_compute would send it).
    if (swma_small_call(input, period, count, output))
        return swma_compute_small(input, period, count, output);
    return swma_compute(input, period, count, output, SWMA_ISA_AUTO);
}

#if defined(_WIN32)
#include <windows.h>

// The DLL links no C runtime, so this is its whole entry: success for every notification.
// Hosts have long relied on a DLL's runtime start-up setting the loading thread's x87
// precision control to double precision (53 bits); keep that effect on 32-bit x86, and
// leave the rounding mode and exception masks alone. The library's own arithmetic is SSE2
// and does not depend on it.
extern "C" BOOL WINAPI swma_dll_entry(HINSTANCE, DWORD reason, LPVOID)
{
#if defined(__i386__)
    if (reason == DLL_PROCESS_ATTACH) {
        unsigned short cw;
        __asm__ volatile("fnstcw %0" : "=m"(cw));
        cw = static_cast<unsigned short>((cw & ~0x0300u) | 0x0200u); // PC = 10b: 53 bits
        __asm__ volatile("fldcw %0" : : "m"(cw));
    }
#else
    (void)reason;
#endif
    return TRUE;
}
#endif
