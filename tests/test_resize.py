"""pellorin.resize: exact area means, bit identity with the direct call,
layouts, the rounding of `dtype`, and refusals."""

import doctest
import tracemalloc

import numpy as np
import pytest

import _pellorin
import pellorin
from pellorin import _resize


def area_mean(image, out_h, out_w, window):
    """Exact area means in float64 from brute-force pixel overlaps."""
    top, left, height, width = window

    def axis(n, origin, extent, out_n):
        lo = origin + extent / out_n * np.arange(out_n)[:, None]
        ov = np.clip(np.minimum(lo + extent / out_n, np.arange(1, n + 1)) - np.maximum(lo, np.arange(n)), 0, None)
        sums = ov.sum(axis=1, keepdims=True)
        return np.divide(ov, sums, out=np.zeros_like(ov), where=sums > 0)

    rows, cols = axis(image.shape[0], top, height, out_h), axis(image.shape[1], left, width, out_w)
    return np.einsum("ir,jx,rx...->ij...", rows, cols, image.astype(np.float64))


def direct(image, out_h, out_w, window):
    image3 = image.reshape(image.shape[0], image.shape[1], -1)
    return _pellorin.rebin_image_separable(image3, *image3.shape, out_h, out_w, *window)


IMAGE = np.random.default_rng(0).integers(0, 256, (23, 31, 3)).astype(np.uint8)


@pytest.mark.parametrize("shape, window", [
    ((7, 10), None),                                  # non-integer reduction
    ((46, 93), None),                                 # enlargement
    ((5, 5), (2.5, 3.25, 11.5, 17.0)),                # fractional crop
    ((6, 8), (-4.0, 20.0, 30.0, 15.5)),               # reaching past three edges
])
@pytest.mark.parametrize("dtype, tolerance", [(np.float64, 1e-12), (np.uint8, 2e-5), (np.uint16, 2e-5)])
def test_exact_area_means(shape, window, dtype, tolerance):
    image = IMAGE.astype(dtype) * (257 if dtype == np.uint16 else 1)
    got = pellorin.resize(image, shape, window=window)
    whole = window or (0.0, 0.0, 23.0, 31.0)
    expected = area_mean(image, *shape, whole)
    np.testing.assert_allclose(got, expected, rtol=tolerance, atol=tolerance * image.max())


def strided(a):
    return np.repeat(a, 2, axis=1)[:, ::2]


LAYOUTS = {
    "C": lambda a: a,
    "Fortran": np.asfortranarray,
    "strided": strided,
    "byte-swapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "list": lambda a: a.tolist(),
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
@pytest.mark.parametrize("channels", [None, 1, 3])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
def test_bit_identity_with_the_direct_call(layout, channels, dtype):
    image = IMAGE[:, :, :channels or 1].astype(dtype)
    if channels is None:
        image = image[:, :, 0]
    window = (1.5, 0.25, 20.0, 29.5)
    got = pellorin.resize(LAYOUTS[layout](image), (9, 12), window=window)
    expected = direct(np.ascontiguousarray(image), 9, 12, window)
    if layout == "list":  # lists read as int64 or float64: computed in float64
        expected = direct(np.ascontiguousarray(image, dtype=np.float64), 9, 12, window)
    assert got.shape == ((9, 12) if channels is None else (9, 12, channels))
    assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("dtype, work", [
    (np.bool_, np.float64), (np.int8, np.float64), (np.int32, np.float64),
    (np.uint64, np.float64), (np.float16, np.float32),
])
def test_converted_dtypes(dtype, work):
    image = (IMAGE % 2 == 1).astype(dtype)
    got = pellorin.resize(image, (5, 6))
    assert got.dtype == work
    assert got.tobytes() == direct(image.astype(work), 5, 6, (0.0, 0.0, 23.0, 31.0)).tobytes()


@pytest.mark.parametrize("prepare, copies", [(lambda a: a, False), (np.asfortranarray, True)])
def test_passed_arrays_are_read_in_place(prepare, copies):
    image = prepare(np.zeros((1000, 1000, 3), np.uint8))
    tracemalloc.start()
    pellorin.resize(image, (10, 10))
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert (peak >= image.nbytes) == copies


NAN, INF = float("nan"), float("inf")
ROUNDING = [
    # image dtype, values, target, expected
    (np.float64, [0.5, 1.5, 2.5, -0.5, 127.49999, 254.5, 255.5, 300.0, -3.0, NAN, INF, -INF],
     np.uint8, [0, 2, 2, 0, 127, 254, 255, 255, 0, 0, 255, 0]),
    (np.float64, [-0.5, -1.5, -2.5, 126.5, 127.5, -128.5, -129.0, NAN, INF, -INF],
     np.int8, [0, -2, -2, 126, 127, -128, -128, 0, 127, -128]),
    (np.float32, [65534.5, 65535.5, 70000.0, -1.0, NAN], np.uint16, [65534, 65535, 65535, 0, 0]),
    (np.float32, [3e9, -3e9, 2147483520.0, 0.5, NAN], np.int32,
     [2147483647, -2147483648, 2147483520, 0, 0]),
    (np.float64, [1e19, -1e19, 2.0**62 + 2**11, 1.5], np.int64,
     [2**63 - 1, -(2**63), 2**62 + 2**11, 2]),
    (np.float64, [1e20, -1.0, 2.5], np.uint64, [2**64 - 1, 0, 2]),
    (np.uint8, [0, 255, 17], np.int8, [0, 127, 17]),
    (np.uint16, [65535, 300, 0], np.uint8, [255, 255, 0]),
]


@pytest.mark.parametrize("image_dtype, values, target, expected", ROUNDING)
def test_integer_dtype_rounds_half_to_even_clips_and_zeroes_nan(image_dtype, values, target, expected):
    image = np.array(values, dtype=image_dtype).reshape(1, -1)
    got = pellorin.resize(image, image.shape, dtype=target)  # identity: the values themselves
    assert got.dtype == target
    assert got[0].tolist() == expected


def test_float_dtype_casts():
    image = IMAGE.astype(np.float64) * 300.0
    got = pellorin.resize(image, (5, 6), dtype=np.float16)
    assert got.dtype == np.float16
    assert got.tobytes() == pellorin.resize(image, (5, 6)).astype(np.float16).tobytes()


def test_uint8_result_is_the_rounded_float_result():
    got = pellorin.resize(IMAGE, (7, 9), dtype=np.uint8)
    assert np.array_equal(got, np.rint(pellorin.resize(IMAGE, (7, 9))).astype(np.uint8))


@pytest.mark.parametrize("image, kwargs, error, match", [
    (np.ones((4, 4), np.complex64), {}, TypeError, "image dtype"),
    (np.array([[object()]]), {}, TypeError, "image dtype"),
    (np.ones((4, 4), np.longdouble), {}, TypeError, "image dtype"),
    (np.ones((2, 2, 2, 2)), {}, ValueError, "image must be 2-D"),
    (np.ones(4), {}, ValueError, "image must be 2-D"),
    (np.ones((0, 4)), {}, ValueError, "image must not be empty"),
    ([[1, 2], [3]], {}, ValueError, "image: cannot be read as an array"),
    (np.ones((4, 4)), {"shape": (0, 2)}, ValueError, r"shape\[0\] must be >= 1"),
    (np.ones((4, 4)), {"shape": (2, 2.0)}, TypeError, r"shape\[1\] must be an integer"),
    (np.ones((4, 4)), {"shape": (2, 2, 1)}, TypeError, "shape must be a pair"),
    (np.ones((4, 4)), {"shape": 2}, TypeError, "shape must be a pair"),
    (np.ones((4, 4)), {"window": (0, 0, 4)}, TypeError, "window must be"),
    (np.ones((4, 4)), {"window": (NAN, 0, 4, 4)}, ValueError, "window top must be finite"),
    (np.ones((4, 4)), {"window": (0, 0, 0.0, 4)}, ValueError, "window height must be > 0"),
    (np.ones((4, 4)), {"window": (0, 0, 4, INF)}, ValueError, "window width must be finite"),
    (np.ones((4, 4)), {"dtype": np.complex128}, TypeError, "dtype must be an integer or floating"),
    (np.ones((4, 4)), {"dtype": bool}, TypeError, "dtype must be an integer or floating"),
    (np.ones((4, 4)), {"dtype": "no such type"}, TypeError, "dtype"),
])
def test_refusals_name_the_argument(image, kwargs, error, match):
    with pytest.raises(error, match=match):
        pellorin.resize(image, **dict({"shape": (2, 2)}, **kwargs))


def test_docstring_examples_run():
    result = doctest.testmod(_resize)
    assert result.attempted > 0 and result.failed == 0

