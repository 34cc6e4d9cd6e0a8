"""Area-overlap accumulation: input pixels (whole or in pieces) onto an
output grid, as the sums from which means, fluxes and footprints follow.

The one entry point is `accumulate`; its docstring is the contract that any
implementation of it keeps. This implementation is one call into the
package's engine (``pellorin._engine.accumulate``), which lists the pixels
that reach each tile of the output, integrates each quad's overlaps from its
edges (cells inside a quad whole take their whole area without clipping) and
spreads the tiles over threads with the interpreter lock released.
"""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from . import _engine
from ._arguments import MAX_THREADS, engine_array, thread_count

__all__ = ["INPUT_BLOCK", "Pieces", "Region", "Sums", "TILE", "accumulate", "no_pieces", "shares_coverage",
           "tile_reach"]

F64 = npt.NDArray[np.float64]

#: The side of the output tiles that the engine sums each cell in (a cell's
#: bits depend on its tile): a `Region` starts on a multiple of it.
TILE = 128
#: The side of the square blocks of input pixels that the engine lists per
#: tile and takes in turn (rows of blocks, then pixels row by row in each).
INPUT_BLOCK = 8
#: Planes of a mean per engine call: each thread holds one output tile of
#: each (128 KiB a plane).
MEAN_PLANES = 32


class Pieces(NamedTuple):
    """Parts of input pixels, each a convex quadrilateral in output pixel
    coordinates.

    quads : float64, shape (m, 4, 2)
        Four ``(x, y)`` corners per piece, in order around it (either
        winding), convex.
    source : intp, shape (m,)
        The input pixel the piece belongs to, as the flat index
        ``j * nx + i`` of pixel ``(j, i)``.
    share : float64, shape (m,)
        The piece's fraction of its source pixel, measured in the input's
        pixel plane: the pieces of one pixel have shares summing to at most 1
        (less where parts of it were dropped).
    """

    quads: F64
    source: npt.NDArray[np.intp]
    share: F64


class Sums(NamedTuple):
    """Accumulators over the output grid, each float64 of shape
    ``(k, ny_out, nx_out)`` (one plane per data plane) or None when not
    wanted. See `accumulate` for what each holds."""

    value: Optional[F64]
    weight: Optional[F64]
    flux: Optional[F64]
    variance: Optional[F64] = None


class Region(NamedTuple):
    """The cells ``rows[0]:rows[1]`` x ``cols[0]:cols[1]`` of an output grid
    of shape `shape_out`."""

    shape_out: tuple[int, int]
    rows: tuple[int, int]
    cols: tuple[int, int]

    def on_tiles(self) -> bool:
        """Whether the region is made of whole tiles (cut by the grid's end)."""
        return all(lo % TILE == 0 and (hi % TILE == 0 or hi == n) and 0 <= lo <= hi <= n
                   for (lo, hi), n in zip((self.rows, self.cols), self.shape_out))

    def tiles(self, ntx: int) -> list[int]:
        """The tiles (row-major, ntx per row) that the region covers."""
        t0, t1 = self.rows[0] // TILE, -(-self.rows[1] // TILE)
        u0, u1 = self.cols[0] // TILE, -(-self.cols[1] // TILE)
        return [ty * ntx + tx for ty in range(t0, t1) for tx in range(u0, u1)]


def no_pieces() -> Pieces:
    """An empty piece list."""
    return Pieces(np.empty((0, 4, 2)), np.empty(0, dtype=np.intp), np.empty(0))


def accumulate(xs: F64, ys: F64, planes: F64, whole: npt.NDArray[np.bool_], pieces: Pieces,
               sums: Sums, *, weights: Optional[F64] = None, variance: Optional[F64] = None,
               threads: Optional[int] = None, region: Optional[Region] = None,
               mean: bool = False, shared: Optional[bool] = None) -> None:
    """Add the area overlaps of input pixels with the output cells to `sums`
    (or, with `mean`, turn them into the area-weighted mean).

    Parameters
    ----------
    xs, ys : float64, shape (ny + 1, nx + 1)
        The corner lattice in output pixel coordinates: ``(xs[j, i],
        ys[j, i])`` is the image of the input point ``(i - 0.5, j - 0.5)``.
    planes : float64, shape (k, ny, nx)
        The data, ``k`` planes over one geometry. NaN marks a missing value.
    whole : bool, shape (ny, nx)
        Pixels taken whole. The quad of pixel ``(j, i)`` is the lattice
        points ``[j, i], [j, i + 1], [j + 1, i + 1], [j + 1, i]`` in this
        order; where ``whole`` is True it must be convex (either winding).
        Pixels where ``whole`` is False contribute only through `pieces`.
    pieces : Pieces
        Explicit parts of pixels (quads in output pixel coordinates, the
        source pixel of each, its share of that pixel). A pixel may appear
        both whole and in pieces; each contributes on its own.
    sums : Sums
        C-contiguous float64 arrays of shape ``(k, ny_out, nx_out)`` that
        receive the contributions (added to what they hold), or None for an
        accumulator that is not wanted. ``weight`` may instead have one
        plane, shared by all (one update per cell instead of ``k``), when
        the planes miss the same pixels (`shares_coverage`) and the weights
        do not differ between planes: a pixel missing from one plane is
        then left out of all. The output grid is
        ``ny_out x nx_out`` cells; cell ``(r, c)`` is the unit square
        ``[c - 0.5, c + 0.5] x [r - 0.5, r + 0.5]``.
    weights : float64, shape (k, ny, nx) or broadcastable to it, optional
        A finite weight ``w >= 0`` per input pixel and plane; 1 when None.
    variance : float64, shape (k, ny, nx) or broadcastable to it, optional
        The variance ``var`` of each input value; required by
        ``sums.variance``, unused otherwise.
    threads : int, optional
        Number of threads the work may use (counts above 4096 are used as
        4096); None for all the cores available to the process. Results are
        the same to the bit for any number.
    region : Region, optional
        When given, `sums` hold only the block ``region.rows x
        region.cols`` of an output grid of shape ``region.shape_out`` (the
        grid above), and only the contributions to that block are added.
        Each cell of the block receives exactly what it receives when the
        whole grid is accumulated, provided every quad that overlaps the
        block is among the input, the block's first row and column are
        multiples of `TILE` (the ends may also be the grid's), the input's
        first pixel is one whose row and column in the whole image are
        multiples of `INPUT_BLOCK`, and the pieces of each pixel come in the same order.
    mean : bool
        Leave the mean instead of the value sum: each cell of
        ``sums.value`` is set to this call's ``value / weight`` (NaN where
        ``weight`` is 0; what it held is not read), and this call's
        ``weight`` is added to ``sums.weight`` when that is given.
        ``sums.flux`` and ``sums.variance`` must be None. The engine sums
        each tile in scratch memory and divides there, so this gives the
        bits of summing on zeroed arrays and then dividing.
    shared : bool, optional
        Whether the planes miss the same pixels (`shares_coverage`), when
        the caller knows; found from `planes` when None and needed.

    Notes
    -----
    Contributions. Each whole pixel and each piece is a quad ``q`` with a
    source pixel ``(j, i)`` and a share ``s`` (1 for a whole pixel). Its
    mapped area is ``|q|`` (output pixels); ``A = |q| / s`` estimates the
    whole source pixel's mapped area. For each plane ``p`` with
    ``v = planes[p, j, i]`` not NaN, ``w`` the weight, and every cell ``c``
    that ``q`` overlaps with area ``a = |q intersect c|`` (output pixels;
    parts of ``q`` outside the grid count nowhere)::

        value[p, c]    += w * a * v
        weight[p, c]   += w * a
        flux[p, c]     += w * a * v / A      (= w * s * v * a / |q|)
        variance[p, c] += (w * a)^2 * var

    so that ``value / weight`` is the area-weighted mean (NaN where
    ``weight`` is 0), ``flux`` shares each pixel's value ``v`` over the cells
    in proportion to the area it covers there, ``weight`` (with unit
    weights) is the covered fraction of each cell, and ``variance`` is the
    variance of ``value`` for independent input values (divided by
    ``weight**2``, the variance of the mean).

    Skipped, contributing nothing to any accumulator: quads with a NaN or
    infinite corner, quads of zero area, pixels whose weight is 0, and, for
    plane ``p`` only, pixels whose value in that plane is NaN (each plane
    keeps its own coverage in ``weight[p]``). Quads that only touch a cell
    (an edge or a corner on its boundary) add nothing to it. A cell that
    lies inside a quad whole takes ``a = 1`` exactly, without clipping, so
    a large pixel costs the cells it covers.

    Rounding. Every term is rounded in float64 and the sums run in float64
    in an order that is fixed for given inputs and independent of the
    number of threads (the output is cut into tiles, each summed by one
    thread in one order); the order itself is not part of the contract.
    Each accumulated cell agrees with the exact sum of its terms to about
    1e-12 of the sum of their magnitudes (areas are computed from
    coordinates relative to the tile of the output they lie in), and a cell
    that no quad overlaps holds exactly what it held before.

    The work is one call into the engine, with the interpreter lock
    released throughout; where the weights differ between planes, one call
    per plane, and for a mean of more than `MEAN_PLANES` planes, one call
    per group of them.
    """
    k = planes.shape[0]
    wanted = [s for s in sums if s is not None]
    if not wanted or k == 0:
        return
    if sums.variance is not None and variance is None:
        raise ValueError("sums.variance needs the input variance")
    if mean and (sums.value is None or sums.flux is not None or sums.variance is not None):
        raise ValueError("mean takes sums.value (and sums.weight) only")
    if region is not None and (not region.on_tiles() or wanted[0].shape[1:] != (
            region.rows[1] - region.rows[0], region.cols[1] - region.cols[0])):
        raise ValueError(f"{region} is not made of whole tiles or does not match the sums' shape")
    block = None if region is None else region.shape_out + (region.rows[0], region.cols[0])
    workers = min(thread_count(threads), MAX_THREADS)
    # Pieces in the order of their source pixels (stably): any window of
    # the input that holds a piece's source lists the pieces it shares a
    # cell with in the same order, so a region's cells get the whole grid's
    # bits.
    order = np.argsort(pieces.source, kind="stable")
    source = engine_array(pieces.source[order], dtype=np.int64)
    arrays = dict(take=engine_array(whole, dtype=np.bool_),
                  piece_quads=engine_array(pieces.quads[order], dtype=np.float64),
                  piece_source=source, piece_share=engine_array(pieces.share[order], dtype=np.float64),
                  block=block)
    xs = engine_array(xs, dtype=np.float64)
    ys = engine_array(ys, dtype=np.float64)
    values = engine_array(planes, dtype=np.float64)
    var = None if variance is None else engine_array(np.broadcast_to(variance, planes.shape),
                                                             dtype=np.float64)
    w = None if weights is None else np.broadcast_to(np.asarray(weights, dtype=np.float64), planes.shape)
    if w is None or k == 1 or bool((w == w[0]).all()):
        # With one plane the two coverages are the same. With several, one
        # weight plane is shared (one update per cell) when the caller asks
        # for it, or when there is no weight sum and the planes miss the
        # same pixels; otherwise each plane keeps its own (a NaN leaves the
        # other planes' sums alone).
        if sums.weight is not None:
            per_plane = sums.weight.shape[0] > 1
        else:
            per_plane = not (shares_coverage(planes) if shared is None else shared)
        shared_w = None if w is None else engine_array(w[0])
        if not mean:
            _engine.accumulate(xs, ys, values, *sums, weights=shared_w, variance=var, per_plane=per_plane,
                               threads=workers, **arrays)
            return
        # A mean holds one output tile of each plane in scratch memory per
        # thread: planes go in groups of MEAN_PLANES, each group a call (the
        # geometry found again), the shared weight added by the first only.
        assert sums.value is not None
        for g in range(0, k, MEAN_PLANES):
            part = slice(g, min(k, g + MEAN_PLANES))
            weight = sums.weight
            if weight is not None and per_plane:
                weight = weight[part]
            elif g > 0:
                weight = None
            _engine.accumulate(xs, ys, values[part], sums.value[part], weight, None, None, weights=shared_w,
                               per_plane=per_plane, threads=workers, mean=True, **arrays)
        return
    if sums.weight is not None and sums.weight.shape[0] != k:
        raise ValueError("weights that differ between planes need one weight plane per plane")
    for p in range(k):
        one = [None if s is None else s[p:p + 1] for s in sums]
        _engine.accumulate(xs, ys, values[p:p + 1], *one, weights=engine_array(w[p]),
                           variance=None if var is None else var[p:p + 1], threads=workers, mean=mean,
                           **arrays)


def shares_coverage(planes: F64, missing: Optional[npt.NDArray[np.bool_]] = None) -> bool:
    """Whether the planes ``(k, ny, nx)`` miss (hold NaN at) the same
    pixels, so that one weight plane serves them all (`missing`: their
    NaN map, when at hand)."""
    if planes.shape[0] <= 1:
        return True
    missing = np.isnan(planes) if missing is None else missing
    return not missing.any() or bool((missing == missing[:1]).all())


def _tile_span(vmin: F64, vmax: F64, cells: int) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """The tiles ``[lo, hi]`` along one axis that extents ``[vmin, vmax]``
    may reach, widened by a millionth of a tile as the engine widens them
    (``lo > hi`` where an extent misses the grid or only touches it)."""
    tiles = -(-cells // TILE)
    with np.errstate(invalid="ignore"):
        hit = (vmax > -0.5) & (vmin < cells - 0.5)
        lo = np.clip(np.floor((vmin + 0.5) / TILE - 1e-6), 0, tiles - 1)
        hi = np.clip(np.floor((vmax + 0.5) / TILE + 1e-6), 0, tiles - 1)
    lo = np.where(hit, lo, 1).astype(np.intp)
    hi = np.where(hit, hi, 0).astype(np.intp)
    return lo, hi


def _reach_pairs(qx: F64, qy: F64, shape_out: tuple[int, int]) -> tuple[npt.NDArray[np.intp],
                                                                         npt.NDArray[np.intp]]:
    """(item, tile) pairs: every tile that each quad's bounding box reaches
    (quads ``(n, 4)`` of x and y corners; quads with a corner that is not
    finite reach none)."""
    ntx = -(-shape_out[1] // TILE)
    finite = np.isfinite(qx).all(axis=1) & np.isfinite(qy).all(axis=1)
    x0, x1 = _tile_span(qx.min(axis=1), qx.max(axis=1), shape_out[1])
    y0, y1 = _tile_span(qy.min(axis=1), qy.max(axis=1), shape_out[0])
    nxs = np.where(finite, np.maximum(x1 - x0 + 1, 0), 0)
    nys = np.where(finite, np.maximum(y1 - y0 + 1, 0), 0)
    count = nxs * nys
    item = np.repeat(np.arange(len(qx)), count)
    k = np.arange(int(count.sum())) - np.repeat(np.cumsum(count) - count, count)
    ty = y0[item] + k // nxs[item]
    tx = x0[item] + k % nxs[item]
    return item, ty * ntx + tx


def tile_reach(xs: F64, ys: F64, whole: npt.NDArray[np.bool_], pieces: Pieces,
               shape_out: tuple[int, int]) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp],
                                                    npt.NDArray[np.intp]]:
    """Which output tiles the quads of an input may reach: for every tile
    that whole pixels reach, the tile's number (row-major) and the bounding
    rows and columns ``(j_min, j_max, i_min, i_max)`` of those pixels; and
    for every piece, each tile it reaches, as (piece, tile) pairs. Every
    quad that overlaps a tile's cells is counted in it (bounding boxes, so
    a few that do not may be too)."""
    j, i = np.nonzero(whole)
    qx = np.stack([xs[j, i], xs[j, i + 1], xs[j + 1, i + 1], xs[j + 1, i]], axis=1)
    qy = np.stack([ys[j, i], ys[j, i + 1], ys[j + 1, i + 1], ys[j + 1, i]], axis=1)
    item, tile = _reach_pairs(qx, qy, shape_out)
    used, slot = np.unique(tile, return_inverse=True)
    bounds = np.empty((len(used), 4), dtype=np.intp)
    big = np.iinfo(np.intp).max
    for col, (rows_or_cols, reduce, start) in enumerate(((j, np.minimum, big), (j, np.maximum, -1),
                                                         (i, np.minimum, big), (i, np.maximum, -1))):
        out = np.full(len(used), start, dtype=np.intp)
        reduce.at(out, slot, rows_or_cols[item])
        bounds[:, col] = out
    pitem, ptile = _reach_pairs(pieces.quads[:, :, 0], pieces.quads[:, :, 1], shape_out)
    return used.astype(np.intp), bounds, np.stack([pitem, ptile], axis=1).astype(np.intp)
