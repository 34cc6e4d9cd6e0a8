"""
A mosaic of dithered frames, with its weight map
================================================

Six overlapping frames cut from astropy's DSS image of M13, each with its
own WCS (a sub-image, so a shifted reference pixel) and its own exposure
time, co-added with :class:`pellorin.Mosaic` onto a rotated grid of 1.5
arcsec pixels. Each frame's weight is its exposure time; pixels hit by a
(made-up) cosmic ray carry weight 0 and drop out. The mosaic keeps four
sums per output pixel, so its memory does not grow with the frames; the
mean is the exposure-weighted surface brightness, the weight map the
exposure, and the flux is kept.
"""

# %%
# Six frames, each with its WCS and exposure time
# -----------------------------------------------
from importlib.resources import files

import matplotlib.pyplot as plt
import numpy as np
from astropy.io import fits
from astropy.wcs import WCS
from matplotlib.colors import AsinhNorm

import pellorin

path = files("astropy.io.fits.hdu.compressed.tests") / "data" / "m13.fits"   # inside astropy
with fits.open(path) as hdul:
    image = hdul[0].data.astype(np.float64)
    wcs_full = WCS(hdul[0].header)

rng = np.random.default_rng(13)
size = 160
corners = [(0, 0), (0, 140), (70, 70), (140, 0), (140, 140), (60, 20)]   # (row, column) of each frame
exposures = [300.0, 300.0, 600.0, 300.0, 300.0, 450.0]                   # seconds

n_out, scale_out, angle = 280, 1.5, 25.0   # 420 arcsec: the whole rotated frame
c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
wcs_out = WCS(naxis=2)
wcs_out.wcs.ctype = ["RA---TAN", "DEC--TAN"]
wcs_out.wcs.crval = wcs_full.wcs.crval
wcs_out.wcs.crpix = [n_out / 2 + 0.5, n_out / 2 + 0.5]
wcs_out.wcs.cd = np.array([[-c, s], [s, c]]) * scale_out / 3600.0
wcs_out.wcs.radesys, wcs_out.wcs.equinox = wcs_full.wcs.radesys, wcs_full.wcs.equinox

mosaic = pellorin.Mosaic((n_out, n_out))
flux_in = 0.0
for (r, col), t in zip(corners, exposures):
    frame = image[r:r + size, col:col + size]                 # counts per second, say
    wcs_frame = wcs_full[r:r + size, col:col + size]          # the sub-image's own WCS
    weights = np.full(frame.shape, t)
    hits = rng.integers(0, size, (2, 40))                     # 40 cosmic-ray pixels per frame
    weights[hits[0], hits[1]] = 0.0                           # left out of every sum
    mosaic.add(frame, (wcs_frame, wcs_out), weights=weights)
    flux_in += (weights * frame).sum()
print(mosaic)

# %%
# Flux and exposure
# -----------------
# ``flux()`` shares each pixel's weighted value ``w v`` over the output
# pixels it covers, so its total is the weighted input total; ``weight()``
# holds ``w a`` per output pixel: the exposure time times the covered
# fraction of the output pixel, in input-pixel areas scaled to output ones.
mean, weight, flux = mosaic.mean(), mosaic.weight(), mosaic.flux()
print(f"weighted flux in  {flux_in:.6e}")
print(f"weighted flux out {flux.sum():.6e}  (relative difference {abs(flux.sum() - flux_in) / flux_in:.1e})")
print(f"exposure per output pixel: up to {weight.max():.1f} s, "
      f"{np.count_nonzero(weight > 0)} of {weight.size} pixels covered")

# %%
# The figure: the exposure-weighted mean (NaN where nothing covers, grey),
# the weight map with the frames' overlaps and the cosmic-ray holes, and a
# zoom on the weight map.
fig, axes = plt.subplots(1, 3, figsize=(18, 5.6), constrained_layout=True)
finite = mean[np.isfinite(mean)]
vmin, vmax = np.percentile(finite, 1), np.percentile(finite, 99.8)
norm = AsinhNorm(linear_width=(vmax - vmin) / 20, vmin=vmin, vmax=vmax)
im = axes[0].imshow(mean, origin="lower", cmap="magma", norm=norm, interpolation="nearest")
fig.colorbar(im, ax=axes[0], shrink=0.85, format="%.0f",
             label=f"counts per 1 arcsec² per s (arcsinh stretch, {vmin:.0f} to {vmax:.0f})")
axes[0].set_facecolor("0.75")
axes[0].set_title("mean of 6 frames on a grid rotated 25 deg,\n1.5 arcsec pixels (arcsinh stretch)", fontsize=10)
im = axes[1].imshow(weight, origin="lower", cmap="viridis", vmin=0.0, vmax=weight.max(), interpolation="nearest")
fig.colorbar(im, ax=axes[1], shrink=0.85, label=f"weight = exposure x covered area (linear, 0 to {weight.max():.0f})")
axes[1].set_title("weight map: overlaps add up, cosmic rays\nleave holes (linear)", fontsize=10)
y0, x0 = n_out // 2 - 20, n_out // 2 - 20
zoom = weight[y0:y0 + 40, x0:x0 + 40]
im = axes[2].imshow(zoom, origin="lower", cmap="viridis", vmin=zoom.min(), vmax=zoom.max(),
                    extent=(x0 - 0.5, x0 + 39.5, y0 - 0.5, y0 + 39.5), interpolation="nearest")
fig.colorbar(im, ax=axes[2], shrink=0.85, label=f"weight (linear, {zoom.min():.0f} to {zoom.max():.0f})")
axes[2].set_title("zoom on the centre of the weight map\n(its own range)", fontsize=10)
for ax in axes:
    ax.set_xlabel("x [output px]")
    ax.set_ylabel("y [output px]")
plt.show()
