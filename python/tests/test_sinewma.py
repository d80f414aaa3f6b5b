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


def test_import_without_pandas():
    code = ("import sys; sys.modules['pandas'] = None\n"
            "import sinewma\n"
            "print(sinewma.swma([1, 2, 3, 4, 5], 3)[4])")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "4.000001"


# --- errors, all before the native call ------------------------------------------------------

@pytest.mark.parametrize("period", [0, -1, -(2**40), np.int64(0)])
def test_period_below_one_is_value_error(period, no_native_call):
    with pytest.raises(ValueError, match="period"):
        sinewma.swma([1.0, 2.0], period)


@pytest.mark.parametrize("period", [14.0, 1.5, "14", None, True, False, np.bool_(True),
                                    np.float32(3)])
def test_period_of_non_integer_type_is_type_error(period, no_native_call):
    with pytest.raises(TypeError, match="period"):
        sinewma.swma([1.0, 2.0], period)


def test_numpy_integer_period_accepted():
    values = np.arange(20, dtype=np.float32)
    for period in [np.int8(5), np.uint64(5), np.int32(5)]:
        assert np.array_equal(bits(sinewma.swma(values, period)), bits(sinewma.swma(values, 5)))


@pytest.mark.parametrize("warmup", ["NaN", "none", "", None, 0, float("nan")])
def test_bad_warmup_is_value_error(warmup, no_native_call):
    with pytest.raises(ValueError, match="warmup"):
        sinewma.swma([1.0, 2.0], 1, warmup=warmup)


@pytest.mark.parametrize("values", [np.zeros((3, 4)), [[1.0, 2.0], [3.0, 4.0]], 5.0,
                                    np.float32(1), [[1.0], [2.0, 3.0]]])
def test_not_one_dimensional_is_value_error(values, no_native_call):
    with pytest.raises(ValueError, match="1-D"):
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
