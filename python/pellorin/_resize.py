"""``pellorin.resize``: exact area-weighted resizing of 2-D and 3-D images."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional, SupportsIndex, TypeVar, overload

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

_S = TypeVar("_S", bound=np.generic)

# Element types the engine reads in place, by (kind, itemsize).
_READ = {("u", 1), ("u", 2), ("f", 4), ("f", 8)}
# Image types whose default result is float32; every other type gives float64.
_FLOAT32_RESULT = {("u", 1), ("u", 2), ("f", 2), ("f", 4)}


def _image_argument(image: object) -> tuple[np.ndarray, Optional[np.ndarray], np.dtype[Any], int]:
    """The image as a 3-D (H, W, C) C-contiguous, aligned, native array of a
    type the engine reads (uint8, uint16, float32 or float64, converted
    exactly where possible), its mask as uint8 of the same shape (or None),
    its default result type and its own number of dimensions."""
    data, mask = split_masked(image)
    array = as_array("image", data)
    dtype = array.dtype
    kind, size = dtype.kind, dtype.itemsize
    if kind in "uf" and (kind, size) in _READ:
        work = dtype.newbyteorder("=")
    elif kind == "b":
        work = np.dtype(np.uint8)  # 0 and 1, exactly
    elif kind == "i" and size <= 2 or kind == "f" and size == 2:
        work = np.dtype(np.float32)  # exact for int8, int16 and float16
    elif kind in "iu":
        work = np.dtype(np.float64)  # exact below 2**53
    else:
        raise TypeError("image dtype must be bool, an integer type, float16, float32 or float64; "
                        f"got {dtype}")
    if array.ndim not in (2, 3):
        raise ValueError(f"image must be 2-D (H, W) or 3-D (H, W, C); got shape {array.shape}")
    if array.size == 0:
        raise ValueError(f"image must not be empty; got shape {array.shape}")
    default = np.dtype(np.float32 if (kind, size) in _FLOAT32_RESULT else np.float64)
    if kind == "b":
        array = array.view(np.uint8) if array.flags.c_contiguous and array.flags.aligned else array
    if array.dtype != work or not (array.flags.c_contiguous and array.flags.aligned):
        array = np.array(array, dtype=work, order="C", copy=True)
    ndim = array.ndim
    if ndim == 2:
        array = array.reshape(array.shape[0], array.shape[1], 1)
    if mask is not None:
        mask = np.ascontiguousarray(mask, dtype=np.uint8).reshape(array.shape)
    return array, mask, default, ndim


def _shape_argument(shape: Sequence[SupportsIndex]) -> tuple[int, int]:
    try:
        out_h, out_w = shape
    except (TypeError, ValueError) as error:
        raise TypeError(f"shape must be a pair (out_h, out_w); got {shape!r}") from error
    return positive_count("shape[0]", out_h), positive_count("shape[1]", out_w)


def _window_argument(window: Optional[Sequence[FloatLike]],
                     h: int, w: int) -> tuple[float, float, float, float]:
    if window is None:
        return 0.0, 0.0, float(h), float(w)
    try:
        top, left, height, width = window
    except (TypeError, ValueError) as error:
        raise TypeError(f"window must be (top, left, height, width); got {window!r}") from error
    return (finite_float("window top", top), finite_float("window left", left),
            positive_float("window height", height), positive_float("window width", width))


def _dtype_argument(dtype: npt.DTypeLike, default: np.dtype[Any]) -> np.dtype[Any]:
    if dtype is None:
        return default
    try:
        target = np.dtype(dtype)
    except TypeError as error:
        raise TypeError(f"dtype: {error}") from error
    if target.kind not in "iuf":
        raise TypeError(f"dtype must be an integer or floating type; got {target}")
    return target.newbyteorder("=")


def _written_directly(target: np.dtype[Any]) -> bool:
    """Whether the engine writes ``target`` itself: every integer type and
    float32 and float64 (float16 and longer floats are cast from float64)."""
    return target.kind in "iu" or (target.kind == "f" and target.itemsize in (4, 8))


# uint8, uint16, float32 (and float16) images give float32; float64, other
# integer and bool images give float64.
@overload
def resize(  # type: ignore[overload-overlap, unused-ignore]
        image: npt.NDArray[np.uint8] | npt.NDArray[np.uint16] | npt.NDArray[np.float32] | npt.NDArray[np.float16],
        shape: Sequence[SupportsIndex], *, window: Optional[Sequence[FloatLike]] = None,
        dtype: None = None, out: Optional[npt.NDArray[np.float32]] = None,
        threads: Optional[SupportsIndex] = None) -> npt.NDArray[np.float32]: ...
@overload
def resize(  # type: ignore[overload-overlap, unused-ignore]
        image: npt.NDArray[np.float64] | npt.NDArray[np.integer[Any]] | npt.NDArray[np.bool_],
        shape: Sequence[SupportsIndex], *, window: Optional[Sequence[FloatLike]] = None,
        dtype: None = None, out: Optional[npt.NDArray[np.float64]] = None,
        threads: Optional[SupportsIndex] = None) -> npt.NDArray[np.float64]: ...
@overload
def resize(image: npt.ArrayLike, shape: Sequence[SupportsIndex], *,
           window: Optional[Sequence[FloatLike]] = None,
           dtype: type[_S] | np.dtype[_S], out: Optional[npt.NDArray[_S]] = None,
           threads: Optional[SupportsIndex] = None) -> npt.NDArray[_S]: ...
@overload
def resize(image: npt.ArrayLike, shape: Sequence[SupportsIndex], *,
           window: Optional[Sequence[FloatLike]] = None,
           dtype: Optional[npt.DTypeLike] = None, out: Optional[npt.NDArray[Any]] = None,
           threads: Optional[SupportsIndex] = None) -> npt.NDArray[Any]: ...


def resize(image: npt.ArrayLike, shape: Sequence[SupportsIndex], *,
           window: Optional[Sequence[FloatLike]] = None,
           dtype: Optional[npt.DTypeLike] = None, out: Optional[npt.NDArray[Any]] = None,
           threads: Optional[SupportsIndex] = None) -> npt.NDArray[Any]:
    """Resize an image by exact area-weighted averaging.

    Every output pixel receives, per channel, the mean of the input pixels
    that it overlaps, each weighted by the area of the overlap: a box
    filter whose box is the output pixel.

    Parameters
    ----------
    image : array_like, shape (H, W) or (H, W, C)
        Rows first, as NumPy indexes images. ``uint8``, ``uint16``,
        ``float32`` and ``float64`` are read as they are, in place when the
        array is C-contiguous, aligned and in native byte order, else from
        a copy. ``bool`` is read as ``uint8``; ``int8``, ``int16`` and
        ``float16`` are converted to ``float32``, other integer types to
        ``float64``. A masked array's masked values count as missing: they
        contribute no area, and the result is a masked array (see Notes).
    shape : (int, int)
        ``(out_h, out_w)``, the number of output rows and columns, both
        >= 1.
    window : (float, float, float, float), optional
        ``(top, left, height, width)`` of the region to resize, in input
        pixels; pixel ``(r, x)`` covers ``[r, r+1) x [x, x+1)``, so the
        whole image is ``(0, 0, H, W)`` (the default). The window may be
        fractional, as small as the smallest positive double, and may reach
        past the image: an output pixel partly outside averages the covered
        part only, one wholly outside (or only touching the image) is 0.
        ``top`` and ``left`` must be finite, ``height`` and ``width`` finite
        and > 0.
    dtype : data-type, optional
        The result's type. ``None`` (the default): ``float32`` for
        ``uint8``, ``uint16``, ``float16`` and ``float32`` images,
        ``float64`` for the others. An integer type receives the mean
        rounded half to even and clipped to the type's range, NaN as 0,
        written directly (no intermediate array of the result's size). A
        floating type receives the mean rounded to it (``float16`` and
        ``longdouble`` by way of ``float64``).
    out : numpy.ndarray, optional
        An array to write the result into and return: of the result's shape
        and dtype, C-contiguous, aligned and writeable. It may not be the
        image; if it shares memory with it, the image is copied first.
    threads : int, optional
        Threads to compute with: ``None`` (the default) uses every core this
        process may run on (``os.sched_getaffinity``), 1 runs on the
        calling thread. The result is the same to the last bit for any
        count; small images use fewer threads than asked.

    Returns
    -------
    numpy.ndarray or numpy.ma.MaskedArray
        Of shape ``(out_h, out_w)`` for a 2-D image, ``(out_h, out_w, C)``
        for a 3-D one: ``out`` when given, else a new C-contiguous array. A
        masked array for a masked image (its data is ``out`` when given).

    Raises
    ------
    TypeError
        If ``image`` has a complex, object, text, date or ``longdouble``
        dtype, ``shape``, ``window``, ``dtype`` or ``threads`` is not of the
        form above (``dtype`` must be an integer or floating type), or
        ``out`` is not an array of the result's dtype.
    ValueError
        If ``image`` is not 2-D or 3-D or is empty, a size in ``shape`` is
        below 1, a ``window`` value is not finite or a size not > 0,
        ``threads`` is below 1, or ``out`` has another shape or is not
        C-contiguous, aligned and writeable.
    MemoryError
        If the result is larger than this machine's memory (raised at once,
        naming the result's shape and size, before anything is allocated)
        or cannot be allocated.

    Notes
    -----
    For output pixel ``k`` along an axis the edges are ``origin + k *
    extent / out_n``, computed from the double arguments in exact (real)
    arithmetic, and so is the decision which input pixels an output pixel
    overlaps: its exact mean is ``m = sum(v * a) / sum(a)`` over the input
    pixels whose overlap area ``a`` with it is > 0. Then:

    1. An output pixel whose exact overlap with the image is 0 (wholly
       outside, or only touching an edge) is 0, however the rounding of
       its edges would place them. NaN and infinities reach exactly the
       output pixels whose exact overlap with them is > 0 (``+inf`` and
       ``-inf`` together give NaN).
    2. A ``float64`` result lies within ``1e-13 * max|v|`` of ``m``, over
       the input pixels it overlaps; a ``float32`` result within
       ``2**-22 * max|v|``. A constant image stays exactly constant for
       any window and any reduction (a million input pixels per output
       pixel and more).
    3. An integer result is ``m`` rounded half to even and clipped, exactly,
       except where ``m`` lies within ``1e-9 * max|v|`` of a half-way point,
       where either neighbour may be given. Where every output pixel covers
       whole pixels of an integer image (reductions by whole factors), the
       mean of the exact integer sums is correctly rounded and the integer
       rounding is exact everywhere.
    4. A window smaller than a pixel gives the values it covers, down to
       the smallest positive sizes (``1e-300`` and subnormal numbers).
    5. The result is the same to the last bit for any number of threads,
       on every machine and instruction set: each output value is computed
       by the same operations in the same order (double arithmetic, no
       fused multiply-add contraction).

    How: a pass along the rows, then one along the columns, each taking a
    weighted mean of the values ``x_0 .. x_{n-1}`` an output pixel overlaps
    along that axis as ``x_0 + (sum(x_i - x_0) * w + (x_{n-1} - x_0) *
    w_last)`` in double arithmetic, with sums of more than 32 terms
    compensated in blocks; the weights are the exact overlap lengths,
    rounded once. Integer values are neither scaled nor normalised: a
    ``uint8`` image gives values from 0 to 255.

    These results are not ``_pellorin.rebin_image_separable``'s bits, which
    keep that module's own arithmetic (``float32`` for integer and
    ``float32`` images, edges rounded in floating point). Code that needs
    those bits calls it directly: ``_pellorin.rebin_image_separable(img3,
    H, W, C, out_h, out_w, top, left, height, width)`` on a C-contiguous
    ``(H, W, C)`` array of ``uint8``, ``uint16``, ``float32`` or
    ``float64``.

    Masked images: a masked value is missing, like a pixel outside the
    image; each output value is the area-weighted mean of the values
    present that it overlaps (the rules above hold over those values), and
    the result is masked where no value present overlaps (also outside the
    image). Masked results hold 0 in their data.

    The input must not be modified by another thread while the call runs:
    it is read in place without the interpreter lock, which the call
    releases throughout.

    Examples
    --------
    >>> import numpy as np
    >>> import pellorin
    >>> img = np.array([[0, 255], [255, 255]], dtype=np.uint8)
    >>> pellorin.resize(img, (1, 1))
    array([[191.25]], dtype=float32)
    >>> pellorin.resize(img, (1, 1), dtype=np.uint8)
    array([[191]], dtype=uint8)

    A window that reaches above the image averages the covered part; one
    wholly outside gives 0:

    >>> column = np.array([[10.0], [30.0]])
    >>> pellorin.resize(column, (1, 1), window=(-1.0, 0.0, 2.0, 1.0))
    array([[10.]])
    >>> pellorin.resize(column, (1, 1), window=(-1.0, 0.0, 1.0, 1.0))
    array([[0.]])

    A window far smaller than a pixel gives that pixel's value:

    >>> pellorin.resize(column, (2, 1), window=(1.5, 0.5, 1e-300, 1e-300))
    array([[30.],
           [30.]])

    Halves round to even; a result can be written into an existing array:

    >>> row = np.array([[1, 2, 2, 3, 5, 6]], dtype=np.uint8)
    >>> buffer = np.empty((1, 3), dtype=np.uint8)
    >>> pellorin.resize(row, (1, 3), dtype=np.uint8, out=buffer)
    array([[2, 2, 6]], dtype=uint8)

    Masked values are missing:

    >>> data = np.ma.masked_array([[1.0, 100.0, 3.0, 5.0]], mask=[[0, 1, 1, 1]])
    >>> pellorin.resize(data, (1, 2))
    masked_array(data=[[1.0, --]],
                 mask=[[False,  True]],
           fill_value=1e+20)
    """
    array, mask, default, ndim = _image_argument(image)
    out_h, out_w = _shape_argument(shape)
    h, w, c = array.shape
    top, left, height, width = _window_argument(window, h, w)
    target = _dtype_argument(dtype, default)
    workers = thread_count(threads)
    result_shape = (out_h, out_w) if ndim == 2 else (out_h, out_w, c)

    given = None if out is None else out_argument(out, result_shape, target)
    if given is not None and np.may_share_memory(given, array):
        array = array.copy()
    direct = _written_directly(target)
    if direct:
        result = given if given is not None else new_array("resize result", result_shape, target)
        written = result
    else:
        result = given if given is not None else new_array("resize result", result_shape, target)
        written = new_array("resize result (float64 before the cast)", result_shape, np.dtype(np.float64))
    out_mask = None if mask is None else new_array("resize result mask", (out_h, out_w, c), np.dtype(np.uint8))
    _engine.resize(array, written.reshape(out_h, out_w, c), top, left, height, width, workers,
                   mask=mask if mask is not None and mask.any() else None, out_mask=out_mask)
    if not direct:
        np.copyto(result, written, casting="unsafe")
    if out_mask is None:
        return result
    covered_by_nothing = out_mask.view(np.bool_).reshape(result_shape)
    if isinstance(out, np.ma.MaskedArray):
        out.mask = covered_by_nothing
        return out
    return np.ma.MaskedArray(result, mask=covered_by_nothing, copy=False)
