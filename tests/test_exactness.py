"""pellorin.resize and pellorin.rebin_axis against exact references: edges,
overlaps and means in rational arithmetic from the double arguments as
given (exact_reference.py), on random small cases and on the cases that
edge rounding, slivers, NaN, tiny windows, long reductions and ties make
hard."""

import math
from fractions import Fraction

import numpy as np
import pytest

import pellorin
from exact_reference import (
    bin_edges,
    check_float,
    check_integer,
    exact_means,
    overlaps,
    round_half_even,
    window_edges,
)

# Accuracy promised per result type, relative to the largest |v| covered.
TOLERANCE = {np.dtype(np.float64): 1e-13, np.dtype(np.float32): 2.0**-22}


def reference(image3, shape, window):
    top, left, height, width = window
    rows = overlaps(window_edges(top, height, shape[0]), image3.shape[0])
    cols = overlaps(window_edges(left, width, shape[1]), image3.shape[1])
    return exact_means(image3, rows, cols)


def check(got, image3, shape, window):
    means, bounds = reference(image3, shape, window)
    got3 = got.reshape(means.shape)
    if got.dtype.kind == "f":
        check_float(got3, means, bounds, TOLERANCE[got.dtype])
    else:
        check_integer(got3, means, bounds, got.dtype)


def random_case(seed, dtype):
    rng = np.random.default_rng(seed)
    h, w, c = (int(v) for v in rng.integers(1, 8, 3))
    out = (int(rng.integers(1, 8)), int(rng.integers(1, 8)))
    if np.dtype(dtype).kind == "u":
        image = rng.integers(0, np.iinfo(dtype).max, (h, w, c), endpoint=True).astype(dtype)
    else:
        image = rng.normal(0.0, 1e3, (h, w, c)).astype(dtype)
    kind = seed % 4
    if kind == 0:   # the whole image
        window = (0.0, 0.0, float(h), float(w))
    elif kind == 1:  # reaching past the edges
        window = (float(rng.uniform(-4, h)), float(rng.uniform(-4, w)), float(rng.uniform(0.1, 2 * h + 4)),
                  float(rng.uniform(0.1, 2 * w + 4)))
    elif kind == 2:  # dyadic edges that land on pixel boundaries
        window = (float(rng.integers(-2, h)) / 2, float(rng.integers(-2, w)) / 4, float(rng.integers(1, 3 * h)) / 2,
                  float(rng.integers(1, 3 * w)) / 4)
    else:            # small windows inside
        window = (float(rng.uniform(0, h)), float(rng.uniform(0, w)), float(rng.uniform(1e-6, 0.5)),
                  float(rng.uniform(1e-6, 0.5)))
    return image, out, window


@pytest.mark.parametrize("seed", range(24))
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
@pytest.mark.parametrize("result", [None, np.uint8, np.int16, np.float64])
def test_random_windows_against_exact_means(seed, dtype, result):
    image, shape, window = random_case(seed, dtype)
    got = pellorin.resize(image, shape, window=window, dtype=result, threads=1 + seed % 3)
    check(got, image, shape, window)


# Windows whose rounded edges would put a sliver of overlap where the exact
# overlap is 0 or tiny: the image's rows are above, left of, below, right of
# or touching the window, or overlap it by one unit in the last place.
EDGE_CASES = [
    # image shape, out shape, window
    ((2, 9), (31, 5), (-2.0, -1.0, 2.0, 14.0)),
    ((2, 9), (7, 1), (-0.7, 0.0, 0.7, 9.0)),
    ((2, 9), (13, 1), (-1.3, 0.0, 1.3, 9.0)),
    ((2, 9), (1, 11), (0.0, -3.3, 2.0, 3.3)),
    ((2, 9), (9, 3), (2.0, 0.0, 0.9, 9.0)),
    ((2, 9), (3, 7), (0.0, 9.0, 2.0, 0.7)),
    ((2, 9), (5, 5), (-1.0, -1.0, math.nextafter(1.0, 2.0), math.nextafter(1.0, 2.0))),
    ((2, 9), (5, 5), (math.nextafter(2.0, 0.0), 0.0, 1.0, 9.0)),
    ((3, 3), (10, 10), (-0.1, -0.1, 3.2, 3.2)),
    ((4, 4), (3, 3), (1e16, 0.0, 4.0, 4.0)),
    ((4, 4), (3, 3), (-1e16, -1e16, 1e16 + 2.0, 1e16 + 2.0)),
]


@pytest.mark.parametrize("image_shape, shape, window", EDGE_CASES)
@pytest.mark.parametrize("dtype", [np.float64, np.uint8])
def test_edges_and_slivers(image_shape, shape, window, dtype):
    image = (np.arange(1, 1 + math.prod(image_shape)).reshape(image_shape) * 7 % 251).astype(dtype)
    got = pellorin.resize(image, shape, window=window)
    check(got, image.reshape(*image_shape, 1), shape, window)


@pytest.mark.parametrize("out_h", [1, 2, 3, 7, 30])
@pytest.mark.parametrize("k", [0.1, 0.3, 0.7, 1.1, 1.7, 2.9, 1e-7, 123.456])
def test_windows_wholly_outside_give_zero(out_h, k):
    image = np.arange(1.0, 19.0).reshape(2, 9)
    above = pellorin.resize(image, (out_h, 1), window=(-k, 0.0, k, 9.0))
    left = pellorin.resize(image, (1, out_h), window=(0.0, -k, 2.0, k))
    below = pellorin.resize(image, (out_h, 1), window=(2.0, 0.0, k, 9.0))
    assert not above.any() and not left.any() and not below.any()


def test_nan_reaches_only_the_pixels_overlapping_it():
    image = np.ones((1, 9))
    image[0, 1] = np.nan  # column [1, 2)
    got = pellorin.resize(image, (1, 35), window=(0.0, -3.0, 1.0, 7.0))
    edges = window_edges(-3.0, 7.0, 35)
    touched = [k for k in range(35) if edges[k + 1] > 1 and edges[k] < 2]
    assert np.flatnonzero(np.isnan(got[0])).tolist() == touched
    assert 19 not in touched  # [0.8, 1.0) only touches the NaN pixel


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_values_against_exact_overlaps(seed, bad):
    image, shape, window = random_case(seed, np.float64)
    rng = np.random.default_rng(seed + 1000)
    flat = image.reshape(-1)
    flat[rng.choice(flat.size, size=1 + flat.size // 6, replace=False)] = bad
    if seed % 2:  # both infinities
        flat[rng.integers(flat.size)] = -bad if not np.isnan(bad) else np.inf
    got = pellorin.resize(image, shape, window=window, dtype=np.float32 if seed % 3 == 0 else None)
    check(got, image, shape, window)


TINY = [
    # value row, window, out shape
    ((0.5, 0.5, 1e-300, 1e-300), (1, 1)),
    ((0.0, 0.0, 1e-320, 1e-320), (1, 1)),
    ((0.25, 0.75, 5e-324, 5e-324), (1, 1)),
    ((1.0 - 2.0**-53, 0.0, 2.0**-52, 1.0), (2, 1)),
    ((-1e-300, 0.0, 2e-300, 1.0), (2, 1)),
    ((0.0, 1.0 - 1e-17, 1.0, 1e-300), (1, 3)),
    ((0.3, math.nextafter(1.0, 0.0), 1e-310, 2.0**-52), (3, 2)),
]


@pytest.mark.parametrize("window, shape", TINY)
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.uint8])
def test_tiny_windows_give_the_values_they_cover(window, shape, dtype):
    image = np.array([[127.4, 3.0], [-9.5, 250.0]]).astype(dtype) if dtype != np.uint8 else \
        np.array([[127, 3], [9, 250]], dtype=np.uint8)
    got = pellorin.resize(image, shape, window=window)
    check(got, image.reshape(2, 2, 1), shape, window)
    assert np.all(np.isfinite(got))


@pytest.mark.parametrize("image, expected", [
    (np.full((1, 10**6), 1000, np.uint16), 1000.0),
    (np.full((1, 10**6), 0.1, np.float32), np.float32(0.1)),
    (np.full((1, 2**20), 255, np.uint8), 255.0),
    (np.full((1000, 1000), 1 / 3), 1 / 3),
    (np.full((3, 10**6), 1e300), 1e300),
])
@pytest.mark.parametrize("window_scale", [1.0, 0.7303])
def test_long_reductions_keep_constants_exactly(image, expected, window_scale):
    h, w = image.shape
    got = pellorin.resize(image, (1, 1), window=(0.0, 0.0, h * window_scale, w * window_scale))
    assert got[0, 0] == expected


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("n", [10**5, 10**6])
def test_long_reductions_of_random_values(dtype, n):
    # Multiples of 2^-10 below 2^13: exact in float32, with an exact integer
    # sum, so the exact mean is an integer ratio.
    k = np.random.default_rng(n).integers(-2**23, 2**23, n)
    image = (k / 1024.0).astype(dtype).reshape(1, n)
    got = pellorin.resize(image, (1, 1))[0, 0]
    exact = Fraction(int(k.sum()), 1024 * n)
    assert abs(Fraction(float(got)) - exact) <= Fraction(TOLERANCE[got.dtype]) * Fraction(2**13)


# Means at and near half-way points: exact ties round to even; values 1e-9
# or more (relative) away from a tie round to the nearer integer.
TIES = [
    # image row, window, out width, expected
    ([3, 4, 5, 6, 0, 1, 2, 1], None, 4, [4, 6, 0, 2]),           # whole factor 2: 3.5, 5.5, 0.5, 1.5
    ([2, 0, 0, 1, 0, 1, 3, 0, 4], (0.0, 0.5, 1.0, 8.0), 2, [0, 2]),  # halves at both ends: 2/4, 6/4
    ([1, 2, 2, 2, 4, 4, 8, 8, 9], None, 3, [2, 3, 8]),           # 5/3, 10/3, 25/3
]


@pytest.mark.parametrize("row, window, out_w, expected", TIES)
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
def test_integer_results_round_ties_to_even(row, window, out_w, expected, dtype):
    image = np.array([row], dtype=dtype)
    got = pellorin.resize(image, (1, out_w), window=window, dtype=np.uint8)
    assert got[0].tolist() == expected
    check(got, image.reshape(1, -1, 1), (1, out_w), window or (0.0, 0.0, 1.0, float(len(row))))


@pytest.mark.parametrize("offset, expected", [
    (0.0, 2), (1e-7, 3), (-1e-7, 2), (2e-8, 3), (-2e-8, 2),
])
@pytest.mark.parametrize("route", ["identity", "average", "partial"])
def test_integer_results_near_ties(offset, expected, route):
    m = 2.5 + offset
    if route == "identity":
        image, window, width = np.array([[m]]), None, 1
    elif route == "average":
        image, window, width = np.array([[2.0, 3.0 + 2 * offset]]), None, 1
    else:  # a quarter of 1.0, the whole m, a quarter of 4.0: (1.25 + m) / 1.5 = 2.5 + offset / 1.5
        image, window, width = np.array([[1.0, m, 4.0]]), (0.0, 0.75, 1.0, 1.5), 1
    got = pellorin.resize(image, (1, width), window=window, dtype=np.int32)
    means, bounds = reference(image.reshape(1, -1, 1), (1, width), window or (0.0, 0.0, 1.0, image.shape[1]))
    assert got[0, 0] == round_half_even(means[0, 0, 0]) or abs(means[0, 0, 0] - Fraction(5, 2)) <= Fraction(
        1e-9) * Fraction(bounds[0, 0, 0])
    if route != "partial":
        assert got[0, 0] == expected


@pytest.mark.parametrize("value", [0.1, 1 / 3, 255.0, -7.25, 1e300, 5e-324, 1e-310])
@pytest.mark.parametrize("window, shape", [
    ((0.0, 0.0, 97.0, 89.0), (13, 7)),
    ((0.3, 1.7, 50.1, 80.9), (29, 31)),
    ((-5.0, -5.0, 120.0, 120.0), (7, 11)),
    ((0.0, 0.0, 97.0, 89.0), (300, 200)),
])
def test_constants_stay_exactly_constant(value, window, shape):
    image = np.full((97, 89, 2), value)
    got = pellorin.resize(image, shape, window=window)
    top, left, height, width = window
    rows = [bool(r) for r in overlaps(window_edges(top, height, shape[0]), 97)]
    cols = [bool(c) for c in overlaps(window_edges(left, width, shape[1]), 89)]
    covered = np.outer(rows, cols)
    assert np.all(got[covered] == value) and np.all(got[~covered] == 0.0)


REBIN_CASES = [
    # in_n, in_origin, in_bw, out_origin, out_bw, out_n
    (7, 0.0, 1.0, 0.0, 2.0, 4),
    (9, 0.1, 0.3, -0.2, 0.7, 6),
    (6, 4000.0, 0.5, 3995.904, 2.048, 4),
    (5, 1.0, 1.0, 0.5, 0.05, 40),
    (8, -3.0, 1e-300, -3.0, 3e-300, 3),
    (4, 0.0, 1.0, 0.0, 1e300, 2),
    (4, 0.0, 1e-300, 1e-300, 1.0, 2),
    (4, 1.7e9, 1e-9, 1.7e9, 3e-9, 3),
    (6, 0.0, 5e-324, 0.0, 1.5e-323, 3),
    (3, 1e300, 1e299, 1e300 + 1e299, 2.5e299, 2),
]


@pytest.mark.parametrize("in_n, in_origin, in_bw, out_origin, out_bw, out_n", REBIN_CASES)
@pytest.mark.parametrize("mode", ["mean", "sum"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_rebin_axis_extreme_grids_against_exact_overlaps(in_n, in_origin, in_bw, out_origin, out_bw, out_n,
                                                         mode, dtype):
    values = np.random.default_rng(in_n).uniform(-10.0, 10.0, (2, in_n)).astype(dtype)
    got = pellorin.rebin_axis(values, in_origin=in_origin, in_bw=in_bw, out_origin=out_origin, out_bw=out_bw,
                              out_n=out_n, mode=mode)
    cols = overlaps(bin_edges(in_origin, in_bw, out_origin, out_bw, out_n), in_n)
    rows = [{0: Fraction(1)}, {1: Fraction(1)}]
    means, bounds = exact_means(values.reshape(2, in_n, 1), rows, cols, total=mode == "sum")
    check_float(got.reshape(2, out_n, 1), means, bounds, TOLERANCE[got.dtype])


@pytest.mark.parametrize("per_bin", [10**5, 10**6])
@pytest.mark.parametrize("mode", ["mean", "sum"])
def test_rebin_axis_float32_long_bins_keep_totals(per_bin, mode):
    k = np.random.default_rng(per_bin).integers(0, 2**14, 2 * per_bin)
    values = (k / 64.0).astype(np.float32)  # exact in float32, exact integer sums
    got = pellorin.rebin_axis(values, in_origin=0, in_bw=1, out_origin=0, out_bw=per_bin, out_n=2, mode=mode)
    for j in range(2):
        exact = Fraction(int(k[j * per_bin:(j + 1) * per_bin].sum()), 64)
        if mode == "mean":
            exact /= per_bin
        bound = Fraction(2.0**-22) * Fraction(2**8) * (per_bin if mode == "sum" else 1)
        assert abs(Fraction(float(got[j])) - exact) <= bound


def block_sums(image, kh, kw):
    h, w, c = image.shape
    blocks = image[: h // kh * kh, : w // kw * kw].astype(np.int64).reshape(h // kh, kh, w // kw, kw, c)
    return blocks.sum(axis=(1, 3))


@pytest.mark.parametrize("kh, kw", [(1, 2), (2, 2), (3, 3), (4, 4), (2, 3), (5, 4), (1, 1), (3, 2), (130, 2)])
@pytest.mark.parametrize("channels", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
def test_whole_factor_reductions_of_integer_images_round_exactly(kh, kw, channels, dtype):
    # Rows long enough for every vector step and its tail; sums in integers.
    rng = np.random.default_rng(kh * 100 + kw * 10 + channels)
    out_h, out_w = (2 if kh > 8 else 5), 61
    image = rng.integers(0, np.iinfo(dtype).max, (out_h * kh, out_w * kw, channels), endpoint=True).astype(dtype)
    image[0, :kw] = np.iinfo(dtype).max  # blocks at the top of the range
    sums = block_sums(image, kh, kw)
    d = kh * kw
    for target in (np.uint8, np.uint16, np.int16):
        got = pellorin.resize(image, (out_h, out_w), dtype=target).astype(np.int64)
        q, r = np.divmod(sums, d)
        rounded = q + ((2 * r > d) | ((2 * r == d) & (q % 2 == 1)))
        info = np.iinfo(target)
        assert np.array_equal(got, np.clip(rounded, info.min, info.max))
    for target in (np.float32, np.float64):
        got = pellorin.resize(image, (out_h, out_w), dtype=target)
        exact = np.array([Fraction(int(s), d) for s in sums.ravel()], dtype=object).reshape(sums.shape)
        error = np.vectorize(lambda g, m: abs(Fraction(float(g)) - m))(got, exact)
        assert np.all(error <= Fraction(TOLERANCE[np.dtype(target)]) * float(np.iinfo(dtype).max))
