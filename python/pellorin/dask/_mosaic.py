"""``pellorin.dask.mosaic``: many frames onto one grid, spread over Dask's
workers, the partial mosaics merged by a tree reduction."""

from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any, Optional, SupportsIndex

import dask

import pellorin

# Frames added one after another into one partial mosaic, and partial
# mosaics merged at each node of the tree, when split_every is not given.
DEFAULT_SPLIT_EVERY = 4


def _is_transform(value: object) -> bool:
    if dask.is_dask_collection(value):
        # A delayed object is callable, but stands for an array here.
        return False
    if callable(value):
        return True
    return isinstance(value, (tuple, list)) and len(value) == 2 and all(
        hasattr(w, "pixel_to_world_values") and hasattr(w, "world_to_pixel_values") for w in value)


def _item(n: int, item: object) -> tuple[str, tuple[Any, ...]]:
    """("frame", (data, transform, weights)) or ("quads", (quads, values,
    weights)) for the n-th item of `frames`."""
    if not isinstance(item, (tuple, list)) or len(item) not in (2, 3):
        raise TypeError(f"frames[{n}] must be a tuple (data, transform[, weights]) or (quads, "
                        f"values[, weights]); got {type(item).__name__}")
    weights = item[2] if len(item) == 3 else None
    if _is_transform(item[1]):
        return "frame", (item[0], item[1], weights)
    return "quads", (item[0], item[1], weights)


def _add(mosaic: Optional[pellorin.Mosaic], shape_out: tuple[int, ...], items: Sequence[tuple[str, tuple[Any, ...]]],
         threads: Optional[int]) -> pellorin.Mosaic:
    """A partial mosaic: `items` added in order (to `mosaic`, or to a new one)."""
    result = pellorin.Mosaic(shape_out) if mosaic is None else mosaic
    for kind, (a, b, weights) in items:
        if kind == "frame":
            result.add(a, b, weights=weights, threads=threads)
        else:
            result.add_quads(a, b, weights=weights, threads=threads)
    return result


def _merge(*parts: pellorin.Mosaic) -> pellorin.Mosaic:
    """The first partial mosaic with the others merged into it, in order.
    Each partial mosaic of the tree is used by exactly one merge, so the
    first is merged into in place."""
    first = parts[0]
    for other in parts[1:]:
        first.merge(other)
    return first


def mosaic(frames: Sequence[Any], shape_out: Sequence[SupportsIndex], *,
           split_every: Optional[SupportsIndex] = None, threads: Optional[int] = 1) -> Any:
    """Add many frames onto one grid on Dask's workers: a lazy
    ``pellorin.Mosaic``.

    Parameters
    ----------
    frames : sequence
        Each item is a frame ``(data, transform)`` or ``(data, transform,
        weights)``, as ``pellorin.Mosaic.add`` takes them, or a chunk of
        quads ``(quads, values)`` or ``(quads, values, weights)``, as
        ``pellorin.Mosaic.add_quads`` takes them (an item whose second
        entry is a callable or a pair of WCS-like objects is a frame). The
        arrays may be NumPy arrays, Dask arrays or ``dask.delayed`` objects;
        each is read by the task that adds it.
    shape_out : sequence of int
        The mosaic's shape, as in ``pellorin.Mosaic``.
    split_every : int, optional
        Items added one after another into each partial mosaic, and partial
        mosaics merged at each node of the tree (default 4; at least 2).
        Each task holds at most this many partial mosaics, each of the size
        of the whole mosaic's sums.
    threads : int or None, optional
        Threads for each task's ``add`` (default 1: each Dask worker thread
        is already one core).

    Returns
    -------
    dask.delayed.Delayed
        Computes to the ``pellorin.Mosaic`` of every item:
        ``mosaic(...).compute()``, or ``client.compute(...).result()`` on
        a ``dask.distributed`` cluster (the mosaic travels pickled).

    Raises
    ------
    TypeError, ValueError
        For items that are not such tuples, or an unusable `split_every`;
        the arguments of each item are checked by its task.

    Notes
    -----
    The partial mosaics hold the same terms as a single ``Mosaic`` that
    adds every item in order; only the order of the sums differs, so the
    result is within the rounding bound stated in ``pellorin.Mosaic`` of
    the single-process one (``2 gamma_K sum|t_k|`` per cell, ``K`` the
    number of terms of the cell). The grouping is fixed by the order of
    `frames` and `split_every`, not by the workers: the same call gives
    the same bits on any cluster.

    Examples
    --------
    >>> import numpy as np
    >>> import pellorin
    >>> import pellorin.dask
    >>> frames = [(np.full((8, 8), float(k)), lambda x, y, k=k: (x + 0.5 * k, y)) for k in range(6)]
    >>> lazy = pellorin.dask.mosaic(frames, (8, 12), split_every=2)
    >>> m = lazy.compute()
    >>> m.frames
    6
    >>> one = pellorin.Mosaic((8, 12))
    >>> for data, transform in frames:
    ...     one.add(data, transform)
    >>> bool(np.allclose(m.mean(), one.mean(), equal_nan=True, rtol=1e-14))
    True
    """
    if isinstance(frames, (str, bytes)) or not isinstance(frames, Sequence):
        raise TypeError(f"frames must be a sequence of tuples; got {type(frames).__name__}")
    try:
        shape = tuple(operator.index(s) for s in shape_out)
    except TypeError:
        raise TypeError(f"shape_out must be a sequence of integers; got {shape_out!r}") from None
    if len(shape) < 2 or min(shape) < 0:
        raise ValueError(f"shape_out must be (..., ny_out, nx_out) of sizes >= 0; got {shape}")
    every = DEFAULT_SPLIT_EVERY if split_every is None else operator.index(split_every)
    if every < 2:
        raise ValueError(f"split_every must be >= 2; got {every}")
    items = [_item(n, item) for n, item in enumerate(frames)]
    add = dask.delayed(_add, pure=False)
    if not items:
        return add(None, shape, [], threads)
    # Leaves: runs of split_every items, each added in order into one
    # partial mosaic (one task per item, each holding only its item and
    # the partial mosaic so far).
    level = []
    for start in range(0, len(items), every):
        partial = None
        for item in items[start:start + every]:
            partial = add(partial, shape, [item], threads)
        level.append(partial)
    merge = dask.delayed(_merge, pure=False)
    while len(level) > 1:
        level = [merge(*level[i:i + every]) if len(level[i:i + every]) > 1 else level[i]
                 for i in range(0, len(level), every)]
    return level[0]
