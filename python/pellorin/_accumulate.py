"""Area-overlap accumulation: input pixels (whole or in pieces) onto an
output grid, as the sums from which means, fluxes and footprints follow.

The one entry point is `accumulate`; its docstring is the contract that any
implementation of it keeps. This implementation hands the quadrilaterals to
``_pellorin.rebin_quads`` in tiles of the output, each with coordinates
relative to the tile and a grid padded so that no quadrilateral crosses its
edge.
"""

from __future__ import annotations

from typing import NamedTuple, Optional

import numpy as np
import numpy.typing as npt

import _pellorin

__all__ = ["Pieces", "Sums", "accumulate", "no_pieces"]

F64 = npt.NDArray[np.float64]

# Output tiles are _TILE x _TILE cells. Inside a tile the kernel sees
# coordinates within about _TILE / 2 + padding of zero, so the shoelace
# products it rounds are at most ~(_TILE / 2)^2 and the relative error of a
# unit cell's area stays near eps * (_TILE / 2)^2 ~ 1e-12.
_TILE = 128
# Most cells a tile's grid is padded by on each side to hold its quads whole.
_PAD_LIMIT = _TILE


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


def no_pieces() -> Pieces:
    """An empty piece list."""
    return Pieces(np.empty((0, 4, 2)), np.empty(0, dtype=np.intp), np.empty(0))


def accumulate(xs: F64, ys: F64, planes: F64, whole: npt.NDArray[np.bool_], pieces: Pieces,
               sums: Sums, *, weights: Optional[F64] = None, threads: Optional[int] = None) -> None:
    """Add the area overlaps of input pixels with the output cells to `sums`.

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
        accumulator that is not wanted. The output grid is
        ``ny_out x nx_out`` cells; cell ``(r, c)`` is the unit square
        ``[c - 0.5, c + 0.5] x [r - 0.5, r + 0.5]``.
    weights : float64, shape (k, ny, nx) or broadcastable to it, optional
        A finite weight ``w >= 0`` per input pixel and plane; 1 when None.
    threads : int, optional
        Number of threads the work may use; None for all the cores
        available to the process. Results do not depend on it.

    Notes
    -----
    Contributions. Each whole pixel and each piece is a quad ``q`` with a
    source pixel ``(j, i)`` and a share ``s`` (1 for a whole pixel). Its
    mapped area is ``|q|`` (output pixels); ``A = |q| / s`` estimates the
    whole source pixel's mapped area. For each plane ``p`` with
    ``v = planes[p, j, i]`` not NaN, ``w`` the weight, and every cell ``c``
    that ``q`` overlaps with area ``a = |q intersect c|`` (output pixels;
    parts of ``q`` outside the grid count nowhere)::

        value[p, c]  += w * a * v
        weight[p, c] += w * a
        flux[p, c]   += w * a * v / A      (= w * s * v * a / |q|)

    so that ``value / weight`` is the area-weighted mean (NaN where
    ``weight`` is 0), ``flux`` shares each pixel's value ``v`` over the cells
    in proportion to the area it covers there, and ``weight`` (with unit
    weights) is the covered fraction of each cell.

    Skipped, contributing nothing to any accumulator: quads with a NaN or
    infinite corner, quads of zero area, and, for plane ``p``, pixels whose
    value in that plane is NaN. Quads that only touch a cell (an edge or a
    corner on its boundary) add nothing to it.

    Rounding. Every term is rounded in float64 and the sums run in float64
    in an order that is fixed for given inputs and thread count-independent;
    the order itself is not part of the contract. Each accumulated cell
    agrees with the exact sum of its terms to about 1e-12 of the sum of
    their magnitudes (areas are computed from coordinates relative to the
    part of the grid they lie in), and a cell that no quad overlaps holds
    exactly what it held before.

    Variance, when wanted, joins as one more accumulator of the same shape,
    ``sum((w * a)^2 * var)`` with ``var`` a per-pixel plane like `planes`;
    this implementation does not provide it.

    This implementation works on the calling thread; `threads` is accepted
    and not used.
    """
    del threads  # one thread here; the contract allows any number
    ny, nx = whole.shape
    k = planes.shape[0]
    wanted = [s for s in sums if s is not None]
    if not wanted or k == 0 or wanted[0].shape[1] == 0 or wanted[0].shape[2] == 0:
        return
    shape_out = (wanted[0].shape[1], wanted[0].shape[2])
    w = None if weights is None else np.broadcast_to(weights, planes.shape)
    tiles = _Tiles(xs, ys, whole, pieces, shape_out)
    if tiles.count == 0:
        return
    valid = ~np.isnan(planes.reshape(k, ny * nx))
    # One weight plane serves every plane when the planes miss the same
    # pixels and carry the same weights.
    shared_weight = bool((valid == valid[0]).all()) and (
        w is None or bool((w == w[0]).all()))
    flat = planes.reshape(k, ny * nx)
    wflat = None if w is None else w.reshape(k, ny * nx)
    for t in range(tiles.ntiles):
        if tiles.starts[t + 1] == tiles.starts[t] and tiles.pstarts[t + 1] == tiles.pstarts[t]:
            continue
        _accumulate_tile(tiles, t, flat, valid, wflat, sums, shared_weight)


class _Tiles:
    """The quads that can reach the output, grouped by output tile.

    Tiles are _TILE x _TILE blocks of output cells, numbered row-major,
    ntx per row. The whole pixels of tile t are entries starts[t]:starts[t+1]
    of `base` (the lattice index of each pixel's (i - .5, j - .5) corner);
    its pieces are entries pstarts[t]:pstarts[t+1] of `pid` (indices into the
    piece list). A quad that reaches several tiles is listed under each."""

    def __init__(self, xs: F64, ys: F64, whole: npt.NDArray[np.bool_], pieces: Pieces,
                 shape_out: tuple[int, int]) -> None:
        ny, nx = whole.shape
        ny_out, nx_out = shape_out
        ntx, nty = -(-nx_out // _TILE), -(-ny_out // _TILE)
        self.ntx, self.ntiles, self.nx = ntx, ntx * nty, nx
        # The lattice as complex x + iy: one gather fetches both coordinates
        # of a corner, and a complex subtraction is the two real ones.
        self.lattice = np.empty(xs.size, dtype=np.complex128)
        self.lattice.real = xs.ravel()
        self.lattice.imag = ys.ravel()
        # Flat lattice offsets of a pixel's corners from its (i - .5, j - .5)
        # corner, in the quad's order; a lattice row has nx + 1 points.
        self.offsets = np.array([0, 1, nx + 2, nx + 1], dtype=np.intp)
        finite = bool(np.isfinite(xs).all() and np.isfinite(ys).all())

        # The tile column and row of every lattice point, from 0 to ntx + 1
        # and nty + 1: 0 and the last stand for everything left of (below)
        # and right of (above) the output's tiles; a NaN coordinate gets -1.
        def tile_coord(lat: F64, n: int) -> F64:
            t = lat + 0.5
            t *= 1.0 / _TILE
            np.floor(t, out=t)
            np.clip(t, -1.0, float(n), out=t)
            if not finite:
                t[np.isnan(t)] = -2.0
            t += 1.0
            return t

        stride = ntx + 2
        key_f = tile_coord(ys, nty)
        key_f *= stride
        key_f += tile_coord(xs, ntx)
        key_f += stride + 1  # every key >= 0
        key = key_f.astype(np.int32)
        del key_f
        # The output tile of each key; -1 for keys outside the output's tiles.
        lut = np.full((nty + 3) * stride + 1, -1, dtype=np.int32)
        rows = np.arange(1, nty + 1)[:, None] * stride + np.arange(1, ntx + 1) + stride + 1
        lut[rows.ravel()] = np.arange(ntx * nty, dtype=np.int32)

        # A quad whose four corners lie in one tile's rectangle lies in it
        # (it is convex): that tile, or nothing if the rectangle is outside.
        k00 = key[:-1, :-1]
        single = k00 == key[:-1, 1:]
        single &= k00 == key[1:, 1:]
        single &= k00 == key[1:, :-1]
        tile = lut[k00]
        del key
        # Masks with a spare last column: their flat indices are lattice
        # indices of the (i - .5, j - .5) corners.
        mask = np.zeros((ny, nx + 1), dtype=bool)
        inner = mask[:, :nx]
        np.logical_and(single, tile >= 0, out=inner)
        inner &= whole
        base_one = np.flatnonzero(mask)
        tile_one = tile[inner]
        del tile
        np.logical_not(single, out=inner)
        inner &= whole
        base_many = np.flatnonzero(mask)
        del mask, inner, single

        # The quads whose corners lie in several tiles, and the pieces:
        # bounding boxes from their corners, kept when finite and
        # overlapping the output's area [-0.5, nx_out - 0.5] x
        # [-0.5, ny_out - 0.5] with positive extent (a box that only touches
        # it adds no area).
        corners = self.lattice[base_many[:, None] + self.offsets]
        self.piece_corners = np.empty((len(pieces.quads), 4), dtype=np.complex128)
        self.piece_corners.real = pieces.quads[:, :, 0]
        self.piece_corners.imag = pieces.quads[:, :, 1]
        self.piece_source = pieces.source
        self.piece_share = pieces.share

        def boxes(c: npt.NDArray[np.complex128]) -> tuple[F64, F64, F64, F64, npt.NDArray[np.bool_]]:
            cx, cy = c.real, c.imag
            xmin, xmax = cx.min(axis=1), cx.max(axis=1)
            ymin, ymax = cy.min(axis=1), cy.max(axis=1)
            with np.errstate(invalid="ignore"):
                ok = np.isfinite(cx).all(axis=1) & np.isfinite(cy).all(axis=1)
                ok &= (xmax > -0.5) & (xmin < nx_out - 0.5) & (ymax > -0.5) & (ymin < ny_out - 0.5)
            return xmin, xmax, ymin, ymax, ok

        def tile_range(c: F64, n: int) -> npt.NDArray[np.intp]:
            return np.clip(np.floor((c + 0.5) * (1.0 / _TILE)), 0, n - 1).astype(np.intp)

        def spread(xmin: F64, xmax: F64, ymin: F64,
                   ymax: F64) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
            """(owner, tile) pairs: each box listed under every tile it reaches."""
            tx0, ty0 = tile_range(xmin, ntx), tile_range(ymin, nty)
            wx = tile_range(xmax, ntx) - tx0 + 1
            count = wx * (tile_range(ymax, nty) - ty0 + 1)
            owner = np.repeat(np.arange(len(count), dtype=np.intp), count)
            step = np.arange(len(owner), dtype=np.intp) - np.repeat(np.cumsum(count) - count, count)
            w = wx[owner]
            return owner, (ty0[owner] + step // w) * ntx + tx0[owner] + step % w

        xmin, xmax, ymin, ymax, ok = boxes(corners)
        base_many = base_many[ok]
        xmin, xmax, ymin, ymax = xmin[ok], xmax[ok], ymin[ok], ymax[ok]
        owner, tile_many = spread(xmin, xmax, ymin, ymax)
        base_many = base_many[owner]

        pxmin, pxmax, pymin, pymax, pok = boxes(self.piece_corners)
        pid = np.flatnonzero(pok)
        pxmin, pxmax, pymin, pymax = pxmin[pok], pxmax[pok], pymin[pok], pymax[pok]
        powner, tile_piece = spread(pxmin, pxmax, pymin, pymax)
        self.pid, self.pstarts = _group(pid[powner], tile_piece, self.ntiles)

        tiles = np.concatenate([tile_one, tile_many.astype(np.int32)])
        self.base, self.starts = _group(np.concatenate([base_one, base_many]), tiles, self.ntiles)
        self.count = len(self.base) + len(self.pid)

        # What each tile's grid must hold: the tile's whole rectangle (its
        # single-tile quads lie in it), widened by the boxes of the quads
        # that reach it from several tiles.
        col = np.arange(ntx, dtype=np.float64) * _TILE - 0.5
        row = np.arange(nty, dtype=np.float64) * _TILE - 0.5
        self.xlo = np.tile(col, nty)
        self.xhi = self.xlo + _TILE
        self.ylo = np.repeat(row, ntx)
        self.yhi = self.ylo + _TILE
        for tl, lo, hi, ylo, yhi in ((tile_many, xmin[owner], xmax[owner], ymin[owner], ymax[owner]),
                                     (tile_piece, pxmin[powner], pxmax[powner], pymin[powner],
                                      pymax[powner])):
            np.minimum.at(self.xlo, tl, lo)
            np.maximum.at(self.xhi, tl, hi)
            np.minimum.at(self.ylo, tl, ylo)
            np.maximum.at(self.yhi, tl, yhi)

    def local_quads(self, t: int, sx: int, sy: int) -> F64:
        """The quads of tile t (whole pixels, then pieces) as an (n, 4, 2)
        array, shifted by the integers (sx, sy).

        Subtracting an integer from a coordinate of the tile is exact
        whenever the coordinate is at least half the shift (Sterbenz), which
        holds for every quad that lies near its tile away from the origin;
        near the origin the shift is small and so is any rounding."""
        base = self.base[self.starts[t]:self.starts[t + 1]]
        pid = self.pid[self.pstarts[t]:self.pstarts[t + 1]]
        q = np.empty((len(base) + len(pid), 4), dtype=np.complex128)
        shift = complex(sx, sy)
        for corner, offset in enumerate(self.offsets):
            np.subtract(self.lattice[base + offset], shift, out=q[:len(base), corner])
        np.subtract(self.piece_corners[pid], shift, out=q[len(base):])
        return q.view(np.float64).reshape(len(q), 4, 2)

    def sources(self, t: int) -> tuple[npt.NDArray[np.intp], F64]:
        """Flat source pixel and share of each quad of tile t, in the order
        of `local_quads`."""
        base = self.base[self.starts[t]:self.starts[t + 1]]
        pid = self.pid[self.pstarts[t]:self.pstarts[t + 1]]
        # Lattice index -> pixel index: j * (nx + 1) + i -> j * nx + i.
        src = np.concatenate([base - base // (self.nx + 1), self.piece_source[pid]])
        share = np.concatenate([np.ones(len(base)), self.piece_share[pid]])
        return src, share


def _group(items: npt.NDArray[np.intp], keys: npt.NDArray[np.integer],
           n: int) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """`items` sorted by key (stably) and the start of each key's run."""
    # A stable sort of 8- or 16-bit keys is a radix sort in NumPy: linear
    # time, one pass per byte.
    narrow = np.uint8 if n <= 1 << 8 else np.uint16
    order = np.argsort(keys.astype(narrow) if n <= 1 << 16 else keys, kind="stable")
    starts = np.zeros(n + 1, dtype=np.intp)
    np.cumsum(np.bincount(keys, minlength=n), out=starts[1:])
    return items[order], starts


def _quad_area(q: F64) -> F64:
    """Area of each quad of an (n, 4, 2) array, from coordinates near zero:
    half the cross product of the diagonals (the shoelace sum, regrouped)."""
    d1 = q[:, 2] - q[:, 0]
    d2 = q[:, 3] - q[:, 1]
    return np.abs(d1[:, 0] * d2[:, 1] - d1[:, 1] * d2[:, 0]) * 0.5


def _span(core_lo: int, core_hi: int, lo: float, hi: float) -> tuple[int, int, bool]:
    """Padded cell range [p0, p1) around the core cells [core_lo, core_hi)
    that holds the interval [lo, hi]: cell c spans [c - .5, c + .5]. At
    least one cell of padding, at most _PAD_LIMIT, on each side; the flag
    tells whether the range holds the interval whole."""
    first, last = np.floor(lo + 0.5), np.floor(hi + 0.5)
    whole = bool(first >= core_lo - _PAD_LIMIT and last <= core_hi + _PAD_LIMIT)
    p0 = min(core_lo - 1, int(max(first, core_lo - _PAD_LIMIT)))
    p1 = max(core_hi + 1, int(min(last, core_hi + _PAD_LIMIT)) + 1)
    return p0, p1, whole


def _covered_area(q: F64, gx: F64, gy: F64) -> F64:
    """Sum of the quads' overlap areas in each cell of the grid of centres
    (gx, gy), indexed [x, y], also where quads cross the grid's edge.

    One "mean" call over the quads with value 0, preceded by a reference
    square of area 0.25 and value 1 inside every cell: a cell's result is
    0.25 / (0.25 + covered area), exactly 0.25 over the weight as summed.
    Inverting it leaves an absolute error of a few units of 2^-53 times
    (0.25 + covered area); a cell covered by less than about 1e-17 of its
    area comes out as 0."""
    mx, my = np.meshgrid(gx, gy, indexing="ij")  # [x, y] order, as the kernel's cells
    cx, cy = mx.ravel(), my.ravel()
    ref = np.empty((cx.size, 4, 2), dtype=np.float64)
    ref[:, 0, 0] = ref[:, 3, 0] = cx - 0.25
    ref[:, 1, 0] = ref[:, 2, 0] = cx + 0.25
    ref[:, 0, 1] = ref[:, 1, 1] = cy - 0.25
    ref[:, 2, 1] = ref[:, 3, 1] = cy + 0.25
    values = np.zeros(cx.size + len(q), dtype=np.float64)
    values[:cx.size] = 1.0
    ratio = _pellorin.rebin_quads(np.concatenate([ref, q]), values, output_x=gx, output_y=gy,
                                  mode="mean")
    return 0.25 / ratio - 0.25


def _accumulate_tile(tiles: _Tiles, t: int, flat: F64, valid: npt.NDArray[np.bool_],
                     wflat: Optional[F64], sums: Sums, shared_weight: bool) -> None:
    ny_out, nx_out = next(s for s in sums if s is not None).shape[1:]
    ty, tx = divmod(t, tiles.ntx)
    c0, c1 = tx * _TILE, min((tx + 1) * _TILE, nx_out)
    r0, r1 = ty * _TILE, min((ty + 1) * _TILE, ny_out)
    sx, sy = (c0 + c1) // 2, (r0 + r1) // 2
    q = tiles.local_quads(t, sx, sy)
    src, share = tiles.sources(t)
    px0, px1, whole_x = _span(c0, c1, tiles.xlo[t], tiles.xhi[t])
    py0, py1, whole_y = _span(r0, r1, tiles.ylo[t], tiles.yhi[t])
    # Cell centres relative to the shift: small integers, exact.
    gx = np.arange(px0 - sx, px1 - sx, dtype=np.float64)
    gy = np.arange(py0 - sy, py1 - sy, dtype=np.float64)
    # The kernel's result is indexed [x, y]; its transpose is [y, x].
    crop = (slice(r0 - py0, r1 - py0), slice(c0 - px0, c1 - px0))
    area = _quad_area(q)
    held = whole_x and whole_y
    if held:
        # Every quad lies inside the padded grid, so in "sum" mode the kernel
        # shares a quad's value over the cells in proportion a / (its area):
        # a value of f * area gives f * a in each cell.
        def spread(factor: F64) -> F64:
            return _pellorin.rebin_quads(q, factor * area, output_x=gx, output_y=gy,
                                         mode="sum").T[crop]
    else:
        # Some quad reaches past the padding limit: the kernel's "mean" mode
        # still clips each quad cell by cell, and sum(f a) is that mean
        # times the covered area sum(a).
        cover = _covered_area(q, gx, gy).T[crop]

        def spread(factor: F64) -> F64:
            mean = _pellorin.rebin_quads(q, factor, output_x=gx, output_y=gy, mode="mean").T[crop]
            return mean * cover

    with np.errstate(divide="ignore", invalid="ignore"):
        inv_area = np.where(area > 0.0, 1.0 / area, 0.0)
    weight_done: Optional[F64] = None
    for p in range(flat.shape[0]):
        v = flat[p, src]
        ok = valid[p, src]
        w = np.ones(len(src)) if wflat is None else wflat[p, src]
        w = np.where(ok, w, 0.0)
        v = np.where(ok, v, 0.0)
        cells = (p, slice(r0, r1), slice(c0, c1))
        if sums.value is not None:
            sums.value[cells] += spread(w * v)
        if sums.weight is not None:
            if weight_done is None or not shared_weight:
                weight_done = spread(w)
            sums.weight[cells] += weight_done
        if sums.flux is not None:
            sums.flux[cells] += spread(w * v * share * inv_area)  # w s v a / |q|
