"""Geometry of a reprojection: the transform on the corner lattice, and the
input pixels that one straight-edged quad does not represent, cut into
pieces that do.

A pixel is taken whole when its mapped quad is finite, convex and the
transform is nearly linear around it. The others (corners off the sky, a
seam or a pole of the output's projection, a fold) are subdivided: the
transform is evaluated at the midpoints of each piece, a piece that is
nearly linear is kept (as its four quarters), a piece cut by one seam or by
the edge of the sky is split along the cut, and any other piece is quartered
again, down to a bounded depth. All pieces meet edge to edge: where a piece
borders a larger one (or a whole pixel), its corners on the larger one's
edge are placed on that edge's straight line, so that no area is counted
twice and none is lost between them.
"""

from __future__ import annotations

from typing import Any, Callable, NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from . import _engine
from ._accumulate import Pieces, no_pieces
from ._arguments import engine_array, thread_count

F64 = npt.NDArray[np.float64]
C128 = npt.NDArray[np.complex128]
I64 = npt.NDArray[np.int64]
B = npt.NDArray[np.bool_]

# Straightness. A quad stands for its pixel (or piece) when the images of
# its edges are nearly straight: the area it gives each output cell depends
# on its boundary only (how the transform spreads the inside does not move
# area between cells). The images of the edge midpoints are compared with
# the chords' midpoints, in the quad's own frame: through the inverse of its
# local Jacobian, as fractions of its side in the input plane, so that a
# thin image (near a pole the output's pixels are much wider one way) is
# judged across its thickness too, and a jump along an edge (a seam) counts
# as much as a bend. A piece is used when its four edge midpoints stay
# within _TOLERANCE and its quarters are convex and turn one way; a pixel is
# taken whole when the same deviation, estimated from the lattice's second
# differences, does (the engine's screen, which holds the same tolerance).
_TOLERANCE = 0.05
# A piece may also be used when the area its straight edges misplace is
# within _TOLERANCE of the area that a typical pixel of the image covers
# (times the piece's share of a pixel), which is what a whole pixel may
# misplace, as long as its edges stay within _FOLD of it: the images of thin
# pieces (a row of pixels collapsing onto a pole of the output) bend by a
# fixed fraction of their width at every depth, while the area they
# misplace shrinks with their size. A deviation past _FOLD marks a point
# with several images (a pole of the output's projection seen from
# different sides), where straight edges from one image would overlap.
_FOLD = 1.0
# Pieces are quartered down to 1/2**_DEPTH of a pixel's side (positions are
# integers in units of that, exact in float64). Around a point where the map
# is singular (a pole of the output's projection) a fixed number of pieces
# stays unresolved at each depth; what is left at the last depth is kept when
# it deviates by less than _FOLD of its own size (imprecise, not broken),
# else dropped. Deeper, the transform's own rounding near a pole (about 1e-8
# radian in latitude) would be all that the tests see.
_DEPTH = 12
_UNIT = 1 << _DEPTH
# At most this many pieces under examination at one depth; past it, the
# pieces still unresolved are treated as at the last depth.
_MAX_ACTIVE = 1 << 20
# A piece edge is a jump (a seam crosses it) when its mapped length is at
# least _JUMP times every edge of the piece that is not one.
_JUMP = 8.0
# A cut is taken as found when the crossing on the piece's middle line lies
# within _CUT_BEND of the piece's side from the chord between the crossings
# on its edges (the cut is then drawn through all three).
_CUT_BEND = 3e-4
# Halvings of an edge to locate a crossing: 2**-44 of the edge.
_BISECT = 44


class PixelMap:
    """A transform from input to output pixel coordinates, with its results
    checked: ``pm(x, y)`` returns two float64 arrays of the shape of ``x``."""

    def __init__(self, fn: Callable[[F64, F64], Any], name: str) -> None:
        self.fn = fn
        self.name = name

    def __call__(self, x: F64, y: F64) -> tuple[F64, F64]:
        result = self.fn(x, y)
        if isinstance(result, (str, bytes)) or not hasattr(result, "__len__"):
            raise TypeError(f"{self.name} must return two arrays (x_out, y_out); "
                            f"got {type(result).__name__}")
        if len(result) != 2:
            raise ValueError(f"{self.name} must return two arrays (x_out, y_out); "
                             f"got {len(result)} item(s)")
        out = []
        for name, item in zip(("x_out", "y_out"), result):
            if isinstance(item, np.ma.MaskedArray):
                item = np.ma.filled(item.astype(np.float64), np.nan)
            arr = np.asarray(item)
            if arr.dtype.kind not in "iuf":
                raise TypeError(f"{self.name} returned {name} of dtype {arr.dtype}; "
                                f"expected real numbers")
            if arr.shape != x.shape:
                raise ValueError(f"{self.name} returned {name} of shape {arr.shape}; expected "
                                 f"{x.shape}, the shape of the coordinates it was given")
            out.append(np.ascontiguousarray(arr, dtype=np.float64))
        return out[0], out[1]


#: Lattice points per evaluation of the transform: a larger lattice is
#: evaluated in bands of whole rows of about this many points, so that the
#: input coordinates and the transform's own temporaries (512 KiB each) stay
#: in the processor's cache rather than take several lattices' worth of
#: memory (a 2048 x 2048 affine map evaluates three times as fast as in
#: bands four times as large).
LATTICE_BAND = 1 << 16


def corner_lattice(pmap: PixelMap, ny: int, nx: int) -> tuple[F64, F64]:
    """The transform evaluated on the (ny+1, nx+1) corner lattice: in one
    call, or for a lattice of more than `LATTICE_BAND` points in bands of
    rows, each point at the same coordinates either way."""
    rows, cols = ny + 1, nx + 1
    band = max(1, LATTICE_BAND // cols)
    xi = np.arange(cols, dtype=np.float64) - 0.5
    if rows <= band:
        x, y = np.meshgrid(xi, np.arange(rows, dtype=np.float64) - 0.5)
        return pmap(x, y)
    xs = np.empty((rows, cols))
    ys = np.empty((rows, cols))
    for r0 in range(0, rows, band):
        r1 = min(rows, r0 + band)
        x, y = np.meshgrid(xi, np.arange(r0, r1, dtype=np.float64) - 0.5)
        xs[r0:r1], ys[r0:r1] = pmap(x, y)
    return xs, ys


class Plan(NamedTuple):
    """Which pixels are taken whole, and the pieces of the others."""

    whole: B
    pieces: Pieces


class Scale(NamedTuple):
    """What the cutting takes from the whole image: the area a typical pixel
    covers in the output and the sign of the map's Jacobian (None: taken
    from the pieces at hand, as `_Subdivision` does when no pixel is whole)."""

    typical: float
    turn: Optional[float]


def plan(pmap: PixelMap, xs: F64, ys: F64, wanted: Optional[B] = None, *,
         scale: Optional[Scale] = None, origin: tuple[int, int] = (0, 0),
         threads: Optional[int] = 1) -> Plan:
    """Classify the pixels of the lattice (xs, ys) and cut the ones that a
    single quad does not represent. `wanted` (ny, nx) limits the cutting to
    pixels that carry data.

    The lattice may be a window of a larger image whose pixel (0, 0) is the
    image's pixel `origin` (row, column), with `scale` found from the whole
    image (`image_scale`): the pieces of a window's pixels are then those of
    the whole image, bit for bit, for every pixel whose neighbours within
    `WINDOW_HALO` pixels are in the window (the points where the transform
    is evaluated and the arithmetic on them do not depend on the window).
    Piece sources stay flat indices within the window. `threads` (None:
    the cores available) are those the screen may use."""
    # Corners off the sky are NaN or infinite; the arithmetic on them is
    # expected to give NaN, which every test below counts as failing.
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        whole, cand = screen(xs, ys, threads)
        if wanted is not None:
            cand &= wanted
        if not cand.any():
            return Plan(whole, no_pieces())
        return Plan(whole, _Subdivision(pmap, xs, ys, whole, cand, scale, origin).pieces())


# The pixels around a pixel that its classification and its pieces depend
# on: the screen reads second differences two lattice points away, and a
# piece's corners are placed on the edges of the neighbouring pixels' pieces.
WINDOW_HALO = 4


def pixel_areas(xs: F64, ys: F64) -> F64:
    """The area each pixel's quad covers in the output, (ny, nx)."""
    q = xs + 1j * ys
    return 0.5 * np.abs(_cross(q[1:, 1:] - q[:-1, :-1], q[1:, :-1] - q[:-1, 1:]))


def turn_counts(xs: F64, ys: F64, whole: B) -> tuple[int, int]:
    """How many whole pixels the map turns counter-clockwise and clockwise."""
    q = xs + 1j * ys
    c = _cross((q[1:, 1:] - q[:-1, :-1])[whole], (q[1:, :-1] - q[:-1, 1:])[whole])
    return int((c > 0).sum()), int((c < 0).sum())


def image_scale(typical_pool: F64, positive: int, negative: int) -> Scale:
    """The `Scale` of an image from the areas that `_Subdivision` takes its
    median over (those of the whole pixels or, with none, of the candidates'
    finite quads) and the turn counts of its whole pixels."""
    typical = float(np.median(typical_pool)) if len(typical_pool) else 1.0
    turn = None if positive + negative == 0 else (1.0 if positive >= negative else -1.0)
    return Scale(typical, turn)


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


def screen(xs: F64, ys: F64, threads: Optional[int] = 1) -> tuple[B, B]:
    """(whole, candidates), both (ny, nx): pixels whose quad is used as it
    is (finite, convex, and within _TOLERANCE of straight by the lattice's
    second differences), and pixels to subdivide (the others within a pixel
    of one with a corner on the sky). The rest (every corner off the sky,
    far from any corner on it) contribute nothing. The engine decides; its
    maps do not depend on `threads` (None: the cores available)."""
    return _engine.screen(engine_array(xs, np.float64), engine_array(ys, np.float64),
                          threads=thread_count(threads))


def _cross(u: C128, v: C128) -> F64:
    return u.real * v.imag - u.imag * v.real


class _Leaves:
    """Pieces kept whole (quads with their four corner images) or split
    along a cut, in integer units: corner (X, Y) of size S."""

    def __init__(self) -> None:
        self.parts: list[tuple[I64, I64, I64, npt.NDArray[np.intp], C128]] = []
        self.cuts: list[_Cut] = []

    def add(self, X: I64, Y: I64, S: I64, src: npt.NDArray[np.intp], q: C128) -> None:
        if len(X):
            self.parts.append((X, Y, S, src, q))


class _Cut(NamedTuple):
    """Split pieces: for each, its corners, the two cut edges (ka, kb, in
    quad order) with the crossing parameter along each edge (from its first
    corner) and the crossing's image seen from either end, the middle
    crossing (input position and images from the two sides), and which
    corners are kept (the sides that are on the sky)."""

    X: I64
    Y: I64
    S: I64
    src: npt.NDArray[np.intp]
    q: C128            # (n, 4) corner images
    ka: npt.NDArray[np.intp]
    kb: npt.NDArray[np.intp]
    ta: F64
    tb: F64
    qa: C128           # (n, 2): image at the crossing on edge ka from its start / end side
    qb: C128
    pa: C128           # input positions of the crossings, relative to the piece's
    pb: C128           # first corner, in units of its side
    pm: C128
    qm: C128           # (n, 2): image of the middle crossing from side 1 / side 2
    keep: B            # (n, 4): corners on kept sides


class _Subdivision:
    """The quartering of the candidate pixels and the pieces it yields."""

    def __init__(self, pmap: PixelMap, xs: F64, ys: F64, whole: B, cand: B,
                 scale: Optional[Scale] = None, origin: tuple[int, int] = (0, 0)) -> None:
        self.pmap, self.xs, self.ys, self.whole = pmap, xs, ys, whole
        self.ny, self.nx = whole.shape
        self.leaves = _Leaves()
        # Positions (X, Y) are in units of the whole image (the window's
        # pixel (0, 0) is the image's pixel `origin`), so that the points
        # where the transform is evaluated do not depend on the window.
        self.origin = origin
        self.turn: Optional[float] = None
        if scale is None:
            # The area a typical pixel covers in the output: the median over
            # the pixels taken whole (or, with none, over the candidates' quads).
            area = pixel_areas(xs, ys)
            scale = image_scale(area[whole] if whole.any() else area[cand & np.isfinite(area)],
                                *turn_counts(xs, ys, whole))
        self.typical, self.turn = scale
        j, i = np.nonzero(cand)
        nx = self.nx
        X = (i.astype(np.int64) + origin[1]) * _UNIT
        Y = (j.astype(np.int64) + origin[0]) * _UNIT
        S = np.full(len(i), _UNIT, dtype=np.int64)
        src = (j * nx + i).astype(np.intp)
        q = np.stack([xs[j, i] + 1j * ys[j, i], xs[j, i + 1] + 1j * ys[j, i + 1],
                      xs[j + 1, i + 1] + 1j * ys[j + 1, i + 1], xs[j + 1, i] + 1j * ys[j + 1, i]],
                     axis=1)
        while len(X):
            X, Y, S, src, q = self._level(X, Y, S, src, q)

    def _turn(self, fallback: F64) -> float:
        """The sign of the map's Jacobian: that of most pixels taken whole
        or, with none, of most of the signs in `fallback`."""
        if self.turn is None:
            return 1.0 if (fallback > 0).sum() >= (fallback < 0).sum() else -1.0
        return self.turn

    def _eval(self, X: F64, Y: F64) -> C128:
        """Images of input points given in units (any shape)."""
        x = (X.ravel() * (1.0 / _UNIT) - 0.5)
        y = (Y.ravel() * (1.0 / _UNIT) - 0.5)
        u, v = self.pmap(x, y)
        return (u + 1j * v).reshape(np.shape(X))

    def _level(self, X: I64, Y: I64, S: I64, src: npt.NDArray[np.intp],
               q: C128) -> tuple[I64, I64, I64, npt.NDArray[np.intp], C128]:
        h = S // 2
        Xf, Yf, hf = X.astype(np.float64), Y.astype(np.float64), h.astype(np.float64)
        # The 3 x 3 samples g[:, row, col]: rows along y, columns along x.
        px = np.stack([Xf + hf, Xf + 2 * hf, Xf + hf, Xf, Xf + hf], axis=1)
        py = np.stack([Yf, Yf + hf, Yf + 2 * hf, Yf + hf, Yf + hf], axis=1)
        m = self._eval(px, py)
        g = np.empty((len(X), 3, 3), dtype=np.complex128)
        g[:, 0, 0], g[:, 0, 2], g[:, 2, 2], g[:, 2, 0] = q[:, 0], q[:, 1], q[:, 2], q[:, 3]
        g[:, 0, 1], g[:, 1, 2], g[:, 2, 1], g[:, 1, 0], g[:, 1, 1] = (
            m[:, 0], m[:, 1], m[:, 2], m[:, 3], m[:, 4])
        fin = np.isfinite(g).all(axis=(1, 2))
        # Deviations of the edge midpoints from the chords' midpoints, in
        # the piece's frame.
        c00, c01, c11, c10 = g[:, 0, 0], g[:, 0, 2], g[:, 2, 2], g[:, 2, 0]
        e1, e2, _ = _frame(c00, c01, c11, c10)
        dev = np.zeros(len(X))
        misplaced = np.zeros(len(X))
        for sample, a, b in ((g[:, 0, 1], c00, c01), (g[:, 1, 2], c01, c11),
                             (g[:, 2, 1], c11, c10), (g[:, 1, 0], c10, c00)):
            offset = sample - (a + b) * 0.5
            dev = np.maximum(dev, _in_frame(e1, e2, offset))
            # A bend of height d over a chord of length L: about 2/3 d L.
            misplaced += np.abs(offset) * np.abs(b - a) * (2.0 / 3.0)
        dev = np.where(np.isnan(dev), np.inf, dev)
        children = [(g[:, a, b], g[:, a, b + 1], g[:, a + 1, b + 1], g[:, a + 1, b])
                    for a in (0, 1) for b in (0, 1)]
        pos = np.zeros(len(X), dtype=bool)
        neg = np.zeros(len(X), dtype=bool)
        for c in children:
            c0, c1, c2, c3 = c
            for u, v in ((c3 - c0, c1 - c0), (c0 - c1, c2 - c1), (c1 - c2, c3 - c2),
                         (c2 - c3, c0 - c3)):
                cr = _cross(v, u)
                pos |= cr > 0
                neg |= cr < 0
        share = (S.astype(np.float64) / _UNIT) ** 2
        with np.errstate(invalid="ignore"):
            good = fin & (dev <= _FOLD) & ~(pos & neg) & (
                (dev <= _TOLERANCE) | (misplaced <= _TOLERANCE * self.typical * share))
        # Kept pieces: their four quarters, of side h.
        kx = np.concatenate([X[good] + b * h[good] for a in (0, 1) for b in (0, 1)])
        ky = np.concatenate([Y[good] + a * h[good] for a in (0, 1) for b in (0, 1)])
        self.leaves.add(kx, ky, np.tile(h[good], 4), np.tile(src[good], 4),
                        np.concatenate([np.stack(c, axis=1)[good] for c in children]))
        rest = np.flatnonzero(~good)
        if len(rest) == 0:
            return X[:0], Y[:0], S[:0], src[:0], q[:0]
        split = self._split(X[rest], Y[rest], S[rest], src[rest], q[rest], g[rest])
        rest = rest[~split]
        # Quarter the rest, unless they are as small as allowed or too many.
        deep = h[rest] >= 2
        if len(rest) * 4 > _MAX_ACTIVE:
            deep[:] = False
        last = rest[~deep]
        if len(last):
            # Imprecise but whole: finite, within _FOLD, convex quarters
            # turning the way the map turns. Their quarters are kept.
            with np.errstate(invalid="ignore"):
                sane = fin[last] & (dev[last] <= _FOLD) & ~(pos[last] & neg[last])
            turn = np.where(pos[last], 1.0, -1.0)
            sane &= turn == self._turn(turn[sane])
            keep = last[sane]
            hk = h[keep]
            self.leaves.add(np.concatenate([X[keep] + b * hk for a in (0, 1) for b in (0, 1)]),
                            np.concatenate([Y[keep] + a * hk for a in (0, 1) for b in (0, 1)]),
                            np.tile(hk, 4), np.tile(src[keep], 4),
                            np.concatenate([np.stack(c, axis=1)[keep] for c in children]))
        rest = rest[deep]
        hr = h[rest]
        nX = np.concatenate([X[rest] + b * hr for a in (0, 1) for b in (0, 1)])
        nY = np.concatenate([Y[rest] + a * hr for a in (0, 1) for b in (0, 1)])
        nq = np.concatenate([np.stack(c, axis=1)[rest] for c in children])
        nsrc = np.tile(src[rest], 4)
        nS = np.tile(hr, 4)
        # A quarter with no corner on the sky is dropped.
        live = np.isfinite(nq).any(axis=1)
        return nX[live], nY[live], nS[live], nsrc[live], nq[live]

    def _split(self, X: I64, Y: I64, S: I64, src: npt.NDArray[np.intp], q: C128,
               g: npt.NDArray[np.complex128]) -> B:
        """Split the pieces cut by one seam or by the edge of the sky; return
        which were split (their parts are recorded as leaves)."""
        n = len(X)
        done = np.zeros(n, dtype=bool)
        fin = np.isfinite(q)
        nxt = np.roll(q, -1, axis=1)
        length = np.abs(nxt - q)  # edge k: corner k -> k + 1
        offsky = ~fin.all(axis=1)
        # Edge k is cut when its ends differ in being on the sky, or (all
        # four corners on it) when it is a jump: it and one other edge are
        # both _JUMP times longer than the two remaining edges.
        srt = np.sort(np.where(np.isfinite(length), length, np.inf), axis=1)
        jump = (length >= _JUMP * srt[:, 1:2]) & (srt[:, 2:3] >= _JUMP * srt[:, 1:2])
        cut_edge = np.where(offsky[:, None], fin != np.roll(fin, -1, axis=1), jump)
        # Every other edge on the sky must be nearly linear (its midpoint
        # from the 3 x 3 samples).
        mid = np.stack([g[:, 0, 1], g[:, 1, 2], g[:, 2, 1], g[:, 1, 0]], axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            # Midpoint deviation over the edge's length (a frame is not
            # known before the cut).
            r_edge = np.abs(q + nxt - 2 * mid) * 0.5 / np.where(length > 0, length, 1.0)
        edge_fine = (r_edge <= _TOLERANCE) | cut_edge | ~(fin & np.roll(fin, -1, axis=1))
        idx = np.flatnonzero((cut_edge.sum(axis=1) == 2) & edge_fine.all(axis=1))
        if len(idx) == 0:
            return done
        rows = np.arange(len(idx))
        ce = cut_edge[idx]
        ka = np.argmax(ce, axis=1)                 # first cut edge
        kb = 3 - np.argmax(ce[:, ::-1], axis=1)    # second cut edge
        Xs, Ys = X[idx].astype(np.float64), Y[idx].astype(np.float64)
        Sf = S[idx].astype(np.float64)
        qs, ms, off = q[idx], mid[idx], offsky[idx]
        unit_sq = np.array([0, 1, 1 + 1j, 1j])  # corners, in units of the piece's side

        # Side 1 holds the corners ka + 1 .. kb, side 2 the corners kb + 1 .. ka.
        pa0, pa1 = unit_sq[ka], unit_sq[(ka + 1) % 4]
        pb0, pb1 = unit_sq[kb], unit_sq[(kb + 1) % 4]

        # The middle line, from side 1 to side 2: between the midpoints of
        # the uncut edges when the cut edges are opposite; otherwise along
        # the diagonal through the corner that the cut edges share.
        opposite = (kb - ka) == 2
        after = (kb - ka) == 1  # shared corner ka + 1 (on side 1); else ka (side 2)
        e1, e3 = (ka + 1) % 4, (ka + 3) % 4
        m_start = np.where(opposite, (unit_sq[e1] + unit_sq[(e1 + 1) % 4]) / 2,
                           np.where(after, unit_sq[(ka + 1) % 4], unit_sq[(ka + 2) % 4]))
        m_end = np.where(opposite, (unit_sq[e3] + unit_sq[(e3 + 1) % 4]) / 2,
                         np.where(after, unit_sq[(ka + 3) % 4], unit_sq[ka]))
        qm_start = np.where(opposite, ms[rows, e1],
                            np.where(after, qs[rows, (ka + 1) % 4], qs[rows, (ka + 2) % 4]))
        qm_end = np.where(opposite, ms[rows, e3], np.where(after, qs[rows, (ka + 3) % 4], qs[rows, ka]))
        # The three crossings, located together.
        nn = len(idx)
        t3, q3 = self._bisect(np.concatenate([pa0, pb0, m_start]), np.concatenate([pa1, pb1, m_end]),
                              np.tile(Xs, 3), np.tile(Ys, 3), np.tile(Sf, 3),
                              np.concatenate([qs[rows, ka], qs[rows, kb], qm_start]),
                              np.concatenate([qs[rows, (ka + 1) % 4], qs[rows, (kb + 1) % 4], qm_end]),
                              np.tile(off, 3))
        ta, tb, tm = t3[:nn], t3[nn:2 * nn], t3[2 * nn:]
        qa, qb, qm = q3[:nn], q3[nn:2 * nn], q3[2 * nn:]
        pa = pa0 + ta * (pa1 - pa0)
        pb = pb0 + tb * (pb1 - pb0)
        pm = m_start + tm * (m_end - m_start)
        # The cut must be nearly straight: the middle crossing within
        # _CUT_BEND of a side from the chord between the edge crossings.
        chord = pb - pa
        with np.errstate(invalid="ignore"):
            good = np.abs(_cross(chord, pm - pa)) <= _CUT_BEND * np.abs(chord)
        # Which corners are kept: those on the sky when cut by the edge of
        # the sky, all of them at a seam.
        keep = np.where(off[:, None], np.isfinite(qs), True)
        keep1, keep2 = keep[rows, (ka + 1) % 4], keep[rows, ka]
        side1 = np.stack([qa[:, 1], qb[:, 0], qm[:, 0]], axis=1)
        side2 = np.stack([qb[:, 1], qa[:, 0], qm[:, 1]], axis=1)
        good &= (~keep1 | np.isfinite(side1).all(axis=1)) & (~keep2 | np.isfinite(side2).all(axis=1))
        # Each kept side must map without folding (its fan of triangles
        # from the middle crossing turning one way) and with nearly straight
        # boundary segments, judged as pieces are, in the frame of the
        # side's least-squares affine map.
        for first, count, p_in, q_in, p_out, q_out, p_mid, q_mid, kept in _sides(
                ka, kb, pa, qa, pb, qb, pm, qm, keep):
            w = np.flatnonzero(kept & good)
            if len(w) == 0:
                continue
            bp, bq, bused = _side_vertices(first[w], count[w], p_in[w], q_in[w], p_out[w],
                                           q_out[w], qs[w])
            n_side = count[w]
            # Samples on the boundary: the midpoint of every segment (from
            # the 3 x 3 samples for whole edges of the piece, evaluated for
            # the parts of cut edges), and the middle crossing on the cut.
            sp = np.zeros((len(w), 6), dtype=np.complex128)
            sq = np.zeros((len(w), 6), dtype=np.complex128)
            sa = np.zeros((len(w), 6), dtype=np.complex128)  # images at the segment's ends
            sb = np.zeros((len(w), 6), dtype=np.complex128)
            sused = np.zeros((len(w), 6), dtype=bool)
            part = np.zeros((len(w), 6), dtype=bool)
            rw = np.arange(len(w))
            for t in range(5):
                has = t <= n_side
                ends = (t == 0) | (t == n_side)
                sp[has, t] = (bp[has, t] + bp[has, t + 1]) * 0.5
                sa[has, t], sb[has, t] = bq[has, t], bq[has, t + 1]
                sused[has, t] = True
                part[has, t] = ends[has]
                whole_edge = has & ~ends
                k = (first[w] + t - 1) % 4
                sq[whole_edge, t] = ms[w][rw[whole_edge], k[whole_edge]]
            if part.any():
                pr = np.nonzero(part)
                sq[pr] = self._eval(Xs[w][pr[0]] + Sf[w][pr[0]] * sp[pr].real,
                                    Ys[w][pr[0]] + Sf[w][pr[0]] * sp[pr].imag)
            # The middle crossing against the chord of the cut.
            chord_p = bp[rw, n_side + 1] - bp[:, 0]
            with np.errstate(invalid="ignore", divide="ignore"):
                tau = np.real((p_mid[w] - bp[:, 0]) * np.conj(chord_p)) / np.abs(chord_p) ** 2
            sp[:, 5] = p_mid[w]
            sq[:, 5] = q_mid[w]
            sa[:, 5] = bq[:, 0] + np.nan_to_num(tau) * (bq[rw, n_side + 1] - bq[:, 0])
            sb[:, 5] = sa[:, 5]
            sused[:, 5] = np.abs(chord_p) > 0
            offset = np.where(sused, sq - (sa + sb) * 0.5, 0)
            # The side's frame: the affine map fitted to its vertices.
            vp = np.concatenate([bp, p_mid[w][:, None]], axis=1)
            vq = np.concatenate([bq, q_mid[w][:, None]], axis=1)
            used = np.concatenate([bused, np.ones((len(w), 1), dtype=bool)], axis=1)
            j1, j2 = _affine_frame(vp, vq, used)
            dev = np.where(sused, _in_frame(j1[:, None], j2[:, None], offset), 0.0)
            dev = np.where(np.isnan(dev), np.inf, dev).max(axis=1)
            misplaced = (np.abs(offset) * np.abs(sb - sa) * (2.0 / 3.0)).sum(axis=1)
            # The side's share of the pixel: its polygon in the input plane.
            side_area = np.zeros(len(w))
            for t in range(5):
                side_area += np.where(t <= n_side, 0.5 * np.abs(_cross(bp[:, t] - p_mid[w],
                                                                       bp[:, t + 1] - p_mid[w])), 0)
            side_share = side_area * (Sf[w] / _UNIT) ** 2
            with np.errstate(invalid="ignore"):
                fine = np.isfinite(np.where(sused, sq, 0)).all(axis=1)
                fine &= (dev <= _FOLD) & (
                    (dev <= _TOLERANCE) | (misplaced <= _TOLERANCE * self.typical * side_share))
            # The fan turns the way the map turns (triangles of no area allowed).
            signs = np.zeros((len(w), 5))
            for t in range(5):
                signs[:, t] = np.where(t <= n_side, np.sign(_cross(bq[:, t] - q_mid[w],
                                                                   bq[:, t + 1] - q_mid[w])), 0)
            turn = self._turn(signs.sum(axis=1))
            fine &= ((signs == 0) | (signs == turn)).all(axis=1)
            good[w] &= fine
        sel = np.flatnonzero(good)
        if len(sel):
            done[idx[sel]] = True
            self.leaves.cuts.append(_Cut(
                X[idx][sel], Y[idx][sel], S[idx][sel], src[idx][sel], qs[sel], ka[sel], kb[sel],
                ta[sel], tb[sel], qa[sel], qb[sel], pa[sel], pb[sel], pm[sel], qm[sel], keep[sel]))
        return done

    def _bisect(self, p0: C128, p1: C128, X: F64, Y: F64, S: F64, q0: C128, q1: C128,
                offsky: B) -> tuple[F64, C128]:
        """Locate the crossing on each segment p0 -> p1 (relative to the
        piece's first corner (X, Y), in units of its side S) between t = 0
        (image q0) and t = 1 (image q1). A point is on the start's side when
        it is on the sky exactly when the start is (cut by the edge of the
        sky), or when its image is nearer the start side's than the end
        side's (at a seam). Returns t (the middle of the final bracket; NaN
        where the ends are not on two sides) and the images at the
        bracket's two ends."""
        n = len(q0)
        lo, hi = np.zeros(n), np.ones(n)
        qlo, qhi = q0.copy(), q1.copy()
        start_fin = np.isfinite(q0)
        for _ in range(_BISECT):
            t = 0.5 * (lo + hi)
            p = p0 + t * (p1 - p0)
            qt = self._eval(X + S * p.real, Y + S * p.imag)
            with np.errstate(invalid="ignore"):
                near_lo = np.abs(qt - qlo) < np.abs(qt - qhi)
            first = np.where(offsky, np.isfinite(qt) == start_fin, near_lo)
            lo = np.where(first, t, lo)
            hi = np.where(first, hi, t)
            qlo = np.where(first, qt, qlo)
            qhi = np.where(first, qhi, qt)
        with np.errstate(invalid="ignore"):
            two_sides = np.where(offsky, np.isfinite(q0) != np.isfinite(q1),
                                 np.abs(qhi - qlo) * 4 >= np.abs(q1 - q0))
        t = np.where(two_sides, 0.5 * (lo + hi), np.nan)
        return t, np.stack([qlo, qhi], axis=1)

    def pieces(self) -> Pieces:
        return _assemble(self.leaves, self.xs, self.ys, self.whole, self.origin)


class _Keys:
    """Exact int64 keys of integer points (X, Y): the ranks of X and Y among
    given values, combined. Points with a coordinate outside those values
    are reported as unknown."""

    def __init__(self, X: I64, Y: I64) -> None:
        self.ux, self.uy = np.unique(X), np.unique(Y)

    def __call__(self, X: I64, Y: I64) -> tuple[I64, B]:
        ix = np.searchsorted(self.ux, X)
        iy = np.searchsorted(self.uy, Y)
        known = (ix < len(self.ux)) & (iy < len(self.uy))
        known &= self.ux[np.minimum(ix, len(self.ux) - 1)] == X
        known &= self.uy[np.minimum(iy, len(self.uy) - 1)] == Y
        return ix.astype(np.int64) * len(self.uy) + iy, known


def _assemble(leaves: _Leaves, xs: F64, ys: F64, whole: B, origin: tuple[int, int]) -> Pieces:
    """The pieces as quads, with every corner that lies inside an edge of a
    larger piece (or of a whole pixel) moved onto that edge's line. Leaf
    positions are in units of the image, whose pixel `origin` is the
    window's (0, 0)."""
    ny, nx = whole.shape
    oy, ox = origin
    parts = leaves.parts
    cuts = leaves.cuts
    if not parts and not cuts:
        return no_pieces()

    def cat(items: list[Any], empty: Any) -> Any:
        return np.concatenate(items) if items else empty

    e64 = np.empty(0, dtype=np.int64)
    kX = cat([p[0] for p in parts], e64)
    kY = cat([p[1] for p in parts], e64)
    kS = cat([p[2] for p in parts], e64)
    ksrc = cat([p[3] for p in parts], np.empty(0, dtype=np.intp))
    kq = cat([p[4] for p in parts], np.empty((0, 4), dtype=np.complex128))
    cut = _Cut(*(cat([getattr(c, f) for c in cuts], None) for f in _Cut._fields)) if cuts else None
    cX = cut.X if cut is not None else e64
    cY = cut.Y if cut is not None else e64
    cS = cut.S if cut is not None else e64
    cq = cut.q if cut is not None else np.empty((0, 4), dtype=np.complex128)

    # Every corner of every leaf, as (X, Y) in units, with its own image.
    off = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype=np.int64)
    allX = np.concatenate([kX, cX])
    allY = np.concatenate([kY, cY])
    allS = np.concatenate([kS, cS])
    PX = (allX[:, None] + off[:, 0] * allS[:, None]).ravel()
    PY = (allY[:, None] + off[:, 1] * allS[:, None]).ravel()
    Pq = np.concatenate([kq, cq]).ravel()
    keys = _Keys(PX, PY)
    key, _ = keys(PX, PY)
    ukey, first = np.unique(key, return_index=True)
    uX, uY = PX[first], PY[first]
    image = Pq[first].copy()

    # Leaves by size, to look edges up: keys of their lower-left corners.
    leaf_keys = {}
    leaf_is_cut = {}
    for sizes, Xa, Ya, iscut in ((kS, kX, kY, False), (cS, cX, cY, True)):
        for s in np.unique(sizes):
            sel = sizes == s
            leaf_keys.setdefault(int(s), []).append(keys(Xa[sel], Ya[sel])[0])
            leaf_is_cut.setdefault(int(s), []).append(
                np.flatnonzero(sel) if iscut else np.full(int(sel.sum()), -1))
    tables = {}
    for s in leaf_keys:
        ks = np.concatenate(leaf_keys[s])
        cs = np.concatenate(leaf_is_cut[s])
        order = np.argsort(ks, kind="stable")
        tables[s] = (ks[order], cs[order])

    def find(s: int, kx: I64, ky: I64) -> tuple[B, npt.NDArray[np.intp]]:
        """Whether a leaf of size s has its lower-left corner at (kx, ky),
        and its index among the cut leaves (-1 for a kept one)."""
        if s not in tables:
            return np.zeros(len(kx), dtype=bool), np.full(len(kx), -1)
        ks, cs = tables[s]
        k, known = keys(kx, ky)
        pos = np.clip(np.searchsorted(ks, k), 0, max(len(ks) - 1, 0))
        hit = (ks[pos] == k) & known if len(ks) else np.zeros(len(k), dtype=bool)
        return hit, np.where(hit, cs[pos], -1)

    def whole_at(px: I64, py: I64) -> B:
        """Whether pixel (py, px) (in pixels) exists and is taken whole."""
        px, py = px - ox, py - oy
        inside = (px >= 0) & (px < nx) & (py >= 0) & (py < ny)
        res = np.zeros(len(px), dtype=bool)
        res[inside] = whole[py[inside], px[inside]]
        return res

    # For every point, the largest leaf (or whole pixel) with the point
    # strictly inside one of its edges: that edge's ends and the fraction.
    npnt = len(uX)
    dsize = np.zeros(npnt, dtype=np.int64)
    e0X = np.zeros(npnt, dtype=np.int64)
    e0Y = np.zeros(npnt, dtype=np.int64)
    horiz = np.zeros(npnt, dtype=bool)
    dcut = np.full(npnt, -1)  # cut leaf that owns the edge, or -1
    dedge = np.zeros(npnt, dtype=np.intp)  # that leaf's edge number (quad order)
    s = _UNIT
    while s >= 2:
        todo = dsize == 0
        for horizontal in (True, False):
            along, across = (uX, uY) if horizontal else (uY, uX)
            on = todo & (across % s == 0) & (along % s != 0)
            if not on.any():
                continue
            w = np.flatnonzero(on)
            a0 = along[w] - along[w] % s
            c = across[w]
            found = np.zeros(len(w), dtype=bool)
            # (lower-left corner of the leaf, the shared edge's number in it)
            for lead, edge_no in ((c, 0 if horizontal else 3), (c - s, 2 if horizontal else 1)):
                lx, ly = (a0, lead) if horizontal else (lead, a0)
                if s == _UNIT:
                    hit = whole_at(lx // _UNIT, ly // _UNIT) & ~found
                    ci = np.full(len(w), -1)
                    hit_leaf, ci_leaf = find(s, lx, ly)
                    hit |= hit_leaf & ~found
                    ci = np.where(hit_leaf, ci_leaf, ci)
                else:
                    hit, ci = find(s, lx, ly)
                    hit &= ~found
                sel = w[hit]
                dsize[sel] = s
                e0X[sel] = a0[hit] if horizontal else c[hit]
                e0Y[sel] = c[hit] if horizontal else a0[hit]
                horiz[sel] = horizontal
                dcut[sel] = ci[hit]
                dedge[sel] = edge_no
                found |= hit
        s //= 2

    def lookup(X: I64, Y: I64) -> C128:
        """Images of points that are leaf corners or lattice points."""
        k, known = keys(X, Y)
        pos = np.clip(np.searchsorted(ukey, k), 0, len(ukey) - 1)
        hit = (ukey[pos] == k) & known
        res = image[pos].copy()
        lat = ~hit
        if lat.any():
            i, j = X[lat] // _UNIT - ox, Y[lat] // _UNIT - oy
            res[lat] = xs[j, i] + 1j * ys[j, i]
        return res

    # Move points onto their edges, largest edges first: an edge's ends lie
    # on multiples of its size, so they are settled before its inside.
    for s in sorted(np.unique(dsize[dsize > 0]), reverse=True):
        w = np.flatnonzero(dsize == s)
        ax, ay = e0X[w], e0Y[w]
        bx = ax + np.where(horiz[w], s, 0)
        by = ay + np.where(horiz[w], 0, s)
        t = np.where(horiz[w], uX[w] - ax, uY[w] - ay) / float(s)
        qa_, qb_ = lookup(ax, ay), lookup(bx, by)
        res = qa_ + t * (qb_ - qa_)
        ci = dcut[w]
        if cut is not None and (ci >= 0).any():
            # An edge cut by a seam or the sky's edge is two straight
            # segments: corner to crossing, crossing to corner.
            c = np.flatnonzero(ci >= 0)
            li = ci[c]
            en = dedge[w][c]
            tc = np.where(cut.ka[li] == en, cut.ta[li], np.where(cut.kb[li] == en, cut.tb[li], np.nan))
            qc = np.where((cut.ka[li] == en)[:, None], cut.qa[li], cut.qb[li])
            # Parameters along the quad-order edge: edges 2 and 3 run back.
            back = en >= 2
            tq = np.where(back, 1 - t[c], t[c])
            qs_, qe_ = np.where(back, qb_[c], qa_[c]), np.where(back, qa_[c], qb_[c])
            cutting = np.isfinite(tc)
            with np.errstate(invalid="ignore", divide="ignore"):
                before = qs_ + (tq / tc) * (qc[:, 0] - qs_)
                after = qc[:, 1] + ((tq - tc) / (1 - tc)) * (qe_ - qc[:, 1])
            seg = np.where(tq < tc, before, after)
            res[c] = np.where(cutting, seg, res[c])
        image[w] = res

    def final(X: I64, Y: I64, S: I64) -> C128:
        cx = (X[:, None] + off[:, 0] * S[:, None]).ravel()
        cy = (Y[:, None] + off[:, 1] * S[:, None]).ravel()
        pos = np.searchsorted(ukey, keys(cx, cy)[0])
        return image[pos].reshape(len(X), 4)

    quads = [final(kX, kY, kS)]
    unit2 = float(_UNIT) ** 2
    shares = [(kS.astype(np.float64) ** 2) / unit2]
    sources = [ksrc]
    if cut is not None:
        cq_final = final(cX, cY, cS)
        tq, ts, tsrc = _cut_triangles(cut, cq_final)
        quads.append(tq)
        shares.append(ts)
        sources.append(tsrc)
    allq = np.concatenate(quads)
    out = np.empty((len(allq), 4, 2))
    out[:, :, 0] = allq.real
    out[:, :, 1] = allq.imag
    return Pieces(out, np.concatenate(sources).astype(np.intp), np.concatenate(shares))


def _sides(ka: npt.NDArray[np.intp], kb: npt.NDArray[np.intp], pa: C128, qa: C128, pb: C128,
           qb: C128, pm: C128, qm: C128, keep: B) -> list[tuple[Any, ...]]:
    """The two sides of split pieces: for each, its first corner and number
    of corners, the crossing it starts from and the one it ends at (input
    position, image from this side), the middle crossing and whether the
    side is kept. Side 1 runs from ka's crossing over the corners ka + 1 ..
    kb to kb's crossing; side 2 from kb's crossing over kb + 1 .. ka to
    ka's."""
    rows = np.arange(len(ka))
    return [((ka + 1) % 4, (kb - ka) % 4, pa, qa[:, 1], pb, qb[:, 0], pm, qm[:, 0],
             keep[rows, (ka + 1) % 4]),
            ((kb + 1) % 4, (ka - kb) % 4, pb, qb[:, 1], pa, qa[:, 0], pm, qm[:, 1], keep[rows, ka])]


_UNIT_SQUARE = np.array([0, 1, 1 + 1j, 1j])  # a piece's corners, in units of its side


def _side_vertices(first: npt.NDArray[np.intp], count: npt.NDArray[np.intp], p_in: C128, q_in: C128,
                   p_out: C128, q_out: C128, q: C128) -> tuple[C128, C128, B]:
    """Boundary of one side per piece: the start crossing, `count` corners
    from `first` on, the end crossing; padded to 6 with unused entries."""
    n = len(first)
    rows = np.arange(n)
    vp = np.zeros((n, 6), dtype=np.complex128)
    vq = np.zeros((n, 6), dtype=np.complex128)
    used = np.zeros((n, 6), dtype=bool)
    vp[:, 0], vq[:, 0], used[:, 0] = p_in, q_in, True
    for step in range(4):
        k = (first + step) % 4
        has = step < count
        vp[has, step + 1] = _UNIT_SQUARE[k[has]]
        vq[has, step + 1] = q[rows[has], k[has]]
        used[has, step + 1] = True
    vp[rows, count + 1], vq[rows, count + 1], used[rows, count + 1] = p_out, q_out, True
    return vp, vq, used


def _affine_frame(vp: C128, vq: C128, used: B) -> tuple[C128, C128]:
    """The derivatives (d/dx, d/dy) of the least-squares affine map taking
    the input points `vp` to their images `vq` (the entries in `used`)."""
    used = used & np.isfinite(vp) & np.isfinite(vq)
    vp, vq = np.where(used, vp, 0), np.where(used, vq, 0)
    w = used.astype(np.float64)
    m = np.stack([w, vp.real * w, vp.imag * w], axis=2)  # (n, p, 3)
    coef = np.einsum("nkp,np->nk", np.linalg.pinv(m), vq)  # (n, 3): offset, d/dx, d/dy
    return coef[:, 1], coef[:, 2]


def _cut_triangles(cut: _Cut, q: C128) -> tuple[C128, F64, npt.NDArray[np.intp]]:
    """The kept sides of split pieces as triangles (quads with a repeated
    corner) fanned from the middle crossing. A side's share of its pixel is
    its area in the input plane (the polygon through its corners and the
    three crossings); its triangles divide it in proportion to their mapped
    areas, as a pixel's value spreads evenly over its image (a triangle whose
    image has no area, at a point where the cut collapses, takes none)."""
    side_px = cut.S.astype(np.float64) / _UNIT  # the piece's side, in pixels
    out_q: list[C128] = []
    out_s: list[F64] = []
    out_src: list[npt.NDArray[np.intp]] = []
    for first, count, p_in, q_in, p_out, q_out, p_mid, q_mid, kept in _sides(
            cut.ka, cut.kb, cut.pa, cut.qa, cut.pb, cut.qb, cut.pm, cut.qm, cut.keep):
        vp, vq, _ = _side_vertices(first, count, p_in, q_in, p_out, q_out, q)
        tri_p = np.zeros((len(count), 5))
        tri_q = np.zeros((len(count), 5))
        for t in range(5):
            has = t <= count
            tri_p[:, t] = np.where(has, 0.5 * np.abs(_cross(vp[:, t] - p_mid, vp[:, t + 1] - p_mid)), 0)
            tri_q[:, t] = np.where(has, 0.5 * np.abs(_cross(vq[:, t] - q_mid, vq[:, t + 1] - q_mid)), 0)
        side_share = tri_p.sum(axis=1) * side_px ** 2
        image = tri_q.sum(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            fraction = np.where(image[:, None] > 0, tri_q / image[:, None], 0.0)
        for t in range(5):
            sel = np.flatnonzero((t <= count) & kept & (fraction[:, t] > 0))
            if len(sel) == 0:
                continue
            out_s.append(side_share[sel] * fraction[sel, t])
            out_q.append(np.stack([q_mid[sel], vq[sel, t], vq[sel, t + 1], vq[sel, t + 1]], axis=1))
            out_src.append(cut.src[sel])
    if not out_q:
        return np.empty((0, 4), dtype=np.complex128), np.empty(0), np.empty(0, dtype=np.intp)
    return np.concatenate(out_q), np.concatenate(out_s), np.concatenate(out_src)
