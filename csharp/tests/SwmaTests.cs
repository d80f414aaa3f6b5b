// SwmaTests.cs: Sinewma.Swma against a raw call of the library, its warm-up forms and its
// argument checks. Built with Sinewma.cs (mcs) and run with mono, the library on
// LD_LIBRARY_PATH; the argument is the sample series data/sunspots.csv.
// Prints "N passed, M failed" and exits non-zero on any failure.
using System;
using System.Collections.Generic;
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

    static int Main(string[] args)
    {
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: mono SwmaTests.exe data/sunspots.csv");
            return 2;
        }
        KnownAnswers();
        NoValueComparison();
        Exceptions();
        EmptyAndShort();
        Series(args[0]);
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 && passed > 0 ? 0 : 1;
    }
}
