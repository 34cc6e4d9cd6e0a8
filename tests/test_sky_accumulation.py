"""The accumulation's contract (pellorin._accumulate.accumulate): value,
weight and flux sums of whole pixels and explicit pieces over the output
grid, against direct sums of shapely overlap areas."""

import numpy as np
import pytest

from pellorin._accumulate import Pieces, Sums, accumulate

shapely = pytest.importorskip("shapely")


def reference(xs, ys, planes, whole, pieces, shape_out, weights):
    """(value, weight, flux), each (k, ny_out, nx_out), summed term by term."""
    k, ny, nx = planes.shape
    quads, src, share = [], [], []
    for j in range(ny):
        for i in range(nx):
            if whole[j, i]:
                quads.append([(xs[j, i], ys[j, i]), (xs[j, i + 1], ys[j, i + 1]),
                              (xs[j + 1, i + 1], ys[j + 1, i + 1]), (xs[j + 1, i], ys[j + 1, i])])
                src.append(j * nx + i)
                share.append(1.0)
    quads += [list(map(tuple, q)) for q in pieces.quads]
    src += list(pieces.source)
    share += list(pieces.share)
    value = np.zeros((k,) + shape_out)
    weight = np.zeros((k,) + shape_out)
    flux = np.zeros((k,) + shape_out)
    w = np.broadcast_to(weights, planes.shape).reshape(k, -1)
    flat = planes.reshape(k, -1)
    for q, s, sh in zip(quads, src, share):
        if not np.isfinite(q).all():
            continue
        poly = shapely.Polygon(q)
        if poly.area == 0:
            continue
        whole_area = poly.area / sh
        x0, y0, x1, y1 = poly.bounds
        rows = np.arange(max(int(np.floor(y0 + 0.5)), 0), min(int(np.floor(y1 + 0.5)) + 1, shape_out[0]))
        cols = np.arange(max(int(np.floor(x0 + 0.5)), 0), min(int(np.floor(x1 + 0.5)) + 1, shape_out[1]))
        if len(rows) == 0 or len(cols) == 0:
            continue
        rr, cc = np.meshgrid(rows, cols, indexing="ij")
        a = shapely.area(shapely.intersection(poly, shapely.box(cc - 0.5, rr - 0.5, cc + 0.5, rr + 0.5)))
        for p in range(k):
            v = flat[p, s]
            if np.isnan(v):
                continue
            value[p, rr, cc] += w[p, s] * a * v
            weight[p, rr, cc] += w[p, s] * a
            flux[p, rr, cc] += w[p, s] * a * v / whole_area
    return value, weight, flux


def random_case(rng, shape, shape_out, offset=(0.0, 0.0), scale=1.0, n_pieces=12):
    """A jittered, rotated lattice (convex quads), three planes with their
    own missing values, a random choice of whole pixels, and random convex
    pieces (triangles and quads) with shares."""
    ny, nx = shape
    gy, gx = np.mgrid[0:ny + 1, 0:nx + 1] - 0.5
    c, s = np.cos(0.4), np.sin(0.4)
    xs = scale * (c * gx - s * gy) + offset[0] + rng.uniform(-0.08, 0.08, gx.shape) * scale
    ys = scale * (s * gx + c * gy) + offset[1] + rng.uniform(-0.08, 0.08, gx.shape) * scale
    planes = rng.uniform(-1.0, 2.0, (3,) + shape)
    planes[0, 1, 1] = np.nan
    planes[2, 0, :] = np.nan
    whole = rng.uniform(size=shape) < 0.7
    centres = np.c_[rng.uniform(offset[0] - 2, offset[0] + scale * nx, n_pieces),
                    rng.uniform(offset[1] - 2, offset[1] + scale * ny, n_pieces)]
    quads = []
    for cx, cy in centres:
        angles = np.sort(rng.uniform(0, 2 * np.pi, 4))
        radius = rng.uniform(0.3, 2.0) * scale
        pts = np.c_[cx + radius * np.cos(angles), cy + radius * np.sin(angles)]
        if rng.uniform() < 0.3:
            pts[3] = pts[2]  # a triangle
        quads.append(pts)
    pieces = Pieces(np.array(quads), rng.integers(0, ny * nx, n_pieces).astype(np.intp),
                    rng.uniform(0.05, 1.0, n_pieces))
    return xs, ys, planes, whole, pieces


CASES = [
    ("small, crossing the output's edges", (6, 7), (8, 9), (0.5, -1.0), 1.0, 12),
    ("far from the origin", (5, 6), (300, 400), (370.0, 260.0), 1.0, 12),
    ("pixels wider than a tile's padding", (2, 2), (300, 300), (20.0, 15.0), 140.0, 3),
]


@pytest.mark.parametrize("name, shape, shape_out, offset, scale, n_pieces", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("weighted", [False, True], ids=["unit weights", "weights"])
def test_sums_match_shapely(name, shape, shape_out, offset, scale, n_pieces, weighted):
    rng = np.random.default_rng(len(name) + weighted)
    xs, ys, planes, whole, pieces = random_case(rng, shape, shape_out, offset, scale, n_pieces)
    weights = rng.uniform(0.0, 3.0, planes.shape) if weighted else np.ones(planes.shape)
    sums = Sums(*(np.zeros((3,) + shape_out) for _ in range(3)))
    accumulate(xs, ys, planes, whole, pieces, sums, weights=weights if weighted else None)
    expected = reference(xs, ys, planes, whole, pieces, shape_out, weights)
    for got, want, label in zip(sums, expected, ("value", "weight", "flux")):
        scale_of = np.abs(want).max()
        np.testing.assert_allclose(got, want, rtol=1e-11, atol=1e-11 * scale_of, err_msg=label)
    assert (sums.weight > 0).any()


def test_sums_are_added_to_what_the_arrays_hold_and_skipped_when_not_wanted():
    rng = np.random.default_rng(3)
    xs, ys, planes, whole, pieces = random_case(rng, (5, 5), (7, 7))
    once = Sums(np.zeros((3, 7, 7)), None, np.zeros((3, 7, 7)))
    accumulate(xs, ys, planes, whole, pieces, once)
    twice = Sums(once.value.copy(), None, once.flux.copy())
    accumulate(xs, ys, planes, whole, pieces, twice)
    # Each cell receives one sum per call: a + a is exactly 2a.
    np.testing.assert_array_equal(twice.value, 2 * once.value)
    np.testing.assert_array_equal(twice.flux, 2 * once.flux)


def test_what_contributes_nothing():
    # Quads with a corner that is not finite, quads of no area and missing
    # values add nothing, and leave the cells they would reach untouched.
    xs, ys = np.meshgrid(np.arange(4.0) - 0.5, np.arange(3.0) - 0.5)
    xs[0, 0] = np.nan
    planes = np.ones((1, 2, 3))
    planes[0, 1, 2] = np.nan
    pieces = Pieces(np.array([[[0.5, 0.5], [1.5, 0.5], [1.5, 0.5], [0.5, 0.5]],
                              [[0.0, 0.0], [1.0, np.inf], [1.0, 1.0], [0.0, 1.0]]]),
                    np.array([0, 1], dtype=np.intp), np.array([0.5, 0.5]))
    sums = Sums(np.full((1, 2, 3), 7.0), np.full((1, 2, 3), 7.0), np.full((1, 2, 3), 7.0))
    accumulate(xs, ys, planes, np.ones((2, 3), dtype=bool), pieces, sums)
    expected = np.array([[7.0, 8.0, 8.0], [8.0, 8.0, 7.0]])
    for got in sums:
        np.testing.assert_allclose(got[0], expected, rtol=1e-15)
