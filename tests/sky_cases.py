"""Reprojections on the sky, compared with reproject.reproject_exact.

Every case is built from headers that ship with astropy and reproject (or
from headers written here), with data of one seeded random field (the
hardest for weighting differences: neighbouring values are unrelated). The
table is shared by tests/test_sky_reproject_exact.py; run as a script it
prints the figures of every case, with planar or spherical pixels:

    python tests/sky_cases.py [plane|sphere]
"""

from __future__ import annotations

import os
import time
import warnings
from typing import Any, Callable, NamedTuple, Optional

import numpy as np
from astropy.io import fits
from astropy.io.fits.verify import VerifyWarning
from astropy.wcs import WCS, FITSFixedWarning

warnings.simplefilter("ignore", FITSFixedWarning)


def _data_dir(module: str, *parts: str) -> str:
    mod = __import__(module)
    return os.path.join(os.path.dirname(mod.__file__), *parts)


ASTROPY_WCS_DATA = _data_dir("astropy", "wcs", "tests", "data")
REPROJECT_DATA = _data_dir("reproject", "tests", "data")


def header_file(path: str) -> fits.Header:
    """A header from a text file of cards, one per line or 80-character
    cards run together."""
    with open(path) as f:
        text = f.read()
    if "\n" in text.rstrip("\n"):
        return fits.Header.fromstring(text, sep="\n")
    return fits.Header.fromstring(text)


def wcs2(ctype: tuple[str, str], crval: tuple[float, float], crpix: tuple[float, float],
         cdelt: tuple[float, float], angle: float = 0.0, **attrs: Any) -> WCS:
    """A 2-D WCS: pixel scale `cdelt`, rotated by `angle` degrees."""
    w = WCS(naxis=2)
    w.wcs.ctype = list(ctype)
    w.wcs.crval = list(crval)
    w.wcs.crpix = list(crpix)
    c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
    w.wcs.cd = np.array([[c, -s], [s, c]]) @ np.diag(cdelt)
    for key, value in attrs.items():
        setattr(w.wcs, key, value)
    w.wcs.set()
    return w


def cutout(w: WCS, y0: int, y1: int, x0: int, x1: int) -> WCS:
    """The WCS of pixels [y0:y1, x0:x1] (distortions kept)."""
    return w.slice((slice(y0, y1), slice(x0, x1)))


def field(shape: tuple[int, int]) -> np.ndarray:
    return np.random.default_rng(20).uniform(1.0, 2.0, shape)


class Case(NamedTuple):
    name: str
    kind: str  # ordinary, distorted, frames, seam, pole, all-sky
    build: Callable[[], tuple[np.ndarray, Any, Any, tuple[int, int], Optional[float]]]


def _map(name: str) -> WCS:
    return WCS(header_file(os.path.join(ASTROPY_WCS_DATA, "maps", f"1904-66_{name}.hdr")))


def _projection_case(name: str) -> Case:
    def build() -> Any:
        w_in = cutout(_map(name), 60, 100, 60, 100)
        centre = w_in.pixel_to_world_values(19.5, 19.5)
        w_out = wcs2(("RA---TAN", "DEC--TAN"), centre, (70.5, 70.5), (-0.05, 0.05), angle=10.0)
        return field((40, 40)), w_in, w_out, (140, 140), None
    return Case(f"{name} map (1904-66) -> TAN", "ordinary", build)


def _ait_landing(shape: tuple[int, int], cdelt: float) -> tuple[np.ndarray, float]:
    """Data of an all-sky AIT map and the exact value of it on the sky:
    each pixel weighted by its part inside the Hammer-Aitoff ellipse, in
    the projection plane (shapely areas against a 20000-gon, whose area is
    the ellipse's to 2e-8)."""
    import shapely

    ny, nx = shape
    r = 180.0 / np.pi
    a, b = 2 * np.sqrt(2) * r, np.sqrt(2) * r
    t = np.linspace(0, 2 * np.pi, 20001)[:-1]
    ellipse = shapely.Polygon(np.c_[a * np.cos(t), b * np.sin(t)])
    j, i = np.mgrid[:ny, :nx]
    x0, y0 = cdelt * (i - nx / 2), cdelt * (j - ny / 2)
    inside = [((x0 + u * cdelt) / a) ** 2 + ((y0 + v * cdelt) / b) ** 2 <= 1
              for u in (0, 1) for v in (0, 1)]
    fraction = np.logical_and.reduce(inside).astype(float)
    edge = np.flatnonzero(fraction.ravel() < 1)
    boxes = shapely.box(x0.ravel()[edge], y0.ravel()[edge], x0.ravel()[edge] + cdelt,
                        y0.ravel()[edge] + cdelt)
    shapely.prepare(ellipse)
    hit = shapely.intersects(ellipse, boxes)
    fraction.ravel()[edge[hit]] = shapely.area(shapely.intersection(boxes[hit], ellipse)) / cdelt ** 2
    fraction.ravel()[edge[~hit]] = 0.0
    data = field(shape)
    return data, float((data * fraction).sum())


def _cases() -> list[Case]:
    cases = []
    add = cases.append

    add(Case("TAN rotated -> TAN flipped", "ordinary", lambda: (
        field((50, 60)),
        wcs2(("RA---TAN", "DEC--TAN"), (150.0, 30.0), (30.5, 25.5), (-0.5 / 3600, 0.5 / 3600), 17.0),
        wcs2(("RA---TAN", "DEC--TAN"), (150.0, 30.0), (35.5, 35.5), (0.6 / 3600, 0.6 / 3600), -5.0),
        (70, 70), None)))
    add(Case("non-square pixels -> TAN", "ordinary", lambda: (
        field((30, 60)),
        wcs2(("RA---TAN", "DEC--TAN"), (210.0, -40.0), (30.5, 15.5), (-1.0 / 3600, 2.0 / 3600), 35.0),
        wcs2(("RA---TAN", "DEC--TAN"), (210.0, -40.0), (40.5, 40.5), (-1.2 / 3600, 1.2 / 3600)),
        (80, 80), None)))
    for name in ("CAR", "ZEA", "AIT", "SIN", "ZPN", "SFL"):
        add(_projection_case(name))

    def sip() -> Any:
        w_in = cutout(WCS(header_file(os.path.join(ASTROPY_WCS_DATA, "irac_sip.hdr"))), 0, 50, 0, 50)
        centre = w_in.pixel_to_world_values(24.5, 24.5)
        return field((50, 50)), w_in, wcs2(("RA---TAN", "DEC--TAN"), centre, (40.5, 40.5),
                                          (-1.2 / 3600, 1.2 / 3600)), (80, 80), None
    add(Case("SIP (irac_sip.hdr) -> TAN", "distorted", sip))

    def tpv() -> Any:
        w_in = cutout(WCS(header_file(os.path.join(ASTROPY_WCS_DATA, "tpvonly.hdr"))), 0, 50, 0, 50)
        centre = w_in.pixel_to_world_values(24.5, 24.5)
        return field((50, 50)), w_in, wcs2(("RA---TAN", "DEC--TAN"), centre, (40.5, 40.5),
                                          (-1.2 / 3600, 1.2 / 3600), 30.0), (80, 80), None
    add(Case("TPV (tpvonly.hdr) -> TAN", "distorted", tpv))

    def lookup() -> Any:
        with fits.open(os.path.join(ASTROPY_WCS_DATA, "dist_lookup.fits.gz")) as hdul:
            w_in = WCS(hdul[1].header, hdul)
        centre = w_in.pixel_to_world_values(49.5, 49.5)
        scale = np.sqrt(abs(np.linalg.det(w_in.pixel_scale_matrix))) * 1.3
        return field((100, 100)), w_in, wcs2(("RA---TAN", "DEC--TAN"), centre, (70.5, 70.5),
                                            (-scale, scale), radesys="FK5"), (140, 140), None
    add(Case("SIP + lookup tables (dist_lookup.fits.gz) -> TAN", "distorted", lookup))

    def galactic() -> Any:
        w_in = cutout(WCS(header_file(os.path.join(REPROJECT_DATA, "gc_ga.hdr"))), 55, 95, 55, 95)
        w_out = WCS(header_file(os.path.join(REPROJECT_DATA, "gc_eq.hdr")))
        return field((40, 40)), w_in, w_out, (720, 720), None
    add(Case("Galactic -> FK5 (gc_ga -> gc_eq)", "frames", galactic))
    def fk4() -> Any:
        from astropy.coordinates import SkyCoord

        w_in = wcs2(("RA---TAN", "DEC--TAN"), (150.0, 30.0), (30.5, 30.5), (-2 / 3600, 2 / 3600), 12.0,
                    radesys="FK4", equinox=1950.0)
        centre = SkyCoord(150.0, 30.0, unit="deg", frame="fk4", equinox="B1950").icrs
        w_out = wcs2(("RA---TAN", "DEC--TAN"), (centre.ra.deg, centre.dec.deg), (45.5, 45.5),
                     (-2.5 / 3600, 2.5 / 3600), radesys="ICRS")
        return field((60, 60)), w_in, w_out, (90, 90), None
    add(Case("FK4 (B1950) -> ICRS", "frames", fk4))

    def dss() -> Any:
        with fits.open(os.path.join(ASTROPY_WCS_DATA, "dss.14.29.56-62.41.05.fits.gz")) as hdul:
            data, w_in = hdul[0].data.astype(float), WCS(hdul[0].header)
        centre = w_in.pixel_to_world_values(49.5, 49.5)
        scale = np.sqrt(abs(np.linalg.det(w_in.pixel_scale_matrix)))
        return data, w_in, wcs2(("RA---TAN", "DEC--TAN"), centre, (60.5, 60.5), (-scale, scale),
                                radesys="ICRS"), (120, 120), None
    add(Case("FK5 -> ICRS (DSS image)", "frames", dss))

    for lat in (0.0, 30.0):
        add(Case(f"field at l=180, b={lat:g} -> all-sky CAR", "seam", lambda lat=lat: (
            field((60, 60)),
            wcs2(("GLON-TAN", "GLAT-TAN"), (180.0, lat), (30.5, 30.5), (-0.02, 0.02), 20.0),
            wcs2(("GLON-CAR", "GLAT-CAR"), (0.0, 0.0), (1800.5, 20.5 - lat * 10), (-0.1, 0.1)),
            (40, 3600), None)))
    add(Case("pole inside -> all-sky CAR", "pole", lambda: (
        field((60, 60)),
        wcs2(("RA---TAN", "DEC--TAN"), (0.0, 90.0), (27.3, 31.8), (-0.02, 0.02), 25.0),
        wcs2(("RA---CAR", "DEC--CAR"), (0.0, 0.0), (1800.5, -869.5), (-0.1, 0.1)),
        (30, 3600), None)))
    add(Case("pole inside -> SFL", "pole", lambda: (
        field((60, 60)),
        wcs2(("RA---TAN", "DEC--TAN"), (0.0, 90.0), (27.3, 31.8), (-0.02, 0.02), 25.0),
        wcs2(("RA---SFL", "DEC--SFL"), (0.0, 0.0), (70.5, -1719.5), (-0.05, 0.05)),
        (80, 140), None)))

    def ait() -> Any:
        data, landing = _ait_landing((90, 180), 2.0)
        return (data, wcs2(("GLON-AIT", "GLAT-AIT"), (0.0, 0.0), (90.5, 45.5), (-2.0, 2.0)),
                wcs2(("GLON-CAR", "GLAT-CAR"), (0.0, 0.0), (180.5, 90.5), (-1.0, 1.0)),
                (180, 360), landing)
    add(Case("all-sky AIT (edge pixels partly off the sky) -> CAR", "all-sky", ait))

    def car_to_ait() -> Any:
        w = WCS(header_file(os.path.join(REPROJECT_DATA, "mwpan2_RGB_3600.hdr"))).celestial
        # The same all-sky grid at 2 degrees: 180 x 90 pixels.
        w.wcs.cd = w.wcs.cd * 20
        w.wcs.crpix = (w.wcs.crpix - 0.5) / 20 + 0.5
        w.wcs.set()
        # The map reaches a little past longitude 180 and latitude -90: the
        # part of each pixel inside the projection's domain, |x| <= 180 and
        # |y| <= 90 in its (linear) plane, is what lands.
        data = field((90, 180))

        def inside(n: int, axis: int, limit: float) -> np.ndarray:
            edges = w.wcs.cd[axis, axis] * (np.arange(n + 1) + 0.5 - w.wcs.crpix[axis])
            lo, hi = np.minimum(edges[:-1], edges[1:]), np.maximum(edges[:-1], edges[1:])
            return (np.clip(hi, -limit, limit) - np.clip(lo, -limit, limit)) / (hi - lo)

        on_sky = np.outer(inside(90, 1, 90.0), inside(180, 0, 180.0))
        return (data, w, wcs2(("GLON-AIT", "GLAT-AIT"), (0.0, 0.0), (90.5, 45.5), (-2.0, 2.0)),
                (90, 180), float((data * on_sky).sum()))
    add(Case("all-sky CAR (mwpan2 header, 2 deg) -> AIT", "all-sky", car_to_ait))
    return cases


CASES = _cases()


class Figures(NamedTuple):
    full: int           # output pixels fully covered by both
    median: float       # median relative difference from reproject_exact there
    worst: float        # largest relative difference there
    footprint_excess: float  # largest footprint - 1
    flux_error: float   # relative error of the "sum" total against the flux that lands
    seconds_ours: float
    seconds_ref: float


def on_the_sky(w: WCS, shape: tuple[int, int]) -> np.ndarray:
    """The pixels with a corner on the sky: those that the sphere geometry
    takes as their polygon on it."""
    y, x = np.mgrid[0:shape[0] + 1, 0:shape[1] + 1] - 0.5
    lon, lat = w.pixel_to_world_values(x, y)
    f = np.isfinite(lon) & np.isfinite(lat)
    return f[:-1, :-1] | f[:-1, 1:] | f[1:, 1:] | f[1:, :-1]


def chosen_geometry(data: np.ndarray, w_in: WCS, w_out: WCS, shape_out: tuple[int, int]) -> str:
    """The geometry that pellorin.astro.reproject's default takes."""
    from pellorin.astro._sphere import auto_geometry

    return auto_geometry(w_in.celestial, w_out.celestial, data.shape[-2:], shape_out)


def measure(case: Case, geometry: str = "plane") -> Figures:
    """The figures of pellorin against reproject_exact on one case, with
    pixels planar (pellorin.reproject), spherical (pellorin.astro.reproject
    with geometry="sphere"), or either as pellorin.astro.reproject chooses
    by default (geometry="auto")."""
    from reproject import reproject_exact

    import pellorin.astro

    with warnings.catch_warnings():
        # Shipped headers with old or non-standard cards, which astropy fixes.
        warnings.simplefilter("ignore", FITSFixedWarning)
        warnings.simplefilter("ignore", VerifyWarning)
        data, w_in, w_out, shape_out, landing = case.build()
    t0 = time.perf_counter()
    ref, ref_fp = reproject_exact((data, w_in), w_out, shape_out=shape_out, parallel=False)
    t1 = time.perf_counter()
    if geometry in ("sphere", "auto"):
        ours, fp = pellorin.astro.reproject((data, w_in), w_out, shape_out, geometry=geometry)
        flux = pellorin.astro.reproject((data, w_in), w_out, shape_out, mode="sum", geometry=geometry,
                                        return_footprint=False)
        if geometry == "sphere" or chosen_geometry(data, w_in, w_out, shape_out) == "sphere":
            # A pixel partly off the sky is its part on the sky, and keeps
            # its whole value.
            landing = float(np.nansum(data[on_the_sky(w_in, data.shape)]))
    else:
        ours, fp = pellorin.reproject(data, (w_in, w_out), shape_out, return_footprint=True,
                                      geometry="plane")
        flux = pellorin.reproject(data, (w_in, w_out), shape_out, mode="sum", geometry="plane")
    t2 = time.perf_counter()
    full = (ref_fp > 1 - 1e-6) & (fp > 1 - 1e-6)
    rel = np.abs(ours[full] - ref[full]) / np.abs(ref[full])
    if landing is None:
        landing = float(np.nansum(data))  # every case lies inside its output
    return Figures(int(full.sum()), float(np.median(rel)), float(rel.max()), float(fp.max() - 1),
                   abs(float(flux.sum()) / landing - 1), t2 - t1, t1 - t0)


if __name__ == "__main__":
    import sys

    geometry = sys.argv[1] if len(sys.argv) > 1 else "plane"
    print(f"geometry {geometry!r}")
    print(f"{'case':52s} {'class':9s} {'full':>6s} {'median':>9s} {'worst':>9s} "
          f"{'fp - 1':>9s} {'flux err':>9s} {'ours s':>7s} {'ref s':>7s}  taken as")
    for case in CASES:
        f = measure(case, geometry)
        taken = geometry
        if geometry == "auto":
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", FITSFixedWarning)
                warnings.simplefilter("ignore", VerifyWarning)
                data, w_in, w_out, shape_out, _ = case.build()
            taken = chosen_geometry(data, w_in, w_out, shape_out)
        print(f"{case.name:52s} {case.kind:9s} {f.full:6d} {f.median:9.1e} {f.worst:9.1e} "
              f"{f.footprint_excess:9.1e} {f.flux_error:9.1e} {f.seconds_ours:7.2f} {f.seconds_ref:7.2f}  {taken}")
