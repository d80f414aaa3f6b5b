"""test_sinewma.py: the Python binding against the C library and an independent formula.

Run with the Python the package is installed into, from outside python/, so that `import
sinewma` gets the installed copy. SINEWMA_REFERENCE names the C library the results are compared
with (default: build/native/libsinewma.so of this checkout), loaded here through ctypes.
"""
import ctypes
import ctypes.util
import os
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import sinewma

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
REFERENCE = os.environ.get("SINEWMA_REFERENCE",
                           os.path.join(REPO, "build", "native", "libsinewma.so"))
NO_VALUE_BITS = 0x7F7FC99E


def _reference():
    fn = ctypes.CDLL(REFERENCE).SineWeightedMovingAverage
    fn.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
    fn.restype = ctypes.c_int
    return fn


REF = _reference()


def ref_swma(values32, period):
    """The C library's raw slots for a float32 array (NoValue in the warm-up)."""
    x = np.ascontiguousarray(values32, dtype=np.float32)
    out = np.full(len(x), np.float32(-1.0))
    assert REF(x.ctypes.data, period, len(x), out.ctypes.data) == len(x)
    return out


def bits(a):
    return np.asarray(a, dtype=np.float32).view(np.uint32)


# An independent formula: the sum written out in Python floats (IEEE double, each product and
# sum rounded once, ascending i), with a sine computed exactly enough in integers to round
# correctly to the nearest double.
_FIX = 300  # fractional bits of the fixed-point sine


def _sin_correctly_rounded(x):
    """sin(x) rounded to the nearest double, for a double 0 < x < 4."""
    num, den = Fraction(x).as_integer_ratio()
    one = 1 << _FIX
    xf = (num << _FIX) // den  # x in fixed point, error below 2**-300
    term, total, n = xf, xf, 1
    while term:
        term = -term * xf // one * xf // one // ((n + 1) * (n + 2))
        total += term
        n += 2
    return total / one  # int / int: correctly rounded in Python


_weights_cache = {}


def _weights(period):
    if period not in _weights_cache:
        n1 = float(period) + 1.0
        _weights_cache[period] = [_sin_correctly_rounded(i * 3.14159 / n1)
                                  for i in range(1, period + 1)]
    return _weights_cache[period]


def formula(values32, period):
    w = _weights(period)
    s = 0.0
    for wi in w:
        s = s + wi
    x = [float(v) for v in values32]
    out = [np.float32(np.nan)] * min(period - 1, len(x))
    for k in range(period - 1, len(x)):
        t = 0.0
        for i in range(period):
            t = t + w[i] * x[k - period + 1 + i]
        out.append(np.float32(t / s))
    return np.array(out, dtype=np.float32)


def sunspots():
    return pd.read_csv(os.path.join(REPO, "data", "sunspots.csv"))


def random_series(rng, n):
    return (100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, n)))).astype(np.float32)


@pytest.fixture
def no_native_call(monkeypatch):
    """Fails the test if the library is called: errors must come before the native call."""
    def refuse(*args):
        raise AssertionError("the library was called")
    monkeypatch.setattr(sinewma, "_native", refuse)


# --- the same bits as the library, and as the formula ----------------------------------------

def test_ramp_known_answer():
    out = sinewma.swma([1, 2, 3, 4, 5], 3, warmup="novalue")
    assert list(bits(out)) == [NO_VALUE_BITS, NO_VALUE_BITS, 0x40000003, 0x40400003, 0x40800002]


@pytest.mark.parametrize("period", [1, 2, 11, 14, 50, 308, 309, 310])
def test_sunspots_bits_equal_library_and_formula(period):
    values = sunspots()["SUNACTIVITY"].to_numpy(dtype=np.float32)
    out = sinewma.swma(values, period, warmup="novalue")
    assert np.array_equal(bits(out), bits(ref_swma(values, period)))
    nan = sinewma.swma(values, period)
    expected = formula(values, period)
    assert np.array_equal(bits(nan), bits(expected))  # NaN warm-up: the formula's NaN bits


def test_random_series_bits_equal_library():
    rng = np.random.default_rng(20261208)
    for _ in range(60):
        period = int(rng.integers(1, 600))
        count = int(rng.choice([0, 1, period - 1, period, period + 1, int(rng.integers(1, 5000))]))
        values = random_series(rng, count)
        out = sinewma.swma(values, period, warmup="novalue")
        assert np.array_equal(bits(out), bits(ref_swma(values, period))), (period, count)


def test_random_series_bits_equal_formula():
    rng = np.random.default_rng(11)
    for period in [3, 7, 14, 40, 127]:
        values = random_series(rng, 400)
        assert np.array_equal(bits(sinewma.swma(values, period)), bits(formula(values, period)))


def test_special_values_as_the_library():
    values = np.array([1, np.nan, 2, np.inf, 3, -np.inf, -0.0, 1e-45, 3.4e38, 3.4028235e38] * 7,
                      dtype=np.float32)
    for period in [1, 2, 3, 5, 9]:
        out = sinewma.swma(values, period, warmup="novalue")
        assert np.array_equal(bits(out), bits(ref_swma(values, period)))


# --- warm-up forms ---------------------------------------------------------------------------

@pytest.mark.parametrize("count", [0, 1, 13, 14, 15, 100])
def test_warmup_forms(count):
    values = np.arange(count, dtype=np.float32)
    raw = ref_swma(values, 14)
    nan = sinewma.swma(values, 14)
    novalue = sinewma.swma(values, 14, warmup="novalue")
    head = min(13, count)
    assert np.array_equal(bits(novalue), bits(raw))
    assert np.all(np.isnan(nan[:head]))
    assert np.array_equal(bits(nan[head:]), bits(raw[head:]))
    assert np.all(novalue[:head] == sinewma.NO_VALUE)
    assert nan.dtype == novalue.dtype == np.float32 and len(nan) == count


def test_no_value_is_the_float32_marker():
    assert isinstance(sinewma.NO_VALUE, np.float32)
    assert int(np.array([sinewma.NO_VALUE]).view(np.uint32)[0]) == NO_VALUE_BITS
    # The trap the constant avoids: the float64 3.4e38 is another number.
    assert sinewma.swma([1.0, 2.0], 2, warmup="novalue")[0] != np.float64(3.4e38)


def test_period_past_count_and_int_range():
    values = np.ones(5, dtype=np.float32)
    for period in [6, 2**31 - 1]:
        assert np.array_equal(bits(sinewma.swma(values, period, warmup="novalue")),
                              bits(ref_swma(values, period)))
    with pytest.raises(ValueError, match="2147483647"):
        sinewma.Stream(2**31)  # the per-bar call's count is a C int
    huge = sinewma.swma(values, 2**40, warmup="novalue")
    assert np.all(bits(huge) == NO_VALUE_BITS)
    assert np.all(np.isnan(sinewma.swma(values, 2**40)))


# --- inputs: no copy, one conversion, never written -------------------------------------------

def test_contiguous_float32_passed_without_copy(monkeypatch):
    seen = []
    native = sinewma._native

    def spy(inp, period, count, out):
        seen.append(inp)
        return native(inp, period, count, out)
    monkeypatch.setattr(sinewma, "_native", spy)
    values = random_series(np.random.default_rng(1), 100)
    sinewma.swma(values, 14)
    assert seen == [values.ctypes.data]
    series = pd.Series(values)
    sinewma.swma(series, 14)
    assert seen[-1] == series.to_numpy().ctypes.data


def test_other_numeric_inputs_converted_to_nearest_float32():
    rng = np.random.default_rng(2)
    x64 = rng.normal(50.0, 10.0, 1000)
    expected = ref_swma(x64.astype(np.float32), 14)
    for values in [x64, list(x64), x64.astype(">f8"), x64.astype(np.float32).astype(">f4")]:
        assert np.array_equal(bits(sinewma.swma(values, 14, "novalue")), bits(expected))
    wide = np.empty(2000, dtype=np.float32)
    wide[::2] = x64
    strided = wide[::2]
    assert not strided.flags.c_contiguous
    assert np.array_equal(bits(sinewma.swma(strided, 14, "novalue")), bits(expected))
    ints = rng.integers(-1000, 1000, 300)
    for values in [ints, ints.astype(np.int16), ints.astype(np.uint64) + 5000, list(ints)]:
        assert np.array_equal(bits(sinewma.swma(values, 7, "novalue")),
                              bits(ref_swma(np.asarray(values).astype(np.float32), 7)))


def test_conversion_rounds_once():
    # 2**60 + 2**36 + 1 rounds to float32 2**60 + 2**37 directly, but to 2**60 through float64
    # (it becomes the tie 2**60 + 2**36 first): one rounding is the nearest float32.
    n = 2**60 + 2**36 + 1
    for values in [[n, n, n], np.array([n, n, n], dtype=np.int64)]:
        out = sinewma.swma(values, 1)
        assert out[0] == np.float32(2**60 + 2**37), out


def test_caller_arrays_never_written():
    rng = np.random.default_rng(3)
    values = random_series(rng, 500)
    keep = values.copy()
    series = pd.Series(values.copy(), index=pd.RangeIndex(100, 600))
    keep_series = series.copy()
    out = sinewma.swma(values, 14)
    sinewma.swma(series, 14)
    assert np.array_equal(bits(values), bits(keep)) and series.equals(keep_series)
    assert not np.shares_memory(out, values)
    values.flags.writeable = False
    assert np.array_equal(bits(sinewma.swma(values, 14)), bits(out))


# --- pandas ----------------------------------------------------------------------------------

def test_series_keeps_index_and_gets_name():
    frame = sunspots()
    series = frame.set_index("YEAR")["SUNACTIVITY"]
    out = sinewma.swma(series, 11)
    assert isinstance(out, pd.Series)
    assert out.name == "swma11" and out.dtype == np.float32
    assert out.index.equals(series.index)
    assert np.array_equal(bits(out.to_numpy()),
                          bits(sinewma.swma(series.to_numpy(dtype=np.float32), 11)))
    dated = pd.Series([1.0, 2.0, 3.0, 4.0], index=pd.date_range("2026-01-01", periods=4),
                      name="close")
    out = sinewma.swma(dated, 3, warmup="novalue")
    assert out.index.equals(dated.index) and out.name == "swma3"
    assert out.iloc[0] == sinewma.NO_VALUE


def test_nullable_series_missing_values_are_nan():
    series = pd.Series([1.0, None, 3.0, 4.0, 5.0, 6.0], dtype="Float64")
    out = sinewma.swma(series, 2, "novalue")
    expected = ref_swma(np.array([1, np.nan, 3, 4, 5, 6], dtype=np.float32), 2)
    assert np.array_equal(bits(out.to_numpy()), bits(expected))


@pytest.mark.parametrize("missing", ["pandas", "dask"])
def test_import_without(missing):
    code = (f"import sys; sys.modules[{missing!r}] = None\n"
            "import sinewma\n"
            "print(sinewma.swma([1, 2, 3, 4, 5], 3)[4])\n"
            "try:\n"
            "    import sinewma.dask\n"
            "except ImportError as e:\n"
            "    print(e)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[0] == "4.000001"
    assert missing != "dask" or \
        "apt-get install python3-dask" in run.stdout and "pip install dask" in run.stdout


# --- many series at once ---------------------------------------------------------------------

EDGE_VALUES = np.array([np.nan, -np.nan, np.inf, -np.inf, 3.4e38, -0.0, 3.4028235e38, 1e-45],
                    np.float32)


def with_edge_values(rng, rows, columns=1):
    out = random_series(rng, rows * columns).reshape(rows, columns)
    flat = out.reshape(-1)
    spots = rng.choice(flat.size, size=min(flat.size, 12), replace=False)
    flat[spots] = rng.choice(EDGE_VALUES, size=spots.size)
    return out


def same_bits(a, b):
    """The same float32 bits slot for slot, a NaN matching any NaN: the library promises no
    NaN's sign or payload, and its paths differ there (a short call keeps an input NaN's)."""
    a, b = np.asarray(a, dtype=np.float32), np.asarray(b, dtype=np.float32)
    return a.shape == b.shape and bool(np.all(
        (a.view(np.uint32) == b.view(np.uint32)) | (np.isnan(a) & np.isnan(b))))


def oracle(series, period, warmup):
    """The reference library's 1-D call on one series narrowed to float32, swma's warm-up."""
    out = ref_swma(np.asarray(series).astype(np.float32), period)
    if warmup == "nan":
        out[:period - 1] = np.nan
    return out


def spy_native(monkeypatch):
    calls = []
    native = sinewma._native
    monkeypatch.setattr(sinewma, "_native", lambda *a: calls.append(a) or native(*a))
    return calls


@pytest.mark.filterwarnings("ignore:overflow encountered")  # int64 values past float32's range
@pytest.mark.parametrize("name", ["C", "F", "float64", "int64", "strided", "strided F",
                                  "swapped", "reversed", "empty", "one row"])
@pytest.mark.parametrize("axis", [0, 1, -1])
def test_2d_each_series_bits_of_its_1d_call(name, axis):
    rng = np.random.default_rng(22)
    values = with_edge_values(rng, 40, 9)
    wide = np.zeros((80, 27), np.float32)
    wide[::2, 1::3] = values
    ints = rng.integers(-2**62, 2**62, (40, 9))
    ints[3] = 2**60 + 2**36 + 1  # rounds to another float32 through float64
    values = {"C": values, "F": np.asfortranarray(values), "float64": values.astype(np.float64),
              "int64": ints, "strided": wide[::2, 1::3],
              "strided F": np.asfortranarray(wide)[::2, 1::3], "swapped": values.astype(">f4"),
              "reversed": values[::-1, ::-1], "empty": np.zeros((0, 3)),
              "one row": values[:1]}[name]
    keep = values.copy()
    lines = values if axis == 0 else values.T
    for period, warmup in [(1, "nan"), (5, "novalue"), (14, "nan"), (40, "novalue"), (41, "nan")]:
        out = sinewma.swma(values, period, warmup, axis=axis)
        assert out.shape == values.shape and out.dtype == np.float32
        for j in range(lines.shape[1]):
            column = out[:, j] if axis == 0 else out[j, :]
            assert same_bits(column, oracle(lines[:, j], period, warmup)), j
    assert np.array_equal(values, keep, equal_nan=values.dtype.kind == "f")


@pytest.mark.parametrize("order, axis, direct", [("F", 0, True), ("C", 1, True), ("C", 0, False),
                                                 ("F", 1, False)])
def test_2d_contiguous_series_passed_without_copy(monkeypatch, order, axis, direct):
    calls = spy_native(monkeypatch)
    values = np.asarray(random_series(np.random.default_rng(4), 30 * 6).reshape(30, 6), order=order)
    sinewma.swma(values, 5, axis=axis)
    lines = values if axis == 0 else values.T
    starts = [values.ctypes.data + j * lines.strides[1] for j in range(lines.shape[1])]
    inside = [values.ctypes.data <= c[0] < values.ctypes.data + values.nbytes for c in calls]
    assert len(calls) == len(starts) and ([c[0] for c in calls] == starts if direct else
                                          not any(inside))
    frame = pd.DataFrame({f"c{j}": values[:, j] for j in range(6)})  # one block, columns in a row
    del calls[:]
    sinewma.swma(frame, 5)
    assert [c[0] for c in calls] == [frame[f"c{j}"].to_numpy().ctypes.data for j in range(6)]


def test_dataframe_each_column_bits_of_its_1d_call():
    rng = np.random.default_rng(5)
    n = 60
    x = with_edge_values(rng, n)[:, 0]
    nullable = pd.array(random_series(rng, n).astype(np.float64), dtype="Float64")
    nullable[[3, 30]] = pd.NA
    frame = pd.DataFrame({"f32": x, "f64": x / np.float64(3), "i64": rng.integers(-9, 9, n),
                          "u8": rng.integers(0, 255, n).astype(np.uint8), "na": nullable},
                         index=pd.date_range("2026-01-01", periods=n, name="day"))
    frame.iloc[10, 2] = 2**60 + 2**36 + 1  # rounds to another float32 through float64
    frame.columns = ["a", "b", "a", 3, "e"]  # repeated and non-string names are kept
    narrowed = np.column_stack(
        [frame.iloc[:, j].to_numpy().astype(np.float32) for j in range(4)]
        + [nullable.to_numpy(np.float64, na_value=np.nan).astype(np.float32)])
    for period, warmup in [(1, "nan"), (7, "novalue"), (14, "nan"), (61, "novalue")]:
        for axis, lines in [(0, narrowed), (1, narrowed.T)]:
            p = period if axis == 0 else min(period, 5)
            out = sinewma.swma(frame, p, warmup, axis=axis)
            assert out.index.equals(frame.index) and out.columns.equals(frame.columns)
            assert (out.dtypes == np.float32).all()
            out = out.to_numpy() if axis == 0 else out.to_numpy().T
            for j in range(lines.shape[1]):
                assert same_bits(out[:, j], oracle(lines[:, j], p, warmup)), (axis, j)


@pytest.mark.parametrize("warmup", ["nan", "novalue"])
def test_long_table_by_group_transform(warmup):
    rng = np.random.default_rng(6)
    table = pd.DataFrame({"symbol": rng.choice(list("ABCD"), 300, p=[0.5, 0.3, 0.17, 0.03]),
                          "close": with_edge_values(rng, 300)[:, 0]},
                         index=pd.RangeIndex(1000, 1300))
    out = table.groupby("symbol")["close"].transform(sinewma.swma, 14, warmup=warmup)
    assert out.index.equals(table.index) and out.dtype == np.float32
    for symbol, group in table.groupby("symbol"):  # "D" is shorter than the period
        assert same_bits(out[group.index], oracle(group["close"], 14, warmup)), symbol


@pytest.mark.parametrize("column, values", [
    ("sym", ["a", "b"]), ("flag", [True, False]), ("lists", [[1.0, 2.0], [3.0]]),
    ("when", pd.date_range("2026-01-01", periods=2)), ("b", pd.array([True, None], "boolean"))])
def test_dataframe_column_not_numeric_is_type_error(column, values, no_native_call):
    for frame in [pd.DataFrame({"px": [1.0, 2.0], column: values}), pd.DataFrame({column: values})]:
        for axis in (0, 1):
            with pytest.raises(TypeError, match=f"'{column}'"):
                sinewma.swma(frame, 1, axis=axis)


# --- live ticks ------------------------------------------------------------------------------

@pytest.mark.filterwarnings("ignore:overflow encountered")  # 1e39 narrows to inf
@pytest.mark.parametrize("period", [1, 2, 3, 14, 40])
@pytest.mark.parametrize("warmup", ["nan", "novalue"])
def test_stream_bits_equal_full_call(period, warmup):
    rng = np.random.default_rng(period)
    values = [float(v) for v in random_series(rng, 150)]
    for v in [np.nan, -np.nan, np.inf, -np.inf, 3.4e38, np.float32(3.4e38), -0.0, 3.4028235e38,
              1e-45, 1e39, 2**60 + 2**36 + 1, np.float64(7.25), np.int16(-3), np.uint64(2**64 - 1)]:
        values.insert(int(rng.integers(0, len(values))), v)
    # Each value narrowed as a 1-D call narrows an array of the value's own type.
    history = np.array([np.asarray([v]).astype(np.float32)[0] for v in values])
    expected = oracle(history, period, warmup)
    stream = sinewma.Stream(period, warmup)
    got = [stream.update(v) for v in values]
    assert all(type(g) is np.float32 for g in got) and same_bits(got, expected)
    # extend in pieces of any size (none, shorter and longer than the period), update between
    stream, pieces, k = sinewma.Stream(period, warmup), [], 0
    while k < len(values):
        n = int(rng.integers(0, 2 * period + 2))
        pieces.append([stream.update(values[k])] if n == 1 else stream.extend(history[k:k + n]))
        k += n
        assert stream.count == min(k, len(values)) and stream.ready == (stream.count >= period)
    assert same_bits(np.concatenate(pieces), expected)


def test_stream_makes_one_per_bar_call_per_update(monkeypatch):
    calls = spy_native(monkeypatch)
    stream = sinewma.Stream(4)
    for k in range(11):
        stream.update(float(k))
        assert len(calls) == max(0, k - 2)  # none until 4 values have come, then one each
    buffer = stream._buffer.ctypes.data
    assert all(p == c == 4 and buffer <= inp <= buffer + 4 * 4 for inp, p, c, _ in calls)


@pytest.mark.parametrize("bad", ["1.5", None, b"1", 1 + 2j, True, np.bool_(False), [1.0],
                                 np.array([1.0, 2.0]), Decimal("1.5"), object(), pd.NA])
def test_stream_non_number_is_type_error_and_state_kept(bad):
    values = random_series(np.random.default_rng(7), 20)
    stream = sinewma.Stream(5)
    first = [stream.update(v) for v in values[:8]]
    with pytest.raises(TypeError, match="real number"):
        stream.update(bad)
    with pytest.raises(TypeError, match="numeric"):
        stream.extend(np.array([1.0, bad, 2.0], dtype=object))
    with pytest.raises(ValueError, match="1-D"):
        stream.extend(np.zeros((2, 2)))
    rest = [stream.update(v) for v in values[8:]]
    assert stream.count == 20 and same_bits(first + rest, oracle(values, 5, "nan"))


# --- Dask ------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def cluster():
    """A local cluster of two worker processes on the loopback, no dashboard."""
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    import dask
    import logging
    with dask.config.set({"distributed.comm.timeouts.connect": "30s"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     host="127.0.0.1", dashboard_address=None,
                                     silence_logs=logging.ERROR) as local, \
            distributed.Client(local, timeout=60, set_as_default=False) as client:
        client.wait_for_workers(2, timeout=60)
        yield client


def dask_case(kind, pattern, period, rng, rows=90):
    """A Dask collection of series with edge values, cut into pieces by pattern (empty ones
    too for "random"), and its series as the columns of a float32 array."""
    import dask
    import dask.array as da
    import dask.dataframe as dd
    values = with_edge_values(rng, rows, 1 if kind != "frame" else 3)
    size = {"1": 1, "3": 3, "period-1": max(1, period - 1), "period": period}.get(pattern)
    lengths = [size] * -(-rows // size) if size else list(rng.integers(0, 2 * period + 1, rows))
    cuts = np.minimum(np.cumsum([0] + lengths), rows)
    if kind == "array":
        return da.from_array(values[:, 0], chunks=(tuple(np.diff(cuts)),)), values
    frame = pd.DataFrame(values, index=pd.RangeIndex(0, 2 * rows, 2)).add_prefix("c")
    whole = frame["c0"] if kind == "series" else frame
    parts = [dask.delayed(whole.iloc[a:b]) for a, b in zip(cuts[:-1], cuts[1:])]
    return dd.from_delayed(parts, meta=whole.iloc[:0], verify_meta=False), values


def check_dask_result(kind, out, values, period, warmup):
    if kind != "array":
        assert out.index.equals(pd.RangeIndex(0, 2 * len(values), 2))
        assert kind == "frame" or out.name == f"swma{period}"
    out = np.asarray(out).reshape(values.shape)
    for j in range(values.shape[1]):
        assert same_bits(out[:, j], oracle(values[:, j], period, warmup)), j


@pytest.mark.parametrize("kind", ["series", "frame", "array"])
@pytest.mark.parametrize("pattern", ["1", "3", "period-1", "period", "random"])
def test_dask_bits_equal_one_call(kind, pattern):
    sinewma_dask = pytest.importorskip("sinewma.dask")
    pytest.importorskip("dask.dataframe")
    rng = np.random.default_rng(8)
    for period, warmup in [(1, "nan"), (5, "novalue"), (14, "nan"), (90, "novalue"), (91, "nan")]:
        collection, values = dask_case(kind, pattern, period, rng)
        out = sinewma_dask.swma(collection, period, warmup).compute(scheduler="threads")
        check_dask_result(kind, out, values, period, warmup)


@pytest.mark.parametrize("kind", ["series", "frame", "array"])
def test_dask_on_worker_processes(kind, cluster):
    import sinewma.dask
    collection, values = dask_case(kind, "random", 14, np.random.default_rng(9), rows=500)
    out = cluster.compute(sinewma.dask.swma(collection, 14, "novalue")).result(timeout=120)
    check_dask_result(kind, out, values, 14, "novalue")


def test_dask_lazy_and_bad_input(no_native_call):
    sinewma_dask = pytest.importorskip("sinewma.dask")
    dd = pytest.importorskip("dask.dataframe")
    import dask.array as da
    collection = dd.from_pandas(pd.Series(np.arange(40, dtype=np.float32)), chunksize=3)
    out = sinewma_dask.swma(collection, 14)  # the library would refuse: nothing runs yet
    assert out.divisions == collection.divisions and out._meta.dtype == np.float32
    x = da.zeros(10, chunks=5)
    for error, match, obj, period in [
            (ValueError, "1-D", da.zeros((4, 4), chunks=2), 3), (ValueError, "chunk", x[x > 0], 3),
            (TypeError, "numeric", da.from_array(np.array(["a", "b"])), 1),
            (TypeError, "'sym'", dd.from_pandas(pd.DataFrame({"sym": ["a"]}), npartitions=1), 1),
            (TypeError, "Dask", np.zeros(3), 1), (ValueError, "period", x, 0),
            (TypeError, "period", x, 2.0)]:
        with pytest.raises(error, match=match):
            sinewma_dask.swma(obj, period)


# --- errors, all before the native call ------------------------------------------------------

@pytest.mark.parametrize("period", [0, -1, -(2**40), np.int64(0)])
def test_period_below_one_is_value_error(period, no_native_call):
    with pytest.raises(ValueError, match="period"):
        sinewma.swma([1.0, 2.0], period)
    with pytest.raises(ValueError, match="period"):
        sinewma.Stream(period)


@pytest.mark.parametrize("period", [14.0, 1.5, "14", None, True, False, np.bool_(True),
                                    np.float32(3)])
def test_period_of_non_integer_type_is_type_error(period, no_native_call):
    with pytest.raises(TypeError, match="period"):
        sinewma.swma([1.0, 2.0], period)
    with pytest.raises(TypeError, match="period"):
        sinewma.Stream(period)


def test_numpy_integer_period_accepted():
    values = np.arange(20, dtype=np.float32)
    for period in [np.int8(5), np.uint64(5), np.int32(5)]:
        assert np.array_equal(bits(sinewma.swma(values, period)), bits(sinewma.swma(values, 5)))


@pytest.mark.parametrize("warmup", ["NaN", "none", "", None, 0, float("nan")])
def test_bad_warmup_is_value_error(warmup, no_native_call):
    with pytest.raises(ValueError, match="warmup"):
        sinewma.swma([1.0, 2.0], 1, warmup=warmup)
    with pytest.raises(ValueError, match="warmup"):
        sinewma.Stream(1, warmup=warmup)


@pytest.mark.parametrize("values", [np.zeros((3, 4, 2)), [[[1.0, 2.0]], [[3.0, 4.0]]], 5.0,
                                    np.float32(1), [[1.0], [2.0, 3.0]], np.zeros((2, 2, 2, 2))])
def test_not_one_or_two_dimensional_is_value_error(values, no_native_call):
    with pytest.raises(ValueError, match="1-D or 2-D"):
        sinewma.swma(values, 1)


@pytest.mark.parametrize("values, axis, error", [
    (np.zeros((3, 4)), 2, ValueError), (np.zeros((3, 4)), -3, ValueError),
    (np.zeros(3), 1, ValueError), (pd.Series([1.0, 2.0]), 1, ValueError),
    (pd.DataFrame({"a": [1.0]}), 2, ValueError), (np.zeros((3, 4)), 1.0, TypeError),
    (np.zeros((3, 4)), "index", TypeError), (np.zeros(3), None, TypeError),
    (np.zeros((3, 4)), True, TypeError), (np.zeros(3, np.float32), np.bool_(False), TypeError)])
def test_bad_axis(values, axis, error, no_native_call):
    with pytest.raises(error, match="axis"):
        sinewma.swma(values, 1, axis=axis)


@pytest.mark.parametrize("values", [np.array([[1.0, 2.0], [3.0]], dtype=object),
                                    np.array([[1.0, 2.0], [3.0, 4.0]], dtype=object),
                                    np.array([["1", "2"], ["3", "4"]])])
def test_ragged_or_object_columns_are_type_error(values, no_native_call):
    with pytest.raises(TypeError, match="numeric"):
        sinewma.swma(values, 1)


@pytest.mark.parametrize("values", [["a", "b"], [1.0, None], [1 + 2j, 3j], np.array([True, False]),
                                    [b"1", b"2"], pd.Series(["1", "2"]),
                                    pd.Series(pd.date_range("2026-01-01", periods=3)),
                                    pd.Series([True, False], dtype="boolean")])
def test_non_numeric_is_type_error(values, no_native_call):
    with pytest.raises(TypeError):
        sinewma.swma(values, 1)


def test_length_past_c_int_is_value_error(no_native_call):
    # 2**31 items that share one float: no memory, and the check comes before any copy.
    big = np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), shape=(2**31,), strides=(0,))
    with pytest.raises(ValueError, match="2147483647"):
        sinewma.swma(big, 14)


# --- the installed package and its library ---------------------------------------------------

def _cmake_project_version():
    cache = os.path.join(os.path.dirname(REFERENCE), "CMakeCache.txt")
    with open(cache, encoding="utf-8") as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no CMAKE_PROJECT_VERSION in " + cache)


def test_installed_copy_with_bundled_library():
    package = os.path.dirname(os.path.abspath(sinewma.__file__))
    assert not package.startswith(os.path.join(REPO, "python") + os.sep), package
    assert package.startswith(os.path.abspath(sys.prefix) + os.sep), (package, sys.prefix)
    assert "SINEWMA_LIBRARY" not in os.environ
    assert sinewma._LIBRARY_PATH == os.path.join(package, "libsinewma.so")
    assert sinewma.__version__ == _cmake_project_version()


def _import_with(library):
    env = dict(os.environ, SINEWMA_LIBRARY=library)
    code = "import sinewma; print(sinewma._LIBRARY_PATH); print(sinewma.swma([1, 2, 3], 3)[2])"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          cwd=os.path.dirname(REFERENCE))


def test_environment_variable_names_another_copy():
    run = _import_with(REFERENCE)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == [REFERENCE, "2.0000007"]


def test_environment_variable_that_cannot_load_is_import_error():
    missing = os.path.join(os.path.dirname(REFERENCE), "no-such-libsinewma.so")
    run = _import_with(missing)
    assert run.returncode != 0
    assert "ImportError" in run.stderr and missing in run.stderr
    not_the_library = ctypes.util.find_library("m") or "libm.so.6"
    run = _import_with(not_the_library)
    assert run.returncode != 0 and "ImportError" in run.stderr, run.stderr


def test_formula_sine_against_mpfr_precision():
    # The oracle's own sine, against mpmath at 200 bits, over every angle of periods 1..100.
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.prec = 200
    for period in range(1, 101):
        n1 = float(period) + 1.0
        for i in range(1, period + 1):
            x = i * 3.14159 / n1
            assert _sin_correctly_rounded(x) == float(mpmath.sin(mpmath.mpf(x))), (period, i)
