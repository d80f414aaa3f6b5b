/* novalue_x87.c: a C11 host built for the x87 FPU (FLT_EVAL_METHOD 2, as many 32-bit hosts
 * are) loads the x86 DLL and tells warm-up slots from results by comparing with
 * SINEWMA_NO_VALUE, as the header invites. Exit 0 when every slot compares as it should.
 * Usage: novalue_x87 PATH\TO\sinewma.dll */
#include "sinewma.h"

#include <float.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

/* Built otherwise, the comparisons below would pass whatever the macro says. */
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 2
#error "build with -mfpmath=387 -std=c11: float expressions must be evaluated as long double"
#endif

int main(int argc, char **argv)
{
    const float in[7] = {1, 2, 3, 4, 5, 6, 3.4e38f};
    float out[7];
    volatile float tenth = 0.1f;
    float marker = SINEWMA_NO_VALUE;
    unsigned bits;
    int k, failed = 0;
    HMODULE lib;
    SineWeightedMovingAverageFn fn;

    if (argc < 2) {
        fprintf(stderr, "usage: novalue_x87 sinewma.dll\n");
        return 2;
    }
    /* Excess precision is really in effect: a float constant is not the float it names. */
    if (tenth == 0.1f) {
        printf("FAIL: float constants are not evaluated in long double here\n");
        return 1;
    }
    lib = LoadLibraryA(argv[1]);
    fn = lib ? (SineWeightedMovingAverageFn)(void (*)(void))GetProcAddress(
                   lib, "SineWeightedMovingAverage")
             : NULL;
    if (!fn) {
        printf("FAIL: cannot load %s\n", argv[1]);
        return 1;
    }
    if (fn(in, 4, 7, out) != 7) {
        printf("FAIL: wrong return value\n");
        return 1;
    }
    /* Slots 0..2 are warm-up; 3..5 are results; slot 6 averages a window that holds the
     * marker's value as an ordinary number and is not the marker. */
    for (k = 0; k < 7; k++) {
        const int warm = out[k] == SINEWMA_NO_VALUE;
        memcpy(&bits, &out[k], sizeof bits);
        printf("slot %d: 0x%08X %s\n", k, bits, warm ? "no value" : "result");
        if (warm != (k < 3)) {
            printf("FAIL: slot %d %s SINEWMA_NO_VALUE\n", k, warm ? "equals" : "differs from");
            failed = 1;
        }
    }
    memcpy(&bits, &marker, sizeof bits);
    if (bits != 0x7F7FC99Eu || !(marker == SINEWMA_NO_VALUE)) {
        printf("FAIL: SINEWMA_NO_VALUE stored is 0x%08X or does not compare equal\n", bits);
        failed = 1;
    }
    FreeLibrary(lib);
    printf("FLT_EVAL_METHOD %d: %s\n", (int)FLT_EVAL_METHOD, failed ? "FAILED" : "ok");
    return failed;
}
