"""Pixels that one straight-edged quad does not represent (across a seam,
off the sky, at a point with many images, onto a collapsing line), through
callable transforms whose exact images are known: references from shapely
areas of the exact pieces."""

import numpy as np
import pytest

import pellorin

shapely = pytest.importorskip("shapely")
from shapely import affinity  # noqa: E402

RNG = np.random.default_rng(11)


def sums_from_pieces(pieces, shape_out):
    """(mean, flux, cover) over the output grid from exact pieces:
    (polygon in output coordinates, value, mapped area of its whole pixel)."""
    ny, nx = shape_out
    num = np.zeros(shape_out)
    flux = np.zeros(shape_out)
    cover = np.zeros(shape_out)
    for poly, value, whole_area in pieces:
        if poly.is_empty:
            continue
        x0, y0, x1, y1 = poly.bounds
        for r in range(max(int(np.floor(y0 + 0.5)), 0), min(int(np.floor(y1 + 0.5)) + 1, ny)):
            for c in range(max(int(np.floor(x0 + 0.5)), 0), min(int(np.floor(x1 + 0.5)) + 1, nx)):
                a = poly.intersection(shapely.box(c - 0.5, r - 0.5, c + 0.5, r + 0.5)).area
                num[r, c] += a * value
                cover[r, c] += a
                flux[r, c] += value * a / whole_area
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(cover > 0, num / cover, np.nan)
    return mean, flux, cover


def ours(data, transform, shape_out):
    mean, cover = pellorin.reproject(data, transform, shape_out, return_footprint=True)
    flux = pellorin.reproject(data, transform, shape_out, mode="sum")
    return mean, flux, cover


def affine_matrix(a, b, c, d, e, f):
    return [a, b, d, e, c, f]  # shapely's [a, b, d, e, xoff, yoff]


# (name, affine coefficients (a, b, c, d, e, f) of the unwrapped map, input
# shape, output shape): the output is one period of x_out, so pixels whose
# image crosses x_out = nx_out - 0.5 wrap to the left edge.
WRAP_CASES = [
    ("oblique seam", (0.9 * np.cos(0.35), -0.9 * np.sin(0.35), 6.2, 0.9 * np.sin(0.35),
                      0.9 * np.cos(0.35), 1.3), (8, 10), (12, 11)),
    ("seam along lattice points", (1.0, 0.0, 5.0, 0.0, 1.0, 0.0), (6, 9), (6, 10)),
    ("seam near pixel corners", (1.1, 0.02, 5.9, -0.03, 0.9, 0.4), (7, 9), (8, 10)),
]


@pytest.mark.parametrize("name, coef, shape, shape_out", WRAP_CASES, ids=[c[0] for c in WRAP_CASES])
def test_pixels_across_a_seam_are_split_along_it(name, coef, shape, shape_out):
    a, b, c, d, e, f = coef
    width = shape_out[1]

    def wrapped(x, y):
        u = a * x + b * y + c
        return np.mod(u + 0.5, width) - 0.5, d * x + e * y + f

    data = RNG.uniform(1.0, 2.0, shape)
    data[1, 2] = np.nan
    det = abs(a * e - b * d)
    pieces = []
    for j in range(shape[0]):
        for i in range(shape[1]):
            if np.isnan(data[j, i]):
                continue
            image = affinity.affine_transform(shapely.box(i - 0.5, j - 0.5, i + 0.5, j + 0.5),
                                              affine_matrix(a, b, c, d, e, f))
            for k in range(-1, 3):
                part = image.intersection(shapely.box(k * width - 0.5, -1e3, (k + 1) * width - 0.5, 1e3))
                pieces.append((affinity.translate(part, -k * width), data[j, i], det))
    mean_ref, flux_ref, cover_ref = sums_from_pieces(pieces, shape_out)
    mean, flux, cover = ours(data, wrapped, shape_out)
    np.testing.assert_allclose(cover, cover_ref, rtol=0, atol=1e-11)
    np.testing.assert_allclose(flux, flux_ref, rtol=0, atol=1e-11)
    sure = cover_ref > 1e-9
    np.testing.assert_allclose(mean[sure], mean_ref[sure], rtol=1e-10)
    assert cover.max() <= 1 + 1e-12
    # Pixels on both sides of the seam exist in every case.
    assert (cover[:, 0] > 0).any() and (cover[:, -1] > 0).any()


def test_pixels_across_a_curved_edge_of_the_sky():
    # Input points outside a circle are off the sky: pixels across it keep
    # their part inside, found by cuts through three points of the circle.
    centre, radius = np.array([6.3, 5.1]), 4.7
    coef = (0.8, 0.3, 1.2, -0.25, 0.85, 2.1)
    a, b, c, d, e, f = coef

    def transform(x, y):
        inside = (x - centre[0]) ** 2 + (y - centre[1]) ** 2 <= radius ** 2
        return np.where(inside, a * x + b * y + c, np.nan), d * x + e * y + f

    shape, shape_out = (11, 13), (14, 15)
    data = RNG.uniform(1.0, 2.0, shape)
    t = np.linspace(0, 2 * np.pi, 40001)[:-1]
    disc = shapely.Polygon(np.c_[centre[0] + radius * np.cos(t), centre[1] + radius * np.sin(t)])
    det = abs(a * e - b * d)
    pieces = []
    on_sky = 0.0
    for j in range(shape[0]):
        for i in range(shape[1]):
            part = shapely.box(i - 0.5, j - 0.5, i + 0.5, j + 0.5).intersection(disc)
            on_sky += data[j, i] * part.area
            pieces.append((affinity.affine_transform(part, affine_matrix(*coef)), data[j, i], det))
    mean_ref, flux_ref, cover_ref = sums_from_pieces(pieces, shape_out)
    mean, flux, cover = ours(data, transform, shape_out)
    # The circle is drawn through straight cuts: each cut's middle lies
    # within 3e-4 of its side from the chord, so the area it misses is a
    # few 1e-7 of a pixel per cut.
    assert flux.sum() == pytest.approx(on_sky, rel=1e-6)
    np.testing.assert_allclose(cover, cover_ref, rtol=0, atol=2e-6)
    np.testing.assert_allclose(flux, flux_ref, rtol=0, atol=4e-6)
    sure = cover_ref > 1e-3
    np.testing.assert_allclose(mean[sure], mean_ref[sure], rtol=1e-5)
    assert cover.max() <= 1 + 1e-12


def test_a_line_collapsing_to_a_point():
    # (x, y) -> ((x - 4) (y + 0.5), y): the input's lower edge collapses to
    # one point, and the pixels along it map to triangles. The map is
    # bilinear, so every pixel's image is exactly the quad of its corners.
    def transform(x, y):
        return (x - 4.0) * (y + 0.5) * 0.3 + 8.0, 1.5 * y + 0.75

    data = RNG.uniform(1.0, 2.0, (6, 9))
    quads = pellorin.pixel_quads(transform, data.shape)
    polys = shapely.polygons(quads)
    pieces = [(p, v, p.area) for p, v in zip(polys, data.ravel())]
    mean_ref, flux_ref, cover_ref = sums_from_pieces(pieces, (11, 17))
    mean, flux, cover = ours(data, transform, (11, 17))
    np.testing.assert_allclose(cover, cover_ref, rtol=0, atol=1e-11)
    np.testing.assert_allclose(flux, flux_ref, rtol=0, atol=1e-11)
    sure = cover_ref > 1e-9
    np.testing.assert_allclose(mean[sure], mean_ref[sure], rtol=1e-10)
    assert flux.sum() == pytest.approx(data.sum(), rel=1e-12)


def polar(centre, width, scale):
    """(x, y) -> (angle around `centre` over one period of `width` output
    pixels, distance times `scale`): the centre has every output point of
    the row y_out = 0 as its image, and the angle wraps at +-pi."""
    def transform(x, y):
        dx, dy = x - centre[0], y - centre[1]
        angle = np.arctan2(dy, dx)
        return (angle + np.pi) * (width / (2 * np.pi)) - 0.5, np.hypot(dx, dy) * scale - 0.5
    return transform


@pytest.mark.parametrize("centre", [(3.3, 2.8), (3.0, 3.0), (3.5, 2.5)],
                         ids=["inside a pixel", "at a pixel's centre", "at a lattice point"])
def test_a_point_with_many_images(centre):
    # Around the centre, pixels are cut (at the angle's seam) and quartered
    # until straight; what stays unresolved at the last depth (a few
    # 1e-7 of a pixel's area) is dropped.
    width, scale = 24, 2.0
    transform = polar(centre, width, scale)
    shape, shape_out = (7, 7), (16, width)
    constant = np.full(shape, 3.25)
    mean, cover = pellorin.reproject(constant, transform, shape_out, return_footprint=True)
    covered = cover > 0
    np.testing.assert_allclose(mean[covered], 3.25, rtol=1e-13)
    assert np.isnan(mean[~covered]).all()
    assert cover.max() <= 1 + 1e-9
    # Rows inside the largest circle around the centre that the image holds
    # are covered: the row at the centre up to the small disc left out.
    inner = int(np.floor(min(centre[0] + 0.5, 6.5 - centre[0], centre[1] + 0.5, 6.5 - centre[1])
                         * scale - 0.5))
    assert (cover[1:inner] > 1 - 1e-9).all()
    assert (cover[0] > 0.99).all()
    data = RNG.uniform(1.0, 2.0, shape)
    flux = pellorin.reproject(data, transform, shape_out, mode="sum")
    assert flux.sum() == pytest.approx(data.sum(), rel=1e-6)
