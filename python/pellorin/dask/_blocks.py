"""What every chunked call shares.

A chunked call follows one plan: read the argument as a Dask array; check
every argument by one plain call on a small sample (so that mistakes are
raised where the graph is built, with the plain call's own message, and the
sample's result gives the dtype and array type of every block's result);
refuse a task that would need more memory than the caller allows; make the
axes that one plain call needs whole in every block; and map one task over
every block (``dask.array.blockwise`` with the same index on both sides),
which runs the plain call on it (once, or once per frame).
"""

from __future__ import annotations

import inspect
import itertools
import math
import operator
import uuid
from collections.abc import Sequence
from typing import Any, Callable, Optional, SupportsIndex

import dask.array as da
import numpy as np
from dask.array.core import normalize_chunks, slices_from_chunks

# The default limit on the memory of one task's input and result, 1 GiB: a
# 16-bit 8k x 8k frame and its float32 result take 384 MiB.
DEFAULT_TASK_BYTES = 2**30


def keywords_of(func: Callable[..., Any]) -> frozenset[str]:
    """The keyword parameters that ``func`` takes, read from its signature."""
    try:
        return frozenset(inspect.signature(func).parameters)
    except (TypeError, ValueError):
        return frozenset()


def threads_keyword(name: str, accepted: frozenset[str], threads: object) -> dict[str, Any]:
    """The ``threads`` keyword for the plain call ``name``: passed on when the
    call takes it; left out when it does not and ``threads`` is 1, which is
    then what the plain call does (it computes on the calling thread)."""
    if "threads" in accepted:
        return {"threads": threads}
    if isinstance(threads, int) and not isinstance(threads, bool) and threads == 1:
        return {}
    raise TypeError(f"threads={threads!r}: this version's pellorin.{name} computes on the calling "
                    "thread only; pass threads=1")


def byte_limit(name: str, value: Optional[SupportsIndex]) -> Optional[int]:
    """A positive number of bytes, or None for no limit."""
    if value is None:
        return None
    try:
        limit = operator.index(value)
    except TypeError as error:
        raise TypeError(f"{name} must be an integer number of bytes or None; got {value!r}") from error
    if limit < 1:
        raise ValueError(f"{name} must be >= 1 or None; got {limit}")
    return limit


def check_task_bytes(limit_name: str, limit: Optional[int], needed: int, what: str, advice: str) -> None:
    """Refuses a task whose input and result together exceed ``limit``."""
    if limit is not None and needed > limit:
        raise ValueError(f"{what} and its result need {needed} bytes ({needed / 2**20:.1f} MiB), "
                         f"above {limit_name}={limit}; {advice}")


def nbytes(shape: Sequence[int], dtype: np.dtype[Any]) -> int:
    return math.prod(shape) * dtype.itemsize


def as_dask(name: str, value: object, whole: Sequence[int]) -> da.Array:
    """``value`` as a Dask array. A Dask array is taken as it is. A NumPy
    array (or masked array) is wrapped in place: its blocks are views of
    it, one chunk along the axes of ``whole`` (negative ones counting from
    the end; those out of range are ignored) and Dask's automatic chunks
    along the others. ``dask.array.from_array`` would copy it first, and
    hash it for a name. Anything else goes through ``dask.array.asarray``
    (zarr, HDF5 and other lazy arrays stay lazy)."""
    if isinstance(value, da.Array):
        return value
    try:
        if type(value) in (np.ndarray, np.ma.MaskedArray):
            return _wrap_in_place(value, whole)  # type: ignore[arg-type]
        return da.asarray(value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: cannot be read as a Dask array: {error}") from error


def _wrap_in_place(value: np.ndarray, whole: Sequence[int]) -> da.Array:
    ndim = value.ndim
    single = {a % ndim for a in whole if -ndim <= a < ndim}
    spec = tuple(-1 if a in single else "auto" for a in range(ndim))
    chunks = normalize_chunks(spec, value.shape, dtype=value.dtype)
    label = f"pellorin-input-{uuid.uuid4().hex}"
    blocks = itertools.product(*(range(len(c)) for c in chunks))
    graph = {(label, *index): value[where] for index, where in zip(blocks, slices_from_chunks(chunks))}
    return da.Array(graph, label, chunks, meta=value[(slice(0, 0),) * ndim])


def known_sizes(name: str, array: da.Array, axes: Sequence[int]) -> tuple[int, ...]:
    """The sizes of ``axes``, which the plan needs before anything is
    computed."""
    sizes = tuple(array.shape[a] for a in axes)
    if any(isinstance(s, float) and math.isnan(s) for s in sizes):
        raise ValueError(f"{name} has axes of unknown size {array.shape}; the axes that one call "
                         "reads whole must be known: call compute_chunk_sizes() first")
    return tuple(int(s) for s in sizes)


def sample_like(array: da.Array, shape: tuple[int, ...]) -> np.ndarray:
    """A zero array of ``shape`` of the same dtype and array type (plain or
    masked) as the blocks of ``array``."""
    sample = np.zeros(shape, dtype=array.dtype)
    if isinstance(getattr(array, "_meta", None), np.ma.MaskedArray):
        return np.ma.masked_array(sample)
    return sample


def empty_like(result: np.ndarray, ndim: int) -> np.ndarray:
    """An empty array of ``ndim`` axes with the array type and dtype of
    ``result``: the ``meta`` of a Dask array whose blocks are like it."""
    return result.reshape(-1)[:0].reshape((0,) * ndim)


def whole_axes(array: da.Array, whole: Sequence[int], auto: Sequence[int] = ()) -> da.Array:
    """``array`` with every axis of ``whole`` in one chunk. When a rechunk is
    needed, the axes of ``auto`` get Dask's automatic chunks (bounded by its
    ``array.chunk-size`` setting); every other axis keeps its chunks."""
    if all(len(array.chunks[a]) == 1 for a in whole):
        return array
    spec: dict[int, Any] = dict.fromkeys(whole, -1)
    spec.update(dict.fromkeys(auto, "auto"))
    return array.rechunk(spec)


def per_frame(call: Callable[..., np.ndarray], block: np.ndarray, frame_ndim: int,
              out_frame: tuple[int, ...], meta: np.ndarray, write_into: bool,
              **keywords: Any) -> np.ndarray:
    """``call`` on every frame (the last ``frame_ndim`` axes) of ``block``,
    the results stacked along the block's leading axes.

    A block that is one frame is returned as the call returns it. Otherwise
    each result is written into one array of the block's result, by the
    call itself when ``write_into`` (it takes ``out=``), or copied; masked
    results (``meta`` masked) are stacked with their masks.
    """
    lead = block.shape[:block.ndim - frame_ndim]
    if not lead:
        return call(block, **keywords)
    if isinstance(meta, np.ma.MaskedArray):
        if math.prod(lead) == 0:
            return np.ma.empty(lead + out_frame, dtype=meta.dtype)
        return np.ma.stack([call(block[i], **keywords) for i in np.ndindex(lead)]).reshape(lead + out_frame)
    result = np.empty(lead + out_frame, dtype=meta.dtype)
    for i in np.ndindex(lead):
        if write_into:
            call(block[i], out=result[i], **keywords)
        else:
            result[i] = call(block[i], **keywords)
    return result
