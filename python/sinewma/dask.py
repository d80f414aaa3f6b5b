"""The sine-weighted moving average over Dask collections, lazily.

    >>> import dask.dataframe as dd, sinewma.dask
    >>> closes = dd.read_parquet("closes/")["close"]
    >>> smooth = sinewma.dask.swma(closes, 14)   # a lazy Series; nothing computed yet
    >>> smooth.compute()

Every slot is the bits of sinewma.swma on the whole series in one piece, whatever the chunk or
partition sizes: each piece of the result is one library call over that piece and the
period - 1 values before it, which may reach back over several short pieces. The workers
import sinewma themselves (the package installed where they run, or SINEWMA_LIBRARY in their
environment).

Needs Dask (dask.dataframe for Series and DataFrames); ``import sinewma`` does not.
"""
import functools
import math

try:
    import dask
    import dask.array as _da
except ImportError as e:
    raise ImportError("sinewma.dask needs Dask: apt-get install python3-dask (Debian, Ubuntu), "
                      "or pip install dask") from e

import numpy

from . import _check_period, _check_warmup
from . import swma as _swma

__all__ = ["swma"]


def _dataframe():
    try:
        import dask.dataframe
    except ImportError:  # dask without pandas: arrays only
        return None
    return dask.dataframe


def swma(obj, period, warmup="nan"):
    """Sine-weighted moving average of a Dask Series, DataFrame (each column a series) or
    1-D Array, as sinewma.swma computes it on the whole series: a lazy collection of the same
    kind, float32, with the same index (Series: named "swma<period>"; DataFrame: the same
    columns). Nothing is computed until the result is.

    Arrays go through dask.array.map_overlap, with period - 1 values of overlap before each
    chunk (Dask merges chunks shorter than that with their neighbours first). Series and
    DataFrames carry the last period - 1 rows from partition to partition in a chain of small
    tasks: partition lengths are unknown before anything is computed, and the dataframe
    map_overlap of Dask refuses a partition shorter than its overlap.

    Raises, before building anything, what sinewma.swma raises for the period, the warmup or a
    column that is not numeric; TypeError for another kind of object, ValueError for an Array
    that is not 1-D or whose chunk sizes are unknown.
    """
    period = _check_period(period)
    _check_warmup(warmup)
    if isinstance(obj, _da.Array):
        return _swma_array(obj, period, warmup)
    dd = _dataframe()
    if dd is not None and isinstance(obj, (dd.Series, dd.DataFrame)):
        return _swma_frame(obj, period, warmup, dd)
    raise TypeError(f"sinewma.dask.swma takes a Dask Series, DataFrame or 1-D Array, "
                    f"not {type(obj).__name__}")


def _block(values, period, warmup):
    return _swma(values, period, warmup)


def _swma_array(x, period, warmup):
    if x.ndim != 1:
        raise ValueError(f"a Dask Array must be 1-D, got {x.ndim} dimensions")
    if x.dtype.kind not in "iuf":
        raise TypeError(f"values must be numeric, not {x.dtype}")
    if any(math.isnan(c) for c in x.chunks[0]):
        raise ValueError("the Array's chunk sizes are unknown; call compute_chunk_sizes() first")
    before = period - 1
    func = functools.partial(_block, period=period, warmup=warmup)
    meta = numpy.empty(0, dtype=numpy.float32)
    if before == 0 or before >= x.shape[0]:
        # No overlap needed: period 1, or no complete window anywhere (all warm-up).
        return x.map_blocks(func, dtype=numpy.float32, meta=meta)
    return x.map_overlap(func, depth={0: (before, 0)}, boundary="none", trim=True,
                         dtype=numpy.float32, meta=meta)


def _frame_block(tail, part, period, warmup):
    """swma of one partition, given the (at most period - 1) rows before it."""
    if tail is None or len(tail) == 0:
        return _swma(part, period, warmup)
    import pandas
    # The rows before part are either the last period - 1 of them, which only feed the
    # windows and are cut off again, or all rows from the first: then the warm-up is the
    # series' own.
    out = _swma(pandas.concat([tail, part]), period, warmup)
    return out.iloc[len(tail):]


def _frame_tail(tail, part, before):
    """The last `before` rows up to and including part."""
    if tail is not None and len(part) < before:
        import pandas
        part = pandas.concat([tail, part])
    return part.iloc[-before:].copy()  # a copy: the partition itself need not be kept


def _swma_frame(obj, period, warmup, dd):
    meta = _swma(obj._meta, period, warmup)  # the checks of each column's type, at once
    before = period - 1
    func = functools.partial(_frame_block, None, period=period, warmup=warmup)
    if before == 0:
        return obj.map_partitions(func, meta=meta)
    block = dask.delayed(_frame_block, pure=True)
    carry = dask.delayed(_frame_tail, pure=True)
    parts = obj.to_delayed()
    tail, outs = None, []
    for k, part in enumerate(parts):
        outs.append(block(tail, part, period, warmup))
        if k + 1 < len(parts):
            tail = carry(tail, part, before)
    return dd.from_delayed(outs, meta=meta, divisions=obj.divisions, verify_meta=False)
