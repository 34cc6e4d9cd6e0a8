"""Mosaics and co-adds: many frames, or many batches of quadrilaterals, added
onto one output grid.

A `Mosaic` holds four sums per output cell (the weighted values, the
weight, the flux and, when the frames carry one, the variance) and nothing
else: each `Mosaic.add` parses its frame, evaluates the transform on the
frame's corner lattice, cuts the pixels one quad does not represent (as
`pellorin.reproject` does, with the same helpers) and makes one call into
the engine, which adds the frame's terms to the sums in place.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Sequence
from typing import Any, Literal, Optional, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _engine
from ._arguments import engine_array, thread_count
from ._geometry import PixelMap, corner_lattice, plan
from ._reproject import PixelTransform, WCSLike, _allocate, _data_argument, _geometry_argument, _pixel_map

__all__ = ["Mosaic"]

_F64 = npt.NDArray[np.float64]

# The layout of a pickled mosaic; a later layout keeps reading this one.
_STATE_VERSION = 1


def _mosaic_shape(shape_out: Any) -> tuple[int, ...]:
    """The mosaic's shape: leading axes (a stack), then (ny_out, nx_out)."""
    try:
        if isinstance(shape_out, (str, bytes)):
            raise TypeError
        dims = tuple(operator.index(s) for s in shape_out)
    except TypeError:
        raise TypeError(f"shape_out must be a sequence of integers (..., rows, columns), "
                        f"got {shape_out!r}") from None
    if len(dims) < 2:
        raise ValueError(f"shape_out must have at least 2 entries (rows, columns), got {dims}")
    if any(d < 0 for d in dims):
        raise ValueError(f"shape_out must not be negative, got {dims}")
    return dims


def _real_array(name: str, value: Any) -> _F64:
    """``value`` as float64; masked entries become NaN."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be real numbers, got text")
    if isinstance(value, np.ma.MaskedArray):
        if value.dtype.kind not in "biuf":
            raise TypeError(f"{name} must be real numbers, got dtype {value.dtype}")
        return np.ma.filled(value.astype(np.float64), np.nan)
    arr = np.asarray(value)
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got dtype {arr.dtype}")
    return np.asarray(arr, dtype=np.float64)


def _weights_argument(weights: Any, shape: tuple[int, ...]) -> Optional[_F64]:
    """One weight per input pixel, C-contiguous float64 of `shape`, or None
    for unit weights. NaN (and a masked entry) is kept: the engine leaves a
    pixel whose weight is not > 0 out, as it does a weight of 0."""
    if weights is None:
        return None
    w = _real_array("weights", weights)
    if w.ndim == 0:
        value = float(w)
        if value < 0.0 or math.isinf(value):
            raise ValueError(f"weights must be finite and >= 0, got {value!r}")
        return np.full(shape, value, dtype=np.float64)
    try:
        w = np.broadcast_to(w, shape)
    except ValueError:
        raise ValueError(f"weights of shape {w.shape} do not match the input pixels {shape}; "
                         f"give a scalar or one weight per pixel") from None
    with np.errstate(invalid="ignore"):
        if bool((w < 0.0).any()) or bool(np.isinf(w).any()):
            raise ValueError("weights must be finite and >= 0 (0 leaves a pixel out)")
    return engine_array(w)


def _variance_argument(variance: Any, shape: tuple[int, ...]) -> Optional[_F64]:
    """One variance per value, C-contiguous float64 of `shape`, or None."""
    if variance is None:
        return None
    var = _real_array("variance", variance)
    try:
        var = np.broadcast_to(var, shape)
    except ValueError:
        raise ValueError(f"variance of shape {var.shape} does not match the values "
                         f"{shape}") from None
    with np.errstate(invalid="ignore"):
        if bool((var < 0.0).any()):
            raise ValueError("variance must be >= 0")
    return engine_array(var)


def _missing_where_variance_is(planes: _F64, var: Optional[_F64]) -> _F64:
    """The values with NaN wherever the variance is NaN (a value of unknown
    variance is missing); `planes` itself is not written to."""
    if var is None:
        return planes
    unknown = np.isnan(var)
    if not unknown.any():
        return planes
    planes = planes.copy()
    planes[unknown] = np.nan
    return planes


class Mosaic:
    """Frames (or quadrilaterals) added one after another onto one output
    grid, with weights and propagated variance.

    Parameters
    ----------
    shape_out : sequence of int
        ``(ny_out, nx_out)``, or leading axes followed by them: a stack of
        mosaics over one geometry (a spectral cube, several bands), which
        every added frame carries as its own leading axes.

    Notes
    -----
    **The sums.** With ``a`` the area of the overlap of input pixel ``i``
    with output cell ``c`` (in output pixels; with spherical pixels, the
    fraction of the cell's solid angle), ``A_i`` the pixel's own
    mapped area, ``w_i`` its weight, ``v_i`` its value and ``var_i`` its
    variance, the mosaic holds per cell and plane::

        S = sum(w_i a v_i)           weighted values
        W = sum(w_i a)               weight: exposure or coverage
        F = sum(w_i a v_i / A_i)     flux: each pixel's value shared out
        V = sum((w_i a)**2 var_i)    variance of S, when the frames carry one

    over every pixel of every frame added. `mean` is ``S / W``, `weight` is
    ``W``, `flux` is ``F``, `variance` is ``V / W**2``. Each sum is updated
    in place by `add`, `add_quads` and `merge`.

    **Memory** is the four sums (three without variance: ``V`` is made at
    the first frame that carries a variance), each ``float64`` of the
    mosaic's shape (``W`` has one plane for a whole stack until a frame
    misses a pixel in some planes and not in others), plus, during `add`,
    one frame's working set: its values as ``float64``, the transform on
    its corner lattice and the pieces of the pixels that need cutting. It
    does not grow with the number of frames.

    **Order and rounding.** Each frame's terms are formed the same way
    whatever else the mosaic holds, and added to the sums in an order fixed
    by the frame and the output grid (not by the thread count): the same
    frames added in the same order give the same bits. Added in another
    order, or split over several mosaics joined by `merge`, a cell's sum
    is the same terms summed in another order: for a cell that receives
    ``K`` terms ``t_k``, every order lies within ``gamma_K * sum|t_k|`` of
    the exact sum (``gamma_K = K u / (1 - K u)``, ``u = 2**-53``), so two
    groupings differ by at most ``2 gamma_K sum|t_k|``. ``W`` and ``V`` have
    only terms >= 0, so their relative difference is at most ``2 gamma_K``;
    for ``S`` the sum of ``|t_k|`` is the ``S`` of a mosaic of ``|data|``.
    ``K`` is the number of input pixels (pieces count singly) that overlap
    the cell, over all frames.

    **Pickling.** A mosaic pickles with its sums, so that mosaics made in
    other processes or on other machines come back to be merged.

    Examples
    --------
    Two frames dithered by half a pixel, the second with three times the
    exposure:

    >>> import numpy as np
    >>> import pellorin
    >>> m = pellorin.Mosaic((4, 6))
    >>> frame = np.ones((4, 4))
    >>> m.add(frame, lambda x, y: (x + 1, y))
    >>> m.add(5 * frame, lambda x, y: (x + 1.5, y), weights=3.0)
    >>> m.mean()[0]
    array([nan, 3.4, 4. , 4. , 4. , 5. ])
    >>> m.weight()[0]
    array([0. , 2.5, 4. , 4. , 4. , 1.5])
    """

    def __init__(self, shape_out: Sequence[SupportsIndex]) -> None:
        self._shape = _mosaic_shape(shape_out)
        self._planes = math.prod(self._shape[:-2])
        plane_shape = (self._planes,) + self._shape[-2:]
        self._sum, self._flux = _allocate(plane_shape, 2, self._shape)
        (self._weight,) = _allocate((1,) + self._shape[-2:], 1, self._shape)
        self._variance: Optional[_F64] = None
        self._frames = 0

    # -- what the mosaic holds ------------------------------------------------

    @property
    def shape(self) -> tuple[int, ...]:
        """The shape of the mosaic (and of every result): ``shape_out``."""
        return self._shape

    @property
    def frames(self) -> int:
        """How many frames (calls of `add` or `add_quads`) the mosaic holds,
        merged mosaics included."""
        return self._frames

    @property
    def has_variance(self) -> bool:
        """Whether the frames carried a variance (and `variance` is known)."""
        return self._variance is not None

    def mean(self) -> npt.NDArray[np.float64]:
        """The weighted mean ``S / W`` of each output pixel.

        Returns
        -------
        ndarray of float64, of the mosaic's shape
            The mean of the input values that cover the pixel, each weighted
            by its weight times its overlap area; NaN where ``W`` is 0
            (nothing, or only pixels of weight 0, covered it).
        """
        weight = np.broadcast_to(self._weight, self._sum.shape)
        covered = weight > 0.0
        result = np.full(self._sum.shape, np.nan)
        np.divide(self._sum, weight, out=result, where=covered)
        return result.reshape(self._shape)

    def flux(self) -> npt.NDArray[np.float64]:
        """The flux ``F``: each input pixel's weighted value shared out over
        the output pixels in proportion to the area of it that each covers.

        Returns
        -------
        ndarray of float64, of the mosaic's shape
            0 where nothing covered. With unit weights, the total of one
            frame's flux is the total of its values (times the fraction of
            each pixel inside the grid); with weights ``w``, of ``w * data``.
        """
        return self._flux.copy().reshape(self._shape)

    def weight(self) -> npt.NDArray[np.float64]:
        """The weight ``W`` of each output pixel: the exposure map, or the
        coverage map with unit weights.

        Returns
        -------
        ndarray of float64, of the mosaic's shape
            ``sum(w a)`` over the input pixels that cover it: with unit
            weights, the number of frames covering it (fractions at the
            edges); with exposure times as weights, the exposure time.
        """
        return np.array(np.broadcast_to(self._weight, self._sum.shape)).reshape(self._shape)

    def variance(self) -> npt.NDArray[np.float64]:
        """The variance of `mean`: ``V / W**2``.

        Returns
        -------
        ndarray of float64, of the mosaic's shape
            ``sum((w a)**2 var) / sum(w a)**2``: the variance of the mean
            of each output pixel when the input pixels are independent. NaN
            where ``W`` is 0.

        Raises
        ------
        ValueError
            If frames were added without a variance.

        Notes
        -----
        Neighbouring output pixels are correlated: an input pixel that
        overlaps several of them adds the same noise to each. For one frame
        on a grid of the same pixel size, offset by ``(fx, fy)`` pixels
        (``0 <= fx, fy < 1``), with equal variances ``s``, each output pixel
        has variance ``s g(fx) g(fy)`` with ``g(f) = (1 - f)**2 + f**2``
        (between 1/2 and 1); the correlation of horizontal neighbours is
        ``r(fx) = fx (1 - fx) / g(fx)``, of vertical ones ``r(fy)``, of
        diagonal ones ``r(fx) r(fy)``: up to 0.5 and 0.25 at half-pixel
        offsets, 0.285 (``pi / 4 - 1 / 2``) and 0.081 on average over random
        offsets. The variance of a sum over a large area is therefore
        ``1 / (g(fx) g(fy))`` times the sum of these variances: up to 4 at
        half-pixel offsets, 2.47 (``(pi / 2)**2``) on average. Estimate the
        noise of an aperture from the input frames, or scale by that factor.
        """
        if self._variance is None:
            if self._frames:
                raise ValueError("the frames of this mosaic were added without variance")
            return np.full(self._shape, np.nan)
        weight = np.broadcast_to(self._weight, self._variance.shape)
        covered = weight > 0.0
        result = np.full(self._variance.shape, np.nan)
        np.divide(self._variance, weight * weight, out=result, where=covered)
        return result.reshape(self._shape)

    # -- adding frames --------------------------------------------------------

    def add(self, data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike], *,
            weights: Optional[npt.ArrayLike] = None, variance: Optional[npt.ArrayLike] = None,
            threads: Optional[SupportsIndex] = None,
            geometry: Literal["auto", "plane", "sphere"] = "auto") -> None:
        """Add one frame: an image (or a stack) through its map onto the
        mosaic's grid.

        Parameters
        ----------
        data : array_like, real, shape (..., ny, nx)
            The frame, indexed ``[y, x]``; its leading axes are the mosaic's
            (none for a 2-D mosaic). Masked and NaN values are missing: they
            contribute nothing and cover nothing in their plane.
        transform : callable or (wcs_in, wcs_out)
            From the frame's pixel coordinates to the mosaic's, exactly as
            `pellorin.reproject` takes it: a vectorised callable ``(x, y) ->
            (x_out, y_out)`` or a pair of WCS-like objects (two astropy WCS
            in different celestial frames are related through astropy's
            coordinate transformations). Seams, poles and pixels partly off
            the sky are handled as there.
        weights : float or array_like, shape (ny, nx), optional
            The weight of every pixel (one value for the frame, such as its
            exposure time, or a map, such as the inverse variance), finite
            and >= 0; 0, NaN or a masked entry leaves the pixel out. 1 when
            None.
        variance : array_like, shape of `data`, optional
            The variance of every value, >= 0; a NaN makes the value
            missing. Either every frame of a mosaic carries one or none does.
        threads : int, optional
            Number of threads (None: the cores available to the process).
            The result does not depend on it.
        geometry : {"auto", "plane", "sphere"}, optional
            How a pixel is taken, as in `pellorin.reproject`: planar quads,
            or, for a pair of celestial WCS, spherical polygons (overlaps
            as solid angles, ``a`` then the fraction of the cell's solid
            angle and ``a / A_i`` that of the pixel's); ``"auto"`` (the
            default) takes the spherical geometry where the planar weights
            would stray from solid angles by more than 1e-5 of a pixel's.

        Raises
        ------
        TypeError
            For data, weights or variance that are not real numbers, or a
            transform of another kind (as `pellorin.reproject`).
        ValueError
            If the frame's leading axes are not the mosaic's, `weights` or
            `variance` do not match the frame, a weight is negative or
            infinite, a variance is negative, or the frame's variance is
            given or missing unlike the frames before.

        Notes
        -----
        See `pellorin.reproject` for what is exact (straight-edged quads in
        the output's pixel plane), the cutting of pixels and the rounding of
        the overlap areas. The frame's pixels and pieces are added as they
        are there; the terms are those listed in `Mosaic`.
        """
        workers = thread_count(threads)
        pmap = _pixel_map(transform)
        arr = _data_argument(data)
        lead = self._shape[:-2]
        if arr.shape[:-2] != lead:
            raise ValueError(f"data of shape {arr.shape} does not fit the mosaic of shape "
                             f"{self._shape}: its leading axes must be {lead}")
        ny, nx = arr.shape[-2:]
        w = _weights_argument(weights, (ny, nx))
        var = _variance_argument(variance, arr.shape)
        self._check_variance(var is not None)
        planes = engine_array(arr.reshape((self._planes, ny, nx)))
        if var is not None:
            var = var.reshape(planes.shape)
        planes = _missing_where_variance_is(planes, var)
        work = bool(planes.size and self._sum.size)
        sphere = _geometry_argument(geometry, transform, (ny, nx), self._shape[-2:]) == "sphere"
        if work and sphere:
            self._add_sphere(planes, transform, w, var, workers)
        else:
            self._add_plane(planes, pmap, w, var, workers, work)
        self._frames += 1

    def _add_plane(self, planes: _F64, pmap: PixelMap, w: Optional[_F64], var: Optional[_F64], workers: int,
                   work: bool) -> None:
        """`add` with planar pixels (quads, and the pieces of the pixels that
        need cutting)."""
        ny, nx = planes.shape[1:]
        if work:
            # The transform's errors come before any change to the mosaic.
            xs, ys = corner_lattice(pmap, ny, nx)
            wanted = ~np.isnan(planes).all(axis=0)
            if w is not None:
                wanted &= w > 0.0
            layout = plan(pmap, xs, ys, wanted=wanted, threads=workers)
        self._ready_for(planes, var is not None)
        if work:
            pieces = layout.pieces
            cut = len(pieces.source) > 0
            _engine.accumulate(xs, ys, planes, self._sum, self._weight, self._flux, self._variance,
                               take=layout.whole, piece_quads=pieces.quads if cut else None,
                               piece_source=pieces.source if cut else None,
                               piece_share=pieces.share if cut else None, weights=w,
                               variance=var, per_plane=self._weight.shape[0] > 1, threads=workers)

    def _add_sphere(self, planes: _F64, pair: Any, w: Optional[_F64], var: Optional[_F64],
                    workers: int) -> None:
        """`add` with spherical pixels: the terms of `Mosaic`, each overlap
        taken as a fraction of its cell's solid angle."""
        from .astro._sphere import sphere_geometry

        # The WCS's errors come before any change to the mosaic.
        geometry = sphere_geometry(pair[0], pair[1], (planes.shape[1], planes.shape[2]),
                                   (self._shape[-2], self._shape[-1]), workers)
        self._ready_for(planes, var is not None)
        _engine.sphere_accumulate(geometry.corners_in, geometry.corners_out, geometry.spans, planes, self._sum,
                                  self._weight, self._flux, **geometry.patches, threads=workers, pixel_weights=w,
                                  variance=var, variance_sums=self._variance if var is not None else None,
                                  per_cell=True)

    def add_quads(self, quads: npt.ArrayLike, values: npt.ArrayLike, *,
                  weights: Optional[npt.ArrayLike] = None,
                  variance: Optional[npt.ArrayLike] = None,
                  threads: Optional[SupportsIndex] = None) -> None:
        """Add quadrilaterals already in the mosaic's pixel coordinates:
        swath footprints from their corners' latitudes and longitudes,
        detector pixels mapped by another pipeline.

        Parameters
        ----------
        quads : array_like, real, shape (n, 4, 2)
            Four ``(x, y)`` corners per quad, in order around it (either
            winding), in output pixel coordinates: cell ``(r, c)`` is the
            square ``[c - 0.5, c + 0.5] x [r - 0.5, r + 0.5]``.
        values : array_like, real, shape (..., n)
            The value of each quad, after the mosaic's leading axes. NaN or
            masked values are missing.
        weights : float or array_like, shape (n,), optional
            As in `add`: one weight or one per quad, finite and >= 0.
        variance : array_like, shape of `values`, optional
            As in `add`.
        threads : int, optional
            Number of threads; the result does not depend on it.

        Raises
        ------
        TypeError
            For arguments that are not real numbers.
        ValueError
            For `quads` not of shape (n, 4, 2), `values` not of shape
            ``leading axes + (n,)``, and weights and variance as in `add`.

        Notes
        -----
        Each quad is one input pixel with ``A`` its own area: its overlaps
        with the cells are exact up to rounding for simple quads (convex or
        not, of either winding); for a self-intersecting quad they are the
        absolute integral of its winding number. A quad with a NaN or
        infinite corner, or of zero area, adds nothing; parts outside the
        grid count nowhere.
        """
        workers = thread_count(threads)
        q = _real_array("quads", quads)
        if q.ndim != 3 or q.shape[1:] != (4, 2):
            raise ValueError(f"quads must have shape (n, 4, 2), got {q.shape}")
        n = q.shape[0]
        vals = _real_array("values", values)
        lead = self._shape[:-2]
        if vals.shape != lead + (n,):
            raise ValueError(f"values of shape {vals.shape} do not match the {n} quads and the "
                             f"mosaic's leading axes {lead}: expected {lead + (n,)}")
        w = _weights_argument(weights, (1, n))
        var = _variance_argument(variance, vals.shape)
        self._check_variance(var is not None)
        planes = engine_array(vals.reshape(self._planes, 1, n))
        if var is not None:
            var = var.reshape(planes.shape)
        planes = _missing_where_variance_is(planes, var)
        self._ready_for(planes, var is not None)
        if n and self._sum.size:
            # The quads are pieces (share 1) of a one-row image that has no
            # whole pixels; its lattice is never read as quads.
            lattice = np.zeros((2, n + 1))
            _engine.accumulate(lattice, lattice, planes, self._sum, self._weight, self._flux,
                               self._variance, take=np.zeros((1, n), dtype=np.uint8),
                               piece_quads=engine_array(q),
                               piece_source=np.arange(n, dtype=np.intp),
                               piece_share=np.ones(n), weights=w, variance=var,
                               per_plane=self._weight.shape[0] > 1, threads=workers)
        self._frames += 1

    def merge(self, other: Mosaic) -> None:
        """Add the sums of another mosaic of the same shape to this one.

        Mosaics of parts of the frames, made on other threads, processes or
        machines (a mosaic pickles), combine into the mosaic of all of them,
        to within the rounding bound given in `Mosaic`. `other` is not
        changed.

        Raises
        ------
        TypeError
            If `other` is not a `Mosaic`.
        ValueError
            If its shape differs, or one of the two holds frames without
            variance and the other frames with it.
        """
        if not isinstance(other, Mosaic):
            raise TypeError(f"can only merge a Mosaic, got {type(other).__name__}")
        if other._shape != self._shape:
            raise ValueError(f"cannot merge a mosaic of shape {other._shape} into one of shape "
                             f"{self._shape}")
        if other._frames == 0:
            return
        self._check_variance(other._variance is not None)
        if other._variance is not None and self._variance is None:
            (self._variance,) = _allocate(self._sum.shape, 1, self._shape)
        if other._weight.shape[0] > self._weight.shape[0]:
            self._per_plane_weight()
        # Read other's arrays before writing ours: other may be self.
        weight = other._weight.copy() if other is self else other._weight
        self._sum += other._sum
        self._flux += other._flux
        self._weight += weight
        if self._variance is not None and other._variance is not None:
            self._variance += other._variance
        self._frames += other._frames

    # -- state ----------------------------------------------------------------

    def _check_variance(self, given: bool) -> None:
        """Refuse a frame whose variance is given (or missing) unlike the
        frames before: the variance of the mean needs every frame's."""
        if self._frames == 0:
            if not given:
                self._variance = None
            return
        if given == (self._variance is not None):
            return
        if given:
            raise ValueError("this mosaic holds frames added without variance; a variance "
                             "must be given for every frame or for none")
        raise ValueError("this mosaic holds frames added with a variance; give variance= "
                         "for this one too")

    def _ready_for(self, planes: _F64, with_variance: bool) -> None:
        """Make the sums a frame of `planes` needs: ``V`` with its first
        variance, ``W`` per plane once planes miss different pixels."""
        if with_variance and self._variance is None:
            (self._variance,) = _allocate(self._sum.shape, 1, self._shape)
        if self._weight.shape[0] == 1 and self._planes > 1:
            missing = np.isnan(planes)
            if missing.any() and not (missing == missing[:1]).all():
                self._per_plane_weight()

    def _per_plane_weight(self) -> None:
        """One ``W`` plane per plane: each a copy of the shared one, which
        is what each plane's own sum would have been."""
        (weight,) = _allocate(self._sum.shape, 1, self._shape)
        weight[...] = self._weight
        self._weight = weight

    def __getstate__(self) -> dict[str, Any]:
        return {"version": _STATE_VERSION, "shape": self._shape, "frames": self._frames,
                "sum": self._sum, "weight": self._weight, "flux": self._flux,
                "variance": self._variance}

    def __setstate__(self, state: dict[str, Any]) -> None:
        if state.get("version") != _STATE_VERSION:
            raise ValueError(f"cannot read a pickled Mosaic of layout {state.get('version')!r}")
        self._shape = tuple(state["shape"])
        self._planes = math.prod(self._shape[:-2])
        self._frames = int(state["frames"])
        # Unpickled from a network stream (pickle protocol 5 buffers), the
        # sums may be read-only or unaligned; the engine adds into them in
        # place, so they are made writeable, aligned and C-contiguous.
        def sums(value: Optional[_F64]) -> Optional[_F64]:
            if value is None:
                return None
            return np.require(value, dtype=np.float64, requirements=["C", "A", "W", "O"])
        self._sum = sums(state["sum"])
        self._weight = sums(state["weight"])
        self._flux = sums(state["flux"])
        self._variance = sums(state["variance"])

    def __sizeof__(self) -> int:
        # The sums, which are almost all of a mosaic: schedulers that place
        # work by the size of its inputs (Dask's) then keep a partial mosaic
        # where it is rather than move it to a frame.
        sums = (self._sum, self._weight, self._flux, self._variance)
        return object.__sizeof__(self) + sum(a.nbytes for a in sums if a is not None)

    def __repr__(self) -> str:
        extra = ", with variance" if self._variance is not None else ""
        return f"<pellorin.Mosaic of shape {self._shape}, {self._frames} frame(s){extra}>"
