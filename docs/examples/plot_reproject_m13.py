"""
M13 reprojected onto a rotated, finer grid
==========================================

astropy ships, among the test data of its FITS package, a 300 x 300 image
of the globular cluster M13 from the Digitized Sky Survey (1 arcsec pixels,
a TAN projection, the header written by SkyView). Here it is reprojected
with :func:`pellorin.reproject` onto a grid rotated by 30 degrees with
pixels of 0.5 arcsec, large enough to hold the whole frame: in "sum" mode
the flux that comes out equals the flux that goes in, and in "mean" mode
the surface brightness is kept, with the footprint telling how much of
every output pixel the frame covers.
"""

# %%
# The image and its header
# ------------------------
# The values are the survey's plate values (``int16``), treated here as
# counts per pixel.
from importlib.resources import files

import matplotlib.pyplot as plt
import numpy as np
from astropy.io import fits
from astropy.wcs import WCS
from matplotlib.colors import AsinhNorm
from matplotlib.patches import Polygon

import pellorin

path = files("astropy.io.fits.hdu.compressed.tests") / "data" / "m13.fits"   # inside astropy
with fits.open(path) as hdul:
    header = hdul[0].header
    image = hdul[0].data.astype(np.float64)
wcs_in = WCS(header)
scale_in = abs(header["CDELT1"]) * 3600.0
print(f"{image.shape[0]}x{image.shape[1]} pixels of {scale_in:.4f} arcsec, centre "
      f"RA {header['CRVAL1']} deg, Dec {header['CRVAL2']} deg; values {image.min():.0f} to {image.max():.0f}")

# %%
# The output grid
# ---------------
# A TAN projection about the same centre, rotated by 30 degrees and sampled
# at 0.5 arcsec: 860 x 860 pixels hold the whole rotated frame
# (300 arcsec x (cos 30 + sin 30) = 410 arcsec). It is declared in the
# input's celestial frame (FK5, equinox 2000, from the header); a grid in
# another frame would be converted to on the way, as the Galactic example
# shows.
angle, scale_out, n_out = 30.0, 0.5, 860
c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
wcs_out = WCS(naxis=2)
wcs_out.wcs.ctype = ["RA---TAN", "DEC--TAN"]
wcs_out.wcs.crval = [header["CRVAL1"], header["CRVAL2"]]
wcs_out.wcs.crpix = [n_out / 2 + 0.5, n_out / 2 + 0.5]
wcs_out.wcs.cd = np.array([[-c, s], [s, c]]) * scale_out / 3600.0
wcs_out.wcs.radesys, wcs_out.wcs.equinox = wcs_in.wcs.radesys, wcs_in.wcs.equinox

# %%
# Flux in, flux out
# -----------------
# "sum" shares every input pixel's value among the output pixels by
# overlap / its own area, so the total is kept where the output covers the
# frame (here: everywhere). "mean" gives the overlap-weighted mean, a
# surface brightness: per input pixel's area, so the "sum" image times the
# ratio of the pixel areas (4) equals it wherever the frame covers a pixel
# fully.
flux = pellorin.reproject(image, (wcs_in, wcs_out), (n_out, n_out), mode="sum")
mean, footprint = pellorin.reproject(image, (wcs_in, wcs_out), (n_out, n_out),
                                     return_footprint=True)
total_in, total_out = image.sum(), flux.sum()
print(f"flux in  {total_in:.6f}")
print(f"flux out {total_out:.6f}  (relative difference {abs(total_out - total_in) / total_in:.1e})")
full = footprint > 1 - 1e-12
area_ratio = (scale_in / scale_out) ** 2
agree = np.abs(flux[full] * area_ratio - mean[full]).max() / np.abs(mean[full]).max()
print(f"'mean' = 'sum' x {area_ratio:.4f} on the {full.sum()} fully covered pixels, "
      f"to {agree:.1e} of the largest value")
print(f"covered: {np.isfinite(mean).sum()} of {mean.size} output pixels, "
      f"{((footprint > 0) & ~full).sum()} of them partly (on the frame's edge)")

# %%
# The figure: the frame as it comes, the two results on the rotated grid
# (the frame's outline in cyan), and a zoom on a corner of the frame where
# the footprint falls from 1 to 0 across partly covered pixels.
t = np.linspace(-0.5, image.shape[0] - 0.5, 50)
lo, hi = np.full_like(t, -0.5), np.full_like(t, image.shape[0] - 0.5)
edge = wcs_out.world_to_pixel_values(*wcs_in.pixel_to_world_values(
    np.concatenate([t, hi, t[::-1], lo]), np.concatenate([lo, t, hi, t[::-1]])))
outline = np.column_stack(edge)

fig, axes = plt.subplots(1, 4, figsize=(21, 5.6), constrained_layout=True,
                         gridspec_kw={"width_ratios": [1, 1, 1, 0.85]})
panels = (
    (axes[0], image, "M13 (DSS), 300x300, 1 arcsec pixels", "counts per 1 arcsec² pixel",
     "x [input px]", "y [input px]"),
    (axes[1], flux, f"'sum' on the rotated 0.5 arcsec grid:\nflux {total_out:.0f} of {total_in:.0f}",
     "counts per 0.25 arcsec² pixel", "x [output px]", "y [output px]"),
    (axes[2], mean, "'mean' on the rotated grid: surface\nbrightness (NaN outside, grey)",
     "counts per 1 arcsec² (input pixel area)", "x [output px]", "y [output px]"),
)
for ax, img, title, unit, xl, yl in panels:
    # The stretch from the fully covered pixels only (uncovered "sum" pixels
    # are 0, and partly covered ones hold part of a pixel).
    shown = img[np.isfinite(img) & (footprint > 1 - 1e-9)] if img is not image else img.ravel()
    vmin, vmax = np.percentile(shown, 1), np.percentile(shown, 99.8)
    norm = AsinhNorm(linear_width=(vmax - vmin) / 20, vmin=vmin, vmax=vmax)
    im = ax.imshow(img, origin="lower", cmap="magma", norm=norm, interpolation="nearest")
    # Round ticks, except those crowding the labelled ends of the scale.
    ticks = [t for k in range(5) for t in (10**k, 2 * 10**k, 5 * 10**k)
             if vmin < t < vmax and 0.06 < norm(t) < 0.94]
    fig.colorbar(im, ax=ax, shrink=0.85, ticks=[vmin, *ticks, vmax], format="%.0f",
                 label=f"{unit}\n(arcsinh stretch, {vmin:.0f} to {vmax:.0f})")
    ax.set_title(f"{title}\n(arcsinh stretch)", fontsize=10)
    ax.set_xlabel(xl)
    ax.set_ylabel(yl)
for ax in axes[1:3]:
    ax.add_patch(Polygon(outline, closed=True, fill=False, color="cyan", lw=0.8))
axes[2].set_facecolor("0.75")
# The corner of the frame nearest the output's lower-left corner.
cx, cy = outline[np.argmin(outline[:, 0] + 3 * outline[:, 1])]
x0, y0 = int(cx) - 8, int(cy) - 6
zoom = footprint[y0:y0 + 20, x0:x0 + 20]
im = axes[3].imshow(zoom, origin="lower", cmap="viridis", vmin=0.0, vmax=1.0,
                    extent=(x0 - 0.5, x0 + 19.5, y0 - 0.5, y0 + 19.5), interpolation="nearest")
axes[3].add_patch(Polygon(outline, closed=True, fill=False, color="red", lw=1.2))
axes[3].set_xlim(x0 - 0.5, x0 + 19.5)
axes[3].set_ylim(y0 - 0.5, y0 + 19.5)
fig.colorbar(im, ax=axes[3], shrink=0.85, label="covered fraction of the pixel (linear, 0 to 1)")
axes[3].set_title("zoom: footprint at the frame's corner\n(linear, 0 to 1)", fontsize=10)
axes[3].set_xlabel("x [output px]")
axes[3].set_ylabel("y [output px]")
plt.show()
