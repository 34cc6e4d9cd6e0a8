"""Flux-conserving reprojection of an image through a geometric map.

Every input pixel is a quadrilateral: its four corners, mapped into the
output's pixel coordinates, are clipped against the output cells by
``_pellorin.rebin_quads``. This module builds those quadrilaterals from a
transform evaluated once on the corner lattice and hands them to the kernel
in tiles of the output, each with coordinates relative to the tile and a
grid padded so that no quadrilateral crosses its edge.
"""

from __future__ import annotations

import operator
from typing import Any, Callable, Literal, Protocol, Union, overload

import numpy as np
import numpy.typing as npt

import _pellorin

__all__ = ["pixel_quads", "reproject", "WCSLike", "PixelTransform"]


class WCSLike(Protocol):
    """Any object with astropy's shared WCS interface (duck-typed)."""

    def pixel_to_world_values(self, *pixel_arrays: Any) -> Any: ...

    def world_to_pixel_values(self, *world_arrays: Any) -> Any: ...


#: A vectorised map ``(x, y) -> (x_out, y_out)`` on float64 arrays.
PixelTransform = Callable[[npt.NDArray[np.float64], npt.NDArray[np.float64]],
                          tuple[npt.ArrayLike, npt.ArrayLike]]

# Output tiles are _TILE x _TILE cells. Inside a tile the kernel sees
# coordinates within about _TILE / 2 + padding of zero, so the shoelace
# products it rounds are at most ~(_TILE / 2)^2 and the relative error of a
# unit cell's area stays near eps * (_TILE / 2)^2 ~ 1e-12.
_TILE = 128
# Most cells a tile's grid is padded by on each side to hold its quads whole.
_PAD_LIMIT = _TILE

def _corner_offsets(nx: int) -> npt.NDArray[np.intp]:
    """Flat lattice offsets of a pixel's corners from its (i - .5, j - .5)
    corner, in the order (i-.5, j-.5), (i+.5, j-.5), (i+.5, j+.5),
    (i-.5, j+.5); a lattice row has nx + 1 points."""
    return np.array([0, 1, nx + 2, nx + 1], dtype=np.intp)


def _shape2(shape: Any, name: str) -> tuple[int, int]:
    try:
        ny, nx = (operator.index(s) for s in shape)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of integers (rows, columns), got {shape!r}") from None
    if ny < 0 or nx < 0:
        raise ValueError(f"{name} must not be negative, got {(ny, nx)}")
    return ny, nx


def _lattice(transform: PixelTransform | tuple[WCSLike, WCSLike],
             shape: tuple[int, int]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The transform evaluated once on the (ny+1, nx+1) corner lattice."""
    ny, nx = shape
    x, y = np.meshgrid(np.arange(nx + 1, dtype=np.float64) - 0.5,
                       np.arange(ny + 1, dtype=np.float64) - 0.5)
    if isinstance(transform, (tuple, list)):
        if len(transform) != 2 or not all(
                hasattr(w, "pixel_to_world_values") and hasattr(w, "world_to_pixel_values")
                for w in transform):
            raise TypeError("transform must be a callable or a pair (wcs_in, wcs_out) of objects "
                            "with pixel_to_world_values and world_to_pixel_values")
        wcs_in, wcs_out = transform
        world = wcs_in.pixel_to_world_values(x, y)
        del x, y
        mapped = wcs_out.world_to_pixel_values(*world)
    elif callable(transform):
        mapped = transform(x, y)
        del x, y
    else:
        raise TypeError(f"transform must be a callable or a pair (wcs_in, wcs_out), "
                        f"got {type(transform).__name__}")
    try:
        xo, yo = mapped
    except (TypeError, ValueError):
        raise ValueError("transform must return two arrays (x_out, y_out)") from None
    lattice = (ny + 1, nx + 1)
    try:
        xs = np.ascontiguousarray(np.broadcast_to(np.asarray(xo, dtype=np.float64), lattice))
        ys = np.ascontiguousarray(np.broadcast_to(np.asarray(yo, dtype=np.float64), lattice))
    except ValueError:
        raise ValueError(f"transform returned arrays of shapes {np.shape(xo)} and {np.shape(yo)}; "
                         f"expected the corner lattice's shape {lattice}") from None
    return xs, ys


def pixel_quads(transform: PixelTransform | tuple[WCSLike, WCSLike],
                shape: tuple[int, int]) -> npt.NDArray[np.float64]:
    """Corner quadrilaterals of every pixel of an image, mapped by a transform.

    Parameters
    ----------
    transform : callable or (wcs_in, wcs_out)
        ``transform(x, y) -> (x_out, y_out)``, vectorised on float64 arrays,
        or a pair of objects with astropy's shared WCS interface, whose
        composition ``wcs_out.world_to_pixel_values(*wcs_in.pixel_to_world_values(x, y))``
        is used. It is evaluated once, on the ``(ny + 1) x (nx + 1)``
        lattice of pixel corners.
    shape : (ny, nx)
        Shape of the image: ``ny`` rows, ``nx`` columns.

    Returns
    -------
    quads : ndarray of float64, shape (ny * nx, 4, 2)
        Quad ``k = j * nx + i`` belongs to pixel ``(j, i)`` (row ``j``,
        column ``i``), matching ``data.ravel()``. Its corners are the images
        of ``(i - .5, j - .5)``, ``(i + .5, j - .5)``, ``(i + .5, j + .5)``
        and ``(i - .5, j + .5)``, in this order, each as ``(x, y)``.

    Raises
    ------
    TypeError
        If `transform` is neither a callable nor a pair of WCS-like objects,
        or `shape` is not a pair of integers.
    ValueError
        If `shape` is negative or the transform's results do not broadcast
        to the lattice's shape.

    Notes
    -----
    Pixel ``(j, i)`` has its centre at ``x = i, y = j`` and its corners at
    ``i +- 0.5, j +- 0.5``: the 0-based convention of astropy and drizzle.
    Corners that the transform maps to NaN or infinity are returned as they
    are.

    Examples
    --------
    >>> import numpy as np
    >>> import pellorin
    >>> q = pellorin.pixel_quads(lambda x, y: (2 * x, y + 10), (2, 3))
    >>> q.shape
    (6, 4, 2)
    >>> q[4]  # row 1, column 1
    array([[ 1. , 10.5],
           [ 3. , 10.5],
           [ 3. , 11.5],
           [ 1. , 11.5]])
    """
    ny, nx = _shape2(shape, "shape")
    xs, ys = _lattice(transform, (ny, nx))
    quads = np.empty((ny, nx, 4, 2), dtype=np.float64)
    for corner, (dj, di) in enumerate(((0, 0), (0, 1), (1, 1), (1, 0))):
        quads[:, :, corner, 0] = xs[dj:dj + ny, di:di + nx]
        quads[:, :, corner, 1] = ys[dj:dj + ny, di:di + nx]
    return quads.reshape(ny * nx, 4, 2)


def _quad_area(q: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Area of each quad of an (n, 4, 2) array, from coordinates near zero:
    half the cross product of the diagonals (the shoelace sum, regrouped)."""
    d1 = q[:, 2] - q[:, 0]
    d2 = q[:, 3] - q[:, 1]
    return np.abs(d1[:, 0] * d2[:, 1] - d1[:, 1] * d2[:, 0]) * 0.5


class _Tiles:
    """The input pixels that can reach the output, grouped by output tile.

    Tiles are _TILE x _TILE blocks of output cells, numbered row-major,
    ntx per row. The pixels of tile t are entries starts[t]:starts[t + 1]
    of `base` (the lattice index of each pixel's (i - .5, j - .5) corner)
    and `values`; a pixel whose quad reaches several tiles is listed under
    each of them."""

    def __init__(self, data: npt.NDArray[np.float64], xs: npt.NDArray[np.float64],
                 ys: npt.NDArray[np.float64], shape_out: tuple[int, int]) -> None:
        ny, nx = data.shape
        ny_out, nx_out = shape_out
        ntx, nty = -(-nx_out // _TILE), -(-ny_out // _TILE)
        self.ntx, self.ntiles = ntx, ntx * nty
        # The lattice as complex x + iy: one gather fetches both coordinates
        # of a corner, and a complex subtraction is the two real ones.
        self.lattice = np.empty(xs.size, dtype=np.complex128)
        self.lattice.real = xs.ravel()
        self.lattice.imag = ys.ravel()
        self.offsets = _corner_offsets(nx)
        finite = bool(np.isfinite(xs).all() and np.isfinite(ys).all())

        # The tile column and row of every lattice point, from 0 to ntx + 1
        # and nty + 1: 0 and the last stand for everything left of (below)
        # and right of (above) the output's tiles; a NaN coordinate gets -1.
        def tile_coord(lat: npt.NDArray[np.float64], n: int) -> npt.NDArray[np.float64]:
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
        real = ~np.isnan(data)
        # Masks with a spare last column: their flat indices are lattice
        # indices of the (i - .5, j - .5) corners.
        mask = np.zeros((ny, nx + 1), dtype=bool)
        inner = mask[:, :nx]
        np.logical_and(single, tile >= 0, out=inner)
        inner &= real
        base_one = np.flatnonzero(mask)
        tile_one = tile[inner]
        values_one = data[inner]
        del tile
        np.logical_not(single, out=inner)
        inner &= real
        base_many = np.flatnonzero(mask)
        del mask, inner, single, real

        # The few quads whose corners lie in several tiles: bounding boxes
        # from their corners, kept when finite and overlapping the output's
        # area [-0.5, nx_out - 0.5] x [-0.5, ny_out - 0.5] with positive
        # extent (a box that only touches it adds no area).
        corners = self.lattice[base_many[:, None] + self.offsets]
        cx, cy = corners.real, corners.imag
        xmin, xmax = cx.min(axis=1), cx.max(axis=1)
        ymin, ymax = cy.min(axis=1), cy.max(axis=1)
        with np.errstate(invalid="ignore"):
            ok = np.isfinite(cx).all(axis=1) & np.isfinite(cy).all(axis=1)
            ok &= (xmax > -0.5) & (xmin < nx_out - 0.5) & (ymax > -0.5) & (ymin < ny_out - 0.5)
        base_many = base_many[ok]
        xmin, xmax, ymin, ymax = xmin[ok], xmax[ok], ymin[ok], ymax[ok]

        def tile_range(c: npt.NDArray[np.float64], n: int) -> npt.NDArray[np.intp]:
            return np.clip(np.floor((c + 0.5) * (1.0 / _TILE)), 0, n - 1).astype(np.intp)

        tx0, ty0 = tile_range(xmin, ntx), tile_range(ymin, nty)
        wx = tile_range(xmax, ntx) - tx0 + 1
        count = wx * (tile_range(ymax, nty) - ty0 + 1)
        owner = np.repeat(np.arange(len(count), dtype=np.intp), count)
        step = np.arange(len(owner), dtype=np.intp) - np.repeat(np.cumsum(count) - count, count)
        w = wx[owner]
        tile_many = (ty0[owner] + step // w) * ntx + tx0[owner] + step % w
        base_many = base_many[owner]
        # Lattice index -> data index: j * (nx + 1) + i -> j * nx + i.
        values_many = data.ravel()[base_many - base_many // (nx + 1)]

        tiles = np.concatenate([tile_one, tile_many.astype(np.int32)])
        # A stable sort of 8- or 16-bit keys is a radix sort in NumPy:
        # linear time, one pass per byte.
        narrow = np.uint8 if self.ntiles <= 1 << 8 else np.uint16
        order = np.argsort(tiles.astype(narrow) if self.ntiles <= 1 << 16 else tiles,
                           kind="stable")
        self.base = np.concatenate([base_one, base_many])[order]
        self.values = np.concatenate([values_one, values_many])[order]
        self.starts = np.zeros(self.ntiles + 1, dtype=np.intp)
        np.cumsum(np.bincount(tiles, minlength=self.ntiles), out=self.starts[1:])

        # What each tile's grid must hold: the tile's whole rectangle (its
        # single-tile quads lie in it), widened by the boxes of the quads
        # that reach it from several tiles.
        col = np.arange(ntx, dtype=np.float64) * _TILE - 0.5
        row = np.arange(nty, dtype=np.float64) * _TILE - 0.5
        self.xlo = np.tile(col, nty)
        self.xhi = self.xlo + _TILE
        self.ylo = np.repeat(row, ntx)
        self.yhi = self.ylo + _TILE
        np.minimum.at(self.xlo, tile_many, xmin[owner])
        np.maximum.at(self.xhi, tile_many, xmax[owner])
        np.minimum.at(self.ylo, tile_many, ymin[owner])
        np.maximum.at(self.yhi, tile_many, ymax[owner])

    def local_quads(self, t: int, sx: int, sy: int) -> npt.NDArray[np.float64]:
        """The quads of tile t as an (n, 4, 2) array, shifted by the integers
        (sx, sy).

        Subtracting an integer from a coordinate of the tile is exact
        whenever the coordinate is at least half the shift (Sterbenz), which
        holds for every pixel that lies near its tile away from the origin;
        near the origin the shift is small and so is any rounding."""
        base = self.base[self.starts[t]:self.starts[t + 1]]
        q = np.empty((len(base), 4), dtype=np.complex128)
        shift = complex(sx, sy)
        for corner, offset in enumerate(self.offsets):
            np.subtract(self.lattice[base + offset], shift, out=q[:, corner])
        return q.view(np.float64).reshape(len(base), 4, 2)


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


def _covered_area(q: npt.NDArray[np.float64], gx: npt.NDArray[np.float64],
                  gy: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
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


def _touching(q: npt.NDArray[np.float64], mask: npt.NDArray[np.bool_], x0: float,
              y0: float) -> npt.NDArray[np.bool_]:
    """Which quads' bounding boxes reach a True cell of `mask`, whose cell
    [0, 0] is centred at (x0, y0) in the quads' coordinates."""
    ny, nx = mask.shape
    table = np.zeros((ny + 1, nx + 1), dtype=np.int64)
    np.cumsum(np.cumsum(mask, axis=0), axis=1, out=table[1:, 1:])

    def cells(c: npt.NDArray[np.float64], c0: float, n: int) -> npt.NDArray[np.intp]:
        return np.clip(np.floor(c - (c0 - 0.5)), 0, n - 1).astype(np.intp)

    def bounds(c: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64],
                                                    npt.NDArray[np.float64]]:
        a, b = c[:, 0], c[:, 1]
        d, e = c[:, 2], c[:, 3]
        return (np.minimum(np.minimum(a, b), np.minimum(d, e)),
                np.maximum(np.maximum(a, b), np.maximum(d, e)))

    (xlo, xhi), (ylo, yhi) = bounds(q[:, :, 0]), bounds(q[:, :, 1])
    i0, i1 = cells(xlo, x0, nx), cells(xhi, x0, nx) + 1
    j0, j1 = cells(ylo, y0, ny), cells(yhi, y0, ny) + 1
    hits = table[j1, i1] - table[j0, i1] - table[j1, i0] + table[j0, i0]
    return hits > 0


def _run(tiles: _Tiles | None, shape_out: tuple[int, int], mode: Literal["mean", "sum"],
         footprint: bool) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None]:
    ny_out, nx_out = shape_out
    fill = np.nan if mode == "mean" else 0.0
    out = np.full(shape_out, fill, dtype=np.float64)
    cover = np.zeros(shape_out, dtype=np.float64) if footprint else None
    if tiles is None:
        return out, cover
    starts, ntx = tiles.starts, tiles.ntx
    for t in np.flatnonzero(starts[1:] > starts[:-1]):
        ty, tx = divmod(int(t), ntx)
        c0, c1 = tx * _TILE, min((tx + 1) * _TILE, nx_out)
        r0, r1 = ty * _TILE, min((ty + 1) * _TILE, ny_out)
        sx, sy = (c0 + c1) // 2, (r0 + r1) // 2
        q = tiles.local_quads(int(t), sx, sy)
        px0, px1, whole_x = _span(c0, c1, tiles.xlo[t], tiles.xhi[t])
        py0, py1, whole_y = _span(r0, r1, tiles.ylo[t], tiles.yhi[t])
        # Cell centres relative to the shift: small integers, exact.
        gx = np.arange(px0 - sx, px1 - sx, dtype=np.float64)
        gy = np.arange(py0 - sy, py1 - sy, dtype=np.float64)
        # The kernel's result is indexed [x, y]; its transpose is [y, x].
        crop = (slice(r0 - py0, r1 - py0), slice(c0 - px0, c1 - px0))
        values = tiles.values[starts[t]:starts[t + 1]]
        if whole_x and whole_y:
            res = _pellorin.rebin_quads(q, values, output_x=gx, output_y=gy, mode=mode).T[crop]
            cov = None
            qc: npt.NDArray[np.float64] | None = q if footprint else None
            if mode == "mean" and not footprint:
                # An uncovered cell comes back as 0.0. Only the quads that
                # reach a cell holding exactly 0.0 decide whether it is
                # covered (a mean of 0) or not (NaN).
                zero = res == 0.0
                qc = q[_touching(q, zero, c0 - sx, r0 - sy)] if zero.any() else None
            if footprint or qc is not None:
                if qc is not None and len(qc):
                    # Sum mode with value = the quad's own area: each cell
                    # receives area * a / total, and total (its clipped area
                    # in the grid) is its area, since no quad crosses the
                    # padded edge.
                    cov = _pellorin.rebin_quads(qc, _quad_area(qc), output_x=gx, output_y=gy,
                                                mode="sum").T[crop]
                else:
                    cov = np.zeros_like(res)
        else:
            # Some quad reaches past the padding limit. "mean" stays exact:
            # a quad that reaches the core and crosses the padded edge spans
            # several cells, each credited with its clipped area. "sum" is
            # taken as the mean of value / area times the covered area.
            if mode == "sum":
                with np.errstate(divide="ignore", invalid="ignore"):
                    values = values / _quad_area(q)  # a zero area is never credited
            res = _pellorin.rebin_quads(q, values, output_x=gx, output_y=gy,
                                        mode="mean").T[crop]
            cov = _covered_area(q, gx, gy).T[crop]
            if mode == "sum":
                res *= cov
        if cov is not None:
            if cover is not None:
                cover[r0:r1, c0:c1] = cov
            if mode == "mean":
                res[(res == 0.0) & (cov <= 0.0)] = np.nan
        out[r0:r1, c0:c1] = res
    return out, cover


@overload
def reproject(data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: tuple[int, int], *, mode: Literal["mean", "sum"] = ...,
              return_footprint: Literal[False] = ...) -> npt.NDArray[np.float64]: ...


@overload
def reproject(data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: tuple[int, int], *, mode: Literal["mean", "sum"] = ...,
              return_footprint: Literal[True]) -> tuple[npt.NDArray[np.float64],
                                                        npt.NDArray[np.float64]]: ...


def reproject(data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: tuple[int, int], *, mode: Literal["mean", "sum"] = "mean",
              return_footprint: bool = False) -> Union[
                  npt.NDArray[np.float64], tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]]:
    """Reproject an image onto another pixel grid by exact area overlap.

    Parameters
    ----------
    data : array_like, 2-D, real
        The input image, indexed ``[y, x]`` (row, column). Integer and
        float32 images are converted to float64; the masked pixels of a
        masked array count as NaN.
    transform : callable or (wcs_in, wcs_out)
        ``transform(x, y) -> (x_out, y_out)``: a vectorised map on float64
        arrays from input pixel coordinates to output pixel coordinates;
        or a pair of objects with astropy's shared WCS interface
        (``pixel_to_world_values``, ``world_to_pixel_values``), for example
        two ``astropy.wcs.WCS``. It is evaluated once, on the corner
        lattice of the input (see `pixel_quads`).
    shape_out : (ny_out, nx_out)
        Shape of the output image.
    mode : {"mean", "sum"}, optional
        ``"mean"`` (surface brightness, the default): each output pixel is
        the overlap-area-weighted mean of the input pixels that cover it,
        NaN where none does. ``"sum"`` (flux): each input pixel's value is
        shared out in proportion to overlap area / its own area; uncovered
        output pixels are 0.
    return_footprint : bool, optional
        Also return the covered fraction of each output pixel.

    Returns
    -------
    result : ndarray of float64, shape (ny_out, nx_out)
        Indexed ``[y, x]`` like `data`.
    footprint : ndarray of float64, shape (ny_out, nx_out)
        Only with ``return_footprint=True``: the area of each output pixel
        covered by valid input pixels, as a fraction of the pixel (0 to 1 up
        to rounding, more where the map folds input pixels onto each other).

    Raises
    ------
    TypeError
        If `data` is complex or not numeric, `transform` is neither a
        callable nor a pair of WCS-like objects, or `shape_out` is not a
        pair of integers.
    ValueError
        If `data` is not 2-D, `shape_out` is negative, `mode` is unknown,
        or the transform returns arrays of the wrong shape.

    Notes
    -----
    Pixel ``(j, i)`` has its centre at ``x = i, y = j`` and its corners at
    ``i +- 0.5, j +- 0.5`` (0-based, as in astropy and drizzle), in the
    input and in the output. Every input pixel is the quadrilateral of its
    four mapped corners: straight edges between mapped corners, which is
    exact for affine maps and a planar approximation otherwise.

    Input pixels whose value is NaN, or with a corner that the transform
    maps to NaN or infinity (off the sky), are skipped: they contribute
    nothing and cover nothing.

    Exactness: overlap areas are computed by clipping each quadrilateral
    against each output cell. An input pixel crossing the output's edge
    contributes only its overlapping part: the kernel runs on a grid padded
    so that no pixel crosses the grid's edge, then the result is cropped.
    The kernel sees coordinates relative to 128 x 128 tiles of the output
    (shifts by integers, exact), so the areas keep about 1e-12 relative
    accuracy wherever the output lies. Rounding remains: each overlap area
    is rounded, sums run in float64 in input order, in "sum" mode each
    share is value * overlap / (sum of the pixel's overlaps), equal to
    value * overlap / area up to rounding, and the footprint is the sum of
    the overlaps.

    The padding is at most 128 cells. In a tile where some input pixel
    reaches further (an input pixel wider than 128 output pixels), "mean"
    is unchanged (a pixel crossing the padded edge is clipped cell by
    cell), and "sum" and the footprint are taken as the mean of value /
    area times the covered area, with one more kernel call: exact to a few
    units of 2^-53 of a cell, and cells covered by less than about 1e-17 of
    their area count as uncovered.

    Kernel calls: one per output tile that input pixels reach; in "mean"
    mode a second, over only the input pixels that reach cells holding
    exactly 0.0, for tiles that have such cells (to tell a mean of 0 from
    an uncovered cell); ``return_footprint=True`` makes the second call
    over every pixel of the tile.

    Examples
    --------
    Shift a 4 x 4 image by half a pixel to the right, onto a 4 x 5 grid:

    >>> import numpy as np
    >>> import pellorin
    >>> data = np.arange(16.0).reshape(4, 4)
    >>> out = pellorin.reproject(data, lambda x, y: (x + 0.5, y), (4, 5))
    >>> out[0]
    array([0. , 0.5, 1.5, 2.5, 3. ])
    >>> flux = pellorin.reproject(data, lambda x, y: (x + 0.5, y), (4, 5), mode="sum")
    >>> float(flux.sum()) == float(data.sum())
    True
    >>> out, footprint = pellorin.reproject(data, lambda x, y: (x + 0.5, y), (4, 5),
    ...                                    return_footprint=True)
    >>> footprint[0]
    array([0.5, 1. , 1. , 1. , 0.5])
    """
    if mode not in ("mean", "sum"):
        raise ValueError(f"mode must be 'mean' or 'sum', got {mode!r}")
    arr = np.asarray(data)
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"data must be a real numeric array, got dtype {arr.dtype}")
    if arr.ndim != 2:
        raise ValueError(f"data must be 2-D, got {arr.ndim} dimension(s)")
    if isinstance(data, np.ma.MaskedArray):
        arr = np.ma.filled(data.astype(np.float64), np.nan)  # masked pixels as NaN
    else:
        arr = np.asarray(arr, dtype=np.float64)
    out_shape = _shape2(shape_out, "shape_out")
    xs, ys = _lattice(transform, (arr.shape[0], arr.shape[1]))
    tiles = None if arr.size == 0 or 0 in out_shape else _Tiles(arr, xs, ys, out_shape)
    del xs, ys
    result, cover = _run(tiles, out_shape, mode, bool(return_footprint))
    if return_footprint:
        assert cover is not None
        return result, cover
    return result
