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
from ._arguments import MAX_THREADS, thread_count

__all__ = ["Pieces", "Sums", "accumulate", "no_pieces"]

F64 = npt.NDArray[np.float64]


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


def no_pieces() -> Pieces:
    """An empty piece list."""
    return Pieces(np.empty((0, 4, 2)), np.empty(0, dtype=np.intp), np.empty(0))


def accumulate(xs: F64, ys: F64, planes: F64, whole: npt.NDArray[np.bool_], pieces: Pieces,
               sums: Sums, *, weights: Optional[F64] = None, variance: Optional[F64] = None,
               threads: Optional[int] = None) -> None:
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
    variance : float64, shape (k, ny, nx) or broadcastable to it, optional
        The variance ``var`` of each input value; required by
        ``sums.variance``, unused otherwise.
    threads : int, optional
        Number of threads the work may use (counts above 4096 are used as
        4096); None for all the cores available to the process. Results are
        the same to the bit for any number.

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
    per plane.
    """
    k = planes.shape[0]
    wanted = [s for s in sums if s is not None]
    if not wanted or k == 0:
        return
    if sums.variance is not None and variance is None:
        raise ValueError("sums.variance needs the input variance")
    workers = min(thread_count(threads), MAX_THREADS)
    source = np.ascontiguousarray(pieces.source, dtype=np.int64)
    arrays = dict(take=np.ascontiguousarray(whole, dtype=np.bool_),
                  piece_quads=np.ascontiguousarray(pieces.quads, dtype=np.float64),
                  piece_source=source, piece_share=np.ascontiguousarray(pieces.share, dtype=np.float64))
    xs = np.ascontiguousarray(xs, dtype=np.float64)
    ys = np.ascontiguousarray(ys, dtype=np.float64)
    values = np.ascontiguousarray(planes, dtype=np.float64)
    var = None if variance is None else np.ascontiguousarray(np.broadcast_to(variance, planes.shape),
                                                             dtype=np.float64)
    w = None if weights is None else np.broadcast_to(np.asarray(weights, dtype=np.float64), planes.shape)
    if w is None or k == 1 or bool((w == w[0]).all()):
        # With one plane the two coverages are the same; with several, each
        # plane keeps its own (a NaN leaves the other planes' sums alone).
        _engine.accumulate(xs, ys, values, *sums, weights=None if w is None else np.ascontiguousarray(w[0]),
                           variance=var, per_plane=k > 1, threads=workers, **arrays)
        return
    for p in range(k):
        one = [None if s is None else s[p:p + 1] for s in sums]
        _engine.accumulate(xs, ys, values[p:p + 1], *one, weights=np.ascontiguousarray(w[p]),
                           variance=None if var is None else var[p:p + 1], threads=workers, **arrays)
