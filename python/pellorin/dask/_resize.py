"""``pellorin.dask.resize``: every frame of a Dask stack resized by the plain
call, one task per block of frames."""

from __future__ import annotations

import functools
from collections.abc import Sequence
from typing import Any, Optional, SupportsIndex

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.base import tokenize

import pellorin

from .._arguments import FloatLike, positive_count
from ._blocks import (
    DEFAULT_TASK_BYTES,
    as_dask,
    byte_limit,
    check_task_bytes,
    empty_like,
    keywords_of,
    known_sizes,
    nbytes,
    per_frame,
    sample_like,
    threads_keyword,
    whole_axes,
)

_ACCEPTED = keywords_of(pellorin.resize)


def _resize_block(block: np.ndarray, *, frame_ndim: int, out_frame: tuple[int, ...],
                  meta: np.ndarray, keywords: dict[str, Any]) -> np.ndarray:
    # Looked up on every block, so that a worker runs the plain call of its
    # own installed package.
    return per_frame(pellorin.resize, block, frame_ndim, out_frame, meta,
                     "out" in _ACCEPTED, shape=out_frame[:2], **keywords)


def _shape_argument(shape: Sequence[SupportsIndex]) -> tuple[int, int]:
    try:
        out_h, out_w = shape
    except (TypeError, ValueError) as error:
        raise TypeError(f"shape must be a pair (out_h, out_w); got {shape!r}") from error
    return positive_count("shape[0]", out_h), positive_count("shape[1]", out_w)


def resize(stack: npt.ArrayLike | da.Array, shape: Sequence[SupportsIndex], *,
           window: Optional[Sequence[FloatLike]] = None, dtype: Optional[npt.DTypeLike] = None,
           channels: bool = False, threads: Optional[int] = 1,
           max_frame_bytes: Optional[int] = DEFAULT_TASK_BYTES) -> da.Array:
    """Resize every frame of a stack, lazily, by exact area-weighted averaging.

    Each frame is resized by ``pellorin.resize`` with the same arguments, so
    the result is bit for bit that of resizing the frames one by one, however
    the stack is chunked and wherever the tasks run.

    Parameters
    ----------
    stack : dask.array.Array or array_like, shape (..., H, W) or (..., H, W, C)
        The frames, along any number of leading axes (none for one image).
        The last two axes are the rows and columns of each frame; with
        ``channels=True`` the last three are rows, columns and channels.
        Any dtype that ``pellorin.resize`` reads. A NumPy array is wrapped
        without a copy (so it must not change until the result is
        computed), in whole frames and Dask's automatic chunks along the
        leading axes; other array-likes go through ``dask.array.asarray``.
    shape : (int, int)
        ``(out_h, out_w)`` of every resized frame, both >= 1.
    window : (float, float, float, float), optional
        ``(top, left, height, width)`` of the region of every frame to
        resize, in input pixels, as in ``pellorin.resize`` (default: the
        whole frame).
    dtype : data-type, optional
        The result's dtype, as in ``pellorin.resize``: ``None`` for the
        computed values, an integer type to round half to even and clip.
    channels : bool, optional
        Whether the last axis holds channels, ``(..., H, W, C)``. Default
        ``False``: the last two axes are ``(H, W)`` and every other axis
        indexes frames, so a ``(N, H, W, 3)`` RGB video needs
        ``channels=True``.
    threads : int or None, optional
        Threads for each frame's plain call. Default 1: each Dask worker
        thread is already one core, so the tasks use every core between
        them. ``None`` uses every core available to the process for each
        frame, for a few large frames on a scheduler with one thread.
    max_frame_bytes : int or None, optional
        The most bytes that one frame and its result may take together
        (default 1 GiB); ``None`` for no limit. A frame is never split, so
        every task holds at least one whole frame and its result.

    Returns
    -------
    dask.array.Array
        Shape ``(..., out_h, out_w)`` or ``(..., out_h, out_w, C)``, of the
        dtype and array type (plain or masked) that ``pellorin.resize``
        returns for one frame. Nothing is computed: call ``.compute()``,
        ``dask.array.store`` or ``.to_zarr(...)`` on it. Its chunks along
        the leading axes are those of ``stack`` (after the rechunk
        described in the notes); each frame axis is one chunk.

    Raises
    ------
    TypeError, ValueError
        Where ``pellorin.resize`` raises them for these arguments on one
        frame (checked when the graph is built, not when it runs); if
        ``stack`` has fewer axes than one frame, an empty frame axis or
        frame axes of unknown size; ``ValueError`` if one frame and its
        result exceed ``max_frame_bytes``; ``TypeError`` if ``threads`` is
        not 1 and the installed ``pellorin.resize`` does not take it.

    Notes
    -----
    The graph has one task per block of frames, which resizes the block's
    frames one after the other with ``pellorin.resize``. The frame axes must
    be whole in every block: when they are split in ``stack``, it is
    rechunked to whole frames first, and its leading axes then get Dask's
    automatic chunks (bounded by the ``array.chunk-size`` setting, at least
    one frame); otherwise the leading chunks are kept as they are.

    The arguments are checked by one call of ``pellorin.resize`` on a 1x1
    frame of ``stack``'s dtype when the graph is built; that call's result
    also gives the dtype of the result.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import pellorin
    >>> import pellorin.dask
    >>> frames = da.from_array(np.arange(24.0).reshape(6, 2, 2), chunks=(2, 2, 2))
    >>> small = pellorin.dask.resize(frames, (1, 1))
    >>> small.shape, small.chunks
    ((6, 1, 1), ((2, 2, 2), (1,), (1,)))
    >>> small.compute()[:, 0, 0]
    array([ 1.5,  5.5,  9.5, 13.5, 17.5, 21.5])

    Each frame is the plain call on it, bit for bit:

    >>> video = da.random.default_rng(0).integers(0, 256, (8, 60, 80, 3), dtype=np.uint8,
    ...                                           chunks=(3, 60, 80, 3))
    >>> thumbs = pellorin.dask.resize(video, (15, 20), channels=True, dtype=np.uint8)
    >>> thumbs.dtype, thumbs.numblocks
    (dtype('uint8'), (3, 1, 1, 1))
    >>> frame = video[5].compute()
    >>> np.array_equal(thumbs[5].compute(), pellorin.resize(frame, (15, 20), dtype=np.uint8))
    True
    """
    if not isinstance(channels, (bool, np.bool_)):
        raise TypeError(f"channels must be a bool; got {channels!r}")
    frame_ndim = 3 if channels else 2
    array = as_dask("stack", stack, range(-frame_ndim, 0))
    if array.ndim < frame_ndim:
        layout = "(..., H, W, C) with channels=True" if channels else "(..., H, W)"
        raise ValueError(f"stack must have the shape {layout}; got shape {array.shape}")
    lead_ndim = array.ndim - frame_ndim
    frame_shape = known_sizes("stack", array, range(lead_ndim, array.ndim))
    if 0 in frame_shape:
        raise ValueError(f"frames must not be empty; got frame shape {frame_shape}")
    out_frame = _shape_argument(shape) + frame_shape[2:]
    limit = byte_limit("max_frame_bytes", max_frame_bytes)
    keywords: dict[str, Any] = {"window": window, "dtype": dtype,
                                **threads_keyword("resize", _ACCEPTED, threads)}

    sample = pellorin.resize(sample_like(array, (1, 1) + frame_shape[2:]), (1, 1), **keywords)
    meta = empty_like(sample, array.ndim)
    check_task_bytes("max_frame_bytes", limit, nbytes(frame_shape, array.dtype) + nbytes(out_frame, meta.dtype),
                     f"one frame {frame_shape} of {array.dtype}",
                     "frames are never split: raise max_frame_bytes to what one worker can hold, or pass None")

    array = whole_axes(array, range(lead_ndim, array.ndim), range(lead_ndim))
    block = functools.partial(_resize_block, frame_ndim=frame_ndim, out_frame=out_frame, meta=meta,
                              keywords=keywords)
    axes = tuple(range(array.ndim))
    return da.blockwise(block, axes, array, axes, adjust_chunks=dict(zip(axes[lead_ndim:], out_frame)),
                        dtype=meta.dtype, meta=meta,
                        name="pellorin-resize-" + tokenize(array.name, out_frame, keywords, channels))
