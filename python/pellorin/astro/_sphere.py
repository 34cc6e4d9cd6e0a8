"""Reprojection with pixels as spherical polygons: every input pixel and
every output pixel is the polygon of its corners on the sky joined by
great-circle arcs, and overlaps are solid angles. The engine clips and
sums; this module finds the corners on the sky (in the output's celestial
frame), the polygons of pixels partly off the sky, and for each input
pixel the output rows and columns it may reach.
"""

from __future__ import annotations

import math
from typing import Any, Callable, NamedTuple

import numpy as np
import numpy.typing as npt
from astropy import units as u
from astropy.coordinates import SkyCoord, UnitSphericalRepresentation
from astropy.wcs.wcsapi import BaseHighLevelWCS, HighLevelWCSWrapper

from .. import _engine
from .._accumulate import shares_coverage
from .._reproject import _allocate
from .._wcs_pair import wcs_pair_map

_F64 = npt.NDArray[np.float64]
_I64 = npt.NDArray[np.int64]

# The largest planar_error for which geometry="auto" takes pixels as planar.
PLANAR_TOLERANCE = 1e-5
# The engine's most vertices of a polygon.
_MAX_VERTICES = 6
# Points per edge at which the output position of an input pixel's edges is
# sampled, for pixels that one quad does not represent in the output's
# plane (across a seam, around a pole, partly off the sky).
_EDGE_SAMPLES = 8
# Halvings of a pixel edge that locate where it leaves the sky: to the
# last bits of a pixel coordinate.
_BISECTIONS = 52


def _unit_vectors(sky: SkyCoord) -> _F64:
    c = sky.represent_as(UnitSphericalRepresentation).to_cartesian()
    return np.stack([c.x.value, c.y.value, c.z.value], axis=-1)


def _high_level(wcs: Any) -> Any:
    return wcs if isinstance(wcs, BaseHighLevelWCS) else HighLevelWCSWrapper(wcs)


class _Side:
    """One side of the reprojection: a celestial WCS and its pixel grid,
    with the unit vectors of the corners (in `frame`, the output's) and the
    polygons of the pixels partly off the sky."""

    def __init__(self, wcs: Any, ny: int, nx: int, frame: Any = None) -> None:
        self.high = _high_level(wcs)
        self.low = self.high.low_level_wcs
        self.ny, self.nx = ny, nx
        y, x = np.mgrid[0:ny + 1, 0:nx + 1].astype(np.float64) - 0.5
        sky = self.high.pixel_to_world(x, y)
        if not isinstance(sky, SkyCoord):
            raise ValueError("the WCS does not give celestial coordinates")
        self.frame = sky.frame.replicate_without_data() if frame is None else frame
        self.vectors = self._to_frame(sky)

    def _to_frame(self, sky: SkyCoord) -> _F64:
        if not sky.frame.is_equivalent_frame(self.frame):
            sky = sky.transform_to(self.frame)
        return np.ascontiguousarray(_unit_vectors(sky), dtype=np.float64)

    def _on_sky(self, x: _F64, y: _F64) -> npt.NDArray[np.bool_]:
        world = self.low.pixel_to_world_values(x, y)
        return np.asarray(np.isfinite(world[0]) & np.isfinite(world[1]), dtype=bool)

    def _leaving_points(self, x_in: _F64, y_in: _F64, x_out: _F64, y_out: _F64) -> _F64:
        """Where segments from a point on the sky to one off it leave the
        sky: the last point on it, by bisection, as unit vectors."""
        for _ in range(_BISECTIONS):
            xm, ym = 0.5 * (x_in + x_out), 0.5 * (y_in + y_out)
            on = self._on_sky(xm, ym)
            x_in, y_in = np.where(on, xm, x_in), np.where(on, ym, y_in)
            x_out, y_out = np.where(on, x_out, xm), np.where(on, y_out, ym)
        return self._to_frame(self.high.pixel_to_world(x_in, y_in))

    def patches(self) -> tuple[_F64, _I64] | tuple[None, None]:
        """(patches, patch_index) for the engine: each pixel with a corner
        off the sky is the polygon of its corners on the sky and the points
        where its edges leave the sky, in the order of its outline. A
        point is located once per lattice edge, so that neighbours share
        it."""
        finite: npt.NDArray[np.bool_] = np.asarray(np.isfinite(self.vectors).all(axis=-1), dtype=bool)
        if finite.all():
            return None, None
        ny, nx = self.ny, self.nx
        # Corners of pixel (r, c): q0 (r, c), q1 (r, c + 1), q2 (r + 1, c + 1),
        # q3 (r + 1, c); edge k runs from q_k to q_{k+1}: rows r and r + 1 of
        # the horizontal edges, columns c + 1 and c of the vertical ones.
        h_mixed = finite[:, :-1] != finite[:, 1:]          # (ny + 1, nx)
        v_mixed = finite[:-1, :] != finite[1:, :]          # (ny, nx + 1)
        points = np.full((ny + 1, nx, 3), np.nan), np.full((ny, nx + 1, 3), np.nan)
        for mixed, store, (dr, dc) in ((h_mixed, points[0], (0, 1)), (v_mixed, points[1], (1, 0))):
            r, c = np.nonzero(mixed)
            if r.size == 0:
                continue
            first_on = finite[r, c]
            xa, ya = c - 0.5, r - 0.5
            xb, yb = xa + dc, ya + dr
            store[r, c] = self._leaving_points(np.where(first_on, xa, xb), np.where(first_on, ya, yb),
                                               np.where(first_on, xb, xa), np.where(first_on, yb, ya))
        quad_finite = np.stack([finite[:-1, :-1], finite[:-1, 1:], finite[1:, 1:], finite[1:, :-1]], -1)
        partial = quad_finite.any(-1) & ~quad_finite.all(-1)
        r, c = np.nonzero(partial)
        corners = np.stack([self.vectors[r, c], self.vectors[r, c + 1], self.vectors[r + 1, c + 1],
                            self.vectors[r + 1, c]], 1)
        edges = np.stack([points[0][r, c], points[1][r, c + 1], points[0][r + 1, c], points[1][r, c]], 1)
        # The outline q0, e0, q1, e1, ...: the corners on the sky and the
        # points on the edges that leave it, moved to the front in order.
        outline = np.stack([corners, edges], 2).reshape(r.size, 8, 3)
        keep = np.isfinite(outline).all(-1)
        order = np.argsort(~keep, axis=1, kind="stable")[:, :_MAX_VERTICES]
        patches = np.take_along_axis(outline, order[..., None], axis=1)
        patches[~np.take_along_axis(keep, order, axis=1)] = np.nan
        index = np.full((ny, nx), -1, dtype=np.int64)
        index[r, c] = np.arange(r.size)
        return np.ascontiguousarray(patches), index


def _outline_points(polygons: _F64, samples: int) -> _F64:
    """Points along the great-circle edges of polygons (m, n, 3) whose
    missing vertices are NaN: (m, n samples, 3), NaN for missing edges."""
    m, n = polygons.shape[:2]
    # Close each outline on its first vertex, so that a missing vertex
    # makes degenerate edges rather than NaN ones.
    filled = np.where(np.isfinite(polygons).all(-1, keepdims=True), polygons, polygons[:, :1])
    t = (np.arange(samples) / samples)[:, None]
    out = []
    for k in range(n):
        a, b = filled[:, k, None, :], filled[:, (k + 1) % n, None, :]
        p = (1 - t) * a + t * b
        out.append(p / np.linalg.norm(p, axis=-1, keepdims=True))
    return np.concatenate(out, axis=1)


def _holds(polygons: _F64, point: _F64) -> npt.NDArray[np.bool_]:
    """Whether each convex polygon (m, n, 3; missing vertices NaN) holds
    `point`."""
    filled = np.where(np.isfinite(polygons).all(-1, keepdims=True), polygons, polygons[:, :1])
    n = filled.shape[1]
    normals = [np.cross(filled[:, k], filled[:, (k + 1) % n]) for k in range(n)]
    turn = sum(np.einsum("mi,mi->m", normals[k], filled[:, 0]) for k in range(1, n - 1))
    sides = [np.einsum("mi,i->m", nk, point) * np.sign(turn) for nk in normals]
    held = np.logical_and.reduce([s >= 0 for s in sides]) & np.isfinite(turn) & (turn != 0)
    return np.asarray(held, dtype=bool)


def _reduce(op: np.ufunc, arrays: tuple[_F64, ...]) -> _F64:
    out = arrays[0]
    for a in arrays[1:]:
        out = op(out, a)
    return out


def _cell_bow(v: _F64, to_pixel: Callable[[_F64], tuple[_F64, _F64]]) -> _F64:
    """How far the great-circle edges of the output pixels in each row
    bow away from their straight edges in the output's pixel plane, in
    pixels: the largest offset of an edge's midpoint on the sky from the
    midpoint of the straight edge, over the row and the two rows on either
    side, times 1.5 (an arc's largest offset is near its midpoint)."""
    ny, nx = v.shape[0] - 1, v.shape[1] - 1
    # The bow varies smoothly along a row: every column of grids up to 256
    # wide, of wider ones 256 evenly spread and the last.
    step = max(1, nx // 256)
    hc = np.unique(np.r_[np.arange(0, nx, step), nx - 1])
    ec = np.unique(np.r_[np.arange(0, nx + 1, step), nx])
    h = v[:, hc] + v[:, hc + 1]  # edges along rows, (ny + 1, columns)
    e = v[:-1, ec] + v[1:, ec]  # edges along columns, (ny, columns)
    hx, hy = to_pixel(h / np.linalg.norm(h, axis=-1, keepdims=True))
    ex, ey = to_pixel(e / np.linalg.norm(e, axis=-1, keepdims=True))
    # An edge whose corners are one point on the sky (the polar row of a
    # CAR grid) has no arc: its midpoint's position in the plane means
    # nothing.
    j = np.arange(ny + 1, dtype=np.float64)[:, None]
    dev_h = np.where((v[:, hc] == v[:, hc + 1]).all(-1), np.nan,
                     np.fmax(np.abs(hx - hc), np.abs(hy - (j - 0.5))))
    j = np.arange(ny, dtype=np.float64)[:, None]
    dev_e = np.where((v[:-1, ec] == v[1:, ec]).all(-1), np.nan,
                     np.fmax(np.abs(ex - (ec - 0.5)), np.abs(ey - j)))
    # A midpoint a quarter of the grid away is the other image of a point
    # on a seam of the projection (longitude 180 of an all-sky grid), not
    # a bow.
    limit = max(nx, ny) / 4
    dev_h[dev_h > limit] = np.nan
    dev_e[dev_e > limit] = np.nan
    per_row = np.fmax(np.fmax(np.fmax.reduce(dev_h[:-1], axis=1), np.fmax.reduce(dev_h[1:], axis=1)),
                      np.fmax.reduce(dev_e, axis=1))
    per_row = np.where(np.isfinite(per_row), per_row, 0.0)
    padded = np.pad(per_row, 2)
    return 1.5 * _reduce(np.fmax, tuple(padded[k:k + ny] for k in range(5)))


def _parts_extent(x: _F64) -> _F64:
    """The width of each row's points x (m, n; NaN ignored) along the
    axis, less the widest gap between them when it is the larger part of
    the width: the width of the two parts of a pixel cut by a seam of the
    output's projection, whose points lie at both ends of the grid."""
    x = np.sort(x, axis=1)  # NaN last
    count = np.isfinite(x).sum(axis=1)
    width = np.zeros(x.shape[0])
    some = count > 0
    rows = np.flatnonzero(some)
    width[some] = x[rows, count[some] - 1] - x[rows, 0]
    with np.errstate(invalid="ignore"):
        gap = np.fmax.reduce(np.diff(x, axis=1), axis=1, initial=0.0)
    return np.asarray(np.where(gap > 0.5 * width, width - gap, width), dtype=np.float64)


def _spans(side_in: _Side, patches: Any, index: Any, side_out: _Side, threads: int) -> _I64:
    """For each input pixel, the output rows [s0, s1) and columns [s2, s3)
    that its polygon may overlap."""
    ny, nx = side_in.ny, side_in.nx
    ny_out, nx_out = side_out.ny, side_out.nx
    frame = side_out.frame

    def to_pixel(points: _F64) -> tuple[_F64, _F64]:
        lon = np.arctan2(points[..., 1], points[..., 0])
        lat = np.arctan2(points[..., 2], np.hypot(points[..., 0], points[..., 1]))
        sky = SkyCoord(frame.realize_frame(UnitSphericalRepresentation(lon=lon * u.rad, lat=lat * u.rad)))
        x, y = side_out.high.world_to_pixel(sky)
        return np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)

    v = side_in.vectors
    xs, ys = (np.ascontiguousarray(a) for a in to_pixel(v))
    whole, _ = _engine.screen(xs, ys, threads=threads)
    quads = np.stack([v[:-1, :-1], v[:-1, 1:], v[1:, 1:], v[1:, :-1]], -2)  # (ny, nx, 4, 3)
    # Each pixel's corners and the midpoints of its edges (the arcs bow
    # away from the chords), each lattice edge's midpoint evaluated once;
    # NaN ones are ignored.
    rows = v[:, :-1] + v[:, 1:]        # horizontal edges, (ny + 1, nx)
    cols = v[:-1, :] + v[1:, :]        # vertical edges, (ny, nx + 1)
    hx, hy = to_pixel(rows / np.linalg.norm(rows, axis=-1, keepdims=True))
    vx, vy = to_pixel(cols / np.linalg.norm(cols, axis=-1, keepdims=True))
    bounds = []
    for c, h, e in ((xs, hx, vx), (ys, hy, vy)):
        points = (c[:-1, :-1], c[:-1, 1:], c[1:, 1:], c[1:, :-1], h[:-1], h[1:], e[:, :-1], e[:, 1:])
        bounds.append((_reduce(np.fmin, points).ravel(), _reduce(np.fmax, points).ravel()))
    (x_lo, x_hi), (y_lo, y_hi) = bounds
    with np.errstate(invalid="ignore"):
        extent = np.fmax(x_hi - x_lo, y_hi - y_lo)
    cut = np.flatnonzero(~whole.ravel())
    if cut.size:
        # Pixels that one quad does not represent in the output's plane
        # (across a seam, around a pole, partly off the sky): every column,
        # and the rows that their sampled outline, and a pole inside them,
        # reach.
        polygons = np.full((cut.size, _MAX_VERTICES, 3), np.nan)
        polygons[:, :4] = quads.reshape(-1, 4, 3)[cut]
        if index is not None:
            patched = index.ravel()[cut]
            polygons[patched >= 0] = patches[patched[patched >= 0]]
        px, py = to_pixel(_outline_points(polygons, _EDGE_SAMPLES))
        lo = np.fmin(y_lo[cut], np.fmin.reduce(py, axis=1))
        hi = np.fmax(y_hi[cut], np.fmax.reduce(py, axis=1))
        extent[cut] = np.fmax(_parts_extent(px), np.fmax.reduce(py, axis=1) - np.fmin.reduce(py, axis=1))
        for z in (1.0, -1.0):
            pole = np.array([0.0, 0.0, z])
            held = _holds(polygons, pole)
            if held.any():
                pole_y = float(to_pixel(pole[None])[1][0])
                if math.isfinite(pole_y):
                    lo[held] = np.fmin(lo[held], pole_y)
                    hi[held] = np.fmax(hi[held], pole_y)
        x_lo[cut], x_hi[cut] = 0.0, float(nx_out)
        y_lo[cut], y_hi[cut] = lo, hi
    # A tenth of the larger extent (for a pixel cut by a seam, of its parts)
    # for the bow of the pixel's arcs between the points sampled (about a
    # quarter of the whole arc's bow from its chord; the larger, as a thin
    # image bows across its thickness), a
    # thousandth of a cell, and the bow of the output pixels' own arcs
    # from their straight edges in the rows reached.
    bow = _cell_bow(side_out.vectors, to_pixel)
    spans = np.zeros((ny * nx, 4), dtype=np.int64)
    with np.errstate(invalid="ignore"):
        pad = 1e-3 + 0.1 * extent
        rows = np.clip(np.floor(np.stack([y_lo, y_hi]) + 0.5), 0, ny_out - 1)
        rows = np.where(np.isfinite(rows), rows, 0).astype(np.intp)
        pad += np.fmax(bow[rows[0]], bow[rows[1]])
        for lo, hi, n, a in ((y_lo, y_hi, ny_out, 0), (x_lo, x_hi, nx_out, 2)):
            first = np.floor(lo + 0.5 - pad)
            last = np.floor(hi + 0.5 + pad) + 1.0
            ok = np.isfinite(first) & np.isfinite(last)
            spans[:, a] = np.where(ok, np.clip(first, 0, n), 0)
            spans[:, a + 1] = np.where(ok, np.clip(last, 0, n), 0)
    return spans.reshape(ny, nx, 4)


# Points per axis at which planar_error samples the input's corners and
# the output pixels that they reach: for the choice of geometry, and for
# the first look that settles fields of small pixels.
_ERROR_SAMPLES = 33
_COARSE_SAMPLES = 17


def _triangle_solid_angle(a: _F64, b: _F64, c: _F64) -> _F64:
    """Solid angle of the spherical triangles abc (unit vectors, last axis),
    with the triple product taken on the differences b - a and c - a, which
    keep their precision for small triangles."""
    triple = np.einsum("...i,...i->...", a, np.cross(b - a, c - a))
    dots = np.einsum("...i,...i->...", a, b) + np.einsum("...i,...i->...", b, c) + np.einsum("...i,...i->...", c, a)
    return np.asarray(2.0 * np.arctan2(np.abs(triple), 1.0 + dots), dtype=np.float64)


def _pixel_vectors(wcs: Any, x: _F64, y: _F64) -> _F64:
    """Unit vectors (..., 3) of pixel points of a celestial WCS, in its own
    frame (solid angles do not depend on it): from its world values where
    they are the longitude and the latitude, else through astropy's
    high-level objects."""
    low = getattr(wcs, "low_level_wcs", wcs)
    components = low.world_axis_object_components
    if sorted(c[1] for c in components) != [0, 1]:
        return _unit_vectors(_high_level(wcs).pixel_to_world(x, y))
    world = low.pixel_to_world_values(x, y)
    angles: list[Any] = [None, None]
    for k, component in enumerate(components):
        angles[component[1]] = np.asarray(world[k], dtype=np.float64) * u.Unit(low.world_axis_units[k]).to(u.rad)
    lon, lat = angles
    return np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], axis=-1)


def planar_error(cel_in: Any, cel_out: Any, shape_in: tuple[int, int], shape_out: tuple[int, int],
                 samples: int = _ERROR_SAMPLES) -> float:
    """How far the planar geometry's weights may stray from the solid
    angles, as a fraction of a pixel's weight: the largest relative change
    of the output pixels' solid angle from one pixel to the next, over the
    output pixels that the input reaches, times the input pixels' size in
    output pixels (when above 1). The planar geometry weighs the parts of
    an output pixel by their area in its pixel plane; the sky weighs them
    by solid angle, and the two differ by that change across the pixel.
    Both grids are sampled on about `samples` x `samples` points; 0 when
    no sampled point of the input lands on the output's sky."""
    (ny, nx), (ny_out, nx_out) = shape_in, shape_out

    def spread(n: int) -> _F64:
        return np.unique(np.linspace(0, n - 1, samples).round())

    y, x = np.meshgrid(spread(ny) - 0.5, spread(nx) - 0.5, indexing="ij")
    # Each sampled corner and its neighbours one pixel along x and along y,
    # in the output's pixels (with the change of frame, if any).
    px, py = (np.asarray(a, dtype=np.float64) for a in wcs_pair_map(cel_in, cel_out)(
        np.stack([x, x + 1.0, x]), np.stack([y, y, y + 1.0])))
    with np.errstate(invalid="ignore"):
        step = np.fmax(np.hypot(px[1] - px[0], py[1] - py[0]), np.hypot(px[2] - px[0], py[2] - py[0]))
        # A step across a seam of the output's projection is no pixel size.
        step = np.where(step < max(ny_out, nx_out) / 4, step, np.nan)
    landed = np.isfinite(px[0]) & np.isfinite(py[0])
    if not landed.any():
        return 0.0
    size = max(1.0, float(np.fmax.reduce(step, axis=None))) if np.isfinite(step).any() else 1.0
    r0, r1 = (int(v) for v in np.clip([np.floor(py[0][landed].min()), np.ceil(py[0][landed].max())],
                                      0, ny_out - 1))
    c0, c1 = (int(v) for v in np.clip([np.floor(px[0][landed].min()), np.ceil(px[0][landed].max())],
                                      0, nx_out - 1))
    rows, cols = np.meshgrid(np.unique(np.linspace(r0, r1, samples).round()),
                             np.unique(np.linspace(c0, c1, samples).round()), indexing="ij")
    # Solid angles of the sampled pixels (r, c), (r, c + 1) and (r + 1, c),
    # each as two triangles of its corners; the three share the 3 x 3
    # corners [i][j] at (c - 0.5 + j, r - 0.5 + i).
    steps = np.arange(3.0) - 0.5
    cx, cy = np.broadcast_arrays(cols + steps[None, :, None, None], rows + steps[:, None, None, None])
    v = _pixel_vectors(cel_out, cx, cy)

    def omega(i: int, j: int) -> _F64:
        a, b, c, d = v[i, j], v[i, j + 1], v[i + 1, j + 1], v[i + 1, j]
        return _triangle_solid_angle(a, b, c) + _triangle_solid_angle(a, c, d)

    base = omega(0, 0)
    with np.errstate(invalid="ignore", divide="ignore"):
        change = np.fmax(np.abs(omega(0, 1) / base - 1.0), np.abs(omega(1, 0) / base - 1.0))
    change = change[np.isfinite(change)]
    return float(change.max()) * size if change.size else 0.0


def auto_geometry(cel_in: Any, cel_out: Any, shape_in: tuple[int, int], shape_out: tuple[int, int]) -> str:
    """The geometry that geometry="auto" takes: "sphere" where the planar
    weights may stray from solid angles by more than `PLANAR_TOLERANCE` of
    a pixel's weight, else "plane". A quarter of the samples first: an
    estimate a hundred times below the tolerance there is taken as it is
    (the weights of fields of small pixels stray by 1e-9 to 1e-7)."""
    if planar_error(cel_in, cel_out, shape_in, shape_out, _COARSE_SAMPLES) <= PLANAR_TOLERANCE / 100:
        return "plane"
    error = planar_error(cel_in, cel_out, shape_in, shape_out)
    return "sphere" if error > PLANAR_TOLERANCE else "plane"


class Geometry(NamedTuple):
    """What the engine's sphere_accumulate takes of a pair of grids: the
    unit vectors of both corner lattices (the input's in the output's
    frame), the output rows and columns each input pixel may reach, and the
    polygons of the pixels partly off the sky (keyword arguments)."""

    corners_in: _F64
    corners_out: _F64
    spans: _I64
    patches: dict[str, Any]


def sphere_geometry(cel_in: Any, cel_out: Any, shape_in: tuple[int, int], shape_out: tuple[int, int],
                    threads: int) -> Geometry:
    """The `Geometry` of input pixels of `cel_in` over output cells of
    `cel_out`, both grids non-empty."""
    side_out = _Side(cel_out, *shape_out)
    side_in = _Side(cel_in, *shape_in, side_out.frame)
    patches_in, index_in = side_in.patches()
    patches_out, index_out = side_out.patches()
    spans = _spans(side_in, patches_in, index_in, side_out, threads)
    return Geometry(side_in.vectors, side_out.vectors, spans,
                    {"patches_in": patches_in, "patch_index_in": index_in, "patches_out": patches_out,
                     "patch_index_out": index_out})


def reproject_sphere(planes: _F64, cel_in: Any, cel_out: Any, shape_out: tuple[int, int], mode: str,
                     threads: int, out_shape: tuple[int, ...]) -> tuple[_F64, _F64]:
    """`planes` (k, ny, nx) reprojected onto `shape_out` on the sphere:
    (result, footprint), both (k, ny_out, nx_out)."""
    k, ny, nx = planes.shape
    plane_shape = (k,) + shape_out
    missing = np.isnan(planes) if planes.size and np.isnan(planes.min()) else None
    shared = missing is None or shares_coverage(planes, missing)
    weight_shape = (1,) + shape_out if shared else plane_shape
    (result,) = _allocate(plane_shape, 1, out_shape)
    (weight,) = _allocate(weight_shape, 1, out_shape)
    if not (planes.size and math.prod(shape_out)):
        if mode == "mean":
            result[...] = np.nan
        return result, np.zeros(plane_shape)
    geometry = sphere_geometry(cel_in, cel_out, (ny, nx), shape_out, threads)
    values = np.ascontiguousarray(planes, dtype=np.float64)
    sums, flux = (result, None) if mode == "mean" else (None, result)
    area = _engine.sphere_accumulate(geometry.corners_in, geometry.corners_out, geometry.spans, values, sums,
                                     weight, flux, **geometry.patches, threads=threads)
    if mode == "mean":
        with np.errstate(invalid="ignore", divide="ignore"):
            np.divide(result, weight, out=result)
        result[np.broadcast_to(weight == 0, plane_shape)] = np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        footprint = np.where(np.isfinite(area) & (area != 0), weight / np.abs(area), 0.0)
    return result, np.broadcast_to(footprint, plane_shape).copy()
