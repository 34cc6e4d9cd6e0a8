"""
M13 in Galactic coordinates, from its FITS file
===============================================

The same DSS image of M13 that astropy ships among its FITS test data,
read straight from the file with :func:`pellorin.astro.reproject` and
reprojected onto a grid in Galactic coordinates (longitude ``l`` and
latitude ``b``, a TAN projection with 2 arcsec pixels) described by a FITS
header, whose ``NAXISn`` give the output's shape. The image's world
coordinates are equatorial (FK5, equinox 2000); they are converted to
Galactic ones on the way, so the cluster lands where it is on the Galactic
sky, turned by the angle between the two frames' north directions.
"""

# %%
# The target grid, as a FITS header
# ---------------------------------
from importlib.resources import files

import matplotlib.pyplot as plt
import numpy as np
from astropy.coordinates import SkyCoord
from astropy.io import fits
from astropy.wcs import WCS
from matplotlib.colors import AsinhNorm

import pellorin.astro

path = files("astropy.io.fits.hdu.compressed.tests") / "data" / "m13.fits"   # inside astropy
header_in = fits.getheader(path)
centre = SkyCoord(header_in["CRVAL1"], header_in["CRVAL2"], unit="deg", frame="fk5").galactic
print(f"M13's centre: RA {header_in['CRVAL1']} deg, Dec {header_in['CRVAL2']} deg (FK5) = "
      f"l {centre.l.deg:.4f} deg, b {centre.b.deg:.4f} deg (Galactic)")

n_out, scale_out = 240, 2.0     # 240 x 240 pixels of 2 arcsec: 480 arcsec on a side
w_out = WCS(naxis=2)
w_out.wcs.ctype = ["GLON-TAN", "GLAT-TAN"]
w_out.wcs.crval = [centre.l.deg, centre.b.deg]
w_out.wcs.crpix = [n_out / 2 + 0.5, n_out / 2 + 0.5]
w_out.wcs.cdelt = [-scale_out / 3600.0, scale_out / 3600.0]
target = fits.Header({"NAXIS": 2, "NAXIS1": n_out, "NAXIS2": n_out})
target.update(w_out.to_header())

# %%
# Flux in, flux out
# -----------------
# "sum" shares each input pixel's value by overlap / its own area, so the
# total is kept where the output covers the frame (here, all of it); "mean"
# keeps the surface brightness (per input pixel area, 1 arcsec²) and
# returns the covered fraction of every output pixel.
with fits.open(path) as hdul:
    image = hdul[0].data.astype(np.float64)
flux = pellorin.astro.reproject(str(path), target, mode="sum", return_footprint=False)
mean, footprint = pellorin.astro.reproject(str(path), target)
print(f"flux in  {image.sum():.6f}")
print(f"flux out {flux.sum():.6f}  (relative difference {abs(flux.sum() - image.sum()) / image.sum():.1e})")
print(f"output {mean.shape}: {np.count_nonzero(footprint > 1 - 1e-12)} pixels fully covered, "
      f"{np.count_nonzero((footprint > 0) & (footprint < 1 - 1e-12))} partly")

# The angle between equatorial north and Galactic north at M13: the frame's
# "up" direction seen on the Galactic grid.
north = SkyCoord(header_in["CRVAL1"], header_in["CRVAL2"] + 0.01, unit="deg", frame="fk5").galactic
dx = -(north.l.deg - centre.l.deg) * np.cos(np.deg2rad(centre.b.deg))
dy = north.b.deg - centre.b.deg
print(f"equatorial north points {np.degrees(np.arctan2(dx, dy)):.2f} deg from Galactic north here")

# %%
# The figure: the frame as it comes, its surface brightness on the Galactic
# grid (NaN outside, grey) and the footprint.
fig, axes = plt.subplots(1, 3, figsize=(17, 5.4), constrained_layout=True)
vmin, vmax = np.percentile(image, 1), np.percentile(image, 99.8)
for ax, img, title, xl, yl in (
        (axes[0], image, "M13 (DSS) as stored: FK5,\n300x300 pixels of 1 arcsec", "x [input px]", "y [input px]"),
        (axes[1], mean, "'mean' on the Galactic TAN grid,\n240x240 pixels of 2 arcsec", "l [output px]",
         "b [output px]")):
    norm = AsinhNorm(linear_width=(vmax - vmin) / 20, vmin=vmin, vmax=vmax)
    im = ax.imshow(img, origin="lower", cmap="magma", norm=norm, interpolation="nearest")
    fig.colorbar(im, ax=ax, shrink=0.85, format="%.0f",
                 label=f"counts per 1 arcsec² (arcsinh stretch, {vmin:.0f} to {vmax:.0f})")
    ax.set_title(f"{title} (arcsinh stretch)", fontsize=10)
    ax.set_xlabel(xl)
    ax.set_ylabel(yl)
axes[1].set_facecolor("0.75")
im = axes[2].imshow(footprint, origin="lower", cmap="viridis", vmin=0.0, vmax=1.0, interpolation="nearest")
fig.colorbar(im, ax=axes[2], shrink=0.85, label="covered fraction of the pixel (linear, 0 to 1)")
axes[2].set_title("footprint (linear, 0 to 1)", fontsize=10)
axes[2].set_xlabel("l [output px]")
axes[2].set_ylabel("b [output px]")
plt.show()
