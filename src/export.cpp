// export.cpp: the library's one export and, on Windows, its module entry. The only file
// that knows about loaders.
#include "sinewma.h"
#include "sinewma_internal.h"

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
    return swma_compute(input, period, count, output, SWMA_ISA_AUTO);
}
