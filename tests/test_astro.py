"""pellorin.astro.reproject: the inputs of astronomy (files, HDUs, headers,
WCS), celestial cubes, frame changes, and the optional dependency."""

import os
import warnings

import numpy as np
import pytest

from conftest import run_python

astropy = pytest.importorskip("astropy")
from astropy.io import fits  # noqa: E402
from astropy.nddata import NDData  # noqa: E402
from astropy.wcs import WCS, FITSFixedWarning  # noqa: E402

import pellorin  # noqa: E402
import pellorin.astro  # noqa: E402

warnings.simplefilter("ignore", FITSFixedWarning)
ASTROPY_DATA = os.path.join(os.path.dirname(astropy.__file__), "wcs", "tests", "data")
RNG = np.random.default_rng(5)


def tan(crval, crpix, cdelt, angle=0.0, shape=None, **attrs):
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval, w.wcs.crpix = crval, crpix
    c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
    w.wcs.cd = np.array([[-c, s], [s, c]]) * cdelt
    for key, value in attrs.items():
        setattr(w.wcs, key, value)
    w.wcs.set()
    if shape is not None:
        w.array_shape = shape
    return w


W_IN = tan([83.8, -5.4], [15.5, 12.5], 2 / 3600, angle=20.0)
W_OUT = tan([83.8, -5.4], [18.5, 18.5], 2.5 / 3600, shape=(36, 36))
DATA = RNG.uniform(1.0, 2.0, (24, 30))


def header_of(wcs, shape):
    header = wcs.to_header()
    header["NAXIS"] = len(shape)
    for k, n in enumerate(reversed(shape), 1):
        header[f"NAXIS{k}"] = n
    return header


def test_every_input_form_gives_the_same_result(tmp_path):
    expected = pellorin.reproject(DATA, (W_IN, W_OUT), (36, 36), return_footprint=True)
    header = W_IN.to_header()
    hdu = fits.PrimaryHDU(DATA, header=header)
    path = tmp_path / "frame.fits"
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(DATA, header=header, name="SCI")]).writeto(path)
    forms = [
        (hdu, {}),
        (fits.HDUList([hdu]), {}),
        (str(path), {"hdu_in": 1}),
        (path, {"hdu_in": "SCI"}),
        ((DATA, W_IN), {}),
        ((DATA, header), {}),
        (NDData(DATA, wcs=W_IN), {}),
    ]
    # A WCS written to a header and read back differs in the last digits.
    for form, kwargs in forms:
        image, footprint = pellorin.astro.reproject(form, W_OUT, **kwargs)
        np.testing.assert_allclose(image, expected[0], rtol=1e-11, equal_nan=True)
        np.testing.assert_allclose(footprint, expected[1], rtol=0, atol=1e-11)


def test_the_output_projection_and_its_shape():
    header = header_of(W_OUT, (36, 36))
    from_header = pellorin.astro.reproject((DATA, W_IN), header, return_footprint=False)
    from_wcs = pellorin.astro.reproject((DATA, W_IN), W_OUT, return_footprint=False)
    np.testing.assert_allclose(from_header, from_wcs, rtol=1e-11)
    # Another output size tiles the output otherwise: the same to rounding.
    smaller = pellorin.astro.reproject((DATA, W_IN), W_OUT, (20, 25), return_footprint=False)
    np.testing.assert_allclose(smaller, from_wcs[:20, :25], rtol=1e-12)
    flux = pellorin.astro.reproject((DATA, W_IN), W_OUT, mode="sum", return_footprint=False)
    assert flux.sum() == pytest.approx(DATA.sum(), rel=1e-12)
    with pytest.raises(ValueError, match="shape_out is needed"):
        pellorin.astro.reproject((DATA, W_IN), W_OUT.to_header())
    with pytest.raises(ValueError, match="shape_out is needed"):
        pellorin.astro.reproject((DATA, W_IN), tan([83.8, -5.4], [1, 1], 1e-3))


def test_bad_inputs():
    with pytest.raises(TypeError, match="input_data must be"):
        pellorin.astro.reproject(DATA, W_OUT)
    with pytest.raises(TypeError, match="return_footprint must be a bool"):
        pellorin.astro.reproject((DATA, W_IN), W_OUT, return_footprint="yes")
    linear = WCS(naxis=2)
    with pytest.raises(ValueError, match="no celestial axes"):
        pellorin.astro.reproject((DATA, linear), W_OUT)


def test_distortion_tables_in_other_hdus_are_read_from_the_file():
    path = os.path.join(ASTROPY_DATA, "dist_lookup.fits.gz")
    with fits.open(path) as hdul:
        w = WCS(hdul[1].header, hdul)
        data = RNG.uniform(1.0, 2.0, hdul[1].data.shape)
    assert w.cpdis1 is not None and w.det2im1 is not None and w.sip is not None
    centre = w.pixel_to_world_values(49.5, 49.5)
    out_wcs = tan(centre, [70.5, 70.5], 0.2 / 3600 * 1.3 * 3, shape=(140, 140), radesys="FK5")
    expected = pellorin.reproject(data, (w, out_wcs), (140, 140))
    with fits.open(path) as hdul:
        hdul[1].data = data
        got, _ = pellorin.astro.reproject(hdul, out_wcs, hdu_in="SCI")
    np.testing.assert_array_equal(got, expected)


def cube_wcs(spectral_first=False, crval3=1.4e9):
    w = WCS(naxis=3)
    celestial = ["RA---SFL", "DEC--SFL"]
    if spectral_first:
        w.wcs.ctype = ["FREQ"] + celestial
        w.wcs.crval = [crval3, 60.0, 32.0]
        w.wcs.crpix = [1.0, 6.5, 4.5]
        w.wcs.cdelt = [1e5, -0.006, 0.006]
    else:
        w.wcs.ctype = celestial + ["FREQ"]
        w.wcs.crval = [60.0, 32.0, crval3]
        w.wcs.crpix = [6.5, 4.5, 1.0]
        w.wcs.cdelt = [-0.006, 0.006, 1e5]
    w.wcs.set()
    return w


def test_a_celestial_cube_reprojects_its_celestial_axes_and_carries_the_others():
    cube = RNG.uniform(1.0, 2.0, (5, 8, 12))  # (frequency, dec, ra)
    cube[2, 3, 4] = np.nan
    w_in = cube_wcs()
    header = header_of(tan([60.0, 32.0], [9.5, 8.5], 0.005, angle=15.0), (16, 18))
    image, footprint = pellorin.astro.reproject((cube, w_in), header)
    assert image.shape == footprint.shape == (5, 16, 18)
    for k in range(5):
        plane = pellorin.reproject(cube[k], (w_in.sub([1, 2]), WCS(header)), (16, 18))
        np.testing.assert_array_equal(image[k], plane)
    # The same through a 3-D output WCS with the same spectral axis...
    w_out = WCS(naxis=3)
    w_out.wcs.ctype = ["RA---TAN", "DEC--TAN", "FREQ"]
    w_out.wcs.crval, w_out.wcs.crpix = [60.0, 32.0, 1.4e9], [9.5, 8.5, 1.0]
    w_out.wcs.cd = np.diag([-0.005, 0.005, 1e5])
    w_out.wcs.set()
    three_d = pellorin.astro.reproject((cube, w_in), w_out, (5, 16, 18), return_footprint=False)
    assert np.isfinite(three_d).sum() > 0.5 * three_d.size
    # ...but not with another one, which cannot be carried along.
    w_out.wcs.crval = [60.0, 32.0, 1.5e9]
    w_out.wcs.set()
    with pytest.raises(ValueError, match="carried along"):
        pellorin.astro.reproject((cube, w_in), w_out, (5, 16, 18))
    # Celestial axes anywhere in the array: here the frequency is last.
    moved = np.moveaxis(cube, 0, -1)  # (dec, ra, frequency)
    image_moved, _ = pellorin.astro.reproject((moved, cube_wcs(spectral_first=True)), header)
    np.testing.assert_array_equal(np.moveaxis(image_moved, -1, 0), image)


def test_extra_leading_axes_are_a_stack():
    stack = RNG.uniform(1.0, 2.0, (3, 24, 30))
    image, footprint = pellorin.astro.reproject((stack, W_IN), W_OUT)
    assert image.shape == (3, 36, 36)
    for k in range(3):
        np.testing.assert_array_equal(image[k], pellorin.reproject(stack[k], (W_IN, W_OUT), (36, 36)))


def shift_mas(w_in, w_out):
    """How far the frame conversion moves the image of the input's corner
    (-0.5, -0.5), from what composing the two WCS's world values gives, in
    milliarcseconds."""
    converted = pellorin.pixel_quads((w_in, w_out), (1, 1))[0, 0]
    naive = w_out.world_to_pixel_values(*w_in.pixel_to_world_values(-0.5, -0.5))
    scale = np.sqrt(abs(np.linalg.det(w_out.pixel_scale_matrix))) * 3.6e6
    return float(np.hypot(converted[0] - naive[0], converted[1] - naive[1]) * scale)


def test_frames_are_converted_only_when_they_differ():
    fk5 = tan([150.0, 30.0], [12.5, 10.5], 1 / 3600, radesys="FK5", equinox=2000.0)
    icrs = tan([150.0, 30.0], [12.5, 10.5], 1 / 3600, radesys="ICRS")
    # FK5 (J2000) and ICRS differ by about 14 milliarcseconds here...
    assert 5.0 < shift_mas(fk5, icrs) < 30.0
    # ...the same frame twice goes through the world values, bit for bit.
    other = tan([150.001, 30.0], [15.5, 10.5], 1.1 / 3600, angle=3.0, radesys="FK5", equinox=2000.0)
    data = RNG.uniform(1.0, 2.0, (20, 24))
    same = pellorin.reproject(data, (fk5, other), (26, 26))
    composed = pellorin.reproject(
        data, lambda x, y: other.world_to_pixel_values(*fk5.pixel_to_world_values(x, y)), (26, 26))
    np.testing.assert_array_equal(same, composed)


@pytest.mark.parametrize("frames", [("FK4", 1950.0, "ICRS", None), ("FK5", 2000.0, "FK4", 1950.0)])
def test_equatorial_frames_of_other_epochs(frames):
    sys_in, eq_in, sys_out, eq_out = frames
    from astropy.coordinates import SkyCoord

    w_in = tan([150.0, 30.0], [20.5, 20.5], 2 / 3600, radesys=sys_in, equinox=eq_in)
    centre = SkyCoord(150.0, 30.0, unit="deg", frame=sys_in.lower(),
                      equinox=f"{'B' if sys_in == 'FK4' else 'J'}{eq_in:g}")
    centre = centre.transform_to(sys_out.lower() if eq_out is None else
                                 SkyCoord(0, 0, unit="deg", frame=sys_out.lower(),
                                          equinox=f"B{eq_out:g}").frame)
    attrs = {"radesys": sys_out} if eq_out is None else {"radesys": sys_out, "equinox": eq_out}
    w_out = tan([centre.spherical.lon.deg, centre.spherical.lat.deg], [25.5, 25.5], 2 / 3600, **attrs)
    data = RNG.uniform(1.0, 2.0, (40, 40))
    image, footprint = pellorin.astro.reproject((data, w_in), w_out, (50, 50))
    # The input lands where its centre went: in the middle of the output.
    assert footprint[25, 25] == pytest.approx(1.0) and np.isfinite(image[10:40, 10:40]).all()
    flux = pellorin.astro.reproject((data, w_in), w_out, (50, 50), mode="sum", return_footprint=False)
    assert flux.sum() == pytest.approx(data.sum(), rel=1e-12)


def test_the_package_works_and_the_subpackage_names_its_extra_without_astropy():
    code = """
import sys
sys.modules["astropy"] = None  # as if astropy were not installed
import numpy as np
import pellorin
print(pellorin.reproject(np.ones((2, 2)), lambda x, y: (x, y), (2, 2)).tolist())
try:
    import pellorin.astro
except ImportError as error:
    print("ImportError:", error)
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "[[1.0, 1.0], [1.0, 1.0]]"
    assert lines[1].startswith("ImportError:") and "pellorin[astro]" in lines[1]


def test_docstring_examples_run():
    import doctest

    import pellorin.astro._reproject as module

    failures, tried = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert tried > 0 and failures == 0


def test_spherical_pixels_keep_their_bits_across_threads_and_planes():
    # A stack whose planes miss different pixels (a weight per plane), with
    # the output rows split among threads or not: every plane holds the
    # bits of its own reprojection on one thread.
    stack = RNG.uniform(1.0, 2.0, (3, 24, 30))
    stack[1, 5, 7] = np.nan
    for threads in (2, 3):
        image, footprint = pellorin.astro.reproject((stack, W_IN), W_OUT, geometry="sphere", threads=threads)
        for k in range(3):
            alone, fp = pellorin.astro.reproject((stack[k], W_IN), W_OUT, geometry="sphere", threads=1)
            assert image[k].tobytes() == alone.tobytes() and footprint[k].tobytes() == fp.tobytes()
    assert footprint[1].sum() < footprint[0].sum()
    # "sum" keeps the total of a field inside the output; a constant field
    # has that constant as its mean wherever it covers.
    flux = pellorin.astro.reproject((DATA, W_IN), W_OUT, mode="sum", geometry="sphere", return_footprint=False)
    assert abs(flux.sum() / DATA.sum() - 1) < 1e-12
    flat, fp = pellorin.astro.reproject((np.full((24, 30), 3.0), W_IN), W_OUT, geometry="sphere")
    np.testing.assert_allclose(flat[fp > 0], 3.0, rtol=1e-12)
    assert np.isnan(flat[fp == 0]).all() and (fp <= 1 + 1e-9).all()
    with pytest.raises(ValueError, match="geometry must be 'auto', 'plane' or 'sphere'"):
        pellorin.astro.reproject((DATA, W_IN), W_OUT, geometry="flat")


def car(shape, cdelt):
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---CAR", "DEC--CAR"]
    w.wcs.crval, w.wcs.cdelt = [0.0, 0.0], [-cdelt, cdelt]
    w.wcs.crpix = [shape[1] / 2 + 0.5, shape[0] / 2 + 0.5]
    w.wcs.set()
    return w


@pytest.mark.parametrize("pair, taken", [
    # Arcsecond pixels: planar weights are the solid angles to 1e-9.
    ((W_IN, W_OUT, (36, 36)), "plane"),
    # Degree pixels of a CAR map at latitude 70: its pixels' solid angle
    # changes by 5e-2 from one row to the next.
    ((tan([30.0, 70.0], [10.5, 10.5], 1.0), car((180, 360), 1.0), (180, 360)), "sphere"),
], ids=["arcsecond TAN", "degree CAR"])
def test_the_default_geometry_is_the_planar_one_where_it_is_as_good(pair, taken):
    w_in, w_out, shape = pair
    data = RNG.uniform(1.0, 2.0, (24, 30) if taken == "plane" else (20, 20))
    auto = pellorin.astro.reproject((data, w_in), w_out, shape)
    chosen = pellorin.astro.reproject((data, w_in), w_out, shape, geometry=taken)
    plain = pellorin.reproject(data, (w_in, w_out), shape, return_footprint=True)
    for a, b, c in zip(auto, chosen, plain):
        assert a.tobytes() == b.tobytes() == c.tobytes()
    # A mosaic chooses the same way.
    m = pellorin.Mosaic(shape)
    m.add(data, (w_in, w_out))
    np.testing.assert_allclose(m.mean(), chosen[0], rtol=1e-12)


@pytest.mark.parametrize("transform, geometry, message", [
    (lambda x, y: (x, y), "sphere", "needs a pair"),
    ((W_IN, WCS(naxis=2)), "sphere", "needs a pair"),
    ((W_IN, W_OUT), "flat", "geometry must be"),
], ids=["callable", "linear WCS", "unknown"])
def test_the_spherical_geometry_needs_two_celestial_wcs(transform, geometry, message):
    with pytest.raises(ValueError, match=message):
        pellorin.reproject(DATA, transform, (36, 36), geometry=geometry)
