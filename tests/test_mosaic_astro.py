"""pellorin.astro.coadd: the inputs of astronomy through one mosaic, and the
matching of backgrounds."""

from __future__ import annotations

import numpy as np
import pytest

pytest.importorskip("astropy")

from astropy.io import fits  # noqa: E402
from astropy.wcs import WCS  # noqa: E402

import pellorin  # noqa: E402
import pellorin.astro  # noqa: E402
from test_astro import car  # noqa: E402


def tan(crval, shape, angle=0.0, scale=1e-3, frame=("RA---TAN", "DEC--TAN")):
    w = WCS(naxis=2)
    w.wcs.ctype = list(frame)
    w.wcs.crval = crval
    w.wcs.crpix = [shape[1] / 2 + 0.5, shape[0] / 2 + 0.5]
    c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
    w.wcs.cd = np.array([[-c, s], [s, c]]) * scale
    w.array_shape = shape
    return w


def sky(wcs, shape):
    """A smooth sky sampled at the pixel centres of `wcs`."""
    y, x = np.indices(shape, dtype=np.float64)
    ra, dec = wcs.pixel_to_world_values(x, y)
    return 3.0 + np.sin((ra - 150.0) * 300.0) * np.cos((dec - 2.0) * 200.0)


OUT = tan([150.0, 2.0], (60, 60))
FRAMES = [tan([150.0 + dx * 1e-3, 2.0 + dy * 1e-3], (30, 34), angle)
          for dx, dy, angle in ((-10, -8, 0), (6, -9, 15), (-7, 9, -20), (8, 7, 30), (0, 0, 45))]


def test_same_as_the_mosaic_for_every_input_form(tmp_path):
    datas = [sky(w, w.array_shape) for w in FRAMES]
    weights = [float(k + 1) for k in range(len(FRAMES))]
    m = pellorin.Mosaic((60, 60))
    for data, w, weight in zip(datas, FRAMES, weights):
        m.add(data, (w, OUT), weights=weight)
    path = tmp_path / "first.fits"
    fits.PrimaryHDU(datas[0], header=FRAMES[0].to_header()).writeto(path)
    inputs = [str(path), fits.ImageHDU(datas[1], header=FRAMES[1].to_header()),
              fits.HDUList([fits.PrimaryHDU(datas[2], header=FRAMES[2].to_header())]),
              (datas[3], FRAMES[3]), (datas[4], FRAMES[4].to_header())]
    mean, footprint = pellorin.astro.coadd(inputs, OUT, weights=weights)
    np.testing.assert_allclose(mean, m.mean(), rtol=1e-12)
    np.testing.assert_allclose(footprint, m.weight(), rtol=1e-12)
    header = OUT.to_header()
    header["NAXIS"], header["NAXIS1"], header["NAXIS2"] = 2, 60, 60
    mean_h, _ = pellorin.astro.coadd(inputs, header, weights=weights)
    np.testing.assert_array_equal(mean_h, mean)


def test_variance_returned_when_given():
    datas = [sky(w, w.array_shape) for w in FRAMES[:3]]
    variances = [np.full(w.array_shape, 0.5 * (k + 1)) for k, w in enumerate(FRAMES[:3])]
    mean, footprint, variance = pellorin.astro.coadd(list(zip(datas, FRAMES)), OUT,
                                                      variance=variances)
    m = pellorin.Mosaic((60, 60))
    for data, w, var in zip(datas, FRAMES, variances):
        m.add(data, (w, OUT), variance=var)
    np.testing.assert_allclose(variance, m.variance(), rtol=1e-12)
    assert np.isnan(variance[footprint == 0]).all()


def test_match_background_removes_offsets():
    """Frames of one sky, each with its own constant offset: after matching,
    the co-add is the sky plus the mean offset, everywhere."""
    offsets = np.array([0.7, -1.3, 2.1, 0.0, -0.4])
    inputs = [(sky(w, w.array_shape) + o, w) for w, o in zip(FRAMES, offsets)]
    plain, footprint = pellorin.astro.coadd(inputs, OUT)
    matched, _ = pellorin.astro.coadd(inputs, OUT, match_background=True)
    truth, _ = pellorin.astro.coadd([(sky(w, w.array_shape), w) for w in FRAMES], OUT)
    full = footprint > 1 - 1e-9
    # Differences of two frames' reprojections of the same smooth sky are
    # not 0 (each is a mean over its own pixels), hence the tolerance.
    assert abs(matched - truth - offsets.mean())[full].max() < 0.02
    assert abs(plain - truth - offsets.mean())[full].max() > 0.5


@pytest.mark.parametrize("kwargs, error, match", [
    ({"weights": [1.0]}, ValueError, "1 entries for 2 inputs"),
    ({"variance": 1.0}, TypeError, "sequence"),
    ({"match_background": "yes"}, TypeError, "match_background"),
    ({"weights": [np.ones((3, 3, 3)), 1.0]}, ValueError, "celestial"),
])
def test_refusals(kwargs, error, match):
    inputs = [(np.ones((30, 34)), FRAMES[0]), (np.ones((30, 34)), FRAMES[1])]
    with pytest.raises(error, match=match):
        pellorin.astro.coadd(inputs, OUT, **kwargs)


def test_empty_inputs_refused():
    with pytest.raises(ValueError, match="empty"):
        pellorin.astro.coadd([], OUT)


# A field of 1.5-degree pixels around the pole onto a CAR grid of 1-degree
# pixels: the default takes spherical pixels for it.
POLE_IN = tan([30.0, 88.0], (12, 12), angle=10.0, scale=1.5)
POLE_OUT, POLE_SHAPE = car((180, 360), 1.0), (180, 360)


@pytest.mark.parametrize("weights", [None, 3.0, "map"], ids=["unit", "scalar", "map of 0 and 1"])
def test_spherical_frames_add_the_sphere_reprojection(weights):
    """A mosaic of one spherical frame holds what the spherical
    reprojection gives: S / W its mean, W its footprint times the weight, F
    its "sum" times the weight; a weight of 0 leaves a pixel out as a NaN
    does, bit for bit; the same bits on 1, 2 and 3 threads."""
    data = np.random.default_rng(2).uniform(1.0, 2.0, (12, 12))
    given: object = weights
    expected = data
    if weights == "map":
        given = np.ones((12, 12))
        given[::3, 1::2] = 0.0
        expected = np.where(given > 0, data, np.nan)
    scale = 3.0 if weights == 3.0 else 1.0
    mosaics = []
    for threads in (1, 2, 3):
        mosaics.append(pellorin.Mosaic(POLE_SHAPE))
        mosaics[-1].add(data, (POLE_IN, POLE_OUT), weights=given, threads=threads)
    m = mosaics[0]
    for other in mosaics[1:]:
        for a, b in zip((m.mean(), m.weight(), m.flux()), (other.mean(), other.weight(), other.flux())):
            assert a.tobytes() == b.tobytes()
    mean, footprint = pellorin.reproject(expected, (POLE_IN, POLE_OUT), POLE_SHAPE, return_footprint=True,
                                         geometry="sphere")
    flux = pellorin.reproject(expected, (POLE_IN, POLE_OUT), POLE_SHAPE, mode="sum", geometry="sphere")
    assert (footprint > 0).sum() > 500
    np.testing.assert_allclose(m.weight(), scale * footprint, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(m.mean(), mean, rtol=1e-12)
    np.testing.assert_allclose(m.flux(), scale * flux, rtol=1e-12, atol=1e-15)
    if weights == "map":
        nan = pellorin.Mosaic(POLE_SHAPE)
        nan.add(expected, (POLE_IN, POLE_OUT))
        for a, b in zip((m.mean(), m.weight(), m.flux()), (nan.mean(), nan.weight(), nan.flux())):
            assert a.tobytes() == b.tobytes()


def test_spherical_variance_of_one_pixel_is_its_own():
    """One input pixel: every cell it covers has V = (w a)^2 var and
    W = w a, so the variance of the mean is var wherever it lands."""
    w_in = tan([0.0, 89.0], (1, 1), scale=4.0)
    m = pellorin.Mosaic((2,) + POLE_SHAPE)
    m.add(np.array([[[5.0]], [[7.0]]]), (w_in, POLE_OUT), variance=np.array([[[0.25]], [[4.0]]]),
          weights=2.0, geometry="sphere")
    covered = m.weight() > 0
    assert covered[0].sum() > 100
    np.testing.assert_allclose(m.variance()[0][covered[0]], 0.25, rtol=1e-12)
    np.testing.assert_allclose(m.variance()[1][covered[1]], 4.0, rtol=1e-12)
    np.testing.assert_allclose(m.mean()[1][covered[1]], 7.0, rtol=1e-13)
    # Its weight sums to the pixel's solid angle in cells, twice.
    total = pellorin.reproject(np.ones((1, 1)), (w_in, POLE_OUT), POLE_SHAPE, mode="sum", geometry="sphere")
    np.testing.assert_allclose(m.flux()[0].sum(), 2.0 * 5.0 * total.sum(), rtol=1e-12)


def test_coadd_takes_the_geometry():
    data = np.random.default_rng(4).uniform(1.0, 2.0, (12, 12))
    mean, weight = pellorin.astro.coadd([(data, POLE_IN)], POLE_OUT, POLE_SHAPE)
    sphere, footprint = pellorin.astro.reproject((data, POLE_IN), POLE_OUT, POLE_SHAPE, geometry="sphere")
    np.testing.assert_allclose(mean, sphere, rtol=1e-12)
    np.testing.assert_allclose(weight, footprint, rtol=1e-12, atol=1e-15)
    plane, _ = pellorin.astro.coadd([(data, POLE_IN)], POLE_OUT, POLE_SHAPE, geometry="plane")
    assert not np.allclose(plane, mean, rtol=1e-6, equal_nan=True)
