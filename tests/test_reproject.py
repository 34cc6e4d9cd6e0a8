"""pellorin.pixel_quads and pellorin.reproject against independent references:
shapely intersection areas (affine maps) and reproject_exact (TAN WCS)."""

import doctest

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pellorin
import pellorin._geometry
import pellorin._reproject
from conftest import SANITIZED, run_python

shapely = pytest.importorskip("shapely")


def affine(a, b, c, d, e, f):
    """(x, y) -> (a x + b y + c, d x + e y + f)."""
    return lambda x, y: (a * x + b * y + c, d * x + e * y + f)


def reference(data, transform, shape_out, shift=(0, 0), window=None):
    """(mean, sum, footprint) from shapely's areas of every (pixel, cell) pair.

    Coordinates are shifted by the integers `shift` first (exact), so that
    shapely's own areas keep their digits far from the origin. With
    `window` = (y0, y1, x0, x1), only those cells of the output are computed
    (the rest are left uncovered)."""
    quads = pellorin.pixel_quads(transform, data.shape) - np.asarray(shift, dtype=float)
    values = data.ravel()
    ok = np.isfinite(quads).all(axis=(1, 2)) & ~np.isnan(values)
    polys = shapely.polygons(quads[ok])
    ny, nx = shape_out
    y0, y1, x0, x1 = window or (0, ny, 0, nx)
    yy, xx = np.mgrid[y0:min(y1, ny), x0:min(x1, nx)]
    flat = (yy * nx + xx).ravel()
    cells = shapely.box((xx - 0.5 - shift[0]).ravel(), (yy - 0.5 - shift[1]).ravel(),
                        (xx + 0.5 - shift[0]).ravel(), (yy + 0.5 - shift[1]).ravel())
    tree = shapely.STRtree(polys)
    pi, ci = tree.query(cells, predicate="intersects")[::-1]
    a = shapely.area(shapely.intersection(polys[pi], cells[ci]))
    ci = flat[ci]
    v = values[ok][pi]
    cover = np.bincount(ci, weights=a, minlength=ny * nx)
    flux = np.bincount(ci, weights=v * a / shapely.area(polys)[pi], minlength=ny * nx)
    weighted = np.bincount(ci, weights=v * a, minlength=ny * nx)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(cover > 0, weighted / cover, np.nan)
    return mean.reshape(shape_out), flux.reshape(shape_out), cover.reshape(shape_out)


def check(data, transform, shape_out, shift=(0, 0), rtol=1e-12):
    mean_ref, flux_ref, cover_ref = reference(data, transform, shape_out, shift)
    mean, cover = pellorin.reproject(data, transform, shape_out, return_footprint=True)
    flux = pellorin.reproject(data, transform, shape_out, mode="sum")
    scale = np.nanmax(np.abs(data))
    # NaN exactly where nothing covers the cell; a cell that an edge only
    # touches may come out either way, with a covered area below 1e-12.
    definite = (cover_ref > 1e-12) | (cover > 1e-12)
    np.testing.assert_array_equal(np.isnan(mean)[definite], np.isnan(mean_ref)[definite])
    # A partly covered cell's mean is the ratio of two rounded sums: its
    # numerator (mean times the covered area) is what keeps 1e-12.
    np.testing.assert_allclose(np.nan_to_num(mean) * cover_ref, np.nan_to_num(mean_ref) * cover_ref,
                               rtol=rtol, atol=rtol * scale)
    np.testing.assert_allclose(flux, flux_ref, rtol=rtol, atol=rtol * scale)
    np.testing.assert_allclose(cover, cover_ref, rtol=rtol, atol=rtol)
    return mean, flux, cover


RNG = np.random.default_rng(7)

# (name, input shape, transform, output shape): every case has input pixels
# crossing the output's edge.
EDGE_CASES = [
    ("rotated, scaled, shifted past the left/bottom edge",
     (9, 11), affine(0.8, -0.45, -2.3, 0.45, 0.8, -1.7), (8, 9)),
    ("input pixels bigger than output pixels", (4, 5), affine(2.7, 0.6, -1.2, -0.5, 2.4, 3.1), (9, 12)),
    ("input pixels much smaller", (30, 26), affine(0.21, 0.05, 0.3, -0.04, 0.19, 0.1), (5, 5)),
    ("mirror image, corners in clockwise order", (6, 6), affine(-1.1, 0.0, 4.2, 0.0, 0.9, 0.7), (5, 4)),
    ("pure half-pixel shift", (5, 5), affine(1.0, 0.0, 0.5, 0.0, 1.0, -0.5), (5, 5)),
]


@pytest.mark.parametrize("name, shape, transform, shape_out", EDGE_CASES, ids=[c[0] for c in EDGE_CASES])
def test_edge_pixels_give_only_their_overlap(name, shape, transform, shape_out):
    data = RNG.uniform(-1.0, 3.0, shape)
    mean, flux, cover = check(data, transform, shape_out)
    # Cells that the input only partly covers exist in every case.
    assert ((cover > 0) & (cover < 1 - 1e-9)).any()


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(angle=st.floats(0.0, 2 * np.pi), scale=st.floats(0.3, 3.0), aspect=st.floats(0.5, 2.0),
       shear=st.floats(-0.5, 0.5), dx=st.floats(-6.0, 6.0), dy=st.floats(-6.0, 6.0),
       ny=st.integers(1, 7), nx=st.integers(1, 7), seed=st.integers(0, 2**32 - 1))
def test_random_affine_maps_match_shapely(angle, scale, aspect, shear, dx, dy, ny, nx, seed):
    c, s = np.cos(angle) * scale, np.sin(angle) * scale
    transform = affine(c * aspect, -s + shear, dx + 3, s * aspect, c, dy + 3)
    data = np.random.default_rng(seed).uniform(-2.0, 2.0, (ny, nx))
    check(data, transform, (7, 8))


# Input patches far from the origin of a 2048 x 2048 output, and across the
# seams between the output's tiles.
FAR_CASES = [
    ("near (2000, 1990)", affine(0.93, -0.37, 2000.2, 0.37, 0.93, 1990.6), (1997, 1985)),
    ("across a tile corner", affine(1.3, 0.2, 120.3, -0.2, 1.3, 250.1), (120, 250)),
    ("top right corner, crossing the edge", affine(0.7, 0.3, 2040.1, -0.3, 0.7, 2041.3), (2030, 2030)),
]


@pytest.mark.parametrize("name, transform, shift", FAR_CASES, ids=[c[0] for c in FAR_CASES])
def test_far_from_the_origin(name, transform, shift):
    data = RNG.uniform(0.5, 2.0, (14, 16))
    window = (max(shift[1] - 40, 0), shift[1] + 40, max(shift[0] - 40, 0), shift[0] + 40)
    mean_ref, flux_ref, cover_ref = reference(data, transform, (2048, 2048), shift, window)
    mean, cover = pellorin.reproject(data, transform, (2048, 2048), return_footprint=True)
    flux = pellorin.reproject(data, transform, (2048, 2048), mode="sum")
    hit = cover_ref > 0
    np.testing.assert_array_equal(hit, ~np.isnan(mean))
    # Absolute tolerances are 1e-12 of a whole cell's value or area.
    # A partly covered cell's mean is the ratio of two rounded sums: its
    # numerator (mean times the covered area) is what keeps 1e-12.
    np.testing.assert_allclose((mean * cover_ref)[hit], (mean_ref * cover_ref)[hit],
                               rtol=1e-12, atol=2e-12)
    np.testing.assert_allclose(flux[hit], flux_ref[hit], rtol=1e-12, atol=2e-12)
    np.testing.assert_allclose(cover[hit], cover_ref[hit], rtol=1e-12, atol=1e-12)
    assert not flux[~hit].any() and not cover[~hit].any()


@pytest.mark.parametrize("transform, inside", [
    (affine(0.9, 0.2, 3.0, -0.2, 0.9, 4.0), True),
    (affine(1.7, 0.4, -6.0, -0.3, 1.6, -3.0), False),
])
def test_flux_is_conserved(transform, inside):
    data = RNG.uniform(0.0, 5.0, (12, 12))
    flux = pellorin.reproject(data, transform, (20, 20), mode="sum")
    quads = pellorin.pixel_quads(transform, data.shape)
    polys = shapely.polygons(quads)
    grid = shapely.box(-0.5, -0.5, 19.5, 19.5)
    fraction = shapely.area(shapely.intersection(polys, grid)) / shapely.area(polys)
    assert (fraction > 1 - 1e-12).all() == inside
    assert flux.sum() == pytest.approx((data.ravel() * fraction).sum(), rel=1e-13)


def with_nan_corners(transform, bad):
    def mapped(x, y):
        xo, yo = transform(x, y)
        xo = np.where(bad(x, y), np.nan, xo)
        return xo, yo
    return mapped


def test_nan_pixels_do_not_poison_their_neighbours():
    data = RNG.uniform(1.0, 2.0, (8, 8))
    data[3, 4] = np.nan
    data[0, :] = np.nan
    transform = affine(0.8, 0.3, 1.1, -0.3, 0.8, 3.2)
    mean, flux, cover = check(data, transform, (9, 9))
    assert np.isfinite(flux).all()
    # Cells that only NaN pixels reach are NaN in "mean" mode, not 0.
    assert np.isnan(mean).sum() > np.isnan(reference(np.ones((8, 8)), transform, (9, 9))[0]).sum()


def test_masked_pixels_count_as_nan():
    data = RNG.uniform(1.0, 2.0, (6, 7))
    mask = np.zeros(data.shape, dtype=bool)
    mask[2, 3] = mask[0, 0] = True
    transform = affine(0.7, 0.2, 0.3, -0.2, 0.7, 1.1)
    masked = pellorin.reproject(np.ma.array(data, mask=mask), transform, (6, 6), mode="sum")
    np.testing.assert_array_equal(masked, pellorin.reproject(np.where(mask, np.nan, data), transform,
                                                             (6, 6), mode="sum"))
    assert masked.sum() < pellorin.reproject(data, transform, (6, 6), mode="sum").sum()


def half_plane_reference(data, transform, shape_out, limit):
    """(mean, sum, footprint) from shapely for an affine `transform` whose
    input points with x + y > limit are off the sky: each pixel is clipped
    to x + y <= limit in the input plane first, keeps that share of its
    value, and is mapped (an affine map maps the clipped polygon exactly)."""
    ny, nx = data.shape
    big = 4.0 * (nx + ny)
    sky = shapely.Polygon([(-big, -big), (limit + big, -big), (-big, limit + big)])
    mean_num = np.zeros(shape_out)
    flux = np.zeros(shape_out)
    cover = np.zeros(shape_out)
    xo, yo = transform(np.array([1.0, 0.0, 0.0]), np.array([0.0, 1.0, 0.0]))
    m = [xo[0] - xo[2], xo[1] - xo[2], yo[0] - yo[2], yo[1] - yo[2], xo[2], yo[2]]
    for j in range(ny):
        for i in range(nx):
            part = shapely.box(i - 0.5, j - 0.5, i + 0.5, j + 0.5).intersection(sky)
            if part.is_empty:
                continue
            image = shapely.affinity.affine_transform(part, m)
            whole = abs(np.linalg.det([[m[0], m[1]], [m[2], m[3]]]))  # mapped area of a pixel
            for r in range(shape_out[0]):
                for col in range(shape_out[1]):
                    ov = image.intersection(shapely.box(col - 0.5, r - 0.5, col + 0.5, r + 0.5)).area
                    mean_num[r, col] += ov * data[j, i]
                    cover[r, col] += ov
                    flux[r, col] += data[j, i] * ov / whole
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(cover > 0, mean_num / cover, np.nan)
    return mean, flux, cover


@pytest.mark.parametrize("bad_value", [np.nan, np.inf, -np.inf])
def test_pixels_partly_off_the_sky_keep_their_part_on_it(bad_value):
    # Points with x + y > 8.5 are off the sky: pixels crossing that line are
    # cut along it, and only their part on the sky is used.
    data = RNG.uniform(1.0, 2.0, (7, 9))
    base = affine(0.9, 0.1, 0.4, -0.1, 0.9, 0.3)

    def transform(x, y):
        xo, yo = base(x, y)
        return np.where(x + y > 8.5, bad_value, xo), yo

    mean, cover = pellorin.reproject(data, transform, (8, 9), return_footprint=True)
    flux = pellorin.reproject(data, transform, (8, 9), mode="sum")
    mean_ref, flux_ref, cover_ref = half_plane_reference(data, base, (8, 9), 8.5)
    np.testing.assert_allclose(cover, cover_ref, rtol=0, atol=1e-12)
    np.testing.assert_allclose(flux, flux_ref, rtol=0, atol=1e-12)
    definite = cover_ref > 1e-9
    np.testing.assert_allclose(mean[definite], mean_ref[definite], rtol=1e-11)
    assert np.isnan(mean[~definite & (cover_ref == 0)]).all()
    # Pixels whose centre is off the sky still give their part on it.
    assert cover[-1, -1] == 0 and cover[4, 4] > 0


def test_zero_means_are_not_mistaken_for_gaps():
    data = np.zeros((6, 6))
    data[:, 3:] = np.nan
    mean = pellorin.reproject(data, affine(1, 0, 0.25, 0, 1, 0), (6, 8))
    np.testing.assert_array_equal(np.isnan(mean[0]), [False] * 4 + [True] * 4)
    assert (mean[:, :4] == 0).all()


def test_corner_lattice_layout():
    calls = []

    def transform(x, y):
        calls.append(x.shape)
        return x * x + 0.1 * y, np.sin(y) + x

    ny, nx = 3, 5
    quads = pellorin.pixel_quads(transform, (ny, nx))
    assert calls == [(ny + 1, nx + 1)] and quads.shape == (ny * nx, 4, 2) and quads.dtype == np.float64
    for j in range(ny):
        for i in range(nx):
            for corner, (dx, dy) in enumerate([(-.5, -.5), (.5, -.5), (.5, .5), (-.5, .5)]):
                x, y = np.array([[i + dx]]), np.array([[j + dy]])
                expected = [transform(x, y)[0][0, 0], transform(x, y)[1][0, 0]]
                assert quads[j * nx + i, corner].tolist() == expected


@pytest.mark.parametrize("ny, nx", [(700, 500), (3, 300000)])
def test_a_large_lattice_is_evaluated_in_bands_of_rows_to_the_same_bits(ny, nx, monkeypatch):
    calls = []

    def transform(x, y):
        calls.append((x.shape, y[0, 0]))
        return 1.01 * x + 0.2 * y + 3.0, 0.97 * y - 0.1 * x

    data = RNG.uniform(0.5, 2.0, (ny, nx))
    banded = pellorin.reproject(data, transform, (ny + 4, nx + 4), return_footprint=True)
    band = pellorin._geometry.LATTICE_BAND // (nx + 1)
    assert calls[0] == ((max(band, 1), nx + 1), -0.5) and sum(shape[0] for shape, _ in calls) == ny + 1
    monkeypatch.setattr(pellorin._geometry, "LATTICE_BAND", 1 << 40)
    calls.clear()
    whole = pellorin.reproject(data, transform, (ny + 4, nx + 4), return_footprint=True)
    assert calls == [((ny + 1, nx + 1), -0.5)]
    for a, b in zip(banded, whole):
        assert a.tobytes() == b.tobytes()


def test_wcs_pairs_go_through_world_values():
    class Scaled:
        def __init__(self, s):
            self.s = s

        def pixel_to_world_values(self, x, y):
            return x * self.s, y * self.s + 1.0

        def world_to_pixel_values(self, a, b):
            return a / self.s, (b - 1.0) / self.s

    data = RNG.uniform(size=(4, 6))
    via_wcs = pellorin.reproject(data, (Scaled(2.0), Scaled(4.0)), (3, 4), mode="sum")
    direct = pellorin.reproject(data, lambda x, y: (x / 2, y / 2), (3, 4), mode="sum")
    np.testing.assert_array_equal(via_wcs, direct)


def test_tan_wcs_agrees_with_reproject_exact():
    wcs = pytest.importorskip("astropy.wcs")
    reproject_exact = pytest.importorskip("reproject").reproject_exact

    def tan(crval, crpix, angle, scale):
        w = wcs.WCS(naxis=2)
        w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
        w.wcs.crval, w.wcs.crpix = crval, crpix
        c, s = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
        w.wcs.cd = np.array([[-c, s], [s, c]]) * scale / 3600.0
        return w

    w_in = tan([150.0, 30.0], [12.5, 10.5], 17.0, 1.0)
    w_out = tan([150.001, 30.002], [16.0, 14.0], -5.0, 1.3)
    data = RNG.uniform(1.0, 2.0, (20, 24))
    ours = pellorin.reproject(data, (w_in, w_out), (26, 28))
    theirs, footprint = reproject_exact((data, w_in), w_out, shape_out=(26, 28), parallel=False)
    full = footprint > 0.999
    assert full.sum() > 200
    # Pixel edges are great circles, straight in both TAN planes; what is
    # left is planar against spherical area, which varies across a pixel by
    # about (distance from the tangent point) x (pixel size) in radians:
    # 1e-4 x 5e-6 here, so a relative difference below 1e-8.
    np.testing.assert_allclose(ours[full], theirs[full], rtol=1e-8)
    assert (np.isnan(ours) == (footprint == 0)).mean() > 0.98


BAD_CALLS = [
    (dict(mode="median"), ValueError, "mode must be"),
    (dict(data=np.zeros(2)), ValueError, "at least 2 dimensions"),
    (dict(data=np.zeros((2, 2), dtype=complex)), TypeError, "real numeric"),
    (dict(data="text"), TypeError, "real numeric"),
    (dict(shape_out=(2.5, 3)), TypeError, "shape_out"),
    (dict(shape_out=(-1, 3)), ValueError, "shape_out"),
    (dict(shape_out=(1, 2, 3)), ValueError, "shape_out"),
    (dict(shape_out="ab"), TypeError, "shape_out"),
    (dict(transform="identity"), TypeError, "callable"),
    (dict(transform=(1, 2)), TypeError, "pixel_to_world_values"),
    (dict(return_footprint="no"), TypeError, "return_footprint must be a bool"),
    (dict(return_footprint=1), TypeError, "return_footprint must be a bool"),
    (dict(threads=0), ValueError, "threads"),
    (dict(threads=1.5), TypeError, "threads"),
    (dict(threads=True), TypeError, "threads"),
]


@pytest.mark.parametrize("change, error, message", BAD_CALLS)
def test_bad_arguments(change, error, message):
    args = dict(data=np.ones((2, 2)), transform=lambda x, y: (x, y), shape_out=(2, 2))
    args.update(change)
    with pytest.raises(error, match=message):
        pellorin.reproject(args.pop("data"), args.pop("transform"), args.pop("shape_out"), **args)


def shifted_by(result):
    def shift(x, y):
        return result(x, y)
    return shift


# What a transform returns, and the error that names it: two real arrays of
# the shape of the coordinates it was given, nothing else, never broadcast.
BAD_RESULTS = [
    (lambda x, y: (x + 0.5j, y), TypeError, "complex"),
    (lambda x, y: (x.astype(str), y), TypeError, "<U"),
    (lambda x, y: (x.astype(object), y), TypeError, "object"),
    (lambda x, y: (x > 0, y), TypeError, "bool"),
    (lambda x, y: (1.0, 2.0), ValueError, r"shape \(\)"),
    (lambda x, y: np.stack([x.ravel(), y.ravel()]), ValueError, "shape"),
    (lambda x, y: (x[0], y), ValueError, "shape"),
    (lambda x, y: (x, y, x), ValueError, "3 item"),
    (lambda x, y: (x,), ValueError, "1 item"),
    (lambda x, y: None, TypeError, "NoneType"),
    (lambda x, y: "xy", TypeError, "str"),
]


@pytest.mark.parametrize("result, error, message", BAD_RESULTS)
def test_what_a_transform_returns_is_checked(result, error, message):
    transform = shifted_by(result)
    with pytest.raises(error, match=message) as info:
        pellorin.reproject(np.ones((3, 4)), transform, (3, 4))
    assert "transform shifted_by.<locals>.shift" in str(info.value)
    with pytest.raises(error, match=message):
        pellorin.pixel_quads(transform, (3, 4))


@pytest.mark.parametrize("lead", [(2, 3), (37,)])
@pytest.mark.parametrize("missing", ["per plane", "shared", "none"])
def test_a_stack_is_its_planes_reprojected_through_one_geometry(missing, lead):
    data = RNG.uniform(1.0, 2.0, lead + (9, 8))
    flat = data.reshape(-1, 9, 8)
    if missing == "per plane":
        flat[1, 2:4, 3] = np.nan
        flat[5, :, 0] = np.nan
    elif missing == "shared":
        flat[:, 2:4, 3] = np.nan
    transform = affine(0.8, 0.35, 0.7, -0.3, 0.9, 2.2)
    calls = []

    def counted(x, y):
        calls.append(x.shape)
        return transform(x, y)

    for mode in ("mean", "sum"):
        calls.clear()
        stack, cover = pellorin.reproject(data, counted, (10, 11), mode=mode, return_footprint=True)
        assert calls == [(10, 9)] and stack.shape == cover.shape == lead + (10, 11)
        for index in np.ndindex(*lead):
            plane, plane_cover = pellorin.reproject(data[index], transform, (10, 11), mode=mode,
                                                    return_footprint=True)
            assert stack[index].tobytes() == plane.tobytes()
            assert cover[index].tobytes() == plane_cover.tobytes()
        # The whole output shape may be given as well.
        np.testing.assert_array_equal(
            pellorin.reproject(data, transform, [*lead, 10, 11], mode=mode), stack)


def test_the_thread_count_does_not_change_a_bit():
    data = RNG.uniform(1.0, 2.0, (40, 50))
    transform = affine(1.7, 0.4, 3.0, -0.3, 1.6, 2.0)
    results = [pellorin.reproject(data, transform, (160, 170), return_footprint=True, threads=t)
               for t in (None, 1, 2, 3)]
    for mean, cover in results[1:]:
        np.testing.assert_array_equal(mean, results[0][0])
        np.testing.assert_array_equal(cover, results[0][1])


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("mode", ["mean", "sum"])
def test_a_large_output_on_any_thread_count_is_exact(mode, threads):
    # An output of several MiB (its pages mapped before the engine fills
    # them) through a shift by whole pixels: every covered cell holds its
    # pixel's value exactly, every other cell NaN ("mean") or 0 ("sum").
    data = RNG.integers(1, 1000, (500, 560)).astype(np.float64)
    out = pellorin.reproject(data, lambda x, y: (x + 37.0, y + 61.0), (600, 640), mode=mode, threads=threads)
    expected = np.full((600, 640), np.nan if mode == "mean" else 0.0)
    expected[61:561, 37:597] = data
    assert out.tobytes() == expected.tobytes()


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more address space")
def test_an_output_that_cannot_exist_is_refused_before_any_work():
    code = """
import resource
import numpy as np
import pellorin
limit = 2 * 1024**3
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
calls = []
def transform(x, y):
    calls.append(1)
    return x, y
for shape in [(10**6, 10**6), (2**40, 2**40)]:
    try:
        pellorin.reproject(np.ones((4, 4)), transform, shape)
    except MemoryError as error:
        print("MemoryError", error)
print("transform called", len(calls))
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("MemoryError the output of shape (1000000, 1000000)")
    assert lines[1].startswith("MemoryError the output of shape (1099511627776, 1099511627776)")
    assert lines[2] == "transform called 0"


def test_no_stray_names_in_the_package():
    assert "annotations" not in dir(pellorin)
    assert {"reproject", "pixel_quads", "resize", "rebin_axis"} <= set(dir(pellorin))


def test_docstring_examples_run():
    failures, tried = doctest.testmod(pellorin._reproject, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert tried > 0 and failures == 0


@pytest.mark.parametrize("transform", [
    affine(150.0, 20.0, 80.0, -15.0, 140.0, 90.0),
    affine(-90.0, 160.0, 300.0, 170.0, 60.0, -40.0),
])
def test_input_pixels_wider_than_the_padding(transform):
    # Each input pixel covers more than a hundred output pixels past the
    # edges of the output's tiles.
    data = RNG.uniform(1.0, 2.0, (2, 3))
    check(data, transform, (320, 300))
