#!/usr/bin/env python3
"""A tour of pellorin on real data where it is installed, made-up data where not.

1. A sky image reprojected with ``pellorin.reproject`` onto a rotated grid
   with a small polynomial (SIP) distortion, as a rotated, distorted
   detector would sample it: the DSS image of M13 that astropy ships among
   its test data, with its own FITS header (without astropy's test data: a
   star field made on the spot, seen by such a detector and put back onto
   the sky). In "sum" mode flux is conserved (the demo prints the flux in and
   out); in "mean" mode the surface brightness is kept, with the covered
   fraction of every output pixel.
2. A photograph resized with ``pellorin.resize`` to several sizes and crop
   windows, next to OpenCV's INTER_AREA and Pillow's BOX filter when they
   are installed: scikit-image's ``coffee`` (a painted landscape without
   scikit-image), with the share of uint8 values that differ at an exact
   halving, where we round half to even and the peers round half up.
3. A spectrum rebinned onto coarser bins with ``pellorin.rebin_axis`` in
   both modes, flux conserved: the galaxy spectrum shipped with astropy's
   modelling tests (a made-up one without them).

Figures go to ``demo-output/`` in the current directory (or ``--output``).
Nothing is downloaded. Run with ``make demo`` or ``python examples/demo.py``.
"""

from __future__ import annotations

import argparse
import importlib.resources
import time
from pathlib import Path

import matplotlib
import numpy as np

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from astropy.wcs import WCS, Sip  # noqa: E402
from matplotlib.patches import Polygon, Rectangle  # noqa: E402

import pellorin  # noqa: E402

try:
    import cv2
except ImportError:  # optional comparison
    cv2 = None
try:
    from PIL import Image
except ImportError:  # optional comparison
    Image = None
else:
    BOX = getattr(Image, "Resampling", Image).BOX
try:
    from skimage import data as skdata
except ImportError:  # optional: real photographs
    skdata = None
try:
    from astropy.io import fits
except ImportError:  # astropy is a dependency of the demo, but be explicit
    fits = None

SUMMARY: list[str] = []


def shipped_file(package: str, name: str) -> Path | None:
    """A data file shipped inside an installed package, or None."""
    try:
        path = importlib.resources.files(package) / name
    except ModuleNotFoundError:
        return None
    return Path(str(path)) if path.is_file() else None


def step(message: str) -> None:
    print(f"  ... {message}", flush=True)


def best_time(fn, repeat: int = 3):
    """Runs fn `repeat` times; returns (last result, fastest time in seconds)."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return result, best


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms"


# ---------------------------------------------------------------------------
# 1. A sky image through a rotated, distorted grid
# ---------------------------------------------------------------------------

DET_N = 220            # detector pixels per side
DET_SCALE = 0.85       # arcsec per detector pixel at the centre
DET_ANGLE = 23.0       # degrees between the detector's rows and the sky's
DET_DISTORTION = 1.5e-6  # radial polynomial: u, v grow by this times r^2 (r in pixels)
SKY_N = 300            # sky cells per side, 1 arcsec each
CENTRE = (150.0, 2.2)  # RA, Dec of the sky grid's centre, degrees


def tan_wcs(crval, crpix, cd, sip_k: float = 0.0) -> WCS:
    """A TAN WCS; with sip_k, a radial cubic distortion u' = u (1 + k r^2)
    written as SIP polynomials."""
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval, w.wcs.crpix, w.wcs.cd = crval, crpix, cd
    if sip_k:
        a, b = np.zeros((4, 4)), np.zeros((4, 4))
        a[3, 0] = a[1, 2] = sip_k  # A_p_q multiplies u^p v^q
        b[2, 1] = b[0, 3] = sip_k
        w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
        w.sip = Sip(a, b, None, None, w.wcs.crpix)
    return w


def sky_brightness(x: np.ndarray, y: np.ndarray, stars) -> np.ndarray:
    """Surface brightness (flux per square arcsec) of a field of Gaussian
    stars on a flat background."""
    sx, sy, flux = stars
    sigma = 1.1
    out = np.full(x.shape, 0.8)
    for i in range(len(flux)):
        r2 = (x - sx[i]) ** 2 + (y - sy[i]) ** 2
        near = r2 < (6 * sigma) ** 2
        out[near] += flux[i] / (2 * np.pi * sigma**2) * np.exp(-r2[near] / (2 * sigma**2))
    return out



def draw_reprojection(path: Path, image, flux, mean, footprint, outline, labels) -> None:
    """Four panels: the input, "sum" and "mean" on the output grid (the
    input's outline in cyan), and a zoom on the footprint at a corner of the
    input's outline, each with its own colour scale."""
    in_title, in_unit, in_axis, flux_unit, mean_unit, out_axis = labels
    fig, axes = plt.subplots(1, 4, figsize=(21, 5.4), constrained_layout=True,
                             gridspec_kw={"width_ratios": [1, 1, 1, 0.8]})
    panels = (
        (axes[0], image, in_title, in_unit, in_axis),
        (axes[1], flux, f"'sum' on the output grid:\nflux {np.nansum(flux):.0f} of {np.nansum(image):.0f}",
         flux_unit, out_axis),
        (axes[2], mean, "'mean' on the output grid:\nsurface brightness", mean_unit, out_axis),
    )
    for ax, img, title, unit, axis in panels:
        # The stretch from the fully covered pixels only (uncovered "sum"
        # pixels are 0, and partly covered ones hold part of a pixel).
        shown = img[np.isfinite(img) & (footprint > 1 - 1e-9)] if img is not image else img.ravel()
        vmin, vmax = np.percentile(shown, 0.5), np.percentile(shown, 99.8)
        norm = matplotlib.colors.AsinhNorm(linear_width=(vmax - vmin) / 20, vmin=vmin, vmax=vmax)
        im = ax.imshow(img, origin="lower", cmap="magma", norm=norm, interpolation="nearest")
        # Round ticks, except those crowding the labelled ends of the scale.
        ticks = [t for k in range(-1, 5) for t in (10.0**k, 2 * 10.0**k, 5 * 10.0**k)
                 if vmin < t < vmax and 0.06 < norm(t) < 0.94]
        fig.colorbar(im, ax=ax, shrink=0.85, ticks=[vmin, *ticks, vmax], format="%.4g",
                     label=f"{unit} (arcsinh stretch, {vmin:.4g} to {vmax:.4g})")
        ax.set_title(f"{title}\n(arcsinh stretch)")
        ax.set_xlabel(f"x [{axis}]")
        ax.set_ylabel(f"y [{axis}]")
    for ax in axes[1:3]:
        ax.add_patch(Polygon(outline, closed=True, fill=False, color="cyan", lw=0.8))
    axes[2].set_facecolor("0.75")  # NaN: no input pixel covers the cell
    # Zoom on the lowest corner of the input's outline: partly covered
    # cells keep only the overlapping part of each pixel.
    cx, cy = outline[np.argmin(outline[:, 0] + 3 * outline[:, 1])]
    x0, y0 = int(cx) - 8, int(cy) - 5
    zoom = footprint[max(y0, 0):y0 + 16, max(x0, 0):x0 + 16]
    x0, y0 = max(x0, 0), max(y0, 0)
    im = axes[3].imshow(zoom, origin="lower", cmap="viridis", vmin=0.0, vmax=1.0,
                        extent=(x0 - 0.5, x0 + zoom.shape[1] - 0.5, y0 - 0.5, y0 + zoom.shape[0] - 0.5),
                        interpolation="nearest")
    axes[3].add_patch(Polygon(outline, closed=True, fill=False, color="red", lw=1.2))
    axes[3].set_xlim(x0 - 0.5, x0 + zoom.shape[1] - 0.5)
    axes[3].set_ylim(y0 - 0.5, y0 + zoom.shape[0] - 0.5)
    fig.colorbar(im, ax=axes[3], shrink=0.85, label="covered fraction of the cell (linear)")
    axes[3].set_title("zoom: footprint at a corner of the input\n(linear, 0 to 1)")
    axes[3].set_xlabel(f"x [{out_axis}]")
    axes[3].set_ylabel(f"y [{out_axis}]")
    fig.savefig(path, dpi=80)
    plt.close(fig)


def outline_of(shape, wcs_in, wcs_out) -> np.ndarray:
    """The input's edge on the output grid (curved by any distortion)."""
    ny, nx = shape
    tx, ty = np.linspace(-0.5, nx - 0.5, 60), np.linspace(-0.5, ny - 0.5, 60)
    x = np.concatenate([tx, np.full_like(ty, nx - 0.5), tx[::-1], np.full_like(ty, -0.5)])
    y = np.concatenate([np.full_like(tx, -0.5), ty, np.full_like(tx, ny - 0.5), ty[::-1]])
    return np.array(wcs_out.world_to_pixel_values(*wcs_in.pixel_to_world_values(x, y))).T


def report_reprojection(counts, flux, mean, footprint, t_sum, t_mean) -> float:
    total_in, total_out = counts.sum(), flux.sum()
    rel = abs(total_out - total_in) / abs(total_in)
    print(f"  flux in {total_in:.6f}, flux out {total_out:.6f}, difference "
          f"{total_out - total_in:.2e} (relative {rel:.1e})")
    covered = np.isfinite(mean)
    edge = covered & (footprint < 1 - 1e-9)
    print(f"  'mean': {covered.sum()} of {mean.size} cells covered ({edge.sum()} partly, "
          f"at the input's edge)")
    print(f"  pellorin.reproject: 'sum' {ms(t_sum)}, 'mean' with footprint {ms(t_mean)}")
    return rel


def sky_image(outdir: Path) -> None:
    path = shipped_file("astropy.io.fits.hdu.compressed.tests", "data/m13.fits")
    if path is None or fits is None:
        star_field(outdir)
        return
    print("[1/3] M13 (DSS image shipped with astropy) onto a rotated, distorted grid "
          "(pellorin.reproject)", flush=True)
    step(f"reading {path.name} and its WCS from {path.parent}")
    with fits.open(path) as hdul:
        header = hdul[0].header
        image = hdul[0].data.astype(np.float64)   # plate values, as counts per pixel
    sky = WCS(header)
    n_out = 480
    c, s = np.cos(np.deg2rad(DET_ANGLE)), np.sin(np.deg2rad(DET_ANGLE))
    grid = tan_wcs([header["CRVAL1"], header["CRVAL2"]], [n_out / 2 + 0.5, n_out / 2 + 0.5],
                   np.array([[-c, s], [s, c]]) * DET_SCALE / 3600.0, DET_DISTORTION)
    grid.wcs.radesys, grid.wcs.equinox = sky.wcs.radesys, sky.wcs.equinox  # the same frame
    step(f"{image.shape[0]}x{image.shape[1]} pixels of 1 arcsec -> {n_out}x{n_out} pixels of "
         f"{DET_SCALE} arcsec, rotated {DET_ANGLE:g} deg, TAN-SIP")
    to_grid = (sky, grid)
    flux, t_sum = best_time(lambda: pellorin.reproject(image, to_grid, (n_out, n_out), mode="sum"))
    (mean, footprint), t_mean = best_time(lambda: pellorin.reproject(
        image, to_grid, (n_out, n_out), return_footprint=True))
    rel = report_reprojection(image, flux, mean, footprint, t_sum, t_mean)
    out = outdir / "reproject.png"
    step(f"drawing {out}")
    draw_reprojection(out, image, flux, mean, footprint, outline_of(image.shape, sky, grid),
                      ("M13 (DSS, shipped with astropy), 300x300", "counts per pixel", "input px",
                       "counts per output pixel", "counts per input pixel area", "output px"))
    SUMMARY.append(f"sky image: M13 300x300 (astropy's test data) -> {n_out}x{n_out} rotated TAN-SIP "
                   f"grid with pellorin.reproject; flux in {image.sum():.3f}, out {flux.sum():.3f}, "
                   f"relative difference {rel:.1e}; 'sum' {ms(t_sum)}, 'mean' {ms(t_mean)}")


def star_field(outdir: Path) -> None:
    print("[1/3] Star field through a rotated, distorted detector (pellorin.reproject; "
          "astropy's test data not installed: made-up stars)", flush=True)
    rng = np.random.default_rng(2024)
    # The sky grid: north up, east left, 1 arcsec cells; its pixel
    # coordinates double as arcsec offsets in which the stars are placed.
    sky = tan_wcs(CENTRE, [SKY_N / 2 + 0.5, SKY_N / 2 + 0.5],
                  np.array([[-1.0, 0.0], [0.0, 1.0]]) / 3600.0)
    c, s = np.cos(np.deg2rad(DET_ANGLE)), np.sin(np.deg2rad(DET_ANGLE))
    det = tan_wcs([CENTRE[0] + 0.3 / 3600.0, CENTRE[1] - 0.7 / 3600.0],
                  [DET_N / 2 + 0.5, DET_N / 2 + 0.5],
                  np.array([[-c, s], [s, c]]) * DET_SCALE / 3600.0, DET_DISTORTION)
    n_stars = 150
    radius = rng.uniform(0, 1, n_stars) ** 0.5 * 115
    phi = rng.uniform(0, 2 * np.pi, n_stars)
    stars = (SKY_N / 2 - 0.5 + radius * np.cos(phi), SKY_N / 2 - 0.5 + radius * np.sin(phi),
             rng.pareto(1.3, n_stars) * 40 + 20)

    step(f"observing {n_stars} stars with a {DET_N}x{DET_N} detector "
         f"(TAN-SIP WCS, {DET_SCALE} arcsec/px, rotated {DET_ANGLE:g} deg)")
    # What each pixel records: the brightness at 2x2 points inside it, times
    # its area on the sky (arcsec^2, from its four corners), plus read noise.
    to_sky = (det, sky)
    quads = pellorin.pixel_quads(to_sky, (DET_N, DET_N))
    d1, d2 = quads[:, 2] - quads[:, 0], quads[:, 3] - quads[:, 1]
    pixel_area = (0.5 * np.abs(d1[:, 0] * d2[:, 1] - d1[:, 1] * d2[:, 0])).reshape(DET_N, DET_N)
    brightness = np.zeros((DET_N, DET_N))
    for a in (-0.25, 0.25):
        for b in (-0.25, 0.25):
            y, x = np.mgrid[0:DET_N, 0:DET_N] + np.array([b, a])[:, None, None]
            brightness += sky_brightness(*sky.world_to_pixel_values(
                *det.pixel_to_world_values(x, y)), stars) / 4
    counts = brightness * pixel_area + rng.normal(0.0, 0.15, (DET_N, DET_N))

    step(f"reprojecting onto a {SKY_N}x{SKY_N} sky grid of 1 arcsec cells")
    flux, t_sum = best_time(lambda: pellorin.reproject(counts, to_sky, (SKY_N, SKY_N),
                                                       mode="sum"))
    # "mean" takes a per-area quantity: each pixel's surface brightness.
    (mean, footprint), t_mean = best_time(lambda: pellorin.reproject(
        counts / pixel_area, to_sky, (SKY_N, SKY_N), return_footprint=True))
    rel = report_reprojection(counts, flux, mean, footprint, t_sum, t_mean)
    out = outdir / "reproject.png"
    step(f"drawing {out}")
    draw_reprojection(out, counts, flux, mean, footprint, outline_of(counts.shape, det, sky),
                      ("Detector frame (made-up stars)", "counts per pixel", "detector px",
                       "counts per arcsec² cell", "counts per arcsec²", "arcsec"))
    SUMMARY.append(f"star field (made up): {DET_N}x{DET_N} TAN-SIP detector -> {SKY_N}x{SKY_N} sky "
                   f"grid with pellorin.reproject; flux in {counts.sum():.3f}, out {flux.sum():.3f}, "
                   f"relative difference {rel:.1e}; 'sum' {ms(t_sum)}, 'mean' {ms(t_mean)}")


# ---------------------------------------------------------------------------
# 2. Image resize
# ---------------------------------------------------------------------------

def smooth_noise(rng, h: int, w: int, cell: int) -> np.ndarray:
    """Value noise: random values on a coarse lattice, bilinearly interpolated."""
    gh, gw = h // cell + 2, w // cell + 2
    lattice = rng.uniform(-1, 1, (gh, gw))
    y = np.arange(h) / cell
    x = np.arange(w) / cell
    y0, x0 = y.astype(int), x.astype(int)
    fy, fx = (y - y0)[:, None], (x - x0)[None, :]
    a = lattice[y0][:, x0]
    b = lattice[y0][:, x0 + 1]
    c = lattice[y0 + 1][:, x0]
    d = lattice[y0 + 1][:, x0 + 1]
    return (a * (1 - fx) + b * fx) * (1 - fy) + (c * (1 - fx) + d * fx) * fy


def landscape(h: int = 1200, w: int = 1600) -> np.ndarray:
    """A photograph-like uint8 RGB scene: sky, sun, clouds, mountains, a lake,
    a meadow, a fence with fine pickets and a checkered sign."""
    rng = np.random.default_rng(11)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    t = yy / h
    img = np.empty((h, w, 3), np.float32)
    # Sky gradient with a soft sun and clouds.
    for ch, (top, bottom) in enumerate(((40, 190), (90, 215), (170, 240))):
        img[:, :, ch] = top + (bottom - top) * t / 0.55
    sun_r = np.hypot(yy - 0.2 * h, xx - 0.72 * w)
    glow = np.exp(-sun_r / (0.05 * w))
    img += glow[:, :, None] * np.array([90, 70, 30], np.float32)
    img[sun_r < 0.035 * w] = (255, 248, 225)
    clouds = np.clip(smooth_noise(rng, h, w, 90) + 0.5 * smooth_noise(rng, h, w, 30) - 0.3,
                     0, 1) * np.clip(1 - t / 0.5, 0, 1)
    img = img * (1 - clouds[:, :, None]) + 245 * clouds[:, :, None]
    # Mountains: a ridge line from a few sines and noise.
    x = np.arange(w) / w
    ridge = h * (0.42 - 0.10 * np.sin(3.1 * x + 0.5) - 0.04 * np.sin(11 * x)
                 - 0.015 * np.sin(37 * x + 1.0))
    ridge += 12 * smooth_noise(rng, 1, w, 25)[0]
    rock = 0.5 + 0.5 * smooth_noise(rng, h, w, 12)
    mountain = yy > ridge[None, :]
    shade = np.clip((yy - ridge[None, :]) / (0.2 * h), 0, 1)
    mcol = np.stack([70 + 40 * rock - 20 * shade, 80 + 35 * rock - 15 * shade,
                     95 + 30 * rock], axis=-1)
    snowline = 0.34 * h + 30 * smooth_noise(rng, 1, w, 40)[0]
    snow = (yy < np.minimum(ridge + 60, snowline)[None, :] + 15 * rock) & mountain
    img[mountain] = mcol[mountain]
    img[snow] = 235
    # Lake reflecting the sky, with ripples.
    lake = yy > 0.62 * h
    ripple = 12 * np.sin(yy * 0.9 + 4 * smooth_noise(rng, h, w, 40))
    img[lake] = np.array([60, 110, 160], np.float32) + ripple[lake][:, None]
    # Meadow with grass texture.
    meadow = yy > 0.75 * h + 15 * np.sin(xx / 130)
    grass = rng.normal(0, 18, (h, w)).astype(np.float32) + 20 * smooth_noise(rng, h, w, 20)
    gcol = np.stack([60 + grass, 120 + grass * 1.2, 40 + 0.5 * grass], axis=-1)
    img[meadow] = gcol[meadow]
    # A fence of 3-pixel pickets every 7 pixels: detail finer than most of
    # the output pixels below, which a point-sampling resize would alias.
    fence = (yy > 0.80 * h) & (yy < 0.86 * h) & ((xx.astype(int) % 7) < 3) & (xx < 0.6 * w)
    img[fence] = (235, 225, 205)
    rail = ((np.abs(yy - 0.815 * h) < 3) | (np.abs(yy - 0.845 * h) < 3)) & (xx < 0.6 * w)
    img[rail] = (150, 110, 80)
    # A checkered sign of 4-pixel squares.
    sign = (yy > 0.70 * h) & (yy < 0.78 * h) & (xx > 0.78 * w) & (xx < 0.90 * w)
    checks = ((yy.astype(int) // 4 + xx.astype(int) // 4) % 2) == 0
    img[sign & checks] = (20, 20, 20)
    img[sign & ~checks] = (250, 250, 250)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def resize(img: np.ndarray, out_h: int, out_w: int, origin_h: float = 0.0,
           origin_w: float = 0.0, extent_h: float | None = None,
           extent_w: float | None = None) -> np.ndarray:
    """pellorin.resize over the window (origin_h, origin_w, extent_h, extent_w)
    in input pixels; the whole image by default."""
    h, w = img.shape[:2]
    window = (origin_h, origin_w, float(h) if extent_h is None else extent_h,
              float(w) if extent_w is None else extent_w)
    return pellorin.resize(img, (out_h, out_w), window=window)


def load_photo():
    """scikit-image's coffee photograph, or the painted landscape without it."""
    if skdata is not None:
        return skdata.coffee(), "skimage.data.coffee()", "photograph"
    return landscape(), "painted landscape", "photograph-like image"


def halving_differences(img: np.ndarray) -> list[str]:
    """Shares of uint8 values that differ from the peers at an exact halving."""
    h, w = img.shape[0] // 2 * 2, img.shape[1] // 2 * 2
    img = np.ascontiguousarray(img[:h, :w])
    ours = pellorin.resize(img, (h // 2, w // 2), dtype=np.uint8).astype(int)
    p = img.astype(int)
    ties = ((p[0::2, 0::2] + p[1::2, 0::2] + p[0::2, 1::2] + p[1::2, 1::2]) % 4 == 2).mean()
    found = [f"{ties:.2%} of the 2x2 means are ties"]
    if cv2 is not None:
        ref = cv2.resize(img, (w // 2, h // 2), interpolation=cv2.INTER_AREA).astype(int)
        found.append(f"{(ours != ref).mean():.2%} differ from OpenCV (max {np.abs(ours - ref).max()})")
    if Image is not None:
        ref = np.asarray(Image.fromarray(img).resize((w // 2, h // 2), BOX)).astype(int)
        found.append(f"{(ours != ref).mean():.2%} differ from Pillow (max {np.abs(ours - ref).max()})")
    return found


def image_resize(outdir: Path) -> None:
    img, name, kind = load_photo()
    print(f"[2/3] {kind.capitalize()} resized (pellorin.resize): {name}", flush=True)
    img_f32 = img.astype(np.float32)
    h, w, _ = img.shape
    step(f"{name}: {h}x{w} RGB, uint8")
    if cv2 is not None:
        cv2.setNumThreads(1)  # one thread, like one call here

    sizes = [(round(h * f), round(w * f)) for f in (0.5, 0.4, 0.25, 0.18, 1 / 16)]
    others = [label for label, mod in (("OpenCV INTER_AREA", cv2), ("Pillow BOX", Image))
              if mod is not None]
    step(f"resizing to {len(sizes)} sizes" + (f", next to {' and '.join(others)}"
                                              if others else " (OpenCV and Pillow not installed)"))
    print(f"  {'size':>9}  {'ours u8':>9}  {'ours f32':>9}", end="")
    if cv2 is not None:
        print(f"  {'cv2 u8':>8}  {'cv2 f32':>8}  {'|d| cv2 f32':>11}  {'|d| cv2 u8':>10}", end="")
    if Image is not None:
        print(f"  {'PIL u8':>8}  {'|d| PIL u8':>10}", end="")
    print()
    results = {}
    worst = {"cv2 f32": 0.0, "cv2 u8": 0.0, "PIL u8": 0.0}
    ours_total = 0.0
    for oh, ow in sizes:
        ours, t_ours = best_time(lambda: resize(img, oh, ow))
        ours_f, t_ours_f = best_time(lambda: resize(img_f32, oh, ow))
        assert np.array_equal(ours, ours_f)  # uint8 is converted exactly to float32
        ours_total += t_ours
        results[(oh, ow)] = ours
        line = f"  {oh:>4}x{ow:<4}  {ms(t_ours):>9}  {ms(t_ours_f):>9}"
        if cv2 is not None:
            ref8, t8 = best_time(lambda: cv2.resize(img, (ow, oh), interpolation=cv2.INTER_AREA))
            reff, tf = best_time(lambda: cv2.resize(img_f32, (ow, oh),
                                                    interpolation=cv2.INTER_AREA))
            dff = float(np.abs(ours - reff).max())
            # Our result is not rounded; compare the rounded values with the uint8 one.
            d8 = float(np.abs(np.rint(ours) - ref8).max())
            worst["cv2 f32"] = max(worst["cv2 f32"], dff)
            worst["cv2 u8"] = max(worst["cv2 u8"], d8)
            line += f"  {ms(t8):>8}  {ms(tf):>8}  {dff:>11.2e}  {d8:>10.0f}"
        if Image is not None:
            pil = Image.fromarray(img)
            refp, tp = best_time(lambda: np.asarray(pil.resize((ow, oh), BOX)))
            dp = float(np.abs(np.rint(ours) - refp).max())
            worst["PIL u8"] = max(worst["PIL u8"], dp)
            line += f"  {ms(tp):>8}  {dp:>10.0f}"
        print(line)
    if others:
        print("  (|d|: max abs difference from our result; u8 columns compare after "
              "rounding ours to integers)")
    if Image is not None:
        print("  (Pillow's BOX gives each input pixel the weight 1 or 0 by where its centre "
              "falls, so at\n   non-integer ratios it differs from exact overlap weights at "
              "sharp edges; at integer ratios\n   only its rounding differs)")
    halving = halving_differences(img)
    print(f"  uint8 halving (dtype=np.uint8, ties rounded half to even; the peers round half up): "
          f"{'; '.join(halving)}")

    # Crop windows, in input-pixel units: (origin_h, origin_w, extent_h, extent_w, out).
    crops = [
        ("fractional window", (0.30 * h + 0.5, 0.30 * w + 0.25, 0.25 * h, 0.25 * w),
         (round(0.2 * h), round(0.2 * w))),
        ("2.5x enlarged", (0.45 * h, 0.45 * w, 0.1 * h, 0.1 * w), (round(0.25 * h), round(0.25 * w))),
        ("window past the right edge", (0.6 * h, 0.8 * w, 0.25 * h, 0.4 * w),
         (round(0.125 * h), round(0.2 * w))),
    ]
    step(f"resizing {len(crops)} crop windows")
    crop_results = []
    for label, (oh0, ow0, eh, ew), (oh, ow) in crops:
        out, t = best_time(lambda: resize(img, oh, ow, oh0, ow0, eh, ew))
        crop_results.append(out)
        print(f"  {label}: window {eh:g}x{ew:g} at ({oh0:g}, {ow0:g}) -> {oh}x{ow} in {ms(t)}")

    step(f"drawing {outdir / 'resize.png'} and {outdir / 'crops.png'}")
    fig, axes = plt.subplots(2, 3, figsize=(16, 9), constrained_layout=True)
    axes[0, 0].imshow(img)
    axes[0, 0].set_title(f"input: {name}, {h}x{w}\nuint8 RGB (0-255, linear)")
    for ax, (oh, ow) in zip([axes[0, 1], axes[0, 2], axes[1, 0]], sizes[2:]):
        ax.imshow(np.clip(np.rint(results[(oh, ow)]), 0, 255).astype(np.uint8))
        ax.set_title(f"pellorin.resize -> {oh}x{ow} (RGB 0-255, linear)")
    # Point sampling of the smallest size, for contrast: fine detail aliases.
    sh, sw = sizes[-1]
    step_h, step_w = h / sh, w / sw
    nearest = img[(np.arange(sh) * step_h + step_h / 2).astype(int)][
        :, (np.arange(sw) * step_w + step_w / 2).astype(int)]
    axes[1, 1].imshow(nearest)
    axes[1, 1].set_title(f"point sampling -> {sh}x{sw}, aliased (RGB 0-255, linear)")
    if cv2 is not None:
        oh, ow = sizes[1]
        diff = np.abs(results[(oh, ow)] - cv2.resize(img_f32, (ow, oh),
                                                     interpolation=cv2.INTER_AREA)).max(axis=2)
        im = axes[1, 2].imshow(diff, cmap="viridis", vmin=0.0, vmax=max(float(diff.max()), 1e-12))
        fig.colorbar(im, ax=axes[1, 2], shrink=0.8, format="%.1e",
                     label="max over RGB of |difference| (levels of 0-255)")
        axes[1, 2].set_title(f"|ours - OpenCV INTER_AREA|, float32, {oh}x{ow}\n"
                             f"(linear, 0 to {diff.max():.1e})")
    else:
        axes[1, 2].axis("off")
        axes[1, 2].text(0.5, 0.5, "OpenCV not installed", ha="center")
    for ax in axes.flat:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.savefig(outdir / "resize.png", dpi=80)
    plt.close(fig)

    fig, axes = plt.subplots(1, 4, figsize=(18, 5.2), constrained_layout=True)
    axes[0].imshow(img)
    axes[0].set_title("crop windows (RGB 0-255, linear)")
    for (label, (oh0, ow0, eh, ew), _), ax, out, colour in zip(
            crops, axes[1:], crop_results, ("yellow", "red", "cyan")):
        axes[0].add_patch(Rectangle((ow0 - 0.5, oh0 - 0.5), ew, eh, fill=False,
                                    color=colour, lw=1.5))
        ax.imshow(np.clip(np.rint(out), 0, 255).astype(np.uint8))
        note = " (0 outside the image)" if ow0 + ew > w else ""
        ax.set_title(f"{label}\n-> {out.shape[0]}x{out.shape[1]}{note}, RGB 0-255, linear")
        for spine in ax.spines.values():
            spine.set_color(colour)
            spine.set_linewidth(3)
    for ax in axes:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.savefig(outdir / "crops.png", dpi=80)
    plt.close(fig)

    text = f"image: {name} {h}x{w}x3 uint8 -> {len(sizes)} sizes in {ms(ours_total)} in total"
    if cv2 is not None:
        text += (f"; vs OpenCV INTER_AREA max |d| {worst['cv2 f32']:.1e} (float32), "
                 f"{worst['cv2 u8']:.0f} (uint8, after rounding)")
    if Image is not None:
        text += (f"; vs Pillow BOX max |d| {worst['PIL u8']:.0f} (uint8, after rounding; "
                 "centre-sampled weights at non-integer ratios)")
    SUMMARY.append(text + f"; uint8 halving: {', '.join(halving[1:]) or halving[0]}; "
                   f"{len(crops)} crop windows")


# ---------------------------------------------------------------------------
# 3. Spectrum
# ---------------------------------------------------------------------------

def load_spectrum() -> dict:
    """astropy's galaxy spectrum (uniform in log10 of the wavelength), or a
    made-up one (uniform in wavelength) without astropy's test data. The
    values are flux densities, per angstrom."""
    path = shipped_file("astropy.modeling.tests", "data/spec.txt")
    if path is not None:
        wavelength, density = np.loadtxt(path, skiprows=2, unpack=True)
        n = len(wavelength)
        slope, centre0 = np.polyfit(np.arange(n), np.log10(wavelength), 1)
        in_bw = float(np.round(slope, 9))            # 1e-4 in log10(angstrom)
        in_origin = float(centre0 - in_bw / 2)
        # Bins 3.3 times as wide, from 0.4 of a bin before the input's start:
        # the first and last output bins are only partly covered.
        return dict(name="galaxy spectrum shipped with astropy (spec.txt)", density=density,
                    in_origin=in_origin, in_bw=in_bw, out_origin=in_origin - 0.4 * in_bw,
                    out_bw=3.3 * in_bw, out_n=int(np.ceil((n + 0.4) / 3.3)),
                    to_angstrom=lambda u: 10.0**u, axis="log10(wavelength / angstrom)",
                    zoom=(4930.0, 5030.0), zoom_name="the [O III] lines")
    rng = np.random.default_rng(5)
    # 6000 bins of 0.5 angstrom from 4000 angstrom.
    in_n, in_bw, in_origin = 6000, 0.5, 4000.0
    wave = in_origin + in_bw * (np.arange(in_n) + 0.5)
    f = 1.0 + 0.4 * np.exp(-((wave - 5200) / 900) ** 2)
    for centre, depth, width in ((4861.3, -0.35, 2.5), (5175.0, -0.2, 4.0),
                                 (5889.9, -0.45, 1.2), (5895.9, -0.4, 1.2),
                                 (6562.8, 1.6, 2.0), (6583.5, 0.5, 1.6)):
        f *= 1.0 + depth * np.exp(-0.5 * ((wave - centre) / width) ** 2)
    f += rng.normal(0, 0.02, in_n)
    # 3.7 angstrom bins, deliberately starting before the input and ending
    # after it, so that the first and last bins are only partly covered.
    out_bw, out_origin = 3.7, 3998.2
    out_n = int(np.ceil((in_origin + in_n * in_bw - out_origin) / out_bw))
    return dict(name="made-up spectrum (astropy's test data not installed)", density=f,
                in_origin=in_origin, in_bw=in_bw, out_origin=out_origin, out_bw=out_bw, out_n=out_n,
                to_angstrom=lambda u: u, axis="wavelength / angstrom",
                zoom=(5860.0, 5920.0), zoom_name="the sodium doublet")


def spectrum(outdir: Path) -> None:
    spec = load_spectrum()
    print(f"[3/3] Spectrum rebinned onto coarser bins (pellorin.rebin_axis): {spec['name']}", flush=True)
    density = spec["density"]
    n = len(density)
    bins = {k: spec[k] for k in ("in_origin", "in_bw", "out_origin", "out_bw", "out_n")}
    to_angstrom = spec["to_angstrom"]
    edges_in = to_angstrom(spec["in_origin"] + spec["in_bw"] * np.arange(n + 1))
    edges_out = to_angstrom(spec["out_origin"] + spec["out_bw"] * np.arange(spec["out_n"] + 1))
    flux_in = density * np.diff(edges_in)     # flux recorded in each input bin
    step(f"{n} bins of {spec['in_bw']:g} in {spec['axis']} ({edges_in[0]:.1f} to {edges_in[-1]:.1f} "
         f"angstrom) -> {spec['out_n']} bins of {spec['out_bw']:g}")
    # "sum" shares each input bin's flux by overlap / in_bw: the flux per
    # output bin. "mean" is the overlap-weighted mean flux density over the
    # covered part of each output bin.
    flux_out, t_sum = best_time(lambda: pellorin.rebin_axis(flux_in, mode="sum", **bins))
    mean, t_mean = best_time(lambda: pellorin.rebin_axis(density, mode="mean", **bins))
    covered = np.clip(np.minimum(edges_out[1:], edges_in[-1]) - np.maximum(edges_out[:-1], edges_in[0]),
                      0.0, None)
    # The two modes agree: mean density times covered width is the flux (up
    # to the change of the wavelength across a bin when the bins are uniform
    # in its logarithm, where the mean is weighted by log-wavelength).
    agree = float(np.abs(mean * covered - flux_out).max() / np.abs(flux_out).max())
    total_in, total_out = flux_in.sum(), flux_out.sum()
    rel = abs(total_out - total_in) / abs(total_in)
    print(f"  'sum' in {ms(t_sum)}, 'mean' in {ms(t_mean)}")
    print(f"  flux in {total_in:.6f}, flux out {total_out:.6f}: conserved, relative "
          f"difference {rel:.1e}; 'mean' x covered width matches 'sum' to {agree:.1e}")

    step(f"drawing {outdir / 'spectrum.png'}")
    fig, axes = plt.subplots(2, 1, figsize=(13, 7.5), constrained_layout=True)
    for ax, (a, b) in zip(axes, ((edges_in[0] - 15, edges_in[-1] + 15), spec["zoom"])):
        ax.stairs(density, edges_in, lw=0.7, color="0.55", label=f"input, {n} bins")
        # Stairs are patches, drawn under lines by default: on top here.
        ax.stairs(mean, edges_out, baseline=None, lw=1.6, color="C3", zorder=3,
                  label=f"'mean', {spec['out_n']} bins")
        ax.set_xlim(a, b)
        # Each panel scaled to what it shows: both curves within [a, b].
        shown = np.concatenate([density[(edges_in[1:] > a) & (edges_in[:-1] < b)],
                                mean[(edges_out[1:] > a) & (edges_out[:-1] < b)]])
        margin = 0.05 * (shown.max() - shown.min())
        ax.set_ylim(shown.min() - margin, shown.max() + margin)
        ax.set_ylabel("flux density [per angstrom]")
        ax.set_xlabel("wavelength [angstrom]")
        ax.legend(loc="upper left")
    axes[0].set_title(f"{spec['name']} rebinned with pellorin.rebin_axis: flux conserved to {rel:.1e} "
                      "(linear)")
    axes[1].set_title(f"zoom on {spec['zoom_name']} (linear, y axis scaled to this range)")
    fig.savefig(outdir / "spectrum.png", dpi=90)
    plt.close(fig)

    SUMMARY.append(f"spectrum: {spec['name']}, {n} -> {spec['out_n']} bins with pellorin.rebin_axis, "
                   f"flux conserved to {rel:.1e}; 'sum' {ms(t_sum)}, 'mean' {ms(t_mean)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=Path("demo-output"),
                        help="directory for the figures (default: demo-output)")
    args = parser.parse_args()
    outdir: Path = args.output
    outdir.mkdir(parents=True, exist_ok=True)

    start = time.perf_counter()
    sky_image(outdir)
    image_resize(outdir)
    spectrum(outdir)
    elapsed = time.perf_counter() - start

    print()
    print(f"Summary ({elapsed:.1f} s in total, NumPy {np.__version__}):")
    for line in SUMMARY:
        print(f"  - {line}")
    figures = ", ".join(sorted(p.name for p in outdir.glob("*.png")))
    print(f"  Figures in {outdir.resolve()}: {figures}")


if __name__ == "__main__":
    main()
