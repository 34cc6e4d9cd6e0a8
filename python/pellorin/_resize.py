"""``pellorin.resize``: area-weighted resizing of 2-D and 3-D images."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Optional, SupportsIndex, TypeVar, overload

import numpy as np
import numpy.typing as npt

import _pellorin

from ._arguments import FloatLike, as_array, finite_float, positive_count, positive_float

_S = TypeVar("_S", bound=np.generic)

# Element types that the module reads as they are, by (kind, itemsize).
_PASSED = {("u", 1), ("u", 2), ("f", 4), ("f", 8)}

# Output pixels narrower than this (in input pixels) can give a row of
# overlaps whose sum is below 2**-1024, whose reciprocal, and so a weight, is
# infinite; a zero overlap times it is NaN, even for an integer image. With
# wider pixels a non-zero overlap is at least one unit in the last place of
# the pixel width (2**-1012), so integer images never give NaN.
_NAN_FREE_PIXEL = 2.0**-960


def _image_argument(image: object) -> np.ndarray:
    """The image as a 2-D or 3-D C-contiguous, aligned, native-order array of
    uint8, uint16, float32 or float64, copied only when it is not one already."""
    array = as_array("image", image)
    dtype = array.dtype
    if dtype.kind in "uf" and (dtype.kind, dtype.itemsize) in _PASSED:
        work = dtype.newbyteorder("=")
    elif dtype.kind in "biu":
        work = np.dtype(np.float64)
    elif dtype.kind == "f" and dtype.itemsize == 2:
        work = np.dtype(np.float32)
    else:
        raise TypeError("image dtype must be bool, an integer type, float16, float32 or float64; "
                        f"got {dtype}")
    if array.ndim not in (2, 3):
        raise ValueError(f"image must be 2-D (H, W) or 3-D (H, W, C); got shape {array.shape}")
    if array.size == 0:
        raise ValueError(f"image must not be empty; got shape {array.shape}")
    if dtype != work or not (array.flags.c_contiguous and array.flags.aligned):
        array = np.array(array, dtype=work, order="C", copy=True)
    return array


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


def _dtype_argument(dtype: npt.DTypeLike) -> np.dtype[Any]:
    try:
        target = np.dtype(dtype)
    except TypeError as error:
        raise TypeError(f"dtype: {error}") from error
    if target.kind not in "iuf":
        raise TypeError(f"dtype must be an integer or floating type; got {target}")
    return target


def _round_into(result: np.ndarray, target: np.dtype, nan_possible: bool) -> np.ndarray:
    """``result`` rounded half to even, clipped to ``target``'s range, NaN as
    0, in ``target``. Works in place on ``result``, which it spoils."""
    info = np.iinfo(target)
    work = result.dtype.type
    np.rint(result, out=result)
    if nan_possible:
        np.copyto(result, 0, where=np.isnan(result))
    # info.min is 0 or a power of two, exact in either work type; info.max
    # may not be, and its nearest work value then lies above it. Clip to the
    # largest work value within range and restore the maximum afterwards for
    # the values that reached the rounded-up bound.
    low, high = work(info.min), work(info.max)
    above = None
    if int(high) > info.max:
        above = result >= high
        high = np.nextafter(high, work(0))
    np.clip(result, low, high, out=result)
    converted = result.astype(target)
    if above is not None:
        converted[above] = info.max
    return converted


# uint8, uint16, float32 (and float16) images give float32; float64, other
# integer and bool images give float64.
@overload
def resize(  # type: ignore[overload-overlap, unused-ignore]
        image: npt.NDArray[np.uint8] | npt.NDArray[np.uint16] | npt.NDArray[np.float32] | npt.NDArray[np.float16],
        shape: Sequence[SupportsIndex], *, window: Optional[Sequence[FloatLike]] = None,
        dtype: None = None) -> npt.NDArray[np.float32]: ...
@overload
def resize(  # type: ignore[overload-overlap, unused-ignore]
        image: npt.NDArray[np.float64] | npt.NDArray[np.integer[Any]] | npt.NDArray[np.bool_],
        shape: Sequence[SupportsIndex], *, window: Optional[Sequence[FloatLike]] = None,
        dtype: None = None) -> npt.NDArray[np.float64]: ...
@overload
def resize(image: npt.ArrayLike, shape: Sequence[SupportsIndex], *,
           window: Optional[Sequence[FloatLike]] = None,
           dtype: type[_S] | np.dtype[_S]) -> npt.NDArray[_S]: ...
@overload
def resize(image: npt.ArrayLike, shape: Sequence[SupportsIndex], *,
           window: Optional[Sequence[FloatLike]] = None,
           dtype: Optional[npt.DTypeLike] = None) -> npt.NDArray[Any]: ...


def resize(image: npt.ArrayLike, shape: Sequence[SupportsIndex], *,
           window: Optional[Sequence[FloatLike]] = None,
           dtype: Optional[npt.DTypeLike] = None) -> npt.NDArray[Any]:
    """Resize an image by exact area-weighted averaging.

    Every output pixel receives, per channel, the overlap-weighted mean of
    the input pixels that it covers, as with a box filter whose box is the
    output pixel.

    Parameters
    ----------
    image : array_like, shape (H, W) or (H, W, C)
        Rows first, as NumPy indexes images. ``uint8``, ``uint16``,
        ``float32`` and ``float64`` are read as they are, in place when the
        array is C-contiguous, aligned and in native byte order, else from
        a copy. ``bool`` and other integer types are converted to
        ``float64``, ``float16`` to ``float32``. A masked array's mask is
        ignored.
    shape : (int, int)
        ``(out_h, out_w)``, the number of output rows and columns, both
        >= 1.
    window : (float, float, float, float), optional
        ``(top, left, height, width)`` of the region to resize, in input
        pixels; pixel ``(r, x)`` covers ``[r, r+1) x [x, x+1)``, so the
        whole image is ``(0, 0, H, W)`` (the default). The window may be
        fractional and may reach past the image: an output pixel partly
        outside averages the covered part only, one wholly outside is 0.
        ``top`` and ``left`` must be finite, ``height`` and ``width`` finite
        and > 0.
    dtype : data-type, optional
        ``None`` (the default) returns the computed values: ``float64`` for
        ``float64`` images (and the types converted to it), ``float32``
        otherwise. An integer type rounds half to even, clips to the type's
        range and turns NaN into 0. A floating type casts.

    Returns
    -------
    numpy.ndarray
        A new C-contiguous array of shape ``(out_h, out_w)`` for a 2-D
        image, ``(out_h, out_w, C)`` for a 3-D one.

    Raises
    ------
    TypeError
        If ``image`` has a complex, object, text, date or ``longdouble``
        dtype, or ``shape``, ``window`` or ``dtype`` is not of the form
        above (``dtype`` must be an integer or floating type).
    ValueError
        If ``image`` is not 2-D or 3-D or is empty, a size in ``shape`` is
        below 1, or a ``window`` value is not finite or a size not > 0.
    MemoryError
        If the result cannot be allocated.

    Notes
    -----
    With ``dtype=None`` the result is bit for bit that of
    ``_pellorin.rebin_image_separable(image, H, W, C, out_h, out_w, top,
    left, height, width)`` on the image as read above: a pass along H, then
    one along W, every product and sum rounded on its own in the work type
    (``float32``, or ``float64`` for ``float64`` images). Integer values are
    neither scaled nor normalised: a ``uint8`` image gives values from 0 to
    255. The rounding of ``dtype`` is applied to these values.

    The input must not be modified by another thread while the call runs:
    it is read in place without the interpreter lock.

    Examples
    --------
    >>> import numpy as np
    >>> import pellorin
    >>> img = np.array([[0, 255], [255, 255]], dtype=np.uint8)
    >>> pellorin.resize(img, (1, 1))
    array([[191.25]], dtype=float32)
    >>> pellorin.resize(img, (1, 1), dtype=np.uint8)
    array([[191]], dtype=uint8)

    A window that reaches above the image averages the covered part:

    >>> column = np.array([[10.0], [30.0]])
    >>> pellorin.resize(column, (1, 1), window=(-1.0, 0.0, 2.0, 1.0))
    array([[10.]])
    """
    array = _image_argument(image)
    out_h, out_w = _shape_argument(shape)
    h, w = array.shape[0], array.shape[1]
    c = array.shape[2] if array.ndim == 3 else 1
    top, left, height, width = _window_argument(window, h, w)
    target = None if dtype is None else _dtype_argument(dtype)

    result = _pellorin.rebin_image_separable(array.reshape(h, w, c), h, w, c, out_h, out_w,
                                             top, left, height, width)
    if array.ndim == 2:
        result = result.reshape(out_h, out_w)
    if target is None:
        return result
    if target.kind == "f":
        return result.astype(target, copy=False)
    nan_possible = (array.dtype.kind == "f" or height / out_h < _NAN_FREE_PIXEL
                    or width / out_w < _NAN_FREE_PIXEL)
    return _round_into(result, target, nan_possible)
