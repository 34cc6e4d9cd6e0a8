"""Argument normalisation shared by the package's functions.

Every helper takes the parameter's Python name and puts it in the message
of the ``TypeError`` or ``ValueError`` that it raises.
"""

from __future__ import annotations

import math
import operator
import os
from typing import Any, Optional, SupportsFloat, SupportsIndex, Union

import numpy as np

FloatLike = Union[SupportsFloat, SupportsIndex]


def as_array(name: str, value: object) -> np.ndarray:
    """``np.asarray(value)`` with NumPy's conversion errors naming ``name``.

    Subclasses (masked arrays, matrices) become plain arrays of their data.
    """
    try:
        return np.asarray(value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: cannot be read as an array: {error}") from error


def finite_float(name: str, value: FloatLike) -> float:
    """``float(value)``, which must be finite. Text is refused, not parsed."""
    try:
        if isinstance(value, (str, bytes)):
            raise TypeError("text")
        number = float(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be a real number; got {value!r}") from error
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite; got {number!r}")
    return number


def positive_float(name: str, value: FloatLike) -> float:
    """``float(value)``, which must be finite and > 0."""
    number = finite_float(name, value)
    if not number > 0.0:
        raise ValueError(f"{name} must be > 0; got {number!r}")
    return number


def positive_count(name: str, value: SupportsIndex) -> int:
    """``operator.index(value)``, which must be >= 1. Floats are refused."""
    try:
        count = operator.index(value)
    except TypeError as error:
        raise TypeError(f"{name} must be an integer; got {value!r}") from error
    if count < 1:
        raise ValueError(f"{name} must be >= 1; got {count}")
    return count


def thread_count(threads: Optional[SupportsIndex]) -> int:
    """``threads`` as a count >= 1; None means the cores this process may
    run on (``os.sched_getaffinity``, else ``os.cpu_count()``)."""
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):  # not on every platform
            return max(1, os.cpu_count() or 1)
    try:
        count = operator.index(threads)
    except TypeError as error:
        raise TypeError(f"threads must be an integer or None; got {threads!r}") from error
    if not 1 <= count <= MAX_THREADS:
        raise ValueError(f"threads must be between 1 and {MAX_THREADS}; got {count}")
    return count


MAX_THREADS = 4096


def split_masked(value: object) -> tuple[object, Optional[np.ndarray]]:
    """A masked array's data and its mask as a full boolean array (None for
    anything else). A mask without a masked value is kept: the result is a
    masked array all the same."""
    if isinstance(value, np.ma.MaskedArray):
        return np.ma.getdata(value), np.ma.getmaskarray(value)
    return value, None


def _memory_limit() -> int:
    """The memory this machine has (RAM and swap, from /proc/meminfo), or
    2**63 when it cannot be read: no single array larger than it can be had."""
    global _MEMORY
    if _MEMORY is None:
        total = 0
        try:
            with open("/proc/meminfo") as f:
                for line in f:
                    key, _, rest = line.partition(":")
                    if key in ("MemTotal", "SwapTotal"):
                        total += int(rest.split()[0]) * 1024
        except (OSError, ValueError, IndexError):
            total = 0
        _MEMORY = total if total > 0 else 2**63
    return _MEMORY


_MEMORY: Optional[int] = None


def _size_text(nbytes: int) -> str:
    for unit, scale in (("TiB", 2**40), ("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if nbytes >= scale:
            return f"{nbytes / scale:.1f} {unit}"
    return f"{nbytes} bytes"


def new_array(what: str, shape: tuple[int, ...], dtype: np.dtype[Any]) -> np.ndarray:
    """``np.empty(shape, dtype)``, or a MemoryError naming ``what``, its shape
    and size, raised before any allocation when the size is beyond this
    machine's memory (or beyond any address space)."""
    nbytes = math.prod(shape) * dtype.itemsize
    if nbytes > min(_memory_limit(), 2**63 - 1):
        raise MemoryError(f"{what} of shape {shape} and dtype {dtype} would need {nbytes} bytes "
                          f"({_size_text(nbytes)}), more than this machine's memory "
                          f"({_size_text(_memory_limit())})")
    try:
        return np.empty(shape, dtype=dtype)
    except (MemoryError, ValueError) as error:
        raise MemoryError(f"{what} of shape {shape} and dtype {dtype} ({nbytes} bytes, "
                          f"{_size_text(nbytes)}) cannot be allocated") from error


def out_argument(out: object, shape: tuple[int, ...], dtype: np.dtype[Any]) -> np.ndarray:
    """``out`` checked as the array a result of ``shape`` and ``dtype`` is
    written into: an ndarray of exactly that shape and dtype, C-contiguous,
    aligned and writeable. A masked array's data is used."""
    if isinstance(out, np.ma.MaskedArray):
        out = np.ma.getdata(out)
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array; got {type(out).__name__}")
    if out.dtype != dtype:
        raise TypeError(f"out must have the result's dtype {dtype}; got {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out must have the result's shape {shape}; got {out.shape}")
    if not (out.flags.c_contiguous and out.flags.aligned):
        raise ValueError("out must be C-contiguous and aligned")
    if not out.flags.writeable:
        raise ValueError("out must be writeable")
    return out


def engine_array(value: Any, dtype: Any = None) -> np.ndarray:
    """`value` as a C-contiguous, aligned array (of `dtype` when given),
    copied only when it is not one already: the form the engine reads in
    place. Arrays made from foreign buffers (a byte stream, a memory map
    at an odd offset) may be contiguous but not aligned."""
    return np.require(value, dtype=dtype, requirements=["C", "A"])
