"""bench.py: what the Python binding costs on top of the library.

    python3 python/bench.py [--c-bench build/native/swma_bench]

Prints CPU time, best of N repetitions (on a shared machine the minimum is the figure that
repeats), as the C benchmark reports it:
- the call overhead at count = period = 14 (one result, as a host's per-bar call), for
  sinewma.swma in both warm-up forms and for a bare ctypes call of the same library;
- the time for 1e6 values at period 14, in ms and in ns per output x weight;
- many series: one 2-D call on 500 columns x 5,000 rows (C and Fortran order) against 500
  1-D calls on the same columns;
- live ticks: Stream.update per tick against the bare per-bar call above;
- Dask (when installed), in values per second of wall time against one call on the whole
  series: 1e6 values in 10 partitions on the threaded scheduler, or with --dask 1e8 values in
  100 partitions on a local cluster of two worker processes (a Dask Array and a Series).
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


def best_wall(call, repetitions):
    best = float("inf")
    for _ in range(repetitions):
        t0 = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - t0)
    return best


def many_series(repetitions):
    rows, columns = 5000, 500
    table = prices(rows * columns).reshape(rows, columns)  # C order: each column strided
    fortran = np.asfortranarray(table)
    singles = [np.ascontiguousarray(table[:, j]) for j in range(columns)]
    print(f"{columns} columns x {rows} rows, period {PERIOD}:")
    calls = [("2-D call, C order", lambda: sinewma.swma(table, PERIOD)),
             ("2-D call, Fortran order", lambda: sinewma.swma(fortran, PERIOD)),
             (f"{columns} 1-D calls", lambda: [sinewma.swma(c, PERIOD) for c in singles])]
    for name, call in calls:
        seconds = best_per_call(call, 1, repetitions)
        print(f"  {name:30s} {seconds * 1e3:8.3f} ms")


def live_ticks(series, repetitions):
    ticks = [float(v) for v in series[:20000]]
    print(f"live ticks, period {PERIOD}, per tick:")

    def feed():
        stream = sinewma.Stream(PERIOD)
        for v in ticks:
            stream.update(v)
    ns = best_per_call(feed, 1, repetitions) / len(ticks) * 1e9
    print(f"  {'Stream.update(float)':30s} {ns:8.0f} ns")
    block = series[:20000]
    ns = best_per_call(lambda: sinewma.Stream(PERIOD).extend(block), 1, repetitions) / 20000 * 1e9
    print(f"  {'Stream.extend, 20000 at once':30s} {ns:8.1f} ns")


def dask_figures(large, repetitions):
    try:
        import dask.array as da
        import dask.dataframe as dd
        import sinewma.dask
    except ImportError:
        print("Dask: not installed")
        return
    count, parts = (10**8, 100) if large else (10**6, 10)
    if large:
        import distributed
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
        client = distributed.Client(cluster)
        where = "a local cluster of 2 worker processes"

        def run(collection):
            distributed.wait(collection.persist())
    else:
        client = cluster = None
        where = "the threaded scheduler"

        def run(collection):
            collection.persist(scheduler="threads")
    try:
        x = da.random.RandomState(1).random_sample(count, chunks=count // parts)
        x = (100 + x).astype(np.float32)
        x = x.persist() if large else x.persist(scheduler="threads")
        if large:
            distributed.wait(x)
        series = dd.from_dask_array(x)
        whole = x.compute()
        one = best_wall(lambda: sinewma.swma(whole, PERIOD), repetitions)
        print(f"Dask, {count:.0e} values in {parts} partitions, period {PERIOD}, on {where} "
              f"(wall time):")
        print(f"  {'one call, in process':30s} {count / one / 1e6:8.1f} M values/s")
        for name, collection in [("Dask Array", x), ("Dask Series", series)]:
            seconds = best_wall(lambda: run(sinewma.dask.swma(collection, PERIOD)), repetitions)
            print(f"  {name:30s} {count / seconds / 1e6:8.1f} M values/s")
    finally:
        if client is not None:
            client.close()
            cluster.close()


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
    parser.add_argument("--dask", action="store_true",
                        help="Dask over 1e8 values on a local cluster (else 1e6, threaded)")
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

    many_series(args.repetitions)
    live_ticks(series, args.repetitions)
    dask_figures(args.dask, min(args.repetitions, 5))

    if args.c_bench:
        per_bar_ns, whole_ms = c_figures(args.c_bench)
        print("C benchmark, same workloads (CPU time):")
        print(f"  {'per-bar call':30s} {per_bar_ns:8.0f} ns")
        print(f"  {f'{COUNT} values, period {PERIOD}':30s} {whole_ms:8.3f} ms, "
              f"{whole_ms * 1e6 / weights:.3f} ns per output x weight")


if __name__ == "__main__":
    main()
