"""Direct sums of a mosaic's accumulators over shapely overlaps: the
reference the mosaic tests compare with. Slow (one intersection per quad
and cell), for small cases only."""

from __future__ import annotations

import numpy as np
from shapely.geometry import Polygon, box


def lattice_quads(xs: np.ndarray, ys: np.ndarray) -> np.ndarray:
    """(ny * nx, 4, 2) quads of a corner lattice, pixel (j, i) at j * nx + i."""
    ny, nx = xs.shape[0] - 1, xs.shape[1] - 1
    quads = np.empty((ny, nx, 4, 2))
    for corner, (dj, di) in enumerate(((0, 0), (0, 1), (1, 1), (1, 0))):
        quads[:, :, corner, 0] = xs[dj:dj + ny, di:di + nx]
        quads[:, :, corner, 1] = ys[dj:dj + ny, di:di + nx]
    return quads.reshape(ny * nx, 4, 2)


def direct_sums(quads, values, shape_out, weights=None, variance=None):
    """S, W, F, V of quads (n, 4, 2) with values (k, n), weights (n,) and
    variance (k, n), onto a (ny, nx) grid; W per plane, V None without
    variance. Every term from shapely's overlap area of a quad with a cell.
    """
    values = np.asarray(values, dtype=np.float64)
    k, n = values.shape
    ny, nx = shape_out
    w_all = np.ones(n) if weights is None else np.broadcast_to(np.asarray(weights, float), (n,))
    S = np.zeros((k, ny, nx))
    W = np.zeros((k, ny, nx))
    F = np.zeros((k, ny, nx))
    V = None if variance is None else np.zeros((k, ny, nx))
    for q in range(n):
        corners = quads[q]
        if not np.isfinite(corners).all() or not w_all[q] > 0:
            continue
        poly = Polygon(corners)
        area = poly.area
        if area == 0.0:
            continue
        x0, y0, x1, y1 = poly.bounds
        for r in range(max(0, int(np.floor(y0 + 0.5))), min(ny, int(np.floor(y1 + 0.5)) + 1)):
            for c in range(max(0, int(np.floor(x0 + 0.5))), min(nx, int(np.floor(x1 + 0.5)) + 1)):
                a = poly.intersection(box(c - 0.5, r - 0.5, c + 0.5, r + 0.5)).area
                if a == 0.0:
                    continue
                wa = w_all[q] * a
                for p in range(k):
                    v = values[p, q]
                    if np.isnan(v):
                        continue
                    S[p, r, c] += wa * v
                    W[p, r, c] += wa
                    F[p, r, c] += wa * v / area
                    if V is not None:
                        V[p, r, c] += wa * wa * variance[p, q]
    return S, W, F, V
