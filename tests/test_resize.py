"""pellorin.resize: exact area means, layouts, the rounding of `dtype`,
`out=`, masked arrays, and refusals."""

import doctest
import tracemalloc

import numpy as np
import pytest

import pellorin
from exact_reference import check_float, check_integer, exact_means, overlaps, window_edges
from pellorin import _resize


def reference(image, shape, window):
    image3 = image.reshape(image.shape[0], image.shape[1], -1)
    top, left, height, width = window
    rows = overlaps(window_edges(top, height, shape[0]), image3.shape[0])
    cols = overlaps(window_edges(left, width, shape[1]), image3.shape[1])
    means, bounds = exact_means(image3, rows, cols)
    return means.reshape(shape + image.shape[2:]), bounds.reshape(shape + image.shape[2:])


IMAGE = np.random.default_rng(0).integers(0, 256, (23, 31, 3)).astype(np.uint8)


@pytest.mark.parametrize("shape, window", [
    ((7, 10), None),                                  # non-integer reduction
    ((46, 93), None),                                 # enlargement
    ((5, 5), (2.5, 3.25, 11.5, 17.0)),                # fractional crop
    ((6, 8), (-4.0, 20.0, 30.0, 15.5)),               # reaching past three edges
])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.uint8, np.uint16])
def test_exact_area_means(shape, window, dtype):
    image = IMAGE.astype(dtype) * (257 if dtype == np.uint16 else 1)
    got = pellorin.resize(image, shape, window=window)
    whole = window or (0.0, 0.0, 23.0, 31.0)
    means, bounds = reference(image, shape, whole)
    check_float(got, means, bounds, 1e-13 if got.dtype == np.float64 else 2.0**-22)


def strided(a):
    return np.repeat(a, 2, axis=1)[:, ::2]


LAYOUTS = {
    "Fortran": np.asfortranarray,
    "strided": strided,
    "byte-swapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "list": lambda a: a.tolist(),
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
@pytest.mark.parametrize("channels", [None, 1, 3])
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
def test_layouts_give_the_bits_of_the_contiguous_array(layout, channels, dtype):
    image = IMAGE[:, :, :channels or 1].astype(dtype)
    if channels is None:
        image = image[:, :, 0]
    window = (1.5, 0.25, 20.0, 29.5)
    got = pellorin.resize(LAYOUTS[layout](image), (9, 12), window=window)
    # Lists are read as int64 or float64 (computed from float64).
    source = image.astype(np.float64) if layout == "list" else image
    expected = pellorin.resize(np.ascontiguousarray(source), (9, 12), window=window)
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
    assert got.tobytes() == pellorin.resize(image.astype(np.float64), (5, 6)).astype(work).tobytes()


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
    (np.ones((4, 4)), {"threads": 0}, ValueError, "threads must be between 1 and 4096"),
    (np.ones((4, 4)), {"threads": 2.0}, TypeError, "threads must be an integer"),
    (np.ones((4, 4)), {"out": [[0.0, 0.0], [0.0, 0.0]]}, TypeError, "out must be a NumPy array"),
    (np.ones((4, 4)), {"out": np.zeros((2, 2), np.float32)}, TypeError, "out must have the result's dtype float64"),
    (np.ones((4, 4), np.uint8), {"out": np.zeros((2, 2))}, TypeError, "out must have the result's dtype float32"),
    (np.ones((4, 4)), {"out": np.zeros((2, 2), np.uint8), "dtype": np.int8}, TypeError, "dtype int8"),
    (np.ones((4, 4)), {"out": np.zeros((2, 3))}, ValueError, r"out must have the result's shape \(2, 2\)"),
    (np.ones((4, 4, 1)), {"out": np.zeros((2, 2))}, ValueError, r"shape \(2, 2, 1\)"),
    (np.ones((4, 4)), {"out": np.zeros((2, 4))[:, ::2]}, ValueError, "out must be C-contiguous"),
    (np.ones((4, 4)), {"out": np.zeros((2, 2)).T.copy().T}, ValueError, "out must be C-contiguous"),
    (np.ones((4, 4)), {"out": np.zeros((2, 2), ">f8")}, TypeError, "dtype"),
])
def test_refusals_name_the_argument(image, kwargs, error, match):
    with pytest.raises(error, match=match):
        pellorin.resize(image, **dict({"shape": (2, 2)}, **kwargs))


def read_only(shape):
    a = np.zeros(shape)
    a.setflags(write=False)
    return a


def test_read_only_out_is_refused():
    with pytest.raises(ValueError, match="out must be writeable"):
        pellorin.resize(np.ones((4, 4)), (2, 2), out=read_only((2, 2)))


@pytest.mark.parametrize("dtype", [None, np.uint8, np.int64, np.float32, np.float16])
@pytest.mark.parametrize("channels", [None, 3])
def test_out_receives_and_is_the_result(dtype, channels):
    image = IMAGE[:, :, :channels or 1].astype(np.float64) * 1.7
    if channels is None:
        image = image[:, :, 0]
    expected = pellorin.resize(image, (7, 9), dtype=dtype)
    out = np.full(expected.shape, 99, dtype=expected.dtype)
    got = pellorin.resize(image, (7, 9), dtype=dtype, out=out)
    assert got is out
    assert got.tobytes() == expected.tobytes()


def test_out_sharing_memory_with_the_image_is_written_from_a_copy():
    image = np.arange(64.0).reshape(8, 8)
    expected = pellorin.resize(image, (8, 8), window=(1.0, 1.0, 7.0, 7.0))
    got = pellorin.resize(image, (8, 8), window=(1.0, 1.0, 7.0, 7.0), out=image)
    assert got is image and np.array_equal(image, expected)


MASKED_CASES = [
    # image shape, out shape, window
    ((6, 7, 2), (3, 4), None),
    ((6, 7, 2), (5, 3), (-1.5, 0.5, 8.0, 5.0)),
    ((5, 9, 1), (11, 13), (0.25, 0.25, 4.5, 8.0)),
]


@pytest.mark.parametrize("image_shape, shape, window", MASKED_CASES)
@pytest.mark.parametrize("dtype", [np.float64, np.uint8])
@pytest.mark.parametrize("result", [None, np.int16])
def test_masked_values_are_missing(image_shape, shape, window, dtype, result):
    rng = np.random.default_rng(len(image_shape) + shape[0])
    data = rng.uniform(0, 200, image_shape).astype(dtype)
    mask = rng.random(image_shape) < 0.4
    mask[:2, :2] = True  # a corner with nothing present
    got = pellorin.resize(np.ma.masked_array(data, mask=mask), shape, window=window, dtype=result)
    assert isinstance(got, np.ma.MaskedArray)
    whole = window or (0.0, 0.0) + image_shape[:2]
    top, left, height, width = whole
    rows = overlaps(window_edges(top, height, shape[0]), image_shape[0])
    cols = overlaps(window_edges(left, width, shape[1]), image_shape[1])
    means, bounds = exact_means(data, rows, cols, missing=mask)
    nothing = np.vectorize(lambda m: m is None)(means)
    assert np.array_equal(np.ma.getmaskarray(got), nothing)
    assert not got.data[nothing].any()
    if got.dtype.kind == "f":
        check_float(got.data, means, bounds, 1e-13 if got.dtype == np.float64 else 2.0**-22)
    else:
        check_integer(got.data, means, bounds, got.dtype)


def test_masked_array_without_masked_values_is_masked_only_where_uncovered():
    data = np.ma.masked_array(np.arange(12.0).reshape(3, 4))
    got = pellorin.resize(data, (2, 3), window=(-3.0, 0.0, 6.0, 6.0))
    assert np.array_equal(np.ma.getmaskarray(got), [[True] * 3, [False, False, True]])
    assert got.data.tobytes() == pellorin.resize(data.data, (2, 3), window=(-3.0, 0.0, 6.0, 6.0)).tobytes()


def test_masked_out_receives_data_and_mask():
    data = np.ma.masked_array([[1.0, 2.0, 3.0, 4.0]], mask=[[0, 0, 1, 1]])
    out = np.ma.masked_array(np.zeros((1, 2)))
    got = pellorin.resize(data, (1, 2), out=out)
    assert got is out and out.data.tolist() == [[1.5, 0.0]] and out.mask.tolist() == [[False, True]]


@pytest.mark.parametrize("image, shape, needed", [
    (np.ones((4, 4, 3)), (5, 10**10), 5 * 10**10 * 3 * 8),
    (np.ones((4, 4), np.uint8), (10**10, 10**10), 10**20 * 4),
    (np.ones((4, 4), np.uint8), (2**62, 2**62), 2**124 * 4),
])
def test_impossible_results_raise_memory_error_at_once(image, shape, needed):
    tracemalloc.start()
    with pytest.raises(MemoryError, match=rf"resize result of shape .* would need {needed} bytes"):
        pellorin.resize(image, shape)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 2**20


def test_docstring_examples_run():
    result = doctest.testmod(_resize)
    assert result.attempted > 0 and result.failed == 0

