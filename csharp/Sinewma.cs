// Sinewma.cs: the sine-weighted moving average from .NET and Mono, through the native sinewma
// library (libsinewma.so on Linux, sinewma.dll on Windows). Add this one file to a project.
using System;
using System.Runtime.InteropServices;

namespace Sinewma
{
    /// <summary>
    /// The sine-weighted moving average of a series of floats, computed by the native sinewma
    /// library. Slot <c>k</c> from <c>period - 1</c> on holds
    /// <c>sum(w(i) * values[k - period + i]) / sum(w(i))</c> over <c>i = 1..period</c>, with
    /// <c>w(i) = sin(i * 3.14159 / (period + 1))</c>, in IEEE double, rounded to float: the same
    /// bits on every platform, CPU and thread.
    /// </summary>
    /// <remarks>
    /// The library must be loadable as "sinewma": on Linux <c>libsinewma.so</c> on
    /// <c>LD_LIBRARY_PATH</c> (or in the program's folder on .NET), on Windows
    /// <c>sinewma.dll</c> beside the program or on <c>PATH</c>, of the program's bitness.
    /// Otherwise the first call throws <see cref="DllNotFoundException"/>.
    /// All methods are thread-safe: the library keeps no state.
    /// </remarks>
    public static class Swma
    {
        /// <summary>
        /// The marker the library writes into warm-up slots, which have no complete window:
        /// 3.4e38 as a float, bits 0x7F7FC99E (not <see cref="float.MaxValue"/>). Compare it as a
        /// float (<see cref="IsNoValue"/>), or find the warm-up by position, the first
        /// <c>period - 1</c> slots: as a double, 3.4e38 is a different number and never matches.
        /// </summary>
        public const float NoValue = 3.4e38f;

        private const int NoValueBits = 0x7F7FC99E;

        [StructLayout(LayoutKind.Explicit)]
        private struct FloatBits
        {
            [FieldOffset(0)] public float Float;
            [FieldOffset(0)] public int Int;
        }

        /// <summary>
        /// True when <paramref name="v"/> has exactly the bits of <see cref="NoValue"/>.
        /// </summary>
        public static bool IsNoValue(float v)
        {
            var b = new FloatBits { Float = v };
            return b.Int == NoValueBits;
        }

        /// <summary>
        /// The moving average of <paramref name="values"/> in a new array of the same length.
        /// </summary>
        /// <param name="values">The series, read only.</param>
        /// <param name="period">The window length, at least 1.</param>
        /// <param name="nanWarmup">
        /// True (the default): the first <c>period - 1</c> slots hold <see cref="float.NaN"/>.
        /// False: they hold <see cref="NoValue"/>, as the library writes them.
        /// </param>
        /// <returns>A new array, <c>values.Length</c> long.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="values"/> is null.</exception>
        /// <exception cref="ArgumentOutOfRangeException">
        /// <paramref name="period"/> is below 1.</exception>
        /// <exception cref="DllNotFoundException">The native library cannot be found.</exception>
        public static float[] Compute(float[] values, int period, bool nanWarmup = true)
        {
            if (values == null)
                throw new ArgumentNullException(nameof(values));
            CheckPeriod(period);
            var output = new float[values.Length];
            if (output.Length == 0)
                return output;
            Native(values, period, values.Length, output);
            if (nanWarmup)
            {
                int warmup = Math.Min(period - 1, output.Length);
                for (int k = 0; k < warmup; k++)
                    output[k] = float.NaN;
            }
            return output;
        }

        /// <summary>
        /// The library's call as it is: the moving average of <paramref name="input"/> into the
        /// first <c>input.Length</c> slots of <paramref name="output"/>, the first
        /// <c>period - 1</c> of them <see cref="NoValue"/>. Slots of <paramref name="output"/>
        /// past <c>input.Length</c> are left as they are.
        /// </summary>
        /// <param name="input">The series, read only.</param>
        /// <param name="period">The window length, at least 1.</param>
        /// <param name="output">At least <c>input.Length</c> slots, not the same array as
        /// <paramref name="input"/>.</param>
        /// <returns>The count of slots written, <c>input.Length</c>.</returns>
        /// <exception cref="ArgumentNullException">An array is null.</exception>
        /// <exception cref="ArgumentOutOfRangeException">
        /// <paramref name="period"/> is below 1.</exception>
        /// <exception cref="ArgumentException"><paramref name="output"/> is shorter than
        /// <paramref name="input"/>, or is the same array.</exception>
        /// <exception cref="DllNotFoundException">The native library cannot be found.</exception>
        public static int Compute(float[] input, int period, float[] output)
        {
            if (input == null)
                throw new ArgumentNullException(nameof(input));
            if (output == null)
                throw new ArgumentNullException(nameof(output));
            CheckPeriod(period);
            if (output.Length < input.Length)
                throw new ArgumentException(
                    "output has " + output.Length + " slots, fewer than the input's " +
                    input.Length, nameof(output));
            // The library reads windows while it writes results: the arrays must not overlap.
            if (ReferenceEquals(input, output) && input.Length > 0)
                throw new ArgumentException("output must not be the input array", nameof(output));
            if (input.Length == 0)
                return 0;
            return Native(input, period, input.Length, output);
        }

        private static void CheckPeriod(int period)
        {
            if (period < 1)
                throw new ArgumentOutOfRangeException(nameof(period), period,
                    "period must be at least 1");
        }

        private static int Native(float[] input, int period, int count, float[] output)
        {
            int written = SineWeightedMovingAverage(input, period, count, output);
            if (written != count)
                throw new InvalidOperationException(
                    "the sinewma library returned " + written + " for a count of " + count);
            return written;
        }

        // int SineWeightedMovingAverage(const float *input, int period, int count, float *output);
        // cdecl on 32-bit Windows, the platform's convention elsewhere. Float arrays are
        // blittable: both are pinned and passed as pointers, so the results land in place.
        [DllImport("sinewma", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        private static extern int SineWeightedMovingAverage(
            [In] float[] input, int period, int count, [Out] float[] output);

        // The same function, its input a pointer into memory the caller keeps pinned.
        [DllImport("sinewma", CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        internal static extern int SineWeightedMovingAverage(
            IntPtr input, int period, int count, [Out] float[] output);
    }

    /// <summary>
    /// The sine-weighted moving average of a live series, one value at a time: each result of
    /// <see cref="Add"/> has the bits of the same slot of <see cref="Swma.Compute(float[], int,
    /// bool)"/> over every value added so far, NaN, infinities and <see cref="Swma.NoValue"/>
    /// among the values included.
    /// </summary>
    /// <remarks>
    /// Each value is stored twice, at <c>i</c> and <c>i + period</c> of a buffer of
    /// <c>2 * period</c> floats, so the last <c>period</c> values always lie in one piece; each
    /// result is one library call with a count of <c>period</c> over them. The buffer stays
    /// pinned while the stream lives: <see cref="Dispose"/> releases it (the finalizer does, if
    /// nobody did). Not thread-safe: one stream per series and thread.
    /// </remarks>
    public sealed class SwmaStream : IDisposable
    {
        private readonly int period;
        private readonly bool nanWarmup;
        private readonly float[] window;  // 2 * period: every value at i and i + period
        private readonly float[] output;  // period: the per-bar call's slots
        private GCHandle pin;
        private IntPtr windowAddress;
        private int position;  // where the next value goes, and again at position + period
        private long count;

        /// <summary>A stream with no values yet.</summary>
        /// <param name="period">The window length, from 1 to 2^30 - 1 (the buffer holds
        /// <c>2 * period</c> floats).</param>
        /// <param name="nanWarmup">
        /// True (the default): <see cref="Add"/> returns <see cref="float.NaN"/> until
        /// <paramref name="period"/> values have come. False: <see cref="Swma.NoValue"/>.
        /// </param>
        /// <exception cref="ArgumentOutOfRangeException">
        /// <paramref name="period"/> is below 1 or above 2^30 - 1.</exception>
        public SwmaStream(int period, bool nanWarmup = true)
        {
            if (period < 1 || period > MaxPeriod)
                throw new ArgumentOutOfRangeException(nameof(period), period,
                    "period must be from 1 to " + MaxPeriod);
            this.period = period;
            this.nanWarmup = nanWarmup;
            window = new float[2 * period];
            output = new float[period];
            pin = GCHandle.Alloc(window, GCHandleType.Pinned);
            windowAddress = pin.AddrOfPinnedObject();
        }

        /// <summary>The largest period: a buffer of twice as many floats is an array.</summary>
        public const int MaxPeriod = (1 << 30) - 1;

        /// <summary>The window length.</summary>
        public int Period { get { return period; } }

        /// <summary>How many values have been added.</summary>
        public long Count { get { return count; } }

        /// <summary>True once <see cref="Period"/> values have come: from then on every result
        /// is an average.</summary>
        public bool IsReady { get { return count >= period; } }

        /// <summary>Adds the next value and returns the newest average (the warm-up value until
        /// <see cref="Period"/> values have come).</summary>
        /// <exception cref="ObjectDisposedException">The stream was disposed.</exception>
        public float Add(float value)
        {
            if (windowAddress == IntPtr.Zero)
                throw new ObjectDisposedException(nameof(SwmaStream));
            int p = position;
            window[p] = value;
            window[p + period] = value;
            // The last period values now lie at p + 1 .. p + period.
            position = p + 1 < period ? p + 1 : 0;
            count++;
            if (count < period)
                return nanWarmup ? float.NaN : Swma.NoValue;
            var start = new IntPtr(windowAddress.ToInt64() + 4L * (p + 1));
            int written = Swma.SineWeightedMovingAverage(start, period, period, output);
            if (written != period)
                throw new InvalidOperationException(
                    "the sinewma library returned " + written + " for a count of " + period);
            return output[period - 1];
        }

        /// <summary>Releases the pinned buffer; <see cref="Add"/> throws from then on.</summary>
        public void Dispose()
        {
            Release();
            GC.SuppressFinalize(this);
        }

        ~SwmaStream()
        {
            Release();
        }

        private void Release()
        {
            windowAddress = IntPtr.Zero;
            if (pin.IsAllocated)
                pin.Free();
        }
    }
}
