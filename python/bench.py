"""bench.py: what the Python binding costs on top of the library.

    python3 python/bench.py [--c-bench build/native/swma_bench]

Prints CPU time, best of N repetitions (on a shared machine the minimum is the figure that
repeats), as the C benchmark reports it:
- the call overhead at count = period = 14 (one result, as a host's per-bar call), for
  sinewma.swma in both warm-up forms and for a bare ctypes call of the same library;
- the time for 1e6 values at period 14, in ms and in ns per output x weight.
With --c-bench, the C benchmark's figures for the same two workloads, for comparison.
"""
import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

# Time the installed package, not the source folder this script sits in.
if sys.path and os.path.abspath(sys.path[0]) == os.path.dirname(os.path.abspath(__file__)):
    del sys.path[0]
import sinewma  # noqa: E402

COUNT = 1_000_000
PERIOD = 14


def prices(n):
    """The C benchmark's series: a random walk from 100 with its 64-bit LCG."""
    out = np.empty(n, dtype=np.float32)
    s, price, mask = 12345, 100.0, (1 << 64) - 1
    for k in range(n):
        s = (s * 6364136223846793005 + 1442695040888963407) & mask
        price *= 1.0 + 0.02 * ((s >> 11) * 2.0**-53 - 0.5)
        out[k] = price
    return out


def best_per_call(call, calls, repetitions):
    best = float("inf")
    for _ in range(repetitions):
        t0 = time.process_time()
        for _ in range(calls):
            call()
        best = min(best, (time.process_time() - t0) / calls)
    return best


def c_figures(path):
    """ns for the per-bar call and ms for 1e6 values at period 14, from the C benchmark."""
    run = subprocess.run(
        [path, f"--benchmark_filter=^BM_per_bar/14/14$|^BM_export/{PERIOD}/{COUNT}$",
         "--benchmark_repetitions=20", "--benchmark_min_time=0.05",
         "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
        capture_output=True, text=True, check=True)
    rows = {b["name"]: b for b in json.loads(run.stdout)["benchmarks"]}
    per_bar = rows["BM_per_bar/14/14_best"]
    whole = rows[f"BM_export/{PERIOD}/{COUNT}_best"]
    assert per_bar["time_unit"] == "ns" and whole["time_unit"] == "ms"
    return per_bar["cpu_time"], whole["cpu_time"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--c-bench", help="the C benchmark (build/native/swma_bench)")
    parser.add_argument("--repetitions", type=int, default=20)
    args = parser.parse_args()

    series = prices(COUNT)
    bar = series[:PERIOD].copy()
    out = np.empty(PERIOD, dtype=np.float32)
    native = sinewma._native
    in_ptr, out_ptr = bar.ctypes.data, out.ctypes.data

    print(f"sinewma {sinewma.__version__}, library {sinewma._LIBRARY_PATH}")
    print(f"best of {args.repetitions} repetitions")
    overhead = {
        "swma(values, 14)": lambda: sinewma.swma(bar, PERIOD),
        "swma(values, 14, 'novalue')": lambda: sinewma.swma(bar, PERIOD, "novalue"),
        "bare ctypes call": lambda: native(in_ptr, PERIOD, PERIOD, out_ptr),
    }
    print(f"per-bar call, count = period = {PERIOD}:")
    for name, call in overhead.items():
        ns = best_per_call(call, 20000, args.repetitions) * 1e9
        print(f"  {name:30s} {ns:8.0f} ns")

    seconds = best_per_call(lambda: sinewma.swma(series, PERIOD), 1, args.repetitions)
    weights = (COUNT - PERIOD + 1) * PERIOD
    print(f"{COUNT} values, period {PERIOD}:")
    print(f"  {'swma(values, 14)':30s} {seconds * 1e3:8.3f} ms, "
          f"{seconds * 1e9 / weights:.3f} ns per output x weight")

    if args.c_bench:
        per_bar_ns, whole_ms = c_figures(args.c_bench)
        print("C benchmark, same workloads (CPU time):")
        print(f"  {'per-bar call':30s} {per_bar_ns:8.0f} ns")
        print(f"  {f'{COUNT} values, period {PERIOD}':30s} {whole_ms:8.3f} ms, "
              f"{whole_ms * 1e6 / weights:.3f} ns per output x weight")


if __name__ == "__main__":
    main()
