"""How far our results are from the peers', on real data shipped inside
installed packages: scikit-image's photographs against OpenCV's INTER_AREA
and Pillow's BOX, astropy's spectrum against spectres and the dense weight
product, astropy's M13 image against reproject_exact. No timings.

Each section prints one Markdown table; run_all.py writes each to
docs/_generated/accuracy_<section>.md for the accuracy page."""
from __future__ import annotations

import importlib.resources

import numpy as np

import _pellorin
import pellorin
from _common import opencv_one_thread, optional_peer

cv2 = opencv_one_thread()
Image = optional_peer("PIL", "Image")
skdata = optional_peer("skimage", "data")
spectres = optional_peer("spectres")
reproject_exact = optional_peer("reproject", "reproject_exact")
fits = optional_peer("astropy.io", "fits")
WCS = optional_peer("astropy.wcs", "WCS")


def data_file(name: str, package: str):
    """A data file shipped inside an installed package, or None."""
    try:
        path = importlib.resources.files(package) / name
    except ModuleNotFoundError:
        return None
    return path if path.is_file() else None


def photos():
    if skdata is None:
        return {}
    return {"astronaut": skdata.astronaut(), "coffee": skdata.coffee()}


def pct(x: float) -> str:
    return f"{100 * x:.2f} %"


def resize_photos():
    """float32 and uint8 results against OpenCV and Pillow at several ratios."""
    print("| photo | size | float32: max abs difference from OpenCV (levels) | uint8: values != OpenCV "
          "| max abs | uint8: values != Pillow | max abs |")
    print("|---|---|---|---|---|---|---|")
    for name, photo in photos().items():
        h, w = photo.shape[:2]
        for f, label in ((0.5, "x1/2"), (1 / 3, "x1/3"), (0.4, "40 %"), (0.73, "73 %"), (2.5, "x2.5 up")):
            oh, ow = round(h * f), round(w * f)
            ours = pellorin.resize(photo, (oh, ow))
            ours8 = pellorin.resize(photo, (oh, ow), dtype=np.uint8).astype(int)
            cells = [name, f"{h}x{w} -> {oh}x{ow} ({label})"]
            if cv2 is not None:
                ref = cv2.resize(photo.astype(np.float32), (ow, oh), interpolation=cv2.INTER_AREA)
                ref8 = cv2.resize(photo, (ow, oh), interpolation=cv2.INTER_AREA).astype(int)
                cells += [f"{np.abs(ours - ref).max():.1e}", pct((ours8 != ref8).mean()),
                          str(np.abs(ours8 - ref8).max())]
            else:
                cells += ["—"] * 3
            if Image is not None:
                pil = np.asarray(Image.fromarray(photo).resize((ow, oh), Image.Resampling.BOX)).astype(int)
                cells += [pct((ours8 != pil).mean()), str(np.abs(ours8 - pil).max())]
            else:
                cells += ["—"] * 2
            print("| " + " | ".join(cells) + " |")


def halving():
    """Exact uint8 halvings: ties, and how often each peer's rounding differs."""
    print("| photo | ties (2x2 sum = 2 mod 4) | values != OpenCV | values != Pillow | mean level: input "
          "| ours (half to even) | OpenCV (half up) | Pillow (half up, twice) |")
    print("|---|---|---|---|---|---|---|---|")
    for name, photo in photos().items():
        h, w = photo.shape[:2]
        ours8 = pellorin.resize(photo, (h // 2, w // 2), dtype=np.uint8).astype(int)
        p = photo.astype(int)
        block = p[0::2, 0::2] + p[1::2, 0::2] + p[0::2, 1::2] + p[1::2, 1::2]
        cells = [f"{name} {h}x{w}", pct((block % 4 == 2).mean())]
        means = [f"{photo.mean():.4f}", f"{ours8.mean():.4f}"]
        if cv2 is not None:
            ref8 = cv2.resize(photo, (w // 2, h // 2), interpolation=cv2.INTER_AREA).astype(int)
            cells.append(f"{pct((ours8 != ref8).mean())} (max abs {np.abs(ours8 - ref8).max()})")
            means.append(f"{ref8.mean():.4f}")
        else:
            cells.append("—")
            means.append("—")
        if Image is not None:
            pil = np.asarray(Image.fromarray(photo).resize((w // 2, h // 2), Image.Resampling.BOX)).astype(int)
            cells.append(f"{pct((ours8 != pil).mean())} (max abs {np.abs(ours8 - pil).max()})")
            means.append(f"{pil.mean():.4f}")
        else:
            cells.append("—")
            means.append("—")
        print("| " + " | ".join(cells + means) + " |")


def spectrum():
    """astropy's log-binned galaxy spectrum: "mean" against spectres and the
    dense product, "sum" against the input's total."""
    path = data_file("data/spec.txt", "astropy.modeling.tests")
    if path is None:
        print("astropy's test data are not installed: no spectrum.")
        return
    wavelength, density = np.loadtxt(path, skiprows=2, unpack=True)
    n = len(wavelength)
    slope, centre0 = np.polyfit(np.arange(n), np.log10(wavelength), 1)
    in_bw = float(np.round(slope, 9))
    in_origin = float(centre0 - in_bw / 2)
    print("| output bins (log10 of the wavelength) | 'mean': max rel. difference from spectres, "
          "inner bins | 'mean': max abs difference from the dense product / max abs value "
          "| 'sum': relative change of the total |")
    print("|---|---|---|---|")
    for factor, shift in ((2.0, 0.0), (3.3, -0.4), (7.77, 0.25)):
        out_bw = factor * in_bw
        out_origin = in_origin + shift * in_bw
        out_n = int((n - shift) // factor)  # output bins inside the input range
        bins = dict(in_origin=in_origin, in_bw=in_bw, out_origin=out_origin, out_bw=out_bw, out_n=out_n)
        mean = pellorin.rebin_axis(density, **bins)
        weights = _pellorin.rebin_axis_weights(n, in_bw, in_origin, out_n, out_bw, out_origin)
        dense = weights @ density
        edges_in = 10 ** (in_origin + in_bw * np.arange(n + 1))
        flux = density * np.diff(edges_in)
        total = pellorin.rebin_axis(flux, mode="sum", **bins).sum()
        # Only the input bins inside the output range count towards the total.
        lo, hi = out_origin, out_origin + out_n * out_bw
        k = np.arange(n)
        inside = np.clip((np.minimum(in_origin + (k + 1) * in_bw, hi) - np.maximum(in_origin + k * in_bw, lo))
                         / in_bw, 0.0, 1.0)
        expected = float((flux * inside).sum())
        cells = [f"{out_n} bins of {factor:g} input bins, from {shift:+g} bin"]
        if spectres is not None:
            centres_in = in_origin + in_bw * (np.arange(n) + 0.5)
            centres_out = out_origin + out_bw * (np.arange(out_n) + 0.5)
            theirs = spectres.spectres(centres_out, centres_in, density, fill=0.0, verbose=False)
            inner = slice(1, -1)
            rel = np.abs(mean[inner] - theirs[inner]) / np.abs(theirs[inner]).max()
            cells.append(f"{rel.max():.1e}")
        else:
            cells.append("—")
        cells.append(f"{np.abs(mean - dense).max() / np.abs(dense).max():.1e}")
        cells.append(f"{abs(total - expected) / abs(expected):.1e}")
        print("| " + " | ".join(cells) + " |")


def m13_grids():
    """astropy's M13 image and header, and three output grids about its centre."""
    path = data_file("data/m13.fits", "astropy.io.fits.hdu.compressed.tests")
    with fits.open(path) as hdul:
        header = hdul[0].header
        image = hdul[0].data.astype(np.float64)
    wcs_in = WCS(header)
    for angle, scale, n, proj in ((30.0, 0.5, 860, "TAN"), (-12.0, 1.7, 200, "TAN"), (45.0, 0.8, 560, "SIN")):
        c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
        out = WCS(naxis=2)
        out.wcs.ctype = [f"RA---{proj}", f"DEC--{proj}"]
        out.wcs.crval = [header["CRVAL1"], header["CRVAL2"]]
        out.wcs.crpix = [n / 2 + 0.5, n / 2 + 0.5]
        out.wcs.cd = np.array([[-c, s], [s, c]]) * scale / 3600.0
        # The input's frame (FK5, equinox 2000): world values pass unconverted.
        out.wcs.radesys, out.wcs.equinox = wcs_in.wcs.radesys, wcs_in.wcs.equinox
        yield f"{proj}, rotated {angle:g} deg, {scale:g} arcsec pixels, {n}x{n}", image, wcs_in, out, (n, n)


def reprojection():
    """M13 against reproject_exact: the mean, the footprint and the flux."""
    if data_file("data/m13.fits", "astropy.io.fits.hdu.compressed.tests") is None or reproject_exact is None:
        print("astropy's test data or reproject are not installed: no comparison.")
        return
    print("| M13 (300x300, 1 arcsec, TAN) onto | 'mean': median rel. difference from reproject_exact "
          "| max rel. difference | footprint: max abs difference | 'sum': relative change of the total |")
    print("|---|---|---|---|---|")
    for label, image, wcs_in, wcs_out, shape in m13_grids():
        mean, foot = pellorin.reproject(image, (wcs_in, wcs_out), shape, return_footprint=True)
        flux = pellorin.reproject(image, (wcs_in, wcs_out), shape, mode="sum")
        theirs, their_foot = reproject_exact((image, wcs_in), wcs_out, shape_out=shape, parallel=False)
        both = (foot > 1 - 1e-9) & (their_foot > 1 - 1e-9)
        rel = np.abs(mean[both] - theirs[both]) / np.abs(theirs[both])
        # Flux that lands in the output: every input pixel's value times the
        # fraction of it inside the output; all of it for grids that hold the frame.
        inside = foot.sum() * abs(np.linalg.det(wcs_out.wcs.cd)) / abs(np.linalg.det(wcs_in.pixel_scale_matrix))
        kept = abs(flux.sum() - image.sum()) / image.sum() if abs(inside - image.size) < 1e-6 * image.size \
            else float("nan")
        print(f"| {label} | {np.median(rel):.1e} | {rel.max():.1e} | {np.abs(foot - their_foot).max():.1e} | "
              + ("the frame is cut by the grid" if np.isnan(kept) else f"{kept:.1e}") + " |")


SECTIONS = {
    "accuracy_resize": resize_photos,
    "accuracy_halving": halving,
    "accuracy_rebin_axis": spectrum,
    "accuracy_reproject": reprojection,
}


def run():
    for name, section in SECTIONS.items():
        print(f"\n### {name}\n")
        section()


if __name__ == "__main__":
    run()
