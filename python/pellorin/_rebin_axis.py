"""``pellorin.rebin_axis``: rebinning of one axis of an N-D array between two
uniform binnings, without a dense weight matrix."""

from __future__ import annotations

import math
import operator
from typing import Any, Literal, Optional, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from . import _engine
from ._arguments import (
    FloatLike,
    as_array,
    finite_float,
    new_array,
    out_argument,
    positive_count,
    positive_float,
    split_masked,
    thread_count,
)

# NumPy >= 1.25 keeps its exceptions in numpy.exceptions; older versions at the top.
_AxisError: type[Exception] = getattr(np, "exceptions", np).AxisError


def _values_argument(values: object) -> tuple[np.ndarray, Optional[np.ndarray]]:
    """The values as float32 (for float32 input) or float64 (any other real
    type), native byte order, converted only when needed; and a masked
    array's mask (None otherwise)."""
    data, mask = split_masked(values)
    array = as_array("values", data)
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
    return array.astype(work, copy=False), mask


def _axis_argument(axis: SupportsIndex, ndim: int) -> int:
    try:
        index = operator.index(axis)
    except TypeError as error:
        raise TypeError(f"axis must be an integer; got {axis!r}") from error
    if not -ndim <= index < ndim:
        raise _AxisError(index, ndim, "axis")
    return index % ndim


@overload
def rebin_axis(values: npt.NDArray[np.float32], *, in_origin: FloatLike, in_bw: FloatLike,  # type: ignore[overload-overlap, unused-ignore]
               out_origin: FloatLike, out_bw: FloatLike, out_n: SupportsIndex,
               axis: SupportsIndex = -1, mode: Literal["mean", "sum"] = "mean",
               out: Optional[npt.NDArray[np.float32]] = None,
               threads: Optional[SupportsIndex] = None) -> npt.NDArray[np.float32]: ...
@overload
def rebin_axis(values: npt.ArrayLike, *, in_origin: FloatLike, in_bw: FloatLike,
               out_origin: FloatLike, out_bw: FloatLike, out_n: SupportsIndex,
               axis: SupportsIndex = -1, mode: Literal["mean", "sum"] = "mean",
               out: Optional[npt.NDArray[np.float64]] = None,
               threads: Optional[SupportsIndex] = None) -> npt.NDArray[np.float64]: ...


def rebin_axis(values: npt.ArrayLike, *, in_origin: FloatLike, in_bw: FloatLike,
               out_origin: FloatLike, out_bw: FloatLike, out_n: SupportsIndex,
               axis: SupportsIndex = -1, mode: Literal["mean", "sum"] = "mean",
               out: Optional[npt.NDArray[Any]] = None,
               threads: Optional[SupportsIndex] = None) -> npt.NDArray[Any]:
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
        ``longdouble``) is computed in ``float64``. A masked array's masked
        values count as missing: they contribute nothing, and the result is
        a masked array (see Notes).
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
        overlap-weighted mean of the input bins it overlaps, for densities
        and intensities. A bin partly outside the input range averages the
        covered part; a bin wholly outside (or only touching it) is 0.
        ``"sum"``: each input bin's value is shared among the output bins in
        proportion to overlap / ``in_bw``, for counts and fluxes, so that
        totals are conserved where the output covers the input. A bin partly
        outside receives only the covered part; a bin wholly outside is 0.
    out : numpy.ndarray, optional
        An array to write the result into and return: of the result's shape
        and dtype, C-contiguous, aligned and writeable. If it shares memory
        with the values, they are copied first.
    threads : int, optional
        Threads to compute with: ``None`` (the default) uses every core this
        process may run on (``os.sched_getaffinity``), 1 runs on the
        calling thread. The result is the same to the last bit for any
        count.

    Returns
    -------
    numpy.ndarray or numpy.ma.MaskedArray
        The values' shape with ``out_n`` along ``axis``, ``float32`` or
        ``float64``: ``out`` when given, else a new array, C-contiguous, or
        F-contiguous when the values were F-contiguous and not C-contiguous.
        A masked array for masked values.

    Raises
    ------
    TypeError
        If ``values`` has a complex, object, text or date dtype, a bin
        parameter is not a real number, ``out_n``, ``axis`` or ``threads``
        is not an integer, or ``out`` is not an array of the result's dtype.
    ValueError
        If ``values`` is 0-d or has no bins along ``axis``, an origin or
        width is not finite, a width, ``out_n`` or ``threads`` is not
        positive, ``mode`` is neither ``"mean"`` nor ``"sum"``, or ``out``
        has another shape or is not C-contiguous, aligned and writeable.
    numpy.exceptions.AxisError
        If ``axis`` is out of range (a ``ValueError`` and an
        ``IndexError``).
    MemoryError
        If the result is larger than this machine's memory (raised at once,
        naming the result's shape and size, before anything is allocated)
        or cannot be allocated.

    Notes
    -----
    The bin edges are computed from the double arguments in exact (real)
    arithmetic, and so is the decision which input bins an output bin
    overlaps: with ``a_k`` the length of the overlap of input bin ``k``
    with the output bin, in input bins, the exact ``"mean"`` is ``m =
    sum(v_k * a_k) / sum(a_k)`` over the bins with ``a_k > 0`` and the exact
    ``"sum"`` is ``sum(v_k * a_k)``. Then:

    1. An output bin whose exact overlap with the input range is 0 is 0 in
       both modes, however far the origins lie from 0 and however the
       rounding of the edges would place them. NaN and infinities reach
       exactly the output bins that overlap their input bin (``+inf`` and
       ``-inf`` together give NaN).
    2. A ``float64`` ``"mean"`` lies within ``1e-13 * max|v_k|`` of ``m``,
       a ``float32`` one within ``2**-22 * max|v_k|``; a ``"sum"`` within
       the same multiples of ``max|v_k| * sum(a_k)``. Constant values stay
       exactly constant in ``"mean"`` for any binning, a million input bins
       per output bin and more.
    3. Bins of any size that doubles can describe work: widths from the
       smallest positive double to the largest, origins anywhere.
    4. The result is the same to the last bit for any number of threads,
       on every machine and instruction set.

    Each output bin's mean is ``v_0 + (sum(v_k - v_0) * w + (v_last - v_0)
    * w_last)`` in double arithmetic over the bins it overlaps, with sums of
    more than 32 terms compensated in blocks, and the weights the exact
    overlap lengths rounded once; ``"sum"`` multiplies it by the covered
    length. No dense matrix is built: beyond the result, a call holds a
    plan of a few numbers per output bin, a few rows of scratch per thread,
    and a converted copy of the values where their dtype or layout needs
    one.

    These results are not those of the dense product with
    ``_pellorin.rebin_axis_weights``, whose weights keep that module's own
    arithmetic (edges rounded in floating point). Code that needs those
    bits builds the matrix with it and multiplies.

    Masked values: a masked value is missing and contributes no length;
    ``"mean"`` is the overlap-weighted mean of the values present,
    ``"sum"`` the sum of their shares. The result is masked where no value
    present overlaps the output bin (also outside the input range); masked
    results hold 0 in their data.

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

    Masked values are missing:

    >>> counts = np.ma.masked_array([1.0, 2.0, 3.0, 4.0], mask=[0, 1, 1, 0])
    >>> pellorin.rebin_axis(counts, in_origin=0, in_bw=1, out_origin=0, out_bw=2, out_n=2,
    ...                     mode="sum")
    masked_array(data=[1.0, 4.0],
                 mask=[False, False],
           fill_value=1e+20)
    """
    array, mask = _values_argument(values)
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
    workers = thread_count(threads)
    out_shape: tuple[int, ...] = array.shape[:ax] + (count,) + array.shape[ax + 1:]
    dtype = array.dtype
    given = None if out is None else out_argument(out, out_shape, dtype)

    # The engine reads C-contiguous data in place and writes C-contiguous
    # results: without `out`, an F-contiguous array is rebinned as its
    # (C-contiguous) transpose and the result transposed back; anything
    # else not C-contiguous is copied.
    transposed = False
    if not (array.flags.c_contiguous and array.flags.aligned):
        if given is None and array.ndim > 1 and array.flags.f_contiguous and array.flags.aligned:
            array, ax, transposed = array.T, array.ndim - 1 - ax, True
            mask = None if mask is None else mask.T
        else:
            array = np.array(array, order="C", copy=True)
    elif given is not None and np.may_share_memory(given, array):
        array = array.copy()
    shape = array.shape
    result_shape = shape[:ax] + (count,) + shape[ax + 1:]
    result = given if given is not None else new_array("rebin_axis result", result_shape, dtype)
    before, after = math.prod(shape[:ax]), math.prod(shape[ax + 1:])
    out_mask = None if mask is None else new_array("rebin_axis result mask", result_shape, np.dtype(np.uint8))
    if array.size > 0:
        missing = None
        if mask is not None and mask.any():
            missing = np.ascontiguousarray(mask, dtype=np.uint8).reshape(before, in_n, after)
        _engine.rebin_axis(array.reshape(before, in_n, after), result.reshape(before, count, after),
                           lower_in, width_in, lower_out, width_out, mode == "sum", workers,
                           mask=missing,
                           out_mask=None if out_mask is None else out_mask.reshape(before, count, after))
    if transposed:
        result = result.T
        out_mask = None if out_mask is None else out_mask.T
    if out_mask is None:
        return result
    missing_out = out_mask.view(np.bool_)
    if isinstance(out, np.ma.MaskedArray):
        out.mask = missing_out
        return out
    return np.ma.MaskedArray(result, mask=missing_out, copy=False)
