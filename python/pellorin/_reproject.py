"""Flux-conserving reprojection of an image (or a stack of images) through a
geometric map.

Three steps: the transform is evaluated on the input's corner lattice (with
frame conversion for a pair of astropy WCS, in `_wcs_pair`); the pixels that
one mapped quad does not represent are cut into pieces (`_geometry`); the
whole pixels and the pieces are accumulated over the output grid
(`_accumulate`), once for all planes of a cube.
"""

from __future__ import annotations

import math
import operator
import warnings
from collections.abc import Sequence
from typing import Any, Callable, Literal, Optional, Protocol, SupportsIndex, Union, overload

import numpy as np
import numpy.typing as npt

from ._accumulate import Sums, accumulate, shares_coverage
from ._arguments import thread_count
from ._geometry import PixelMap, corner_lattice, plan
from ._wcs_pair import celestial_pair, wcs_pair_map

__all__ = ["pixel_quads", "reproject", "WCSLike", "PixelTransform"]


class WCSLike(Protocol):
    """Any object with astropy's shared WCS interface (duck-typed)."""

    def pixel_to_world_values(self, *pixel_arrays: Any) -> Any: ...

    def world_to_pixel_values(self, *world_arrays: Any) -> Any: ...


#: A vectorised map ``(x, y) -> (x_out, y_out)`` on float64 arrays.
PixelTransform = Callable[[npt.NDArray[np.float64], npt.NDArray[np.float64]],
                          tuple[npt.ArrayLike, npt.ArrayLike]]

_F64 = npt.NDArray[np.float64]


def _shape2(shape: Any, name: str) -> tuple[int, int]:
    try:
        ny, nx = (operator.index(s) for s in shape)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of integers (rows, columns), got {shape!r}") from None
    if ny < 0 or nx < 0:
        raise ValueError(f"{name} must not be negative, got {(ny, nx)}")
    return ny, nx


def _output_shape(shape_out: Any, data_shape: tuple[int, ...]) -> tuple[int, ...]:
    """The whole output shape: data's leading axes, then (ny_out, nx_out)."""
    lead = data_shape[:-2]
    try:
        if isinstance(shape_out, (str, bytes)):
            raise TypeError
        dims = tuple(operator.index(s) for s in shape_out)
    except TypeError:
        raise TypeError(f"shape_out must be a sequence of integers (rows, columns), "
                        f"got {shape_out!r}") from None
    if any(d < 0 for d in dims):
        raise ValueError(f"shape_out must not be negative, got {dims}")
    if len(dims) == 2:
        return lead + dims
    if len(dims) == len(data_shape) and dims[:-2] == lead:
        return dims
    raise ValueError(f"shape_out must be (rows, columns) or the data's leading axes {lead} "
                     f"followed by them, got {dims}")


def _threads_argument(threads: Optional[SupportsIndex]) -> Optional[int]:
    if threads is None:
        return None
    if isinstance(threads, bool):
        raise TypeError(f"threads must be None or an integer >= 1; got {threads!r}")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be None or an integer >= 1; got {threads!r}") from None
    if count < 1:
        raise ValueError(f"threads must be >= 1; got {count}")
    return count


def _pixel_map(transform: Any) -> PixelMap:
    """The transform as a checked map from input to output pixel coordinates."""
    if isinstance(transform, (tuple, list)):
        if len(transform) != 2 or not all(
                hasattr(w, "pixel_to_world_values") and hasattr(w, "world_to_pixel_values")
                for w in transform):
            raise TypeError("transform must be a callable or a pair (wcs_in, wcs_out) of objects "
                            "with pixel_to_world_values and world_to_pixel_values")
        return PixelMap(wcs_pair_map(transform[0], transform[1]), "transform (wcs_in, wcs_out)")
    if callable(transform):
        name = getattr(transform, "__qualname__", None) or type(transform).__name__
        return PixelMap(transform, f"transform {name}")
    raise TypeError(f"transform must be a callable or a pair (wcs_in, wcs_out), "
                    f"got {type(transform).__name__}")


def _geometry_argument(geometry: Any, transform: Any, shape_in: tuple[int, ...],
                       shape_out: tuple[int, ...]) -> str:
    """The geometry a call takes, "plane" or "sphere": "sphere" only for a
    pair of celestial WCS, where "auto" chooses it when the planar weights
    would stray from solid angles (the estimate needs both grids non-empty)."""
    if geometry not in ("auto", "plane", "sphere"):
        raise ValueError(f"geometry must be 'auto', 'plane' or 'sphere', got {geometry!r}")
    if geometry == "plane":
        return "plane"
    if not (isinstance(transform, (tuple, list)) and celestial_pair(*transform)):
        if geometry == "sphere":
            raise ValueError("geometry='sphere' needs a pair (wcs_in, wcs_out) of WCS with two "
                             "celestial axes each")
        return "plane"
    if geometry == "sphere":
        return "sphere"
    if not (math.prod(shape_in) and math.prod(shape_out)):
        return "plane"
    from .astro._sphere import auto_geometry

    return auto_geometry(transform[0], transform[1], (shape_in[0], shape_in[1]),
                         (shape_out[0], shape_out[1]))


def warn_if_planar_strays(transform: Any, shape_in: tuple[int, ...], shape_out: tuple[int, ...],
                          caller: str) -> None:
    """Warn, for a pair of celestial WCS on which `reproject` would take the
    spherical geometry, that `caller` takes planar pixels."""
    if _geometry_argument("auto", transform, shape_in, shape_out) == "sphere":
        warnings.warn(f"{caller} takes pixels as planar quads, whose weights on this pair of WCS "
                      f"stray from solid angles by more than 1e-5 of a pixel's weight (near a pole, "
                      f"on an all-sky or a coarse grid); pellorin.reproject(..., geometry='sphere') "
                      f"takes them on the sphere", stacklevel=3)


def pixel_quads(transform: PixelTransform | tuple[WCSLike, WCSLike],
                shape: tuple[int, int]) -> npt.NDArray[np.float64]:
    """Corner quadrilaterals of every pixel of an image, mapped by a transform.

    Parameters
    ----------
    transform : callable or (wcs_in, wcs_out)
        ``transform(x, y) -> (x_out, y_out)``, vectorised on float64 arrays,
        or a pair of objects with astropy's shared WCS interface, whose
        composition ``wcs_out.world_to_pixel_values(*wcs_in.pixel_to_world_values(x, y))``
        is used (for two astropy WCS in different celestial frames, with the
        conversion between the frames). It is evaluated on the
        ``(ny + 1) x (nx + 1)`` lattice of pixel corners (in bands of rows
        when the lattice has more than 2**16 points).
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
        returns something other than two arrays of real numbers, or `shape`
        is not a pair of integers.
    ValueError
        If `shape` is negative, or the transform returns a number of arrays
        other than two or arrays of another shape than the lattice's.

    Notes
    -----
    Pixel ``(j, i)`` has its centre at ``x = i, y = j`` and its corners at
    ``i +- 0.5, j +- 0.5``: the 0-based convention of astropy and drizzle.
    Corners that the transform maps to NaN or infinity are returned as they
    are. These are the plain corner quads; `reproject` cuts the pixels that
    such a quad does not represent (across a seam, a pole or the edge of the
    sky) into pieces.

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
    xs, ys = corner_lattice(_pixel_map(transform), ny, nx)
    quads = np.empty((ny, nx, 4, 2), dtype=np.float64)
    for corner, (dj, di) in enumerate(((0, 0), (0, 1), (1, 1), (1, 0))):
        quads[:, :, corner, 0] = xs[dj:dj + ny, di:di + nx]
        quads[:, :, corner, 1] = ys[dj:dj + ny, di:di + nx]
    return quads.reshape(ny * nx, 4, 2)


def _data_argument(data: Any) -> _F64:
    """The data as float64 (..., ny, nx), masked values as NaN."""
    if isinstance(data, np.ma.MaskedArray):
        if data.dtype.kind not in "biuf":
            raise TypeError(f"data must be a real numeric array, got dtype {data.dtype}")
        arr = np.ma.filled(data.astype(np.float64), np.nan)
    else:
        if isinstance(data, (str, bytes)):
            raise TypeError("data must be a real numeric array, got text")
        arr = np.asarray(data)
        if arr.dtype.kind not in "biuf":
            raise TypeError(f"data must be a real numeric array, got dtype {arr.dtype}")
        arr = np.asarray(arr, dtype=np.float64)
    if arr.ndim < 2:
        raise ValueError(f"data must have at least 2 dimensions (rows, columns), got {arr.ndim}")
    return arr


# Results of at least this size have their pages mapped before the engine
# runs (one float64 written every 4 KiB).
_PREFAULT_BYTES = 1 << 21
_PAGE_DOUBLES = 512


def _allocate(shape: tuple[int, ...], count: int, out_shape: tuple[int, ...],
              zeroed: bool = True) -> list[_F64]:
    """`count` float64 arrays of `shape`, zeroed unless `zeroed` is False,
    refused at once, naming the output's shape `out_shape`, when they cannot
    be allocated."""
    cells = math.prod(shape)
    nbytes = cells * 8 * count
    message = (f"the output of shape {out_shape} ({count} float64 array(s) of {cells} elements, "
               f"{nbytes / 2**30:.3g} GiB) cannot be allocated")
    if nbytes >= 2**63:
        raise MemoryError(message)
    try:
        make = np.zeros if zeroed else np.empty
        arrays = [make(shape, dtype=np.float64) for _ in range(count)]
    except MemoryError:
        raise MemoryError(message) from None
    for a in arrays:
        if a.nbytes >= _PREFAULT_BYTES:
            # One write per page, here on one thread, maps the pages that
            # the engine's threads then fill: the first writes of several
            # threads at once into fresh memory (huge pages above all) wait
            # on each other in the kernel, a sixth of the time of a
            # 2048 x 2048 mean on two threads. Zero where nothing was set,
            # and every cell of an uncleared array is set by the engine.
            a.reshape(-1)[::_PAGE_DOUBLES] = 0.0
    return arrays


@overload
def reproject(data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: Sequence[SupportsIndex], *, mode: Literal["mean", "sum"] = ...,
              return_footprint: Literal[False] = ...,
              threads: Optional[SupportsIndex] = ...,
              geometry: Literal["auto", "plane", "sphere"] = ...) -> npt.NDArray[np.float64]: ...


@overload
def reproject(data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: Sequence[SupportsIndex], *, mode: Literal["mean", "sum"] = ...,
              return_footprint: Literal[True],
              threads: Optional[SupportsIndex] = ...,
              geometry: Literal["auto", "plane", "sphere"] = ...) -> tuple[npt.NDArray[np.float64],
                                                               npt.NDArray[np.float64]]: ...


@overload
def reproject(data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: Sequence[SupportsIndex], *, mode: Literal["mean", "sum"] = ...,
              return_footprint: bool,
              threads: Optional[SupportsIndex] = ...,
              geometry: Literal["auto", "plane", "sphere"] = ...) -> Union[
                  npt.NDArray[np.float64], tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]]: ...


def reproject(data: npt.ArrayLike, transform: PixelTransform | tuple[WCSLike, WCSLike],
              shape_out: Sequence[SupportsIndex], *, mode: Literal["mean", "sum"] = "mean",
              return_footprint: bool = False, threads: Optional[SupportsIndex] = None,
              geometry: Literal["auto", "plane", "sphere"] = "auto") -> Union[
                  npt.NDArray[np.float64], tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]]:
    """Reproject an image, or a stack of images, onto another pixel grid by
    exact area overlap.

    Parameters
    ----------
    data : array_like, real, shape (..., ny, nx)
        The input image, indexed ``[y, x]`` (row, column), or a stack of
        images over the same pixel grid (any leading axes, carried along).
        Integer and float32 data are converted to float64; the masked pixels
        of a masked array count as NaN.
    transform : callable or (wcs_in, wcs_out)
        ``transform(x, y) -> (x_out, y_out)``: a vectorised map from input
        pixel coordinates to output pixel coordinates. It is called with two
        float64 arrays of one shape (first the corner lattice, of shape
        ``(ny + 1, nx + 1)``, or for a lattice of more than 2**16 points
        bands of whole rows of it; then, where pixels need cutting, 1-D
        arrays of points inside them) and must return two arrays of real
        numbers of that same shape. Each point is evaluated on its own, so
        the transform must be elementwise. Or a pair of objects with astropy's shared WCS
        interface (``pixel_to_world_values``, ``world_to_pixel_values``), for
        example two ``astropy.wcs.WCS``; two astropy WCS in different
        celestial frames (Galactic and FK5, FK4 and ICRS, ...) are related
        through astropy's coordinate transformations.
    shape_out : sequence of int
        ``(ny_out, nx_out)``, or the whole output shape: the leading axes of
        `data` followed by ``(ny_out, nx_out)``.
    mode : {"mean", "sum"}, optional
        ``"mean"`` (surface brightness, the default): each output pixel is
        the overlap-area-weighted mean of the input pixels that cover it,
        NaN where none does. ``"sum"`` (flux): each input pixel's value is
        shared out in proportion to overlap area / its own area; output
        pixels that nothing covers are 0.
    return_footprint : bool, optional
        Also return the covered fraction of each output pixel.
    threads : int, optional
        Number of threads the accumulation may use (None: the cores
        available to the process). The result does not depend on it.
    geometry : {"auto", "plane", "sphere"}, optional
        How a pixel is taken. ``"plane"``: the quadrilateral of its mapped
        corners (see the notes). ``"sphere"``, for a pair of WCS with two
        celestial axes each: the spherical polygon of its corners on the
        sky joined by great-circle arcs, input and output pixels alike,
        areas as solid angles, as ``reproject_exact`` takes them.
        ``"auto"`` (the default): ``"sphere"`` for such a pair where the
        planar weights may stray from solid angles by more than 1e-5 of a
        pixel's weight (near poles, on all-sky and coarse grids), else
        ``"plane"``; the result is that of the geometry chosen, bit for bit
        (see ``pellorin.astro.reproject``).

    Returns
    -------
    result : ndarray of float64, shape (..., ny_out, nx_out)
        Indexed ``[..., y, x]`` like `data`.
    footprint : ndarray of float64, shape (..., ny_out, nx_out)
        Only with ``return_footprint=True``: the area of each output pixel
        covered by input pixels that are not NaN (in each plane), as a
        fraction of the pixel: 0 to 1 up to rounding, more where the map
        folds input pixels onto each other.

    Raises
    ------
    TypeError
        If `data` is complex or not numeric, `transform` is neither a
        callable nor a pair of WCS-like objects or returns something other
        than two arrays of real numbers, `shape_out` is not a sequence of
        integers, `return_footprint` is not a bool, or `threads` is not an
        integer.
    ValueError
        If `data` has fewer than 2 dimensions, `shape_out` is negative or
        does not match the data's leading axes, `mode` or `geometry` is
        unknown, `geometry` is ``"sphere"`` without a pair of celestial WCS,
        `threads` is below 1, or the transform returns a number of arrays other than
        two or arrays of another shape than the coordinates it was given.
    MemoryError
        At once, before any work, when the output cannot be allocated.

    Notes
    -----
    **Pixels.** Pixel ``(j, i)`` has its centre at ``x = i, y = j`` and its
    corners at ``i +- 0.5, j +- 0.5`` (0-based, as in astropy and drizzle),
    in the input and in the output.

    **What is exact.** In the planar geometry, every input pixel is the
    quadrilateral of its four mapped corners, with straight edges in the output's pixel plane, and
    areas are measured in that plane. That is exact for affine maps. For a
    curved map it is a planar approximation of each pixel's image.
    ``reproject.reproject_exact`` approximates differently (pixels as
    spherical polygons with great-circle edges, areas as solid angles); the
    relative differences measured on fully covered output pixels
    (``tests/sky_cases.py``): arcsecond pixels (TAN, SIP, TPV, lookup tables,
    frame changes) 1e-11 median, 2e-9 worst; 4-arcminute pixels of CAR, ZEA,
    AIT, SIN, ZPN and SFL maps 4e-7 and 8e-6; a field across the seam of an
    all-sky CAR grid 4e-8 and 6e-7 at b = 0 (6e-6 and 3e-5 at b = 30, where
    a CAR pixel's planar area and solid angle part); fields with the pole
    inside onto CAR or SFL 2e-3 to 5e-3 median (planar areas near a CAR
    pole, great-circle edges near an SFL pole); 2-degree all-sky maps 2e-4
    to 7e-4 median. The spherical geometry takes pixels as
    ``reproject_exact`` does, and agrees with it to rounding on all of
    these; with a pair of celestial WCS, the default takes it where the
    planar weights would stray (the 4-arcminute maps, the seam, the poles
    and the all-sky maps above), so that each of these cases is within 1e-6
    median and 1e-3 worst of ``reproject_exact``.

    **Pixels that one quad does not represent** (planar geometry) are cut into
    pieces: pixels whose edges do not map to nearly straight lines (near a
    pole or across a seam of the output's projection), pixels crossing the
    edge of the sky (a corner that the transform maps to NaN or infinity, or a
    neighbour's), and pixels whose quad is not convex. Straightness is judged
    in each quad's own frame (deviations taken back to the input plane, as
    fractions of the quad): within 5 %, or misplacing no more area than a
    typical pixel of the image may. The transform is evaluated at the
    midpoints of each piece's edges; a piece that passes is used as its four
    quarters; a piece cut by one seam, or by the edge of the sky, is split
    along the cut (its crossings located by bisection on its edges and middle
    line, the cut drawn through them when it bends by less than 3e-4 of the
    piece); other pieces are quartered again, down to 1/4096 of a pixel's
    side, where those still unresolved (around a point with many images, such
    as a pole onto CAR) are kept when only imprecise and dropped when broken.
    Only parts off the sky are left out otherwise. Pieces meet edge to edge (a
    piece's corner on a larger neighbour's edge is placed on that edge), so no
    area is counted twice.

    A piece's share of its pixel's value, in "sum" mode, is its share of
    the pixel's area in the input's pixel plane: an input pixel partly off
    the sky keeps only the share of its value that is on it.

    **Edges, NaN.** An input pixel crossing the output's edge contributes
    only its overlapping part. NaN input values contribute nothing and
    cover nothing (in their own plane of a stack). "mean" leaves NaN and
    "sum" 0 where nothing covers an output pixel.

    **Rounding.** Each overlap area is rounded and the sums run in float64;
    areas are taken from coordinates relative to 128 x 128 tiles of the
    output, so they keep about 1e-12 relative accuracy wherever the output
    lies. "sum" shares a pixel's value as value * overlap / (its mapped
    area); the footprint is the sum of the overlaps.

    **Stacks.** The transform is evaluated, and pixels cut, once for all
    planes of `data`; planes that miss the same pixels (or none) share one
    coverage, and the footprint is then the same in each.

    **Memory.** Beyond `data` (as float64) and the results, a call holds the
    corner lattice (two float64 arrays of ``(ny + 1) x (nx + 1)``) and a
    few tens of MiB: the transform runs on bands of the lattice, and "mean"
    sums and divides tile by tile, with no output-sized weight array unless
    the footprint is asked for.

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

    A stack of three images through one geometry:

    >>> cube = np.stack([data, 2 * data, data + 1])
    >>> pellorin.reproject(cube, lambda x, y: (x + 0.5, y), (4, 5))[:, 0, 1]
    array([0.5, 1. , 1.5])
    """
    if mode not in ("mean", "sum"):
        raise ValueError(f"mode must be 'mean' or 'sum', got {mode!r}")
    if not isinstance(return_footprint, (bool, np.bool_)):
        raise TypeError(f"return_footprint must be a bool, got {return_footprint!r}")
    workers = _threads_argument(threads)
    pmap = _pixel_map(transform)
    arr = _data_argument(data)
    out_shape = _output_shape(shape_out, arr.shape)
    ny, nx = arr.shape[-2:]
    k = math.prod(arr.shape[:-2])
    plane_shape = (k,) + out_shape[-2:]
    footprint = bool(return_footprint)
    planes = arr.reshape(k, ny, nx)
    if _geometry_argument(geometry, transform, (ny, nx), out_shape[-2:]) == "sphere":
        from .astro._sphere import reproject_sphere

        image, cover = reproject_sphere(planes, transform[0], transform[1], (plane_shape[1], plane_shape[2]), mode,
                                        thread_count(workers), out_shape)
        image = image.reshape(out_shape)
        return (image, cover.reshape(out_shape)) if footprint else image
    # "mean": the engine sums values and weights per tile and leaves the
    # mean (NaN where nothing covers), so that no output-sized weight array
    # is made unless the footprint is wanted. "sum": the flux. Planes that
    # miss the same pixels share one weight (footprint) plane.
    # The NaN map only when there is a NaN (min propagates one).
    missing = np.isnan(planes) if planes.size and np.isnan(planes.min()) else None
    shared = missing is None or shares_coverage(planes, missing)
    weight_shape = (1,) + plane_shape[1:] if shared else plane_shape
    # The engine sets every cell of a mean, and adds to a flux.
    (result,) = _allocate(plane_shape, 1, out_shape, zeroed=mode != "mean")
    weight = _allocate(weight_shape, 1, out_shape)[0] if footprint else None
    sums = Sums(result, weight, None) if mode == "mean" else Sums(None, weight, result)
    if arr.size and math.prod(out_shape):
        xs, ys = corner_lattice(pmap, ny, nx)
        layout = plan(pmap, xs, ys, wanted=None if missing is None else ~missing.all(axis=0), threads=workers)
        accumulate(xs, ys, planes, layout.whole, layout.pieces, sums, threads=workers, mean=mode == "mean",
                   shared=shared)
    elif mode == "mean":
        result[...] = np.nan
    result = result.reshape(out_shape)
    if footprint:
        assert sums.weight is not None
        cover = sums.weight
        if cover.shape[0] != k:
            (cover,) = _allocate(plane_shape, 1, out_shape)
            cover[...] = sums.weight
        return result, cover.reshape(out_shape)
    return result
