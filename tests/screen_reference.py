"""The screen of a reprojection stated in NumPy: the reference that the
engine's screen (``pellorin._engine.screen``) reproduces bit for bit.

Lattice rows are screened in strips of _STRIP, with whole-array complex
arithmetic: second differences of the corner lattice (edge points taking
their neighbour's), a quick bound on the deviation from straight edges, the
exact deviation in the quad's frame where the bound fails, finiteness,
convexity and the neighbourhood of corners on the sky. Written apart from
the engine (whole arrays, NumPy's own complex operations), so that a test
comparing the two compares two statements of one rule.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
C128 = npt.NDArray[np.complex128]
B = npt.NDArray[np.bool_]

TOLERANCE = 0.05
_TOLERANCE = TOLERANCE
# Lattice rows screened at a time (bounds the temporary arrays).
_STRIP = 256


def _in_frame(e1: C128, e2: C128, d: C128) -> F64:
    """Size of the vector d in the frame (e1, e2): max(|a|, |b|) for
    d = a e1 + b e2. Infinite for a degenerate frame (unless d is 0), NaN
    where something is not finite."""
    det = _cross(e1, e2)
    with np.errstate(invalid="ignore", divide="ignore"):
        a = _cross(d, e2) / det
        b = _cross(e1, d) / det
        size = np.maximum(np.abs(a), np.abs(b))
    return np.where(d == 0, 0.0, np.where(det == 0, np.inf, size))


def _frame(q0: C128, q1: C128, q2: C128, q3: C128) -> tuple[C128, C128, C128]:
    """The mean edge vectors of the quad q0 q1 q2 q3 (along its first and
    its last edge's direction) and its twist q0 - q1 + q2 - q3 (0 for a
    parallelogram)."""
    return (q1 - q0 + q2 - q3) * 0.5, (q3 - q0 + q2 - q1) * 0.5, q0 - q1 + q2 - q3


def screen(xs: F64, ys: F64) -> tuple[B, B]:
    """(whole, candidates), both (ny, nx): pixels whose quad is used as it
    is, and pixels to subdivide. The rest (every corner off the sky, far
    from any corner on it) contribute nothing."""
    ny, nx = xs.shape[0] - 1, xs.shape[1] - 1
    whole = np.zeros((ny, nx), dtype=bool)
    cand = np.zeros((ny, nx), dtype=bool)
    for j0 in range(0, ny, _STRIP):
        j1 = min(j0 + _STRIP, ny)
        # Lattice rows j0 - 2 .. j1 + 2 (clipped): the corners of pixel rows
        # j0 - 1 .. j1, and one row more for the differences along y.
        a, b = max(j0 - 2, 0), min(j1 + 3, ny + 1)
        q = xs[a:b] + 1j * ys[a:b]
        fin = np.isfinite(q)
        # Second differences along x and y at every lattice point, the
        # image's edge points taking their neighbour's (NaN: not finite).
        d2x = np.full(q.shape, np.nan, dtype=np.complex128)
        d2y = np.full(q.shape, np.nan, dtype=np.complex128)
        if nx >= 2:
            d2x[:, 1:-1] = q[:, 2:] - 2 * q[:, 1:-1] + q[:, :-2]
            d2x[:, 0], d2x[:, -1] = d2x[:, 1], d2x[:, -2]
        if ny >= 2:
            d2y[1:-1] = q[2:] - 2 * q[1:-1] + q[:-2]
            if a == 0:
                d2y[0] = d2y[1]
            if b == ny + 1:
                d2y[-1] = d2y[-2]
        corners = (q[:-1, :-1], q[:-1, 1:], q[1:, 1:], q[1:, :-1])
        e1, e2, _ = _frame(*corners)
        # Within a pixel, the midpoint of an edge deviates from the chord by
        # a quarter of the second difference over half the spacing: about
        # 1/8 of the lattice's. First a bound that settles most pixels at
        # once, |J^-1 d| <= |d| (|e1| + |e2|) / |det J|; then the deviation
        # itself where the bound fails.
        size = np.maximum(np.abs(d2x), np.abs(d2y))  # NaN where unknown
        worst = np.maximum(np.maximum(size[:-1, :-1], size[:-1, 1:]),
                           np.maximum(size[1:, 1:], size[1:, :-1]))
        det = np.abs(_cross(e1, e2))
        with np.errstate(invalid="ignore", divide="ignore"):
            dev = worst * (np.abs(e1) + np.abs(e2)) / det * 0.125
        unsure = ~(dev <= _TOLERANCE) & np.isfinite(worst) & (det > 0)
        if unsure.any():
            r, c = np.nonzero(unsure)
            exact = np.zeros(len(r))
            for d2 in (d2x, d2y):
                for dr, dc in ((0, 0), (0, 1), (1, 1), (1, 0)):
                    exact = np.maximum(exact, _in_frame(e1[r, c], e2[r, c], d2[r + dr, c + dc]) * 0.125)
            dev[r, c] = exact
        all_fin = fin[:-1, :-1] & fin[:-1, 1:] & fin[1:, 1:] & fin[1:, :-1]
        any_fin = fin[:-1, :-1] | fin[:-1, 1:] | fin[1:, 1:] | fin[1:, :-1]
        with np.errstate(invalid="ignore"):
            ok = all_fin & (dev <= _TOLERANCE) & _convex(*corners)
        # A pixel with no corner on the sky is looked at when a neighbour
        # has one: the sky's edge may still pass through it.
        near = any_fin.copy()
        near[1:] |= any_fin[:-1]
        near[:-1] |= any_fin[1:]
        near2 = near.copy()
        near2[:, 1:] |= near[:, :-1]
        near2[:, :-1] |= near[:, 1:]
        rows = slice(j0 - a, j1 - a)
        whole[j0:j1] = ok[rows]
        cand[j0:j1] = (~ok & near2)[rows]
    return whole, cand


def _convex(q0: C128, q1: C128, q2: C128, q3: C128) -> B:
    """Whether each quad q0 q1 q2 q3 turns the same way at every corner
    (convex, either winding; zero turns allowed)."""
    e = (q1 - q0, q2 - q1, q3 - q2, q0 - q3)
    pos = np.zeros(q0.shape, dtype=bool)
    neg = np.zeros(q0.shape, dtype=bool)
    for k in range(4):
        u, v = e[k - 1], e[k]
        c = u.real * v.imag - u.imag * v.real
        pos |= c > 0
        neg |= c < 0
    return ~(pos & neg)


def _cross(u: C128, v: C128) -> F64:
    return u.real * v.imag - u.imag * v.real
