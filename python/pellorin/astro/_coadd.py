"""``pellorin.astro.coadd``: many astronomical images onto one celestial
grid, through one `pellorin.Mosaic`, with reproject's input conventions and
an optional matching of their backgrounds."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Literal, Optional, SupportsIndex, Union

import numpy as np
import numpy.typing as npt

from .._mosaic import Mosaic
from .._reproject import reproject as _reproject
from ._reproject import _output, _prepare

__all__ = ["coadd"]

_F64 = npt.NDArray[np.float64]


def _per_input(name: str, values: Optional[Sequence[Any]], count: int) -> list[Any]:
    """One entry per input (None for all when `values` is None)."""
    if values is None:
        return [None] * count
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError(f"{name} must be a sequence with one entry per input")
    if len(values) != count:
        raise ValueError(f"{name} has {len(values)} entries for {count} inputs")
    return list(values)


def _celestial_map(value: Any, name: str, axes: tuple[int, int], ndim: int) -> Any:
    """A per-pixel map over the celestial axes given in the data's axis
    order, put in (y, x) order; scalars and None pass."""
    if value is None or np.ndim(value) == 0:
        return value
    arr = value if isinstance(value, np.ma.MaskedArray) else np.asarray(value)
    if arr.ndim != 2:
        raise ValueError(f"{name} must be a scalar or a map over the image's two celestial "
                         f"axes; got {arr.ndim} dimensions")
    ax_y, ax_x = axes
    return arr.T if ax_x < ax_y else arr


def _background_offsets(frames: list[tuple[_F64, tuple[slice, slice]]]) -> _F64:
    """One additive offset per frame and plane, from the overlaps.

    For each pair of frames whose reprojections overlap, the median of
    their difference over the pixels both cover; then the offsets ``c``
    that fit ``c_i - c_j`` to those medians in least squares, with mean 0.
    """
    count = len(frames)
    planes = frames[0][0].shape[0]
    offsets = np.zeros((count, planes))
    for p in range(planes):
        rows, rhs = [], []
        for i in range(count):
            ri, (yi, xi) = frames[i]
            for j in range(i + 1, count):
                rj, (yj, xj) = frames[j]
                y0, y1 = max(yi.start, yj.start), min(yi.stop, yj.stop)
                x0, x1 = max(xi.start, xj.start), min(xi.stop, xj.stop)
                if y0 >= y1 or x0 >= x1:
                    continue
                a = ri[p, y0 - yi.start:y1 - yi.start, x0 - xi.start:x1 - xi.start]
                b = rj[p, y0 - yj.start:y1 - yj.start, x0 - xj.start:x1 - xj.start]
                both = ~(np.isnan(a) | np.isnan(b))
                if not both.any():
                    continue
                row = np.zeros(count)
                row[i], row[j] = 1.0, -1.0
                rows.append(row)
                rhs.append(float(np.median(a[both] - b[both])))
        if not rows:
            continue
        # The offsets are fixed up to a constant: their mean is set to 0.
        rows.append(np.ones(count))
        rhs.append(0.0)
        offsets[:, p] = np.linalg.lstsq(np.array(rows), np.array(rhs), rcond=None)[0]
    return offsets


def coadd(inputs: Sequence[Any], output_projection: Any, shape_out: Optional[Any] = None, *,
          hdu_in: Union[int, str] = 0, weights: Optional[Sequence[Any]] = None,
          variance: Optional[Sequence[Any]] = None, match_background: bool = False,
          threads: Optional[SupportsIndex] = None,
          geometry: Literal["auto", "plane", "sphere"] = "auto") -> tuple[_F64, ...]:
    """Co-add astronomical images onto one celestial grid by exact area
    overlap, with weights and propagated variance.

    Parameters
    ----------
    inputs : sequence
        The images, each in any form `pellorin.astro.reproject` takes: a
        FITS file name, an ``HDUList`` (HDU `hdu_in`), an image HDU, an
        ``NDData`` with a ``wcs``, or ``(array, wcs)`` / ``(array,
        header)``. Cubes carry their other axes along; every input must
        have the same ones.
    output_projection : WCS, Header, str or os.PathLike
        The output's WCS, header or FITS file, as in
        `pellorin.astro.reproject`.
    shape_out : tuple of int, optional
        The output's shape, when `output_projection` does not give it.
    hdu_in : int or str, optional
        The HDU read from files and ``HDUList`` inputs (default 0).
    weights : sequence, optional
        One entry per input: a number (an exposure time) or a map over the
        image's celestial axes (an inverse-variance map; 0 or NaN leaves a
        pixel out). Unit weights when None.
    variance : sequence of array_like, optional
        One variance array per input, of the input's shape. When given, the
        variance of the mean is returned too.
    match_background : bool, optional
        Subtract one additive offset per input (and plane) before adding:
        the offsets that best fit, in least squares, the median differences
        between each pair of overlapping inputs, with mean 0, as
        ``reproject_and_coadd`` does.
    threads : int, optional
        Number of threads (None: the cores available); the result does not
        depend on it.
    geometry : {"auto", "plane", "sphere"}, optional
        How pixels are taken, as in `pellorin.astro.reproject`, chosen for
        each input by default (`pellorin.Mosaic.add`).

    Returns
    -------
    array : ndarray of float64
        The weighted mean (`pellorin.Mosaic.mean`), NaN where nothing
        covers.
    footprint : ndarray of float64
        The weight (`pellorin.Mosaic.weight`): with unit weights, the
        number of inputs covering each pixel, fractions at their edges.
    variance : ndarray of float64
        Only when `variance` is given: the variance of the mean
        (`pellorin.Mosaic.variance`, whose notes say how neighbouring
        pixels are correlated).

    Raises
    ------
    TypeError, ValueError
        For inputs, weights or variances that `pellorin.astro.reproject`
        or `pellorin.Mosaic.add` refuse, or lists of another length than
        `inputs`.

    Notes
    -----
    Memory: the output's sums and one input at a time. Matching the
    backgrounds first reprojects every input onto the grid and keeps each
    over the box it covers, to measure the overlaps; the inputs are then
    read and added once more.

    Examples
    --------
    >>> import numpy as np
    >>> from astropy.wcs import WCS
    >>> import pellorin.astro
    >>> def tan(crval, n):
    ...     w = WCS(naxis=2)
    ...     w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    ...     w.wcs.crval, w.wcs.crpix, w.wcs.cdelt = crval, [n / 2 + 0.5] * 2, [-1e-3, 1e-3]
    ...     w.array_shape = (n, n)
    ...     return w
    >>> frames = [(np.full((20, 20), 5.0), tan([10.0, 20.0], 20)),
    ...           (np.full((20, 20), 7.0), tan([10.005, 20.0], 20))]
    >>> mean, footprint = pellorin.astro.coadd(frames, tan([10.0025, 20.0], 30),
    ...                                        match_background=True)
    >>> float(np.nanmin(mean)), float(np.nanmax(mean)), float(footprint.max())
    (6.0, 6.0, 2.0)
    """
    if isinstance(inputs, (str, bytes)) or not hasattr(inputs, "__len__"):
        raise TypeError("inputs must be a sequence of images (file names, HDUs, (array, wcs), ...)")
    if not isinstance(match_background, (bool, np.bool_)):
        raise TypeError(f"match_background must be a bool, got {match_background!r}")
    count = len(inputs)
    if count == 0:
        raise ValueError("inputs is empty")
    weight_list = _per_input("weights", weights, count)
    variance_list = _per_input("variance", variance, count)
    low_out, out_shape = _output(output_projection, shape_out)

    def frame(index: int) -> tuple[Any, ...]:
        return _prepare(inputs[index], low_out, out_shape, hdu_in)

    offsets: Optional[_F64] = None
    if match_background and count > 1:
        kept = []
        for index in range(count):
            stacked, cel_in, cel_out, shape, _, _ = frame(index)
            image, footprint = _reproject(stacked, (cel_in, cel_out), shape, return_footprint=True,
                                          threads=threads, geometry=geometry)
            planes = image.reshape((-1,) + image.shape[-2:])
            covered = np.flatnonzero(footprint.reshape(planes.shape).any(axis=0).any(axis=1))
            columns = np.flatnonzero(footprint.reshape(planes.shape).any(axis=0).any(axis=0))
            if covered.size == 0:
                box = (slice(0, 0), slice(0, 0))
            else:
                box = (slice(int(covered[0]), int(covered[-1]) + 1),
                       slice(int(columns[0]), int(columns[-1]) + 1))
            kept.append((planes[(slice(None),) + box].copy(), box))
            del image, footprint, planes
        offsets = _background_offsets(kept)
        del kept

    mosaic: Optional[Mosaic] = None
    axes_out: tuple[int, int] = (0, 1)
    for index in range(count):
        stacked, cel_in, cel_out, shape, axes_in, axes_out = frame(index)
        if mosaic is None:
            mosaic = Mosaic(shape)
        data: Any = stacked
        if offsets is not None:
            data = np.asarray(stacked, dtype=np.float64) - offsets[index].reshape(
                stacked.shape[:-2] + (1, 1))
        var = variance_list[index]
        if var is not None:
            arr = np.asarray(var)
            if arr.ndim != len(stacked.shape):
                raise ValueError(f"variance {index} has {arr.ndim} dimensions; the input has "
                                 f"{len(stacked.shape)}")
            var = np.moveaxis(arr, axes_in, (-2, -1))
        w = _celestial_map(weight_list[index], f"weights {index}", axes_in, len(stacked.shape))
        mosaic.add(data, (cel_in, cel_out), weights=w, variance=var, threads=threads, geometry=geometry)
    assert mosaic is not None
    results = [mosaic.mean(), mosaic.weight()]
    if mosaic.has_variance:
        results.append(mosaic.variance())
    return tuple(np.moveaxis(r, (-2, -1), axes_out) for r in results)
