"""Sine-weighted moving average of a float series, through the sinewma library.

    >>> import sinewma
    >>> sinewma.swma([1, 2, 3, 4, 5], 3)
    array([      nan,       nan, 2.0000007, 3.0000007, 4.000001 ],
          dtype=float32)

The results are the library's bits: the same on every platform, CPU and thread.

- ``swma(values, period)``: one series (1-D array, list, pandas Series), many series at once
  (a 2-D array, each column along ``axis`` a series, or a pandas DataFrame, each column a
  series), or a long table by group through ``groupby(...)[...].transform(swma, period)``.
- ``Stream(period)``: live ticks, one value at a time, each result the bits of the same slot of
  the call on the whole history.
- ``sinewma.dask`` (needs Dask): the same over Dask collections, lazily.

The library is loaded once, at import: the file named by the environment variable
SINEWMA_LIBRARY when it is set (an explicit choice wins), else the copy bundled inside this
package by ``pip install``. A library that cannot be loaded is an ImportError naming the file.
"""
import ctypes
import numbers
import os
import sys

import numpy

__all__ = ["swma", "Stream", "NO_VALUE", "__version__"]

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


def _check_warmup(warmup):
    if not isinstance(warmup, str) or warmup not in ("nan", "novalue"):
        raise ValueError(f'warmup must be "nan" or "novalue", got {warmup!r}')


def _check_axis_type(axis):
    if isinstance(axis, (bool, numpy.bool_)) or not isinstance(axis, numbers.Integral):
        raise TypeError(f"axis must be an integer, not {type(axis).__name__}")
    return int(axis)


def _check_axis(axis, ndim):
    """axis as 0 .. ndim - 1, counting from the end when negative, as numpy does."""
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis {axis} is out of range for {ndim}-D values")
    return axis % ndim


def _as_float32(values):
    """values as a 1-D C-contiguous native float32 array: the caller's own when it is one."""
    if type(values) is numpy.ndarray and values.dtype == _FLOAT32 and values.ndim == 1:
        flags = values.flags
        if flags.c_contiguous and flags.aligned and values.shape[0] <= _INT_MAX:
            return values  # as it is, without numpy.require's microsecond
    arr = _numeric_array(values, (1,))
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


def _call(inp, period, count, out):
    if _native(inp, period, count, out) != count:
        raise RuntimeError(f"sinewma: {_LIBRARY_PATH} did not return the count")


def _swma_1d(arr, period, warmup):
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
    return out


# The columns of a 2-D array whose series are strided are gathered into a scratch block of
# this many bytes at most (and at most _BLOCK_COLUMNS columns): a cache line's worth of each
# row is read at once, and each column then lies contiguous for the library.
_SCRATCH_BYTES = 1 << 20
_BLOCK_COLUMNS = 64


def _swma_2d(arr, period, warmup, axis):
    """arr is a numeric 2-D array; each line along axis is a series. The result's series are
    contiguous: Fortran order for axis 0, C order for axis 1."""
    a = arr if axis == 0 else arr.T  # from here on the series run down the columns of a
    length, width = a.shape
    if length > _INT_MAX:  # before any copy
        raise ValueError(f"each series holds {length} items; the library takes at most {_INT_MAX}")
    out = numpy.empty((length, width), dtype=numpy.float32, order="F")
    if period > length or width == 0:
        out.fill(NO_VALUE)
    else:
        out_base, out_step = out.ctypes.data, 4 * length
        if a.dtype == _FLOAT32 and a.flags.aligned and (a.strides[0] == 4 or length == 1):
            # Every series is contiguous already (Fortran order, a C-ordered array's rows, a
            # DataFrame's block): its own memory goes to the library.
            base, step = a.ctypes.data, a.strides[1]
            for j in range(width):
                _call(base + j * step, period, length, out_base + j * out_step)
        else:
            # Strided series, or another type: a block of columns at a time is copied (and
            # converted once to the nearest float32) into scratch, columns contiguous.
            block = max(1, min(_BLOCK_COLUMNS, width, _SCRATCH_BYTES // (4 * length)))
            scratch = numpy.empty((length, block), dtype=numpy.float32, order="F")
            scratch_base = scratch.ctypes.data
            for j0 in range(0, width, block):
                part = a[:, j0:j0 + block]
                n = part.shape[1]
                scratch[:, :n] = part
                for j in range(n):
                    _call(scratch_base + j * out_step, period, length,
                          out_base + (j0 + j) * out_step)
    if warmup == "nan":
        out[:min(period - 1, length)] = numpy.nan
    return out if axis == 0 else out.T


def _numeric_array(values, dims=(1, 2)):
    """values as a numeric numpy array of one of the dimensions `dims`, not converted."""
    shapes = " or ".join(f"{d}-D" for d in dims)
    try:
        arr = numpy.asarray(values)
    except ValueError as e:  # ragged nesting: sequences of different lengths
        raise ValueError(f"values must be {shapes}: {e}") from e
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"values must be numeric, not {arr.dtype}")
    if arr.ndim not in dims:
        raise ValueError(f"values must be {shapes}, got {arr.ndim} dimensions")
    return arr


def _frame_column_values(frame):
    """Each column of a DataFrame as a numeric numpy array; a TypeError names the first column
    that is not numeric, before anything is computed."""
    import pandas
    types = pandas.api.types
    for name, dtype in frame.dtypes.items():
        numeric = dtype.kind in "iuf" if isinstance(dtype, numpy.dtype) else \
            types.is_numeric_dtype(dtype) and not types.is_bool_dtype(dtype)
        if not numeric:
            raise TypeError(f"column {name!r} is not numeric ({dtype})")
    return [_series_values(frame.iloc[:, j]) for j in range(frame.shape[1])]


def _swma_frame(frame, period, warmup, axis):
    import pandas
    dtypes = set(frame.dtypes)
    if len(dtypes) == 1 and isinstance(next(iter(dtypes)), numpy.dtype):
        # One numpy type: to_numpy() is the frame's own block (columns contiguous) when it has
        # one, else a single interleaved copy of that type.
        _frame_column_values(frame.iloc[:, :1])  # the type check, on the one type
        out = _swma_2d(frame.to_numpy(), period, warmup, axis)
    elif axis == 0:
        columns = _frame_column_values(frame)
        out = numpy.empty(frame.shape, dtype=numpy.float32, order="F")
        for j, column in enumerate(columns):
            out[:, j] = _swma_1d(_as_float32(column), period, warmup)
    else:
        columns = _frame_column_values(frame)
        work = numpy.empty(frame.shape, dtype=numpy.float32)  # rows contiguous
        for j, column in enumerate(columns):
            work[:, j] = column  # one conversion to the nearest float32
        out = _swma_2d(work, period, warmup, 1)
    return pandas.DataFrame(out, index=frame.index, columns=frame.columns, copy=False)


def swma(values, period, warmup="nan", axis=0):
    """Sine-weighted moving average of values over period.

    values  -- one series: a 1-D numeric numpy array, pandas Series, list, ...; or many:
               a 2-D numeric array (each line along axis a series) or a pandas DataFrame
               (each column a series; each row with axis=1). A float32 series that is
               contiguous in memory is read in place; anything else is converted once to
               float32 (to the nearest float32), strided float32 series a block of columns at
               a time. Never written.
    period  -- the window length, an integer >= 1.
    warmup  -- what the first period - 1 slots, which have no complete window, hold:
               "nan" (the default) or "novalue", the library's marker NO_VALUE.
    axis    -- for 2-D values, the axis the series run along: 0 (the default, as pandas'
               rolling: each column a series running down the rows) or 1 (each row a series).
               Negative values count from the end.

    Returns a new float32 numpy array of the shape of values (for 2-D values, each series
    contiguous: Fortran order for axis=0); for a pandas Series, a Series with the same index
    named "swma<period>"; for a DataFrame, a DataFrame with the same index and columns.
    Each series' slots are the bits of a 1-D call on that series alone. Slot k >= period - 1
    holds
        sum_{i=1..period} w(i) * values[k - period + i] / sum_{i=1..period} w(i),
        w(i) = sin(i * 3.14159 / (period + 1)),
    in IEEE double, rounded once to float32.

    A long table, one series per key, by group:
        frame.groupby("symbol")["close"].transform(sinewma.swma, 14)

    Raises TypeError for a period or axis that is not an integer, or values (a DataFrame
    column, named) that are not numeric; ValueError for a period below 1, values that are not
    1-D or 2-D or with a series longer than 2**31 - 1, an axis out of range, and a warmup
    other than "nan" or "novalue". Nothing is computed before the checks.
    """
    period = _check_period(period)
    if warmup != "nan" and warmup != "novalue" or not isinstance(warmup, str):
        _check_warmup(warmup)
    if type(axis) is not int:
        axis = _check_axis_type(axis)

    if type(values) is numpy.ndarray and values.ndim == 1 and (axis == 0 or axis == -1):
        return _swma_1d(_as_float32(values), period, warmup)  # the common case, at once

    pandas = sys.modules.get("pandas")  # a Series can only exist if pandas is imported
    if pandas is not None:
        if isinstance(values, pandas.Series):
            _check_axis(axis, 1)
            out = _swma_1d(_as_float32(_series_values(values)), period, warmup)
            return pandas.Series(out, index=values.index, name=f"swma{period}", copy=False)
        if isinstance(values, pandas.DataFrame):
            return _swma_frame(values, period, warmup, _check_axis(axis, 2))
    arr = _numeric_array(values)
    axis = _check_axis(axis, arr.ndim)
    if arr.ndim == 1:
        return _swma_1d(_as_float32(arr), period, warmup)
    return _swma_2d(arr, period, warmup, axis)


def _scalar(value):
    """value narrowed to float32 as a 1-D call narrows its items: a TypeError if it is not a
    real number (bool, None, str, complex, a sequence, ... are not)."""
    try:
        arr = numpy.asarray(value)
    except (TypeError, ValueError) as e:
        raise TypeError(f"value must be a real number, not {type(value).__name__}") from e
    if arr.ndim != 0 or arr.dtype.kind not in "iuf":
        raise TypeError(f"value must be a real number, not {type(value).__name__}")
    # An integer straight to float32 (one rounding), as in a 1-D call; a Python int stored
    # into a float32 array would be rounded to double first.
    return arr.astype(numpy.float32)[()]


# Stored into a float32 buffer, these round once to the nearest float32, as in a 1-D call.
_STORED_AS_IS = frozenset([float, numpy.float64, numpy.float32])


class Stream:
    """The sine-weighted moving average of a live series, one value at a time.

        >>> s = sinewma.Stream(3)
        >>> [s.update(v) for v in [1, 2, 3, 4, 5]]
        [nan, nan, 2.0000007, 3.0000007, 4.000001]

    Each result is the bits of the same slot of swma(all values so far, period, warmup),
    including NaN, infinities and NO_VALUE among the values: a value is narrowed to float32 as
    swma narrows it, and each result is one library call over the last period values (which a
    buffer of 2 * period floats, every value stored twice, keeps contiguous).

    period  -- the window length, an integer from 1 to 2**31 - 1.
    warmup  -- what is returned before period values have come: "nan" (the default) or
               "novalue", NO_VALUE.

    Not thread-safe: one Stream per series and thread. The library itself keeps no state.
    """

    __slots__ = ("_period", "_warmup", "_warm", "_buffer", "_out", "_base", "_out_address",
                 "_pos", "_count")

    def __init__(self, period, warmup="nan"):
        period = _check_period(period)
        _check_warmup(warmup)
        if period > _INT_MAX:
            raise ValueError(f"a Stream's period is at most {_INT_MAX}, got {period}")
        self._period = period
        self._warmup = warmup
        self._warm = numpy.float32(numpy.nan) if warmup == "nan" else NO_VALUE
        self._buffer = numpy.zeros(2 * period, dtype=numpy.float32)
        self._out = numpy.empty(period, dtype=numpy.float32)
        self._base = self._buffer.ctypes.data
        self._out_address = self._out.ctypes.data
        self._pos = 0  # where the next value goes, and again at _pos + period
        self._count = 0

    @property
    def period(self):
        return self._period

    @property
    def count(self):
        """How many values have come."""
        return self._count

    @property
    def ready(self):
        """True once period values have come: from then on every result is an average."""
        return self._count >= self._period

    def __repr__(self):
        return f"sinewma.Stream({self._period}, warmup={self._warmup!r}), {self._count} values"

    def update(self, value):
        """Takes the next value; returns the newest average as a numpy.float32 (the warm-up
        value until period values have come). A value that is not a real number is a
        TypeError, and the Stream stays as it was."""
        if type(value) not in _STORED_AS_IS:
            value = _scalar(value)
        pos, period, buffer = self._pos, self._period, self._buffer
        buffer[pos] = value
        buffer[pos + period] = value
        pos += 1  # the last period values now lie at pos .. pos + period - 1
        self._pos = pos if pos < period else 0
        count = self._count = self._count + 1
        if count < period:
            return self._warm
        if _native(self._base + 4 * pos, period, period, self._out_address) != period:
            raise RuntimeError(f"sinewma: {_LIBRARY_PATH} did not return the count")
        return self._out[-1]

    def extend(self, values):
        """Takes the values in order (1-D, as swma takes them); returns the results update
        would have returned for each, as a float32 numpy array. Values that are not numeric
        are a TypeError (not 1-D: ValueError), and the Stream stays as it was."""
        pandas = sys.modules.get("pandas")
        if pandas is not None and isinstance(values, pandas.Series):
            values = _series_values(values)
        arr = _as_float32(values)
        n, period, count = arr.shape[0], self._period, self._count
        if n == 0:
            return numpy.empty(0, dtype=numpy.float32)
        # One call over the values kept so far and the new ones: a slot's bits do not depend
        # on how far back the call's input starts.
        keep = min(count, period - 1)
        history = self._buffer[self._pos + period - keep:self._pos + period]
        out = _swma_1d(numpy.concatenate([history, arr]), period, "novalue")[keep:]
        if self._warmup == "nan":
            out[:max(0, period - 1 - count)] = numpy.nan
        last = arr[-period:]
        slots = numpy.arange(count + n - last.shape[0], count + n) % period
        self._buffer[slots] = last
        self._buffer[slots + period] = last
        self._pos = (count + n) % period
        self._count = count + n
        return out
