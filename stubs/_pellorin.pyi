# Type stub for the _pellorin extension module.
#
# Parameter kinds and defaults follow the functions' text signatures
# exactly. Arrays are accepted only as NumPy arrays of the listed dtype in
# native byte order and with the listed number of dimensions; nothing is
# converted. Every function returns a new, writeable, C-contiguous array.

from typing import Literal, SupportsFloat, SupportsIndex, overload

import numpy as np
from numpy.typing import NDArray

__all__ = ["rebin_quads", "rebin_axis_weights", "rebin_image_separable"]

# Anything the module converts to a double: a float, an int, a NumPy scalar,
# or any object with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex

def rebin_quads(
    quads: NDArray[np.float64],
    values: NDArray[np.float64],
    *,
    output_x: NDArray[np.float64],
    output_y: NDArray[np.float64],
    mode: Literal["sum", "mean"] = "sum",
    skip_partial: bool | np.bool_ = False,
) -> NDArray[np.float64]:
    """Rebin convex quadrilaterals onto a regular grid by area overlap.

    quads: float64, shape (N, 4, 2): four (x, y) corners per quad, in output
    coordinates, any convex winding. C-ordered or non-contiguous (copied).
    values: float64, shape (N,): one value per quad (copied).
    output_x, output_y: float64, shapes (Mx,) and (My,), Mx, My >= 2: the
    cell centres of the output grid, strictly increasing in their first two
    entries; contiguous; read in place.
    mode: "sum" conserves the total; "mean" gives the area-weighted mean.
    skip_partial: drop quads whose bounding box leaves the grid.

    Returns a new float64 array of shape (Mx, My); element [ix, iy] is the
    cell centred at (output_x[ix], output_y[iy]).
    """

def rebin_axis_weights(
    in_n: SupportsIndex,
    in_bw: _Float,
    in_origin: _Float,
    out_n: SupportsIndex,
    out_bw: _Float,
    out_origin: _Float,
) -> NDArray[np.float64]:
    """Dense overlap weight matrix between two uniform binnings of an axis.

    in_n, out_n >= 1: bin counts; in_bw, out_bw: positive finite bin widths;
    in_origin, out_origin: lower edges of bin 0.

    Returns a new float64 array of shape (out_n, in_n) whose rows sum to 1
    wherever the output bin overlaps the input range (all zeros otherwise),
    so that ``W @ x`` is the overlap-weighted mean of the covered input bins.
    """

# NumPy 2's scalar types are not final, so mypy reports that the two
# overloads could overlap; NumPy 1.26's do not trigger the report.
@overload
def rebin_image_separable(  # type: ignore[overload-overlap, unused-ignore]
    image: NDArray[np.float64],
    h: SupportsIndex,
    w: SupportsIndex,
    c: SupportsIndex,
    out_h: SupportsIndex,
    out_w: SupportsIndex,
    origin_h: _Float,
    origin_w: _Float,
    extent_h: _Float,
    extent_w: _Float,
) -> NDArray[np.float64]:
    """Resize a float64 (H, W, C) image; the result is float64, shape
    (out_h, out_w, c)."""

@overload
def rebin_image_separable(
    image: NDArray[np.uint8] | NDArray[np.uint16] | NDArray[np.float32],
    h: SupportsIndex,
    w: SupportsIndex,
    c: SupportsIndex,
    out_h: SupportsIndex,
    out_w: SupportsIndex,
    origin_h: _Float,
    origin_w: _Float,
    extent_h: _Float,
    extent_w: _Float,
) -> NDArray[np.float32]:
    """Resize a uint8, uint16 or float32 (H, W, C) image by separable
    area-weighted rebinning over the crop window
    [origin_h, origin_h + extent_h) x [origin_w, origin_w + extent_w),
    in input-pixel units.

    image: 3-D, C-contiguous, h * w * c elements, read in place.
    Integer images are neither scaled nor rounded: a uint8 image gives
    float32 values from 0 to 255.

    Returns a new float32 array of shape (out_h, out_w, c).
    """
