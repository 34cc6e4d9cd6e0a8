#!/usr/bin/env python3
"""A tour of pellorin on synthetic data made on the spot.

1. A star field seen by a rotated, distorted detector (a TAN WCS with a
   small SIP polynomial distortion, built with astropy) is reprojected onto
   a north-up sky grid with ``pellorin.reproject``, in "sum" mode (flux is
   conserved; the demo prints the flux in and out) and in "mean" mode
   (surface brightness, with the covered fraction of every sky cell).
2. A photograph-like image resized with ``pellorin.resize`` to several
   sizes and crop windows, next to OpenCV's INTER_AREA and Pillow's BOX
   filter when they are installed.
3. A spectrum rebinned onto a coarser wavelength grid with
   ``pellorin.rebin_axis``, flux conserved.

Figures go to ``demo-output/`` in the current directory (or ``--output``).
Nothing is downloaded. Run with ``make demo`` or ``python examples/demo.py``.
"""

from __future__ import annotations

import argparse
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

SUMMARY: list[str] = []


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
# 1. Star field: a distorted detector reprojected onto a sky grid
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



def star_field(outdir: Path) -> None:
    print("[1/3] Star field through a rotated, distorted detector (pellorin.reproject)",
          flush=True)
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
    t0 = time.perf_counter()
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
    observe_time = time.perf_counter() - t0

    step(f"reprojecting onto a {SKY_N}x{SKY_N} sky grid of 1 arcsec cells")
    flux, t_sum = best_time(lambda: pellorin.reproject(counts, to_sky, (SKY_N, SKY_N),
                                                       mode="sum"))
    # "mean" takes a per-area quantity: each pixel's surface brightness.
    (mean, footprint), t_mean = best_time(lambda: pellorin.reproject(
        counts / pixel_area, to_sky, (SKY_N, SKY_N), return_footprint=True))

    total_in, total_out = counts.sum(), flux.sum()
    rel = abs(total_out - total_in) / abs(total_in)
    print(f"  flux in {total_in:.6f}, flux out {total_out:.6f}, difference "
          f"{total_out - total_in:.2e} (relative {rel:.1e})")
    covered = np.isfinite(mean)
    edge = covered & (footprint < 1 - 1e-9)
    print(f"  'mean': {covered.sum()} of {mean.size} cells covered ({edge.sum()} partly, "
          f"at the detector's edge), median surface brightness "
          f"{np.median(mean[covered]):.3f} per arcsec^2 (sky background 0.8)")
    print(f"  pellorin.reproject: 'sum' {ms(t_sum)}, 'mean' with footprint {ms(t_mean)} "
          f"(simulating the detector: {ms(observe_time)})")

    step(f"drawing {outdir / 'starfield.png'}")
    fig, axes = plt.subplots(1, 4, figsize=(21, 5.4), constrained_layout=True,
                             gridspec_kw={"width_ratios": [1, 1, 1, 0.8]})
    # The detector's edge on the sky grid (curved by the distortion).
    t = np.linspace(0.0, DET_N, 60) - 0.5
    zero, full = np.full_like(t, -0.5), np.full_like(t, DET_N - 0.5)
    edge_x = np.concatenate([t, full, t[::-1], zero])
    edge_y = np.concatenate([zero, t, full, t[::-1]])
    outline = np.array(sky.world_to_pixel_values(*det.pixel_to_world_values(edge_x, edge_y))).T
    panels = (
        (axes[0], counts, "Detector frame: counts per pixel", "counts per pixel",
         "x [detector px]", "y [detector px]"),
        (axes[1], flux, f"'sum' on the sky: flux {total_out:.0f} of {total_in:.0f}",
         "counts per arcsec² cell", "x [arcsec]", "y [arcsec]"),
        (axes[2], mean, "'mean' on the sky: surface brightness", "counts per arcsec²",
         "x [arcsec]", "y [arcsec]"),
    )
    for ax, img, title, unit, xl, yl in panels:
        vmax = np.nanpercentile(img, 99.8)
        norm = matplotlib.colors.AsinhNorm(linear_width=2.0, vmin=0.0, vmax=vmax)
        im = ax.imshow(img, origin="lower", cmap="magma", norm=norm, interpolation="nearest")
        ticks = [t for t in (0, 1, 2, 5, 10, 20, 50, 100, 200, 500) if t <= vmax]
        fig.colorbar(im, ax=ax, shrink=0.85, ticks=ticks, format="%g",
                     label=f"{unit} (arcsinh stretch)")
        ax.set_title(f"{title}\n(arcsinh stretch)")
        ax.set_xlabel(xl)
        ax.set_ylabel(yl)
    for ax in axes[1:3]:
        ax.add_patch(Polygon(outline, closed=True, fill=False, color="cyan", lw=0.8))
    axes[2].set_facecolor("0.75")  # NaN: no detector pixel covers the cell
    # Zoom on a corner of the detector's edge: partly covered cells keep
    # only the overlapping part of each pixel.
    cx, cy = outline[np.argmin(outline[:, 0] + outline[:, 1])]
    x0, y0 = int(cx) - 6, int(cy) - 6
    zoom = footprint[y0:y0 + 16, x0:x0 + 16]
    im = axes[3].imshow(zoom, origin="lower", cmap="viridis", vmin=0.0, vmax=1.0,
                        extent=(x0 - 0.5, x0 + 15.5, y0 - 0.5, y0 + 15.5), interpolation="nearest")
    axes[3].add_patch(Polygon(outline, closed=True, fill=False, color="red", lw=1.2))
    axes[3].set_xlim(x0 - 0.5, x0 + 15.5)
    axes[3].set_ylim(y0 - 0.5, y0 + 15.5)
    fig.colorbar(im, ax=axes[3], shrink=0.85, label="covered fraction of the cell (linear)")
    axes[3].set_title("zoom: footprint at the detector's\nlower-left corner (linear, 0 to 1)")
    axes[3].set_xlabel("x [arcsec]")
    axes[3].set_ylabel("y [arcsec]")
    fig.savefig(outdir / "starfield.png", dpi=80)
    plt.close(fig)

    SUMMARY.append(f"star field: {DET_N}x{DET_N} TAN-SIP detector -> {SKY_N}x{SKY_N} sky "
                   f"grid with pellorin.reproject; flux in {total_in:.3f}, out {total_out:.3f}, "
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


def image_resize(outdir: Path) -> None:
    print("[2/3] Photograph-like image resized (pellorin.resize)", flush=True)
    step("painting a 1200x1600 RGB landscape")
    img = landscape()
    img_f32 = img.astype(np.float32)
    h, w, _ = img.shape
    if cv2 is not None:
        cv2.setNumThreads(1)  # one thread, like one call here

    sizes = [(600, 800), (480, 640), (300, 400), (217, 289), (75, 100)]
    others = [name for name, mod in (("OpenCV INTER_AREA", cv2), ("Pillow BOX", Image))
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
              "sharp edges such as the fence;\n   at integer ratios it agrees up to rounding)")

    # Crop windows, in input-pixel units: (origin_h, origin_w, extent_h, extent_w, out).
    crops = [
        ("fence, fractional window", (930.5, 310.25, 150.0, 200.0), (120, 160)),
        ("sun, 2.5x enlarged", (170.0, 1082.0, 140.0, 140.0), (350, 350)),
        ("sign, window past the right edge", (800.0, 1200.0, 200.0, 500.0), (100, 250)),
    ]
    step(f"resizing {len(crops)} crop windows")
    crop_results = []
    for label, (oh0, ow0, eh, ew), (oh, ow) in crops:
        out, t = best_time(lambda: resize(img, oh, ow, oh0, ow0, eh, ew))
        crop_results.append(out)
        line = (f"  {label}: window {eh:g}x{ew:g} at ({oh0:g}, {ow0:g}) -> {oh}x{ow} "
                f"in {ms(t)}")
        print(line)

    step(f"drawing {outdir / 'resize.png'} and {outdir / 'crops.png'}")
    fig, axes = plt.subplots(2, 3, figsize=(16, 9), constrained_layout=True)
    axes[0, 0].imshow(img)
    axes[0, 0].set_title(f"input {h}x{w}, uint8 RGB (0-255, linear)")
    for ax, (oh, ow) in zip([axes[0, 1], axes[0, 2], axes[1, 0]], [(300, 400), (217, 289), (75, 100)]):
        ax.imshow(np.clip(np.rint(results[(oh, ow)]), 0, 255).astype(np.uint8))
        ax.set_title(f"pellorin.resize -> {oh}x{ow} (RGB 0-255, linear)")
    # Point sampling of the same size, for contrast: the fence aliases.
    step_h, step_w = h / 75, w / 100
    nearest = img[(np.arange(75) * step_h + step_h / 2).astype(int)][
        :, (np.arange(100) * step_w + step_w / 2).astype(int)]
    axes[1, 1].imshow(nearest)
    axes[1, 1].set_title("point sampling -> 75x100, aliased (RGB 0-255, linear)")
    if cv2 is not None:
        diff = np.abs(results[(217, 289)] - cv2.resize(img_f32, (289, 217),
                                                       interpolation=cv2.INTER_AREA)).max(axis=2)
        im = axes[1, 2].imshow(diff, cmap="viridis")
        fig.colorbar(im, ax=axes[1, 2], shrink=0.8, format="%.1e",
                     label="max over RGB of |difference| (levels of 0-255)")
        axes[1, 2].set_title("|ours - OpenCV INTER_AREA|, float32, 217x289 (linear)")
    else:
        axes[1, 2].axis("off")
        axes[1, 2].text(0.5, 0.5, "OpenCV not installed", ha="center")
    for ax in axes.flat:
        ax.set_xticks([])
        ax.set_yticks([])
    fig.savefig(outdir / "resize.png", dpi=80)
    plt.close(fig)

    fig, axes = plt.subplots(1, 4, figsize=(18, 6.2), constrained_layout=True)
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

    text = f"image: 1200x1600x3 uint8 -> {len(sizes)} sizes in {ms(ours_total)} in total"
    if cv2 is not None:
        text += (f"; vs OpenCV INTER_AREA max |d| {worst['cv2 f32']:.1e} (float32), "
                 f"{worst['cv2 u8']:.0f} (uint8, after rounding)")
    if Image is not None:
        text += (f"; vs Pillow BOX max |d| {worst['PIL u8']:.0f} (uint8, after rounding; "
                 "centre-sampled weights at non-integer ratios)")
    SUMMARY.append(text + f"; {len(crops)} crop windows")


# ---------------------------------------------------------------------------
# 3. Spectrum
# ---------------------------------------------------------------------------

def spectrum(outdir: Path) -> None:
    print("[3/3] Spectrum rebinned onto a coarser grid (pellorin.rebin_axis)", flush=True)
    rng = np.random.default_rng(5)
    # Input: 6000 bins of 0.5 A from 4000 A; f is a flux density (per A).
    in_n, in_bw, in_origin = 6000, 0.5, 4000.0
    wave = in_origin + in_bw * (np.arange(in_n) + 0.5)
    f = 1.0 + 0.4 * np.exp(-((wave - 5200) / 900) ** 2)
    for centre, depth, width in ((4861.3, -0.35, 2.5), (5175.0, -0.2, 4.0),
                                 (5889.9, -0.45, 1.2), (5895.9, -0.4, 1.2),
                                 (6562.8, 1.6, 2.0), (6583.5, 0.5, 1.6)):
        f *= 1.0 + depth * np.exp(-0.5 * ((wave - centre) / width) ** 2)
    f += rng.normal(0, 0.02, in_n)
    counts = f * in_bw        # flux recorded in each input bin
    in_end = in_origin + in_n * in_bw

    # Output: 3.7 A bins, deliberately starting before the input and ending
    # after it, so that the first and last bins are only partly covered.
    out_bw, out_origin = 3.7, 3998.2
    out_n = int(np.ceil((in_end - out_origin) / out_bw))
    bins = dict(in_origin=in_origin, in_bw=in_bw, out_origin=out_origin, out_bw=out_bw,
                out_n=out_n)
    # "sum" shares each input bin's flux by overlap / in_bw: the flux per
    # output bin. "mean" is the overlap-weighted mean flux density over the
    # covered part of each output bin.
    flux_out, t_sum = best_time(lambda: pellorin.rebin_axis(counts, mode="sum", **bins))
    f_out, t_mean = best_time(lambda: pellorin.rebin_axis(f, mode="mean", **bins))
    lo = out_origin + out_bw * np.arange(out_n)
    covered = np.clip(np.minimum(lo + out_bw, in_end) - np.maximum(lo, in_origin), 0.0, None)
    # The two modes agree: mean density times covered width is the flux.
    agree = float(np.abs(f_out * covered - flux_out).max() / np.abs(flux_out).max())
    total_in, total_out = counts.sum(), flux_out.sum()
    rel = abs(total_out - total_in) / total_in
    print(f"  {in_n} bins of {in_bw} A -> {out_n} bins of {out_bw} A; 'sum' in {ms(t_sum)}, "
          f"'mean' in {ms(t_mean)}")
    print(f"  flux in {total_in:.6f}, flux out {total_out:.6f}: conserved, relative "
          f"difference {rel:.1e}; 'mean' x covered width matches 'sum' to {agree:.1e}")

    step(f"drawing {outdir / 'spectrum.png'}")
    fig, axes = plt.subplots(2, 1, figsize=(13, 7), constrained_layout=True)
    edges = np.append(lo, lo[-1] + out_bw)
    for ax, (a, b) in zip(axes, ((3990, 7010), (5860, 5920))):
        sel = (wave > a) & (wave < b)
        ax.plot(wave[sel], f[sel], lw=0.6, color="0.6", label=f"input, {in_bw} A bins")
        # Stairs are patches, drawn under lines by default: on top here.
        ax.stairs(f_out, edges, baseline=None, lw=1.6, color="C3", zorder=3,
                  label=f"rebinned, {out_bw} A bins")
        ax.set_xlim(a, b)
        # Each panel scaled to what it shows: both curves within [a, b].
        shown = np.concatenate([f[sel], f_out[(edges[1:] > a) & (edges[:-1] < b)]])
        margin = 0.05 * (shown.max() - shown.min())
        ax.set_ylim(shown.min() - margin, shown.max() + margin)
        ax.set_ylabel("flux density [counts / A]")
    axes[0].set_title(f"Spectrum rebinned with pellorin.rebin_axis: flux conserved to {rel:.1e}")
    axes[1].set_title("zoom on the sodium doublet (y axis scaled to this range)")
    axes[1].set_xlabel("wavelength [A]")
    # Legends where the curves leave room.
    axes[0].legend(loc="upper left")
    axes[1].legend(loc="lower left")
    fig.savefig(outdir / "spectrum.png", dpi=90)
    plt.close(fig)

    SUMMARY.append(f"spectrum: {in_n} -> {out_n} bins with pellorin.rebin_axis, flux conserved "
                   f"to {rel:.1e}; 'sum' {ms(t_sum)}, 'mean' {ms(t_mean)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=Path("demo-output"),
                        help="directory for the figures (default: demo-output)")
    args = parser.parse_args()
    outdir: Path = args.output
    outdir.mkdir(parents=True, exist_ok=True)

    start = time.perf_counter()
    star_field(outdir)
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
