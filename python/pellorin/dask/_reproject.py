"""``pellorin.dask.reproject``: a reprojection onto an output grid larger than
memory, as a Dask array of output tiles.

The plan: the transform on the input's corner lattice, one input block at a
time, tells which pixels are taken whole and cuts the others into pieces,
and which output tiles each pixel and piece reaches (`_geometry.plan` and
`_accumulate.tile_reach` on each block, with the image's scale found first
when pixels need cutting). That is computed when the call is made, on the
current scheduler; it leaves, for every chunk of the output, the rectangle
of input pixels that reach it and the pieces that do. Each chunk's task then
reads only that rectangle (and a margin of `WINDOW_HALO` pixels), evaluates
the transform on its corner lattice, and accumulates the chunk as the plain
call does (`_accumulate.accumulate` on the chunk's region), so each chunk is
bit for bit the plain call's.
"""

from __future__ import annotations

import functools
import math
import uuid
from collections.abc import Sequence
from typing import Any, Callable, Literal, Optional, SupportsIndex, Union

import dask
import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph

from .._accumulate import INPUT_BLOCK, TILE, Pieces, Region, Sums, accumulate, no_pieces, shares_coverage, tile_reach
from .._geometry import WINDOW_HALO, PixelMap, Scale, image_scale, pixel_areas, plan, screen, turn_counts
from .._reproject import PixelTransform, WCSLike, _output_shape, _pixel_map, warn_if_planar_strays
from ._blocks import as_dask, known_sizes

F64 = npt.NDArray[np.float64]
# The default output chunk: 1024 x 1024 cells (8 MiB a plane in float64).
DEFAULT_CHUNK = 1024
# The lattice points around a pixel that the screen reads.
_SCREEN_HALO = 2


def _as_float(block: np.ndarray) -> F64:
    """A block as the plain call reads its data: float64, masked as NaN."""
    if isinstance(block, np.ma.MaskedArray):
        return np.ma.filled(block.astype(np.float64), np.nan)
    return np.asarray(block, dtype=np.float64)


def _lattice(pmap: PixelMap, rows: tuple[int, int], cols: tuple[int, int]) -> tuple[F64, F64]:
    """The transform on the corner lattice of the pixels rows[0]:rows[1] x
    cols[0]:cols[1]: the same points, so the same values, as in the plain
    call's lattice of the whole image."""
    x, y = np.meshgrid(np.arange(cols[0], cols[1] + 1, dtype=np.float64) - 0.5,
                       np.arange(rows[0], rows[1] + 1, dtype=np.float64) - 0.5)
    return pmap(x, y)


def _wanted(window: F64) -> npt.NDArray[np.bool_]:
    return ~np.isnan(window.reshape((-1,) + window.shape[-2:])).all(axis=0)


class _Block:
    """One block of input pixels (core rows and columns) within an image of
    `size` (ny, nx), and the window around it that `halo` pixels widen."""

    def __init__(self, rows: tuple[int, int], cols: tuple[int, int], size: tuple[int, int],
                 halo: int) -> None:
        self.rows, self.cols = rows, cols
        self.wrows = (max(rows[0] - halo, 0), min(rows[1] + halo, size[0]))
        self.wcols = (max(cols[0] - halo, 0), min(cols[1] + halo, size[1]))
        self.core = (slice(rows[0] - self.wrows[0], rows[1] - self.wrows[0]),
                     slice(cols[0] - self.wcols[0], cols[1] - self.wcols[0]))


class _Input:
    """The input's blocks, and tasks that read a window of it: each task
    gets the blocks that the window overlaps (their keys in the graph), not
    a sliced Dask array, so that building a task costs no graph of its own."""

    def __init__(self, array: da.Array) -> None:
        self.array = array
        self.lead = (0,) * (array.ndim - 2)
        self.rows = np.cumsum((0,) + array.chunks[-2])
        self.cols = np.cumsum((0,) + array.chunks[-1])
        self.masked = isinstance(getattr(array, "_meta", None), np.ma.MaskedArray)

    def task(self, func: Callable[..., Any], rows: tuple[int, int], cols: tuple[int, int],
             *args: Any) -> tuple[Any, ...]:
        """A task calling ``func(window, *args)`` on the input's pixels rows
        x cols (all leading axes)."""
        bj0 = int(np.searchsorted(self.rows, rows[0], side="right")) - 1
        bj1 = int(np.searchsorted(self.rows, rows[1], side="left"))
        bi0 = int(np.searchsorted(self.cols, cols[0], side="right")) - 1
        bi1 = int(np.searchsorted(self.cols, cols[1], side="left"))
        keys = [[(self.array.name, *self.lead, bj, bi) for bi in range(bi0, bi1)] for bj in range(bj0, bj1)]
        where = (slice(rows[0] - int(self.rows[bj0]), rows[1] - int(self.rows[bj0])),
                 slice(cols[0] - int(self.cols[bi0]), cols[1] - int(self.cols[bi0])))
        return (functools.partial(_on_window, func, where, self.masked, args), keys)

    def graph(self, name: str, layer: dict[Any, Any]) -> HighLevelGraph:
        return HighLevelGraph.from_collections(name, layer, dependencies=[self.array])


def _on_window(func: Callable[..., Any], where: tuple[slice, slice], masked: bool, args: tuple[Any, ...],
               blocks: list[list[np.ndarray]]) -> Any:
    """``func`` on the window `where` of the blocks joined."""
    join = np.ma.concatenate if masked else np.concatenate
    rows = [row[0] if len(row) == 1 else join(row, axis=-1) for row in blocks]
    whole = rows[0] if len(rows) == 1 else join(rows, axis=-2)
    return func(whole[(Ellipsis,) + where], *args)


def _screen_summary(window: np.ndarray, pmap: PixelMap, block: _Block) -> tuple[int, int, int, bool]:
    """The block's number of whole pixels and their turn counts, and whether
    any of its pixels with data needs cutting."""
    xs, ys = _lattice(pmap, block.wrows, block.wcols)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        whole, cand = screen(xs, ys)
    cand &= _wanted(_as_float(window))
    core = block.core
    lat = (slice(core[0].start, core[0].stop + 1), slice(core[1].start, core[1].stop + 1))
    pos, neg = turn_counts(xs[lat], ys[lat], whole[core])
    return int(whole[core].sum()), pos, neg, bool(cand[core].any())


def _scale_pool(window: np.ndarray, pmap: PixelMap, block: _Block, of_whole: bool) -> F64:
    """The areas that the image's typical pixel area is the median of, in
    this block: of its whole pixels, or of its candidates' finite quads."""
    xs, ys = _lattice(pmap, block.wrows, block.wcols)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        whole, cand = screen(xs, ys)
        cand &= _wanted(_as_float(window))
        area = pixel_areas(xs, ys)[block.core]
    if of_whole:
        return area[whole[block.core]]
    return area[cand[block.core] & np.isfinite(area)]


def _block_geometry(window: np.ndarray, pmap: PixelMap, block: _Block, scale: Optional[Scale],
                    size: tuple[int, int], shape_out: tuple[int, int]) -> tuple[Any, ...]:
    """The block's pixels and pieces, and the output tiles they reach:
    (tiles, bounds (j_min, j_max, i_min, i_max) in image pixels, pieces with
    sources as flat indices of the image, (piece, tile) pairs)."""
    xs, ys = _lattice(pmap, block.wrows, block.wcols)
    if scale is None:
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            whole = screen(xs, ys)[0]
        pieces = no_pieces()
    else:
        whole, pieces = plan(pmap, xs, ys, _wanted(_as_float(window)), scale=scale,
                             origin=(block.wrows[0], block.wcols[0]))
    # Only the core's pixels and pieces: the margin's own neighbours lie
    # partly outside the window.
    wnx = block.wcols[1] - block.wcols[0]
    pj, pi = np.divmod(pieces.source, wnx)
    pj, pi = pj + block.wrows[0], pi + block.wcols[0]
    mine = (pj >= block.rows[0]) & (pj < block.rows[1]) & (pi >= block.cols[0]) & (pi < block.cols[1])
    pieces = Pieces(pieces.quads[mine], (pj[mine] * size[1] + pi[mine]).astype(np.intp), pieces.share[mine])
    core = block.core
    lat = (slice(core[0].start, core[0].stop + 1), slice(core[1].start, core[1].stop + 1))
    tiles, bounds, pairs = tile_reach(np.ascontiguousarray(xs[lat]), np.ascontiguousarray(ys[lat]),
                                      whole[core], pieces, shape_out)
    bounds[:, :2] += block.rows[0]
    bounds[:, 2:] += block.cols[0]
    return tiles, bounds, pieces, pairs


def _chunk(window: np.ndarray, pmap: PixelMap, rows: tuple[int, int], cols: tuple[int, int],
           core: tuple[slice, slice], pieces: Pieces, region: Region, mode: str,
           footprint: bool) -> F64:
    """One output chunk (result, then footprint when asked for, along a new
    first axis) from the input window rows x cols (whose pixels `core` are
    those that reach the chunk) and the pieces that reach it (sources as
    flat indices of the core)."""
    data = _as_float(window)
    lead = data.shape[:-2]
    k = math.prod(lead)
    cells = (region.rows[1] - region.rows[0], region.cols[1] - region.cols[0])
    xs, ys = _lattice(pmap, rows, cols)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        whole = screen(xs, ys)[0][core]
    lat = (slice(core[0].start, core[0].stop + 1), slice(core[1].start, core[1].stop + 1))
    xs, ys = np.ascontiguousarray(xs[lat]), np.ascontiguousarray(ys[lat])
    planes = np.ascontiguousarray(data[..., core[0], core[1]].reshape((k,) + whole.shape))
    def zeros(planes_of: int = k) -> F64:
        return np.zeros((planes_of,) + cells)
    # As in the plain call: the engine leaves the mean (NaN where nothing
    # covers); planes that miss the same pixels share one weight plane (the
    # same bits as one each).
    result = np.empty((k,) + cells) if mode == "mean" else zeros()  # a mean's cells are all set
    weight = zeros(1 if shares_coverage(planes) else k) if footprint else None
    sums = Sums(result, weight, None) if mode == "mean" else Sums(None, weight, result)
    if planes.size:
        accumulate(xs, ys, planes, whole, pieces, sums, threads=1, region=region, mean=mode == "mean")
    elif mode == "mean":
        result[...] = np.nan
    if footprint:
        assert weight is not None
        out = np.stack([result, np.broadcast_to(weight, result.shape)])
    else:
        out = result[None]
    return out.reshape((len(out),) + lead + cells)


def _empty_chunk(lead: tuple[int, ...], cells: tuple[int, int], mode: str, footprint: bool) -> F64:
    out = np.zeros((2 if footprint else 1,) + lead + cells)
    if mode == "mean":
        out[0] = np.nan
    return out


def _chunks_argument(chunks: Union[None, SupportsIndex, Sequence[SupportsIndex]]) -> tuple[int, int]:
    if chunks is None:
        return DEFAULT_CHUNK, DEFAULT_CHUNK
    try:
        pair = (int(chunks), int(chunks)) if not isinstance(chunks, Sequence) else tuple(map(int, chunks))
    except (TypeError, ValueError):
        raise TypeError(f"chunks must be an integer or a pair of integers; got {chunks!r}") from None
    if len(pair) != 2 or any(c < TILE or c % TILE for c in pair):
        raise ValueError(f"chunks must be positive multiples of {TILE} (the accumulation's tiles), "
                         f"one or a pair (rows, columns); got {chunks!r}")
    return pair[0], pair[1]


def reproject(data: npt.ArrayLike | da.Array, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: Sequence[SupportsIndex], *, mode: Literal["mean", "sum"] = "mean",
              return_footprint: bool = False,
              chunks: Union[None, SupportsIndex, Sequence[SupportsIndex]] = None) -> Union[
                  da.Array, tuple[da.Array, da.Array]]:
    """Reproject an image onto a pixel grid of any size, as a Dask array of
    output chunks, bit for bit ``pellorin.reproject`` with planar pixels
    (``geometry="plane"``).

    Parameters
    ----------
    data : dask.array.Array or array_like, real, shape (..., ny, nx)
        The input image (or a stack of images over one pixel grid), read in
        its chunks: each input block is read once when the call is made
        (for the pixels with data) and each output chunk's task reads only
        the input pixels that reach it. A NumPy array is wrapped without a
        copy; the leading axes are made whole in every block.
    transform : callable or (wcs_in, wcs_out)
        As in ``pellorin.reproject``. A callable must map each point on its
        own (a vectorised function of the coordinates, as every WCS is): it
        is evaluated on parts of the corner lattice, in the tasks, which on
        a ``dask.distributed`` cluster receive it pickled. Pixels are
        taken as planar quads; for a pair of celestial WCS on which
        ``pellorin.reproject``'s default would take spherical ones (near a
        pole, on an all-sky or a coarse grid), a ``UserWarning`` says so.
    shape_out : sequence of int
        ``(ny_out, nx_out)``, or the data's leading axes followed by them.
    mode : {"mean", "sum"}, optional
        As in ``pellorin.reproject``.
    return_footprint : bool, optional
        Also return the footprint, as a second Dask array of the same chunks.
    chunks : int or (int, int), optional
        Rows and columns of the output chunks, multiples of 128; default
        1024. Each task holds one chunk of every plane a few times over
        (its sums and its result, in float64) and the input pixels that
        reach it.

    Returns
    -------
    result : dask.array.Array of float64, shape (..., ny_out, nx_out)
        Chunked along the last two axes as `chunks` asks (the leading axes
        whole); store it with ``dask.array.store`` or ``.to_zarr(...)``
        without the whole output ever in one process.
    footprint : dask.array.Array of float64
        Only with ``return_footprint=True``.

    Raises
    ------
    TypeError, ValueError
        Where ``pellorin.reproject`` raises them, and for `chunks` that are
        not multiples of 128; ``ValueError`` for input axes of unknown size.

    Notes
    -----
    Every chunk holds exactly the values of the plain call on the whole
    input (with ``geometry="plane"``), bit for bit: the chunks are made of the plain call's own output
    tiles (128 x 128 cells), each of which sums the same quads in the same
    order from coordinates relative to the tile.

    Work done when the call is made, on the current Dask scheduler, one task
    per input block: the transform on the block's corner lattice (and that
    of a margin of four pixels) decides which pixels are taken whole and
    which are cut into pieces, and which output tiles each reaches. When
    some pixel needs cutting (a seam, a pole or the edge of the sky in the
    output's projection), one more pass finds the typical pixel area of the
    whole image (a median), gathering one float per pixel on the caller.
    The result's graph holds the pieces and, for each chunk, the rectangle
    of input pixels that reach it; its tasks evaluate the transform on that
    rectangle's corner lattice again, so a transform is evaluated about
    twice per input point (more where rectangles overlap).

    Examples
    --------
    >>> import numpy as np
    >>> import pellorin
    >>> import pellorin.dask
    >>> data = np.arange(64.0).reshape(8, 8)
    >>> lazy = pellorin.dask.reproject(data, lambda x, y: (40 * x + 20, 40 * y + 20), (320, 320),
    ...                                chunks=128)
    >>> lazy.chunks
    ((128, 128, 64), (128, 128, 64))
    >>> plain = pellorin.reproject(data, lambda x, y: (40 * x + 20, 40 * y + 20), (320, 320))
    >>> lazy.compute().tobytes() == plain.tobytes()
    True
    """
    if mode not in ("mean", "sum"):
        raise ValueError(f"mode must be 'mean' or 'sum', got {mode!r}")
    if not isinstance(return_footprint, (bool, np.bool_)):
        raise TypeError(f"return_footprint must be a bool, got {return_footprint!r}")
    footprint = bool(return_footprint)
    pmap = _pixel_map(transform)
    crow, ccol = _chunks_argument(chunks)
    array = as_dask("data", data, range(-2, 0))
    if array.dtype.kind not in "biuf":
        raise TypeError(f"data must be a real numeric array, got dtype {array.dtype}")
    if array.ndim < 2:
        raise ValueError(f"data must have at least 2 dimensions (rows, columns), got {array.ndim}")
    shape = known_sizes("data", array, range(array.ndim))
    out_shape = _output_shape(shape_out, shape)
    lead, size, cells_out = shape[:-2], shape[-2:], out_shape[-2:]
    warn_if_planar_strays(transform, size, cells_out, "pellorin.dask.reproject")
    if array.ndim > 2 and any(len(c) > 1 for c in array.chunks[:-2]):
        array = array.rechunk(dict.fromkeys(range(array.ndim - 2), -1))
    if 0 in cells_out:
        empty = da.full(out_shape, np.nan if mode == "mean" else 0.0, dtype=np.float64)
        return (empty, da.zeros(out_shape, dtype=np.float64)) if footprint else empty

    # Per output chunk: the input pixels and the pieces that reach it.
    source = _Input(array)
    reach = [] if 0 in size else _reach(source, pmap, size, cells_out)
    ntx = -(-cells_out[1] // TILE)
    name = f"pellorin-reproject-{uuid.uuid4().hex}"
    layer = {}
    for a, r0 in enumerate(range(0, cells_out[0], crow)):
        for b, c0 in enumerate(range(0, cells_out[1], ccol)):
            region = Region(cells_out, (r0, min(r0 + crow, cells_out[0])), (c0, min(c0 + ccol, cells_out[1])))
            key = (name, 0) + source.lead + (a, b)
            layer[key] = _chunk_task(source, pmap, reach, region, size, lead, mode, footprint, ntx)
    row_chunks = tuple(min(crow, cells_out[0] - r) for r in range(0, cells_out[0], crow))
    col_chunks = tuple(min(ccol, cells_out[1] - c) for c in range(0, cells_out[1], ccol))
    stacked = da.Array(source.graph(name, layer), name,
                       ((2 if footprint else 1,),) + tuple((n,) for n in lead) + (row_chunks, col_chunks),
                       dtype=np.float64, meta=np.empty((0,) * (len(out_shape) + 1)))
    if footprint:
        return stacked[0], stacked[1]
    return stacked[0]


def _reach(source: _Input, pmap: PixelMap, size: tuple[int, int],
           cells_out: tuple[int, int]) -> list[tuple[Any, ...]]:
    """The geometry of every input block (`_block_geometry`), computed now."""
    rows, cols = source.rows, source.cols
    grid = [(int(rows[a]), int(rows[a + 1]), int(cols[b]), int(cols[b + 1]))
            for a in range(len(rows) - 1) for b in range(len(cols) - 1)]

    def run(func: Callable[..., Any], blocks: list[_Block], *args: Any) -> list[Any]:
        name = f"pellorin-reproject-{func.__name__.strip('_')}-{uuid.uuid4().hex}"
        layer = {(name, n): source.task(func, b.wrows, b.wcols, pmap, b, *args) for n, b in enumerate(blocks)}
        graph = source.graph(name, layer)
        return list(dask.compute(*[Delayed(key, graph, layer=name) for key in layer]))

    screens = [_Block((r0, r1), (c0, c1), size, _SCREEN_HALO) for r0, r1, c0, c1 in grid]
    summary = run(_screen_summary, screens)
    scale: Optional[Scale] = None
    if any(cut for *_, cut in summary):
        whole = sum(w for w, *_ in summary)
        positive = sum(p for _, p, _, _ in summary)
        negative = sum(n for _, _, n, _ in summary)
        pools = run(_scale_pool, screens, whole > 0)
        scale = image_scale(np.concatenate(pools), positive, negative)
    halo = WINDOW_HALO if scale is not None else _SCREEN_HALO
    geometry = [_Block((r0, r1), (c0, c1), size, halo) for r0, r1, c0, c1 in grid]
    return run(_block_geometry, geometry, scale, size, cells_out)


def _chunk_task(source: _Input, pmap: PixelMap, reach: list[tuple[Any, ...]], region: Region,
                size: tuple[int, int], lead: tuple[int, ...], mode: str, footprint: bool,
                ntx: int) -> tuple[Any, ...]:
    """The task of one output chunk: result (and footprint) stacked along a
    new first axis."""
    tiles = region.tiles(ntx)
    cells = (region.rows[1] - region.rows[0], region.cols[1] - region.cols[0])
    lo = np.array([size[0], size[1]])
    hi = np.array([-1, -1])
    parts = []
    for block_tiles, bounds, pieces, pairs in reach:
        sel = np.isin(block_tiles, tiles)
        if sel.any():
            lo = np.minimum(lo, [bounds[sel, 0].min(), bounds[sel, 2].min()])
            hi = np.maximum(hi, [bounds[sel, 1].max(), bounds[sel, 3].max()])
        ids = np.unique(pairs[np.isin(pairs[:, 1], tiles), 0])
        if len(ids):
            parts.append(Pieces(pieces.quads[ids], pieces.source[ids], pieces.share[ids]))
    if parts:
        src = np.concatenate([p.source for p in parts])
        sj, si = np.divmod(src, size[1])
        lo = np.minimum(lo, [sj.min(), si.min()])
        hi = np.maximum(hi, [sj.max(), si.max()])
    if (hi < lo).any():
        return (functools.partial(_empty_chunk, lead, cells, mode, footprint),)
    # The window starts on the engine's blocks of input pixels, so that its
    # pixels reach each cell in the order they do in the whole image.
    lo -= lo % INPUT_BLOCK
    block = _Block((int(lo[0]), int(hi[0]) + 1), (int(lo[1]), int(hi[1]) + 1), size, _SCREEN_HALO)
    pieces = no_pieces()
    if parts:
        core_nx = block.cols[1] - block.cols[0]
        pieces = Pieces(np.concatenate([p.quads for p in parts]),
                        ((sj - block.rows[0]) * core_nx + (si - block.cols[0])).astype(np.intp),
                        np.concatenate([p.share for p in parts]))
    return source.task(_chunk, block.wrows, block.wcols, pmap, block.wrows, block.wcols, block.core,
                       pieces, region, mode, footprint)
