"""``pellorin.rebin_axis``: rebinning of one axis of an N-D array between two
uniform binnings, without a dense weight matrix."""

from __future__ import annotations

import math
import operator
from typing import Any, Literal, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

import _pellorin

from ._arguments import FloatLike, as_array, finite_float, positive_count, positive_float

# NumPy >= 1.25 keeps its exceptions in numpy.exceptions; older versions at the top.
_AxisError: type[Exception] = getattr(np, "exceptions", np).AxisError


def _values_argument(values: object) -> np.ndarray:
    """The values as float32 (for float32 input) or float64 (any other real
    type), native byte order, converted only when needed."""
    array = as_array("values", values)
    kind, size = array.dtype.kind, array.dtype.itemsize
    work: np.dtype[Any]
    if kind == "f" and size == 4:
        work = np.dtype(np.float32)
    elif kind in "biuf":
        work = np.dtype(np.float64)
    else:
        raise TypeError(f"values must have a real dtype (bool, integer or floating); got {array.dtype}")
    if array.ndim == 0:
        raise ValueError("values must have at least one dimension; got a 0-d array")
    return array.astype(work, copy=False)


def _axis_argument(axis: SupportsIndex, ndim: int) -> int:
    try:
        index = operator.index(axis)
    except TypeError as error:
        raise TypeError(f"axis must be an integer; got {axis!r}") from error
    if not -ndim <= index < ndim:
        raise _AxisError(index, ndim, "axis")
    return index % ndim


def _extent(bin_width: float, out_n: int) -> float:
    """The window length that the module divides by ``out_n`` to get the
    output bin width: ``bin_width * out_n``, moved by an ulp or two where
    that gives back ``bin_width`` exactly, so that the output bins are laid
    out exactly as ``rebin_axis_weights`` lays them out when the input bins
    are of width 1 from 0."""
    extent = bin_width * out_n
    if not math.isfinite(extent):
        raise ValueError(f"out_n * out_bw / in_bw must be finite; got {extent!r}")
    for _ in range(3):
        got = extent / out_n
        if got == bin_width:
            break
        extent = math.nextafter(extent, math.inf if got < bin_width else 0.0)
    return extent


def _covered(start: float, bin_width: float, in_n: int, out_n: int) -> np.ndarray:
    """Length of each output bin's overlap with the input range [0, in_n), in
    input bins, with the bin edges computed as the module computes them."""
    lower = start + bin_width * np.arange(out_n, dtype=np.float64)
    upper = bin_width + lower
    covered = np.minimum(upper, float(in_n))
    covered -= np.maximum(lower, 0.0)
    return np.maximum(covered, 0.0, out=covered)


def _edge_noise(lower_in: float, lower_out: float, width_in: float, in_n: int,
                start: float, extent: float) -> float:
    """A bound, in input bins, on the rounding of the bin edges, both in the
    caller's units (where the edges are of the size of the origins) and
    after the translation into input bins. An output bin that only touches
    the input range can appear to overlap it by this much."""
    scale = max(abs(lower_in) / width_in, abs(lower_out) / width_in, float(in_n),
                abs(start), abs(start + extent))
    return 8.0 * float(np.finfo(np.float64).eps) * scale


@overload
def rebin_axis(values: npt.NDArray[np.float32], *, in_origin: FloatLike, in_bw: FloatLike,  # type: ignore[overload-overlap, unused-ignore]
               out_origin: FloatLike, out_bw: FloatLike, out_n: SupportsIndex,
               axis: SupportsIndex = -1,
               mode: Literal["mean", "sum"] = "mean") -> npt.NDArray[np.float32]: ...
@overload
def rebin_axis(values: npt.ArrayLike, *, in_origin: FloatLike, in_bw: FloatLike,
               out_origin: FloatLike, out_bw: FloatLike, out_n: SupportsIndex,
               axis: SupportsIndex = -1,
               mode: Literal["mean", "sum"] = "mean") -> npt.NDArray[np.float64]: ...


def rebin_axis(values: npt.ArrayLike, *, in_origin: FloatLike, in_bw: FloatLike,
               out_origin: FloatLike, out_bw: FloatLike, out_n: SupportsIndex,
               axis: SupportsIndex = -1, mode: Literal["mean", "sum"] = "mean") -> npt.NDArray[Any]:
    """Rebin an array along one axis between two uniform binnings.

    Input bin ``k`` along ``axis`` covers ``[in_origin + k*in_bw,
    in_origin + (k+1)*in_bw)``; output bin ``j`` covers ``[out_origin +
    j*out_bw, out_origin + (j+1)*out_bw)``. Bins that merely touch do not
    overlap. Every other axis is carried along unchanged.

    Parameters
    ----------
    values : array_like
        At least 1-D, of a real dtype. ``float32`` stays ``float32``; every
        other type (bool, integers, ``float16``, ``float64``,
        ``longdouble``) is computed in ``float64``.
    in_origin, in_bw : float
        Lower edge of input bin 0 (finite) and the input bin width (finite,
        > 0).
    out_origin, out_bw : float
        The same for the output bins.
    out_n : int
        Number of output bins, >= 1.
    axis : int, optional
        The axis to rebin, negative counting from the end; default the
        last.
    mode : {"mean", "sum"}, optional
        ``"mean"`` (the default): each output bin receives the
        overlap-weighted mean of the input bins it covers, for densities
        and intensities. A bin partly outside the input range averages the
        covered part; a bin wholly outside is 0.
        ``"sum"``: each input bin's value is shared among the output bins in
        proportion to overlap / ``in_bw``, for counts and fluxes, so that
        totals are conserved where the output covers the input. A bin partly
        outside receives only the covered part; a bin wholly outside is 0.

    Returns
    -------
    numpy.ndarray
        A new array of the values' shape with ``out_n`` along ``axis``,
        ``float32`` or ``float64``. It is C-contiguous, or F-contiguous when
        the values were F-contiguous and not C-contiguous.

    Raises
    ------
    TypeError
        If ``values`` has a complex, object, text or date dtype, a bin
        parameter is not a real number, or ``out_n`` or ``axis`` is not an
        integer.
    ValueError
        If ``values`` is 0-d or has no bins along ``axis``, an origin or
        width is not finite, a width or ``out_n`` is not positive, the
        output grid does not fit in doubles when measured in input bins,
        the origins are so far from 0 in input bins that their rounding
        exceeds half a bin, or ``mode`` is neither ``"mean"`` nor ``"sum"``.
    numpy.exceptions.AxisError
        If ``axis`` is out of range (a ``ValueError`` and an
        ``IndexError``).

    Notes
    -----
    The weights are ``rebin_axis_weights``': overlap lengths normalised by
    their sum over the row. The float64 result agrees with the product with
    ``_pellorin.rebin_axis_weights(in_n, in_bw, in_origin, out_n, out_bw,
    out_origin)`` along ``axis`` to within 1e-12 (typically a few 1e-16)
    of the sum of the absolute terms, when the origins are within a few
    thousand bin widths of 0; both carry the rounding of the bin edges,
    about ``eps * |origin| / in_bw`` in input bins. With ``in_bw = 1`` and
    ``in_origin = 0`` the weights are the same doubles up to a final
    renormalisation. A ``float32`` result is computed with ``float32``
    weights and sums, to about 1e-7 relative per term.

    An output bin that touches the input range only within the rounding of
    the bin edges (8 eps times the largest of ``|in_origin| / in_bw``,
    ``|out_origin| / in_bw`` and the input and output extents, in input
    bins) counts as outside and is 0 in both modes. The dense product may
    instead give such a bin the full value of the input's edge bin, since
    the sliver of overlap that rounding leaves is normalised to weight 1.

    No dense matrix is built. Beyond the result, a call holds the compact
    weights (proportional to the number of input plus output bins), a
    working buffer no larger than the input, and a converted copy of the
    input where its dtype or layout needs one. Each sum runs over the input
    bins in ascending order, with every product and sum rounded on its own.
    ``"sum"`` multiplies the mean by the bin's covered length in input
    bins.

    NaN and infinities reach exactly the output bins that overlap their
    input bin (``+inf`` and ``-inf`` together give NaN); other output bins
    are unaffected.

    Examples
    --------
    >>> import numpy as np
    >>> import pellorin
    >>> x = np.array([1.0, 2.0, 3.0, 4.0])
    >>> pellorin.rebin_axis(x, in_origin=0, in_bw=1, out_origin=0, out_bw=2, out_n=2)
    array([1.5, 3.5])
    >>> pellorin.rebin_axis(x, in_origin=0, in_bw=1, out_origin=0, out_bw=2, out_n=2,
    ...                     mode="sum")
    array([3., 7.])

    An output bin half past the end of the input keeps the mean of what it
    covers, or only the covered counts:

    >>> pellorin.rebin_axis(x, in_origin=0, in_bw=1, out_origin=3, out_bw=2, out_n=1)
    array([4.])
    >>> pellorin.rebin_axis(x, in_origin=0, in_bw=1, out_origin=3, out_bw=2, out_n=1,
    ...                     mode="sum")
    array([4.])

    Along the first axis of a 2-D array:

    >>> pellorin.rebin_axis(np.arange(6.0).reshape(3, 2), in_origin=0.0, in_bw=1.0,
    ...                     out_origin=0.0, out_bw=1.5, out_n=2, axis=0)
    array([[0.66666667, 1.66666667],
           [3.33333333, 4.33333333]])
    """
    array = _values_argument(values)
    ax = _axis_argument(axis, array.ndim)
    lower_in = finite_float("in_origin", in_origin)
    width_in = positive_float("in_bw", in_bw)
    lower_out = finite_float("out_origin", out_origin)
    width_out = positive_float("out_bw", out_bw)
    count = positive_count("out_n", out_n)
    if not (isinstance(mode, str) and mode in ("mean", "sum")):
        raise ValueError(f"mode must be 'mean' or 'sum'; got {mode!r}")
    in_n = array.shape[ax]
    if in_n == 0:
        raise ValueError(f"values must have at least one bin along axis {ax}; got shape {array.shape}")

    # The output grid in input bins: input bin k covers [k, k + 1).
    start = (lower_out - lower_in) / width_in
    bin_width = width_out / width_in
    if not math.isfinite(start):
        raise ValueError(f"(out_origin - in_origin) / in_bw must be finite; got {start!r}")
    if not (bin_width > 0.0 and math.isfinite(bin_width)):
        raise ValueError(f"out_bw / in_bw must be a positive finite number; got {bin_width!r}")
    extent = _extent(bin_width, count)
    noise = _edge_noise(lower_in, lower_out, width_in, in_n, start, extent)
    if not noise < 0.5:
        raise ValueError("in_bw is too small for the origins: their rounding exceeds half an input bin "
                         f"(in_origin / in_bw = {lower_in / width_in!r}, "
                         f"out_origin / in_bw = {lower_out / width_in!r})")

    out_shape: tuple[int, ...] = array.shape[:ax] + (count,) + array.shape[ax + 1:]
    if array.size == 0:
        return np.zeros(out_shape, dtype=array.dtype)

    # The module reads C-contiguous data in place: an F-contiguous array is
    # rebinned as its (C-contiguous) transpose, anything else copied.
    transposed = False
    if not (array.flags.c_contiguous and array.flags.aligned):
        if array.ndim > 1 and array.flags.f_contiguous and array.flags.aligned:
            array, ax, transposed = array.T, array.ndim - 1 - ax, True
        else:
            array = np.array(array, order="C", copy=True)
    shape = array.shape
    before, after = math.prod(shape[:ax]), math.prod(shape[ax + 1:])
    if before == 1:
        # The axis is the image's rows, the rest its channels; the column
        # pass is an identity (one weight of exactly 1.0 per column) and so
        # an exact copy.
        result = _pellorin.rebin_image_separable(array.reshape(in_n, 1, after), in_n, 1, after,
                                                 count, 1, start, 0.0, extent, 1.0)
    else:
        # The axis is the image's columns, the axes before it its rows (an
        # identity row pass, an exact copy), the axes after it its channels.
        result = _pellorin.rebin_image_separable(array.reshape(before, in_n, after), before, in_n, after,
                                                 before, count, 0.0, start, float(before), extent)
    result = result.reshape(shape[:ax] + (count,) + shape[ax + 1:])
    covered = _covered(start, extent / count, in_n, count)
    # A bin that touches the input range only within the rounding of the
    # edges overlaps it by a sliver, which the row's normalisation turns into
    # the full value of the edge bin; such a bin is outside: 0 in both modes.
    grazing = np.flatnonzero((covered > 0.0) & (covered <= noise))
    if grazing.size:
        result[(slice(None),) * ax + (grazing,)] = 0.0
    if mode == "sum":
        along = (count,) + (1,) * (result.ndim - ax - 1)
        result *= covered.astype(result.dtype, copy=False).reshape(along)
    return result.T if transposed else result
