"""Exact, flux-conserving area-overlap rebinning of NumPy arrays.

``pellorin`` is the user-facing package: the calls that users type
(resizing, rebinning along an axis, flux-conserving reprojection), with
NumPy's conventions, over its own compiled engine (``pellorin._engine``)
and the compiled module ``_pellorin``. The subpackage ``pellorin.astro``
(astropy needed: ``pellorin[astro]``) takes FITS files, HDUs and headers;
``pellorin.dask`` (``pellorin[dask]``) takes Dask arrays.
"""

from importlib import metadata as _metadata
from pkgutil import extend_path as _extend_path

# The compiled engine is installed inside this folder; a build tree keeps it
# in a pellorin/ folder of its own, which this takes in when it is on sys.path.
__path__ = _extend_path(__path__, __name__)

try:
    __version__: str = _metadata.version("pellorin")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

from ._mosaic import Mosaic
from ._rebin_axis import rebin_axis
from ._reproject import PixelTransform, WCSLike, pixel_quads, reproject
from ._resize import resize

__all__ = ["__version__", "Mosaic", "pixel_quads", "rebin_axis", "reproject", "resize", "PixelTransform",
           "WCSLike"]
