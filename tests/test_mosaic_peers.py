"""Co-adds against the peers: drizzle's Drizzle.add_image (square kernel,
pixfrac 1, weight maps, its squared-weight co-add of the variance) and
reproject's reproject_and_coadd with reproject_exact, on 16 dithered,
rotated frames; the variance against a Monte Carlo of 200 realisations."""

from __future__ import annotations

import numpy as np
import pytest

import pellorin

N_FRAMES = 16
FRAME = (40, 44)
OUT = (80, 80)


def tan(crval, crpix, angle, scale_arcsec, shape):
    from astropy.wcs import WCS

    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval, w.wcs.crpix = crval, crpix
    c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
    w.wcs.cd = np.array([[-c, s], [s, c]]) * scale_arcsec / 3600.0
    w.array_shape = shape
    return w


@pytest.fixture(scope="module")
def frames():
    pytest.importorskip("astropy")
    return make_frames()


def make_frames():
    """16 frames of one sky, dithered over a few pixels and rotated by up to
    40 degrees, each with a weight map, a constant weight per frame (what
    reproject's reprojected weights can represent) and a variance map."""
    rng = np.random.default_rng(16)
    out_wcs = tan([150.0, 2.0], [40.5, 40.5], 0.0, 0.8, OUT)
    result = []
    for k in range(N_FRAMES):
        ny, nx = FRAME
        wcs = tan([150.0 + rng.uniform(-3, 3) / 3600, 2.0 + rng.uniform(-3, 3) / 3600],
                  [nx / 2 + 0.5, ny / 2 + 0.5], rng.uniform(-40, 40), 1.0, FRAME)
        y, x = np.mgrid[:ny, :nx]
        data = 10.0 + np.sin(x / 5.0 + k) * np.cos(y / 7.0) + rng.normal(0, 0.1, FRAME)
        weight_map = rng.uniform(0.5, 2.0, FRAME)
        constant = np.full(FRAME, rng.uniform(0.5, 2.0))
        variance = rng.uniform(0.5, 1.5, FRAME)
        # Values that float32 holds exactly: drizzle reads float32.
        result.append(tuple(a.astype(np.float32).astype(np.float64) if isinstance(a, np.ndarray)
                            else a for a in (data, wcs, weight_map, constant, variance)))
    return out_wcs, result


def fully_covered(out_wcs, frames):
    """Output pixels that every frame covers wholly or not at all, and at
    least one covers: where every method's edge rules agree."""
    from reproject import reproject_exact

    fractions = [reproject_exact((np.ones(FRAME), wcs), out_wcs, OUT)[1]
                 for _, wcs, *_ in frames]
    f = np.array(fractions)
    clean = ((f < 1e-9) | (f > 1 - 1e-9)).all(axis=0)
    return clean & (f > 0.5).any(axis=0)


def relative(a, b):
    return np.abs(a - b) / np.abs(b)


def test_against_drizzle(frames):
    resample = pytest.importorskip("drizzle.resample")
    out_wcs, items = frames
    mosaic = pellorin.Mosaic(OUT)
    d = resample.Drizzle(kernel="square", out_shape=OUT, disable_ctx=True,
                         out_img2=[np.zeros(OUT, np.float32)])
    for data, wcs, weight_map, _, variance in items:
        mosaic.add(data, (wcs, out_wcs), weights=weight_map, variance=variance, threads=1)
        y, x = np.indices(FRAME, dtype=np.float64)
        pixmap = np.dstack(out_wcs.world_to_pixel_values(*wcs.pixel_to_world_values(x, y)))
        d.add_image(data.astype(np.float32), exptime=100.0, pixmap=pixmap,
                    weight_map=weight_map.astype(np.float32), pixfrac=1.0, in_units="cps",
                    data2=[variance.astype(np.float32)])
    inside = fully_covered(out_wcs, items)
    assert inside.sum() > 1000
    # drizzle keeps float32 sums: agreement to 1e-6 is their rounding.
    assert relative(mosaic.mean()[inside], d.out_img[inside]).max() < 1e-6
    # drizzle's weight counts the fraction of each input pixel (w a / A),
    # ours the area in output pixels (w a): A = (1 / 0.8)**2 for every pixel.
    assert relative(mosaic.weight()[inside], d.out_wht[inside] / 0.8**2).max() < 1e-6
    # drizzle's variance co-add runs in float32 through squared weights and
    # a division by the squared weight sum: a few float32 roundings, 1.1e-6
    # at its worst pixel here, 1.6e-7 at the median.
    rel = relative(mosaic.variance()[inside], d.out_img2[0][inside])
    assert np.quantile(rel, 0.99) < 1e-6 and rel.max() < 3e-6


def test_against_reproject_and_coadd(frames):
    reproject = pytest.importorskip("reproject")
    from reproject.mosaicking import reproject_and_coadd

    out_wcs, items = frames
    mosaic = pellorin.Mosaic(OUT)
    for data, wcs, _, constant, _ in items:
        mosaic.add(data, (wcs, out_wcs), weights=constant)
    array, footprint = reproject_and_coadd(
        [(data, wcs) for data, wcs, *_ in items], out_wcs, shape_out=OUT,
        reproject_function=reproject.reproject_exact, combine_function="mean",
        input_weights=[constant for *_, constant, _ in items])
    inside = fully_covered(out_wcs, items)
    assert relative(mosaic.mean()[inside], array[inside]).max() < 1e-6
    assert relative(mosaic.weight()[inside], footprint[inside]).max() < 1e-6


def monte_carlo():
    """200 noise realisations as one stack of 200 planes, 16 frames: the
    ratio of the scatter of the mean over the realisations to variance(),
    on the pixels that all 16 frames cover; and the predicted variances of
    the first and the last plane there."""
    rng = np.random.default_rng(200)
    realisations = 200
    shape, out = (32, 32), (48, 48)
    mosaic = pellorin.Mosaic((realisations,) + out)
    cover = pellorin.Mosaic(out)
    for _ in range(N_FRAMES):
        angle = np.deg2rad(rng.uniform(-40, 40))
        c, s = np.cos(angle), np.sin(angle)
        dx, dy = 24.0 + rng.uniform(-2, 2), 24.0 + rng.uniform(-2, 2)

        def transform(x, y, c=c, s=s, dx=dx, dy=dy):
            return c * (x - 15.5) - s * (y - 15.5) + dx, s * (x - 15.5) + c * (y - 15.5) + dy

        variance = rng.uniform(0.5, 2.0, shape)
        weights = rng.uniform(0.3, 3.0, shape)
        noise = rng.normal(size=(realisations,) + shape) * np.sqrt(variance)
        mosaic.add(5.0 + noise, transform, weights=weights, variance=variance)
        cover.add(np.ones(shape), transform)
    inside = cover.weight() > N_FRAMES - 1e-9
    empirical = mosaic.mean()[:, inside].var(axis=0, ddof=1)
    predicted = mosaic.variance()[:, inside]
    return empirical / predicted[0], predicted[0], predicted[-1]


def test_variance_against_monte_carlo():
    """The estimate of each pixel's variance from 200 samples scatters by
    10 %; over some hundreds of pixels (correlated neighbours count less)
    their mean ratio is known to about 1 %."""
    ratio, first, last = monte_carlo()
    assert ratio.size > 200
    np.testing.assert_array_equal(first, last)
    assert abs(ratio.mean() - 1.0) < 0.05
    # Each pixel's ratio follows chi2(199) / 199: 99.9 % lie within 0.7 to 1.35.
    assert ((ratio > 0.6) & (ratio < 1.45)).all()
