// SwmaTests.cs: Sinewma.Swma and Sinewma.SwmaStream against a raw call of the library, their
// warm-up forms and their argument checks. Built with Sinewma.cs (mcs) and run with mono, the
// library on LD_LIBRARY_PATH; the argument is the sample series data/sunspots.csv.
// Prints "N passed, M failed" and exits non-zero on any failure.
// With --bench instead: the time per tick of SwmaStream.Add against the bare per-bar call.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Runtime.InteropServices;
using Sinewma;

static class SwmaTests
{
    [DllImport("sinewma", EntryPoint = "SineWeightedMovingAverage",
               CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
    static extern int Raw(float[] input, int period, int count, float[] output);

    const int NoValueBits = 0x7F7FC99E;
    static int passed, failed;

    static int Bits(float v) { return BitConverter.ToInt32(BitConverter.GetBytes(v), 0); }

    static void Check(bool ok, string what)
    {
        if (ok) { passed++; return; }
        failed++;
        Console.WriteLine("FAIL: " + what);
    }

    static void Throws<T>(Action call, string what) where T : Exception
    {
        try
        {
            call();
            Check(false, what + ": no exception");
        }
        catch (Exception e)
        {
            // Exactly T: ArgumentNullException and ArgumentOutOfRangeException derive from
            // ArgumentException, and must not pass for it.
            Check(e.GetType() == typeof(T), what + ": " + e.GetType().Name);
        }
    }

    static float[] RawSlots(float[] input, int period)
    {
        var output = new float[input.Length];
        for (int k = 0; k < output.Length; k++)
            output[k] = -1f;
        Check(Raw(input, period, input.Length, output) == input.Length, "raw call returns count");
        return output;
    }

    static int FirstBitDifference(float[] a, float[] b)
    {
        if (a.Length != b.Length)
            return -2;
        for (int k = 0; k < a.Length; k++)
            if (Bits(a[k]) != Bits(b[k]))
                return k;
        return -1;
    }

    // Compute, both overloads, against the raw call; the NaN form differs only in the warm-up.
    static void CompareWithRaw(float[] values, int period, string name)
    {
        string what = name + " period " + period + " count " + values.Length;
        float[] raw = RawSlots(values, period);
        float[] slots = new float[values.Length + 2];
        slots[values.Length] = 7f;
        slots[values.Length + 1] = 8f;
        int n = Swma.Compute(values, period, slots);
        Check(n == values.Length, what + ": returns count");
        Check(slots[values.Length] == 7f && slots[values.Length + 1] == 8f,
              what + ": slots past the count untouched");
        Array.Resize(ref slots, values.Length);
        int d = FirstBitDifference(slots, raw);
        Check(d == -1, what + ": library slots differ at " + d);
        d = FirstBitDifference(Swma.Compute(values, period, false), raw);
        Check(d == -1, what + ": NoValue form differs at " + d);

        float[] nan = Swma.Compute(values, period);
        int warmup = Math.Min(period - 1, values.Length);
        bool ok = nan.Length == values.Length;
        for (int k = 0; ok && k < nan.Length; k++)
            ok = k < warmup ? float.IsNaN(nan[k]) && Swma.IsNoValue(raw[k])
                            : Bits(nan[k]) == Bits(raw[k]);
        Check(ok, what + ": NaN warm-up form");
    }

    static float[] Sunspots(string path)
    {
        var values = new List<float>();
        foreach (string line in File.ReadAllLines(path))
        {
            string[] fields = line.Split(',');
            float v;
            if (fields.Length == 2 && float.TryParse(fields[1], NumberStyles.Float,
                                                     CultureInfo.InvariantCulture, out v))
                values.Add(v);
        }
        return values.ToArray();
    }

    static void KnownAnswers()
    {
        float[] ramp = Swma.Compute(new float[] { 1, 2, 3, 4, 5 }, 3, false);
        int[] expected = { NoValueBits, NoValueBits, 0x40000003, 0x40400003, 0x40800002 };
        bool ok = ramp.Length == 5;
        for (int k = 0; ok && k < 5; k++)
            ok = Bits(ramp[k]) == expected[k];
        Check(ok, "ramp 1..5 period 3 bits");
        Check(Bits(Swma.NoValue) == NoValueBits, "NoValue bits");
    }

    static void NoValueComparison()
    {
        Check(Swma.IsNoValue(Swma.NoValue), "IsNoValue(NoValue)");
        Check(Swma.IsNoValue(RawSlots(new float[] { 1f, 2f }, 2)[0]),
              "IsNoValue of a warm-up slot");
        Check(!Swma.IsNoValue(float.MaxValue), "FLT_MAX is not NoValue");
        Check(!Swma.IsNoValue(BitConverter.ToSingle(BitConverter.GetBytes(NoValueBits + 1), 0)),
              "the next float up is not NoValue");
        Check(!Swma.IsNoValue(BitConverter.ToSingle(BitConverter.GetBytes(NoValueBits - 1), 0)),
              "the next float down is not NoValue");
        Check(!Swma.IsNoValue(float.NaN) && !Swma.IsNoValue(float.PositiveInfinity) &&
              !Swma.IsNoValue(0f), "NaN, infinity and 0 are not NoValue");
        // The trap: as a double, 3.4e38 is another number.
        double wide = RawSlots(new float[] { 1f, 2f }, 2)[0];
        Check(wide != 3.4e38, "a warm-up slot widened to double is not the double 3.4e38");
    }

    static void Exceptions()
    {
        var some = new float[] { 1, 2, 3 };
        Throws<ArgumentNullException>(() => Swma.Compute(null, 3), "Compute(null)");
        Throws<ArgumentNullException>(() => Swma.Compute(null, 3, new float[3]),
                                      "Compute(null, output)");
        Throws<ArgumentNullException>(() => Swma.Compute(some, 3, null), "Compute(input, null)");
        foreach (int period in new[] { 0, -1, int.MinValue })
        {
            Throws<ArgumentOutOfRangeException>(() => Swma.Compute(some, period),
                                                "Compute period " + period);
            Throws<ArgumentOutOfRangeException>(() => Swma.Compute(some, period, new float[3]),
                                                "Compute(output) period " + period);
        }
        var shortOutput = new float[] { 9f, 9f };
        Throws<ArgumentException>(() => Swma.Compute(some, 2, shortOutput), "output shorter");
        Check(shortOutput[0] == 9f && shortOutput[1] == 9f, "a short output is not written");
        var same = new float[] { 1, 2, 3, 4 };
        Throws<ArgumentException>(() => Swma.Compute(same, 2, same), "output is the input");
        Check(same[0] == 1 && same[3] == 4, "an overlapping call does not write");
    }

    static void EmptyAndShort()
    {
        Check(Swma.Compute(new float[0], 14).Length == 0, "empty input, new array");
        Check(Swma.Compute(new float[0], 14, new float[0]) == 0, "empty input, output overload");
        Check(Swma.Compute(new float[0], 1, new float[3]) == 0, "empty input, longer output");
        var small = new float[] { 5f, 6f, 7f };
        CompareWithRaw(small, 3, "count == period");
        CompareWithRaw(small, 4, "count < period");
        CompareWithRaw(small, int.MaxValue, "period int.MaxValue");
        CompareWithRaw(small, 1, "period 1");
    }

    static void Series(string sunspotsPath)
    {
        float[] sun = Sunspots(sunspotsPath);
        Check(sun.Length == 309, "sunspots: 309 values, got " + sun.Length);
        foreach (int period in new[] { 1, 2, 11, 14, 50, 308, 309, 310 })
            CompareWithRaw(sun, period, "sunspots");

        var rng = new Random(20261208);
        for (int t = 0; t < 40; t++)
        {
            int period = rng.Next(1, 600);
            int count = rng.Next(0, 5000);
            var values = new float[count];
            double price = 100.0;
            for (int k = 0; k < count; k++)
            {
                price *= 1.0 + 0.02 * (rng.NextDouble() - 0.5);
                values[k] = (float)price;
            }
            if (count > 10)
            {
                values[rng.Next(count)] = float.NaN;
                values[rng.Next(count)] = float.PositiveInfinity;
                values[rng.Next(count)] = Swma.NoValue;
            }
            CompareWithRaw(values, period, "random");
        }
    }

    // Every Add against the same slot of the library's call on the whole history.
    static void Stream()
    {
        var rng = new Random(22);
        float[] odd = { float.NaN, float.PositiveInfinity, float.NegativeInfinity, Swma.NoValue,
                        -0f, float.MaxValue, float.Epsilon };
        var values = new float[300];
        double price = 100.0;
        for (int k = 0; k < values.Length; k++)
        {
            price *= 1.0 + 0.02 * (rng.NextDouble() - 0.5);
            values[k] = rng.Next(12) == 0 ? odd[rng.Next(odd.Length)] : (float)price;
        }
        foreach (int period in new[] { 1, 2, 3, 14, 50 })
            foreach (bool nanWarmup in new[] { true, false })
            {
                string what = "stream period " + period + (nanWarmup ? " NaN" : " NoValue");
                float[] raw = RawSlots(values, period);
                var stream = new SwmaStream(period, nanWarmup);
                var other = new SwmaStream(period, nanWarmup);  // fed in between: no shared state
                int bad = -1;
                bool ready = true;
                for (int k = 0; k < values.Length; k++)
                {
                    float got = stream.Add(values[k]);
                    other.Add(-values[k]);
                    // A NaN matches any NaN: the library promises no NaN's sign or payload,
                    // and a per-bar call keeps an input NaN's where a long call does not.
                    bool same = k < period - 1
                        ? (nanWarmup ? float.IsNaN(got) : Bits(got) == NoValueBits)
                        : Bits(got) == Bits(raw[k]) || float.IsNaN(got) && float.IsNaN(raw[k]);
                    if (!same && bad < 0)
                        bad = k;
                    ready &= stream.IsReady == (k + 1 >= period) && stream.Count == k + 1;
                }
                Check(bad == -1, what + ": differs at " + bad);
                Check(ready, what + ": IsReady and Count");
                stream.Dispose();
                stream.Dispose();
                Throws<ObjectDisposedException>(() => stream.Add(1f), what + ": Add after Dispose");
                other.Dispose();
            }
        foreach (int period in new[] { 0, -1, int.MinValue, SwmaStream.MaxPeriod + 1 })
            Throws<ArgumentOutOfRangeException>(() => new SwmaStream(period),
                                                "SwmaStream period " + period);
    }

    // Nanoseconds per call, best of five runs.
    static double BestNs(Action<int> run, int calls)
    {
        double best = double.MaxValue;
        for (int r = 0; r < 5; r++)
        {
            var watch = Stopwatch.StartNew();
            run(calls);
            best = Math.Min(best, watch.Elapsed.TotalMilliseconds * 1e6 / calls);
        }
        return best;
    }

    static int Bench()
    {
        const int period = 14, calls = 200000;
        var bar = new float[period];
        var output = new float[period];
        for (int k = 0; k < period; k++)
            bar[k] = 100f + k;
        var stream = new SwmaStream(period);
        float sink = 0f;
        // The first period - 1 results are the warm-up's NaN: only the averages are summed.
        double add = BestNs(n => {
            for (int i = 0; i < n; i++)
            {
                float r = stream.Add(100f + i % 7);
                if (stream.IsReady)
                    sink += r;
            }
        }, calls);
        double raw = BestNs(n => { for (int i = 0; i < n; i++) Raw(bar, period, period, output); },
                            calls);
        Console.WriteLine("per tick, period " + period + ", best of 5 runs of " + calls + ":");
        Console.WriteLine("  SwmaStream.Add        " + add.ToString("F0") + " ns");
        Console.WriteLine("  bare per-bar call     " + raw.ToString("F0") + " ns");
        return float.IsNaN(sink) ? 1 : 0;
    }

    static int Main(string[] args)
    {
        if (args.Length == 1 && args[0] == "--bench")
            return Bench();
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: mono SwmaTests.exe data/sunspots.csv | --bench");
            return 2;
        }
        KnownAnswers();
        NoValueComparison();
        Exceptions();
        EmptyAndShort();
        Series(args[0]);
        Stream();
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 && passed > 0 ? 0 : 1;
    }
}
