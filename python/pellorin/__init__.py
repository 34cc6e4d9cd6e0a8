"""Exact, flux-conserving area-overlap rebinning of NumPy arrays.

``pellorin`` is the user-facing package over the compiled module
``_pellorin``: the calls that users type (resizing, rebinning along an
axis, flux-conserving reprojection), with NumPy's conventions. The
subpackage ``pellorin.astro`` (astropy needed: ``pellorin[astro]``) takes
FITS files, HDUs and headers.
"""

from importlib import metadata as _metadata

try:
    __version__: str = _metadata.version("pellorin")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

from ._rebin_axis import rebin_axis
from ._reproject import PixelTransform, WCSLike, pixel_quads, reproject
from ._resize import resize

__all__ = ["__version__", "pixel_quads", "rebin_axis", "reproject", "resize", "PixelTransform",
           "WCSLike"]
