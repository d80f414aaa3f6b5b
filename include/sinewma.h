/* sinewma.h: the sine-weighted moving average, the library's one export. */
#ifndef SINEWMA_H
#define SINEWMA_H

/*
 * SINEWMA_API marks the export. Building the library defines SINEWMA_BUILDING;
 * a host that links against the import library gets dllimport on Windows, and a
 * host that loads the library with LoadLibrary/dlopen needs only the typedef.
 *
 * SINEWMA_CALL is the calling convention: cdecl (caller cleans the stack) on
 * 32-bit Windows, where compilers may otherwise be told to default to stdcall,
 * and the platform default everywhere else. It is fixed and will not change.
 */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(SINEWMA_BUILDING)
#    define SINEWMA_API __declspec(dllexport)
#  elif defined(SINEWMA_STATIC)
#    define SINEWMA_API
#  else
#    define SINEWMA_API __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define SINEWMA_CALL __cdecl
#  else
#    define SINEWMA_CALL
#  endif
#else
#  if defined(SINEWMA_BUILDING)
#    define SINEWMA_API __attribute__((visibility("default")))
#  else
#    define SINEWMA_API
#  endif
#  define SINEWMA_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The single-precision value written into output slots that have no result:
 * 3.4e38, bit pattern 0x7F7FC99E (not FLT_MAX, which is 0x7F7FFFFF).
 * The cast is needed: where FLT_EVAL_METHOD is 2 (C on the x87 FPU, as 32-bit hosts
 * often are built) a bare 3.4e38f keeps long double precision, and a warm-up slot read
 * back from output would compare unequal to it. A cast always rounds to float. */
#define SINEWMA_NO_VALUE ((float)3.4e38f)

/*
 * SineWeightedMovingAverage - sine-weighted moving average of a float series.
 *
 *   input   count values, read only; input[k] is the value at index k.
 *   period  window length, >= 1.
 *   count   number of values in input and of slots in output.
 *   output  at least count slots, written by the call.
 *
 * Result slot k (period-1 <= k < count) receives
 *     sum_{i=1..period} w(i) * input[k-period+i]  /  sum_{i=1..period} w(i)
 * with w(i) = sin(i * 3.14159 / (period + 1)), all in IEEE double, each sum
 * added in ascending i from +0.0, the quotient rounded once to float. Slots
 * 0 .. min(period-1, count)-1 receive SINEWMA_NO_VALUE. Every result that is
 * not a NaN is the same bits on every platform, CPU and thread, whatever the
 * calling thread's x87 precision control says. A NaN result is a NaN, but its
 * sign and payload are not promised: they differ between CPUs (infinity minus
 * infinity gives 0xFFC00000 on x86, 0x7FC00000 on aarch64) and between paths.
 * The call neither reads nor changes the floating-point environment; it needs
 * the defaults (round to nearest, no flush-to-zero or denormals-are-zero: SSE's
 * MXCSR on x86, FPCR on aarch64), which threads have unless a host changes them.
 *
 * Returns count, always. Nothing is validated or reported, but nothing is
 * written outside output[0 .. count-1] either:
 *   - output NULL, count <= 0 or period < 1: nothing is written.
 *   - input NULL with count >= 1: every slot gets SINEWMA_NO_VALUE.
 *   - count < period: only the no-value slots are written, input is not read.
 * NaN and infinities propagate by ordinary IEEE arithmetic to the results whose
 * windows hold them; SINEWMA_NO_VALUE in the input is an ordinary number.
 *
 * Thread safety: the library has no state. Any number of threads may call at
 * once, each with its own output; input may be shared. input and output must
 * not overlap.
 *
 * Not promised: any particular speed, or results for overlapping arrays.
 */
SINEWMA_API int SINEWMA_CALL SineWeightedMovingAverage(const float *input, int period,
                                                       int count, float *output);

/* The type a host uses after resolving the export by name (or ordinal 1). */
typedef int(SINEWMA_CALL *SineWeightedMovingAverageFn)(const float *, int, int, float *);

#ifdef __cplusplus
}
#endif

#endif /* SINEWMA_H */
