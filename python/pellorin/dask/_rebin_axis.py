"""``pellorin.dask.rebin_axis``: one axis of a Dask array rebinned by the
plain call, one task per block, the other axes' chunks kept."""

from __future__ import annotations

import functools
import math
import operator
from typing import Any, Literal, Optional, SupportsIndex

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import tokenize

import pellorin

from .._arguments import FloatLike
from ._blocks import (
    DEFAULT_TASK_BYTES,
    as_dask,
    byte_limit,
    check_task_bytes,
    empty_like,
    keywords_of,
    known_sizes,
    nbytes,
    sample_like,
    threads_keyword,
    whole_axes,
)

_ACCEPTED = keywords_of(pellorin.rebin_axis)


def _rebin_block(block: np.ndarray, **keywords: Any) -> np.ndarray:
    # Looked up on every block, so that a worker runs the plain call of its
    # own installed package.
    return pellorin.rebin_axis(block, **keywords)


def rebin_axis(values: npt.ArrayLike | da.Array, *, in_origin: FloatLike, in_bw: FloatLike,
               out_origin: FloatLike, out_bw: FloatLike, out_n: SupportsIndex,
               axis: SupportsIndex = -1, mode: Literal["mean", "sum"] = "mean",
               threads: Optional[int] = 1,
               max_block_bytes: Optional[int] = DEFAULT_TASK_BYTES) -> da.Array:
    """Rebin a Dask array along one axis between two uniform binnings, lazily.

    Each block goes through ``pellorin.rebin_axis`` with the same arguments,
    so the result is bit for bit the plain call on the whole array, however
    the other axes are chunked and wherever the tasks run.

    Parameters
    ----------
    values : dask.array.Array or array_like
        At least 1-D, of a real dtype. A NumPy array is wrapped without a
        copy (so it must not change until the result is computed), whole
        along ``axis`` and in Dask's automatic chunks along the other axes;
        other array-likes go through ``dask.array.asarray``.
    in_origin, in_bw, out_origin, out_bw : float
        The lower edge of bin 0 and the bin width of the input and of the
        output bins along ``axis``, as in ``pellorin.rebin_axis``.
    out_n : int
        Number of output bins, >= 1.
    axis : int, optional
        The axis to rebin, negative counting from the end; default the last.
    mode : {"mean", "sum"}, optional
        ``"mean"`` for densities and intensities, ``"sum"`` for counts and
        fluxes, as in ``pellorin.rebin_axis``.
    threads : int or None, optional
        Threads for each block's plain call. Default 1: each Dask worker
        thread is already one core. ``None`` uses every core available to
        the process for each block.
    max_block_bytes : int or None, optional
        The most bytes that one block (whole along ``axis``) and its result
        may take together (default 1 GiB); ``None`` for no limit.

    Returns
    -------
    dask.array.Array
        The shape of ``values`` with ``out_n`` along ``axis``, one chunk
        along ``axis`` and the chunks of ``values`` along every other axis;
        ``float32`` or ``float64`` as ``pellorin.rebin_axis`` returns.
        Nothing is computed until it is asked for.

    Raises
    ------
    TypeError, ValueError, numpy.exceptions.AxisError
        Where ``pellorin.rebin_axis`` raises them for these arguments
        (checked when the graph is built); ``ValueError`` if ``axis`` has an
        unknown size or the largest block and its result exceed
        ``max_block_bytes``; ``TypeError`` if ``threads`` is not 1 and the
        installed ``pellorin.rebin_axis`` does not take it.

    Notes
    -----
    ``values`` is rechunked to one chunk along ``axis`` when it has several
    there; the other axes keep their chunks, so a block is as large as the
    chunks of the other axes times the whole axis. When that exceeds
    ``max_block_bytes``, rechunk the other axes smaller first. The graph has
    one task per block.

    The arguments are checked when the graph is built by one call of
    ``pellorin.rebin_axis`` on a single line of ``values``' length along
    ``axis`` (zeros, in memory on the caller); its result also gives the
    result's dtype.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import pellorin
    >>> import pellorin.dask
    >>> cube = da.from_array(np.arange(24.0).reshape(4, 6), chunks=(2, 3))
    >>> binned = pellorin.dask.rebin_axis(cube, in_origin=0, in_bw=1, out_origin=0, out_bw=2, out_n=3)
    >>> binned.chunks
    ((2, 2), (3,))
    >>> binned.compute()
    array([[ 0.5,  2.5,  4.5],
           [ 6.5,  8.5, 10.5],
           [12.5, 14.5, 16.5],
           [18.5, 20.5, 22.5]])

    Spectra along the first axis of a chunked cube, in "sum" mode, bit for
    bit the plain call:

    >>> rng = np.random.default_rng(1)
    >>> counts = rng.poisson(5.0, (300, 16, 16)).astype(np.float32)
    >>> lazy = pellorin.dask.rebin_axis(da.from_array(counts, chunks=(100, 8, 8)), axis=0,
    ...                                 in_origin=4000.0, in_bw=2.5, out_origin=4010.0,
    ...                                 out_bw=7.0, out_n=100, mode="sum")
    >>> lazy.numblocks
    (1, 2, 2)
    >>> plain = pellorin.rebin_axis(counts, axis=0, in_origin=4000.0, in_bw=2.5,
    ...                             out_origin=4010.0, out_bw=7.0, out_n=100, mode="sum")
    >>> np.array_equal(lazy.compute(), plain)
    True
    """
    whole: tuple[int, ...]
    try:
        whole = (operator.index(axis),)
    except TypeError:
        whole = ()  # refused below by the plain call, with its own message
    array = as_dask("values", values, whole)
    limit = byte_limit("max_block_bytes", max_block_bytes)
    keywords: dict[str, Any] = {"in_origin": in_origin, "in_bw": in_bw, "out_origin": out_origin,
                                "out_bw": out_bw, "out_n": out_n, "axis": axis, "mode": mode,
                                **threads_keyword("rebin_axis", _ACCEPTED, threads)}
    # Every argument but the length of the axis, on one value; the plain
    # call's errors (a 0-d array, a bad axis) are raised here as they are.
    pellorin.rebin_axis(sample_like(array, (1,) * array.ndim), **keywords)
    ax = operator.index(axis) % array.ndim
    (in_n,) = known_sizes("values", array, (ax,))
    # The checks that depend on the length, on one line of it (on the whole
    # of an empty array, whose shape the plain call's message gives).
    if in_n == 0:
        line = tuple(1 if isinstance(s, float) else s for s in array.shape)  # a NaN: unknown size
    else:
        line = tuple(in_n if d == ax else 1 for d in range(array.ndim))
    meta = empty_like(pellorin.rebin_axis(sample_like(array, line), **keywords), array.ndim)

    count = operator.index(out_n)
    largest = tuple(in_n if d == ax else max(c, default=0) for d, c in enumerate(array.chunks))
    check_task_bytes("max_block_bytes", limit,
                     nbytes(largest, array.dtype) + math.prod(largest) // max(in_n, 1) * count * meta.dtype.itemsize,
                     f"the largest block {largest} of {array.dtype}",
                     f"rechunk the axes other than axis {ax} smaller, or raise max_block_bytes")

    array = whole_axes(array, (ax,))
    axes = tuple(range(array.ndim))
    return da.blockwise(functools.partial(_rebin_block, **keywords), axes, array, axes, adjust_chunks={ax: count},
                        dtype=meta.dtype, meta=meta, name="pellorin-rebin-axis-" + tokenize(array.name, keywords))
