"""Reprojection of astronomical images: FITS files, HDUs, headers and WCS.

``pellorin.astro`` takes the objects astronomers have (a FITS file name, an
``HDUList`` or an HDU, ``(array, WCS)`` or ``(array, Header)``) with the
conventions of the ``reproject`` package, and reprojects by exact area
overlap with `pellorin.reproject`. It needs astropy, installed with the
extra ``pellorin[astro]``; astropy is imported when this subpackage is.
"""

try:
    import astropy  # noqa: F401
except ImportError as error:  # pragma: no cover - exercised in a subprocess
    raise ImportError(
        "pellorin.astro needs astropy; install it with the extra: pip install 'pellorin[astro]'"
    ) from error

from ._coadd import coadd
from ._reproject import reproject

__all__ = ["coadd", "reproject"]
