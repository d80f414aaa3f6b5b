"""Sine-weighted moving average of a float series, through the sinewma library.

    >>> import sinewma
    >>> sinewma.swma([1, 2, 3, 4, 5], 3)
    array([      nan,       nan, 2.0000007, 3.0000007, 4.000001 ],
          dtype=float32)

The results are the library's bits: the same on every platform, CPU and thread.

The library is loaded once, at import: the file named by the environment variable
SINEWMA_LIBRARY when it is set (an explicit choice wins), else the copy bundled inside this
package by ``pip install``. A library that cannot be loaded is an ImportError naming the file.
"""
import ctypes
import numbers
import os
import sys

import numpy

__all__ = ["swma", "NO_VALUE", "__version__"]

try:
    from ._version import __version__
except ImportError:  # the source folder, never built: no bundled library either
    __version__ = "unknown"

#: The marker the library writes into warm-up slots: 3.4e38 as a float32, bits 0x7F7FC99E.
#: Compare with it as a float32 (``out == sinewma.NO_VALUE`` on a float32 array works); the
#: float64 3.4e38 is a different number and never matches.
NO_VALUE = numpy.float32(3.4e38)

_INT_MAX = 2**31 - 1

if sys.platform == "win32":
    _BUNDLED_NAME = "sinewma.dll"
elif sys.platform == "darwin":
    _BUNDLED_NAME = "libsinewma.dylib"
else:
    _BUNDLED_NAME = "libsinewma.so"


def _library_path():
    explicit = os.environ.get("SINEWMA_LIBRARY")
    if explicit:
        return explicit
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), _BUNDLED_NAME)
    if os.path.exists(bundled):
        return bundled
    raise ImportError(
        f"sinewma: no bundled library ({bundled}); install the package with "
        "'pip install ./python', or set SINEWMA_LIBRARY to the library's path")


def _load():
    path = _library_path()
    try:
        lib = ctypes.CDLL(path)
        fn = lib.SineWeightedMovingAverage
    except (OSError, AttributeError) as e:
        raise ImportError(f"sinewma: cannot use the library {path}: {e}") from e
    # int SineWeightedMovingAverage(const float *input, int period, int count, float *output)
    fn.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
    fn.restype = ctypes.c_int
    return path, fn


_LIBRARY_PATH, _native = _load()


_FLOAT32 = numpy.dtype(numpy.float32)


def _check_period(period):
    # bool is an int subclass, but True as a period is a mistake, not 1.
    if type(period) is not int:  # the common case first: ABC checks cost half a microsecond
        if isinstance(period, (bool, numpy.bool_)) or not isinstance(period, numbers.Integral):
            raise TypeError(f"period must be an integer, not {type(period).__name__}")
        period = int(period)
    if period < 1:
        raise ValueError(f"period must be a positive integer, got {period}")
    return period


def _as_float32(values):
    """values as a 1-D C-contiguous native float32 array: the caller's own when it is one."""
    if type(values) is numpy.ndarray and values.dtype == _FLOAT32 and values.ndim == 1:
        flags = values.flags
        if flags.c_contiguous and flags.aligned and values.shape[0] <= _INT_MAX:
            return values  # as it is, without numpy.require's microsecond
    try:
        arr = numpy.asarray(values)
    except ValueError as e:  # ragged nesting: sequences of different lengths
        raise ValueError(f"values must be 1-D: {e}") from e
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"values must be numeric, not {arr.dtype}")
    if arr.ndim != 1:
        raise ValueError(f"values must be 1-D, got {arr.ndim} dimensions")
    if arr.shape[0] > _INT_MAX:  # before any copy
        raise ValueError(f"values holds {arr.shape[0]} items; the library takes at most {_INT_MAX}")
    # One conversion, to the nearest float32; none for an aligned, contiguous, native-order
    # float32 array.
    return numpy.require(arr, dtype=numpy.float32, requirements=["C", "A"])


def _address(arr):
    """The address of a contiguous array's data: a third of the time of arr.ctypes.data."""
    if arr.flags.writeable:
        return ctypes.addressof(ctypes.c_char.from_buffer(arr))
    return arr.ctypes.data


def _series_values(series):
    """A pandas Series' values as a numpy array, nullable dtypes with NaN for missing values."""
    if isinstance(series.dtype, numpy.dtype):
        return series.to_numpy()
    import pandas
    if not pandas.api.types.is_numeric_dtype(series.dtype) or \
            pandas.api.types.is_bool_dtype(series.dtype):
        raise TypeError(f"values must be numeric, not {series.dtype}")
    return series.to_numpy(dtype=numpy.float32, na_value=numpy.nan)


def swma(values, period, warmup="nan"):
    """Sine-weighted moving average of values over period.

    values  -- a 1-D numeric sequence: numpy array, pandas Series, list, ... A C-contiguous
               float32 array is read in place; anything else is converted once to float32
               (to the nearest float32). Never written.
    period  -- the window length, an integer >= 1.
    warmup  -- what the first period - 1 slots, which have no complete window, hold:
               "nan" (the default) or "novalue", the library's marker NO_VALUE.

    Returns a new float32 numpy array the length of values; for a pandas Series, a Series
    with the same index named "swma<period>". Slot k >= period - 1 holds
        sum_{i=1..period} w(i) * values[k - period + i] / sum_{i=1..period} w(i),
        w(i) = sin(i * 3.14159 / (period + 1)),
    in IEEE double, rounded once to float32.

    Raises TypeError for a period that is not an integer or values that are not numeric,
    ValueError for a period below 1, values that are not 1-D or longer than 2**31 - 1, and
    a warmup other than "nan" or "novalue".
    """
    period = _check_period(period)
    if not isinstance(warmup, str) or warmup not in ("nan", "novalue"):
        raise ValueError(f'warmup must be "nan" or "novalue", got {warmup!r}')

    pandas = sys.modules.get("pandas")  # a Series can only exist if pandas is imported
    series = values if pandas is not None and isinstance(values, pandas.Series) else None
    arr = _as_float32(_series_values(series) if series is not None else values)
    count = arr.shape[0]

    out = numpy.empty(count, dtype=numpy.float32)
    if period > count:
        # No complete window anywhere: every slot is warm-up, and a period past the C int
        # range needs no call.
        out.fill(NO_VALUE)
    elif _native(_address(arr), period, count, _address(out)) != count:
        raise RuntimeError(f"sinewma: {_LIBRARY_PATH} did not return the count")
    if warmup == "nan":
        out[:min(period - 1, count)] = numpy.nan

    if series is not None:
        return pandas.Series(out, index=series.index, name=f"swma{period}", copy=False)
    return out
