"""rebin_image_separable: checks in order, the numeric facts of the separable
passes, and properties against references computed differently."""

import gc
import math
import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import _pellorin
from conftest import overcommit_always, rss_kib

rebin = _pellorin.rebin_image_separable

DIMS_MSG = "h, w, c, out_h, out_w must all be > 0"
EXTENT_MSG = "extent_h and extent_w must be > 0"
DTYPE_MSG = "image dtype must be uint8, uint16, float32, or float64"
LAYOUT_MSG = "image must be C-contiguous"

WORK_DTYPE = {np.uint8: np.float32, np.uint16: np.float32, np.float32: np.float32, np.float64: np.float64}


def call(image, h, w, c, out_h, out_w, origin_h=0.0, origin_w=0.0, extent_h=None, extent_w=None):
    """Whole-image window unless a window is given."""
    return rebin(image, h, w, c, out_h, out_w, origin_h, origin_w,
                 float(h) if extent_h is None else extent_h,
                 float(w) if extent_w is None else extent_w)


def misaligned_float32(shape):
    n = int(np.prod(shape))
    raw = bytearray(4 * n + 1)
    a = np.frombuffer(raw, dtype=np.float32, offset=1, count=n).reshape(shape)
    assert not a.flags.aligned
    return a


def panic_name(exc):
    return type(exc).__name__


# --- checks, in order ------------------------------------------------------

U8 = np.zeros((2, 2, 3), np.uint8)


@pytest.mark.parametrize("args, message", [
    # check 1: one message whichever count is 0, before the image is looked at
    ((None, 0, 1, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DIMS_MSG),
    ((U8, 2, 0, 3, 1, 1, 0.0, 0.0, 1.0, 1.0), DIMS_MSG),
    ((U8, 2, 2, 0, 1, 1, 0.0, 0.0, 1.0, 1.0), DIMS_MSG),
    (([1, 2], 2, 2, 3, 0, 1, 0.0, 0.0, 1.0, 1.0), DIMS_MSG),
    ((U8, 2, 2, 3, 1, 0, 0.0, 0.0, 1.0, 1.0), DIMS_MSG),
    ((None, 0, 1, 1, 1, 1, 0.0, 0.0, 0.0, 0.0), DIMS_MSG),
    # check 2: ordered comparison with zero
    ((None, 1, 1, 1, 1, 1, 0.0, 0.0, math.nan, 1.0), EXTENT_MSG),
    ((None, 1, 1, 1, 1, 1, 0.0, 0.0, 0.0, 1.0), EXTENT_MSG),
    ((None, 1, 1, 1, 1, 1, 0.0, 0.0, -0.0, 1.0), EXTENT_MSG),
    ((None, 1, 1, 1, 1, 1, 0.0, 0.0, -1.0, 1.0), EXTENT_MSG),
    ((None, 1, 1, 1, 1, 1, 0.0, 0.0, 1.0, math.nan), EXTENT_MSG),
    ((None, 1, 1, 1, 1, 1, 0.0, 0.0, 1.0, -math.inf), EXTENT_MSG),
    ((U8, 2, 2, 3, 1, 1, 0.0, 0.0, 1.0, 0.0), EXTENT_MSG),
    # check 3: one message for every non-matching object
    ((None, 1, 1, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    (([[[1]]], 1, 1, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    ((np.zeros((2, 2), np.uint8), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    ((np.zeros((1, 2, 2, 1), np.uint8), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    ((np.zeros((2, 2, 1), np.int32), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    ((np.zeros((2, 2, 1), np.int8), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    ((np.zeros((2, 2, 1), np.float16), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    ((np.zeros((2, 2, 1), np.dtype(np.float32).newbyteorder(">")), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    ((np.zeros((2, 3, 4), np.int32, order="F"), 2, 3, 4, 1, 1, 0.0, 0.0, 1.0, 1.0), DTYPE_MSG),
    # check 4: skipped for empty arrays, before the length check
    ((np.zeros((2, 3, 4), np.float32, order="F"), 2, 3, 4, 1, 1, 0.0, 0.0, 1.0, 1.0), LAYOUT_MSG),
    ((np.zeros((2, 3, 4), np.float32, order="F"), 9, 9, 9, 1, 1, 0.0, 0.0, 1.0, 1.0), LAYOUT_MSG),
    ((np.zeros((2, 6, 4), np.float32)[:, ::2, :], 2, 3, 4, 1, 1, 0.0, 0.0, 1.0, 1.0), LAYOUT_MSG),
    ((np.zeros((3, 2, 1), np.uint8)[::-1], 3, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), LAYOUT_MSG),
    ((misaligned_float32((2, 3, 4)), 2, 3, 4, 1, 1, 0.0, 0.0, 1.0, 1.0), LAYOUT_MSG),
    # check 5
    ((np.zeros((2, 2, 3), np.uint8), 2, 2, 2, 1, 1, 0.0, 0.0, 1.0, 1.0), "image length 12 does not match h*w*c = 8"),
    ((np.zeros((0, 2, 2), np.uint8), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), "image length 0 does not match h*w*c = 4"),
    ((np.zeros((0, 2, 2), np.float64, order="F"), 2, 2, 1, 1, 1, 0.0, 0.0, 1.0, 1.0),
     "image length 0 does not match h*w*c = 4"),
    ((np.zeros((4, 0, 2), np.uint16)[::2], 1, 1, 1, 1, 1, 0.0, 0.0, 1.0, 1.0), "image length 0 does not match h*w*c = 1"),
    ((np.zeros((1, 1, 1), np.float64), 3, 5, 7, 1, 1, 0.0, 0.0, 1.0, 1.0), "image length 1 does not match h*w*c = 105"),
])
def test_checks_in_order(args, message):
    with pytest.raises(ValueError) as ei:
        rebin(*args)
    assert str(ei.value) == message


@pytest.mark.parametrize("h, w, c, length", [
    (2**32, 2**32, 1, 1),          # wraps to 0
    (2**32, 2**32, 2**32, 1),
    (2**63, 2, 1, 0),              # wraps to 0: an empty image must not match
    (2**62 + 3, 4, 1, 12),         # wraps to exactly 12 = the image length
    (3, 2**62 + 3, 4, 36),         # 3 * (2**62 + 3) * 4 wraps to 36
    (2**64 - 1, 2**64 - 1, 2**64 - 1, 1),
])
def test_length_product_overflow_is_refused(h, w, c, length):
    image = np.zeros((1, 1, length), np.uint8)
    with pytest.raises(ValueError) as ei:
        rebin(image, h, w, c, 1, 1, 0.0, 0.0, 1.0, 1.0)
    text = str(ei.value)
    assert text.startswith(f"image length {length} does not match h*w*c")
    assert "overflows 64 bits" in text
    assert f"{h}*{w}*{c}" in text


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(h=1.5), TypeError, "argument 'h': "),
    (dict(h=-1), OverflowError, None),
    (dict(out_w=2**64), OverflowError, None),
    (dict(h=-1, w=1.5), OverflowError, None),        # conversions in parameter order
    (dict(w=1.5, h=-1), OverflowError, None),
    (dict(h=0, extent_h="x"), TypeError, "argument 'extent_h': "),  # conversions before checks
    (dict(origin_w=None), TypeError, "argument 'origin_w': "),
    (dict(c=np.float64(2.0)), TypeError, "argument 'c': "),
])
def test_conversion_errors(kwargs, exc, message):
    args = dict(image=np.zeros((1, 1, 1), np.uint8), h=1, w=1, c=1, out_h=1, out_w=1,
                origin_h=0.0, origin_w=0.0, extent_h=1.0, extent_w=1.0)
    args.update(kwargs)
    with pytest.raises(exc) as ei:
        rebin(**args)
    assert type(ei.value) is exc
    if message is not None:
        assert str(ei.value).startswith(message)


def test_binding_messages():
    with pytest.raises(TypeError) as ei:
        rebin(np.zeros((1, 1, 1), np.uint8), 1, 1, 1, 1, 1, 0.0, 0.0, 1.0)
    assert str(ei.value) == "rebin_image_separable() missing 1 required positional argument: 'extent_w'"
    with pytest.raises(TypeError) as ei:
        rebin(np.zeros((1, 1, 1), np.uint8), 1, 1, 1, 1, 1, 0.0, 0.0, 1.0, 1.0, 1.0)
    assert str(ei.value) == "rebin_image_separable() takes 10 positional arguments but 11 were given"
    with pytest.raises(TypeError) as ei:
        rebin(np.zeros((1, 1, 1), np.uint8), 1, 1, 1, 1, 1, 0.0, 0.0, 1.0, 1.0, image=None)
    assert str(ei.value) == "rebin_image_separable() got multiple values for argument 'image'"


def test_integer_like_and_float_like_arguments_are_converted():
    image = np.arange(6, dtype=np.float64).reshape(2, 3, 1)
    expected = call(image, 2, 3, 1, 1, 1)
    got = rebin(image, np.uint8(2), True + 2, np.int64(1), True, 1, 0, np.float32(0.0), 2, np.int16(3))
    assert got.tolist() == expected.tolist() == [[[2.5]]]


def test_all_arguments_by_keyword():
    image = np.array([0, 255, 255, 255], np.uint8).reshape(2, 2, 1)
    got = rebin(extent_w=2.0, extent_h=2.0, origin_w=0.0, origin_h=0.0, out_w=1, out_h=1,
                c=1, w=2, h=2, image=image)
    assert got.tolist() == [[[191.25]]]


def test_shape_is_not_compared_only_the_length():
    # (2, 2, 3) read as a 3 x 2 x 2 image; (1, 1, 12) read as 2 x 2 x 3.
    data = np.arange(12, dtype=np.uint8)
    r = call(data.reshape(2, 2, 3), 3, 2, 2, 3, 2)
    assert r.shape == (3, 2, 2)
    assert np.array_equal(r, data.reshape(3, 2, 2).astype(np.float32))
    r = call(data.reshape(1, 1, 12), 2, 2, 3, 2, 2)
    assert np.array_equal(r, data.reshape(2, 2, 3).astype(np.float32))


# --- numeric facts ---------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
@pytest.mark.parametrize("pixels, shape, window, expected", [
    # 2 x 2 reduced to one pixel: H gives [127.5, 255], W gives 191.25
    ([0, 255, 255, 255], (2, 2, 1), (1, 1, 0.0, 0.0, 2.0, 2.0), [[[191.25]]]),
    ([10, 20, 30, 40], (4, 1, 1), (2, 1, 0.0, 0.0, 4.0, 1.0), [[[15.0]], [[35.0]]]),
    # a window reaching past the image averages the covered part only
    ([10, 30], (2, 1, 1), (1, 1, -1.0, 0.0, 2.0, 1.0), [[[10.0]]]),
    ([10, 30], (2, 1, 1), (1, 1, 1.0, 0.0, 2.0, 1.0), [[[30.0]]]),
    ([10, 30], (1, 2, 1), (1, 1, 0.0, 1.5, 1.0, 2.0), [[[30.0]]]),
    # wholly outside, on either axis, or only touching the image edge
    ([10, 30], (2, 1, 1), (1, 1, 5.0, 0.0, 1.0, 1.0), [[[0.0]]]),
    ([10, 30], (2, 1, 1), (1, 1, -1.0, 0.0, 1.0, 1.0), [[[0.0]]]),
    ([10, 30], (2, 1, 1), (1, 1, 2.0, 0.0, 1.0, 1.0), [[[0.0]]]),
    ([10, 30], (2, 1, 1), (1, 1, 0.0, -3.0, 2.0, 2.0), [[[0.0]]]),
    # up-sampling replicates
    ([7], (1, 1, 1), (3, 1, 0.0, 0.0, 1.0, 1.0), [[[7.0]], [[7.0]], [[7.0]]]),
    ([7], (1, 1, 1), (2, 3, 0.0, 0.0, 1.0, 1.0), [[[7.0]] * 3] * 2),
    ([200, 100], (1, 2, 1), (1, 4, 0.0, 0.0, 1.0, 2.0), [[[200.0], [200.0], [100.0], [100.0]]]),
    # three channels are kept apart
    ([1, 2, 3, 5, 6, 7], (1, 2, 3), (1, 1, 0.0, 0.0, 1.0, 2.0), [[[3.0, 4.0, 5.0]]]),
    # rows 1 and 2 in full, then half of column 0 and half of column 1
    ([0, 4, 8, 12, 16, 20], (3, 2, 1), (1, 1, 1.0, 0.5, 2.0, 1.0), [[[14.0]]]),
])
def test_worked_examples(dtype, pixels, shape, window, expected):
    image = np.array(pixels, dtype=dtype).reshape(shape)
    out_h, out_w, origin_h, origin_w, extent_h, extent_w = window
    r = rebin(image, *shape, out_h, out_w, origin_h, origin_w, extent_h, extent_w)
    assert r.dtype == WORK_DTYPE[dtype]
    assert r.shape == (out_h, out_w, shape[2])
    assert r.tolist() == expected
    assert not np.signbit(r).any()  # empty rows are +0.0


@pytest.mark.parametrize("dtype, third", [
    (np.uint8, 0.3333333432674408),
    (np.uint16, 0.3333333432674408),
    (np.float32, 0.3333333432674408),
    (np.float64, 0.3333333333333333),
])
def test_thirds_in_the_work_dtype(dtype, third):
    image = np.array([0, 1, 0], dtype=dtype).reshape(3, 1, 1)
    r = rebin(image, 3, 1, 1, 2, 1, 0.0, 0.0, 3.0, 1.0)
    assert r.dtype == WORK_DTYPE[dtype]
    assert r.ravel().tolist() == [third, third]


@pytest.mark.parametrize("dtype, row2", [
    # the rows of the H axis are [1.0], [1.0], [0.5000000000000001,
    # 0.4999999999999998], [1.0]; renormalised by a true division by their
    # sum in the work dtype (a reciprocal would give 0.4999999999999999)
    (np.float64, [0.5000000000000002, 0.49999999999999983]),
    (np.float32, [0.5, 0.5]),
    (np.uint8, [0.5, 0.5]),
])
def test_weights_are_renormalised_in_the_work_dtype(dtype, row2):
    # One-hot columns with an identity W axis read the H weights back.
    image = np.eye(10, dtype=dtype)[:, :, None]
    r = rebin(image, 10, 10, 1, 4, 10, 0.25, 0.0, 1.2, 10.0)[:, :, 0]
    expected = np.zeros((4, 10))
    expected[0, 0] = expected[1, 0] = expected[3, 1] = 1.0
    expected[2, :2] = row2
    assert r.tolist() == expected.tolist()


@pytest.mark.parametrize("dtype, top", [(np.uint8, 255), (np.uint16, 65535)])
@pytest.mark.parametrize("shape", [(1, 1, 1), (5, 7, 3), (17, 33, 1), (9, 4, 4)])
def test_identity_is_exact_for_integers(dtype, top, shape):
    rng = np.random.default_rng(sum(shape))
    image = rng.integers(0, top + 1, size=shape, dtype=dtype)
    image.flat[0] = top
    r = call(image, *shape, shape[0], shape[1])
    assert r.dtype == np.float32
    assert np.array_equal(r, image.astype(np.float32))
    assert r.flat[0] == float(top)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_identity_keeps_floats(dtype):
    rng = np.random.default_rng(5)
    image = rng.standard_normal((6, 5, 2)).astype(dtype)
    r = call(image, 6, 5, 2, 6, 5)
    assert r.dtype == dtype
    assert np.array_equal(r, image)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_nan_pattern(dtype):
    image = np.array([np.nan, 1.0, 2.0, 3.0], dtype=dtype).reshape(2, 2, 1)
    r = rebin(image, 2, 2, 1, 2, 1, 0.0, 0.0, 2.0, 2.0)
    assert np.isnan(r[0, 0, 0])
    assert r[1, 0, 0] == 2.5


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_nan_reaches_every_output_that_covers_it(dtype):
    # A NaN at (2, 3) of channel 1; output rows/columns that include row 2 /
    # column 3 (entries of weight > 0 here) are NaN in channel 1, nothing else.
    image = np.ones((6, 8, 2), dtype=dtype)
    image[2, 3, 1] = np.nan
    r = rebin(image, 6, 8, 2, 4, 5, 0.5, -0.5, 5.0, 8.0)
    wh = _pellorin.rebin_axis_weights(6, 1.0, 0.0, 4, 5.0 / 4, 0.5)
    ww = _pellorin.rebin_axis_weights(8, 1.0, 0.0, 5, 8.0 / 5, -0.5)
    expected = np.outer(wh[:, 2] > 0, ww[:, 3] > 0)
    assert np.array_equal(np.isnan(r[:, :, 1]), expected)
    assert expected.any()
    assert not np.isnan(r[:, :, 0]).any()


@pytest.mark.parametrize("dtype", [np.uint8, np.float64])
def test_infinite_extent(dtype):
    # extent_h = inf: output row 0 is input row 0 alone, later rows are 0.
    image = np.arange(1, 13, dtype=dtype).reshape(3, 2, 2)
    r = rebin(image, 3, 2, 2, 3, 2, 0.0, 0.0, math.inf, 2.0)
    assert np.array_equal(r[0], image[0].astype(r.dtype))
    assert not r[1:].any()
    # Output bin 0 then starts at origin + inf * 0 = NaN: it takes input bin 0
    # with weight 1, whatever the origin.
    r = rebin(image, 3, 2, 2, 1, 1, 1.0, 1.0, math.inf, math.inf)
    assert r.tolist() == [[[1.0, 2.0]]]


def test_nan_origin_reads_the_first_pixel():
    image = np.arange(1, 7, dtype=np.float64).reshape(2, 3, 1)
    r = rebin(image, 2, 3, 1, 2, 2, math.nan, math.nan, 2.0, 3.0)
    assert r.ravel().tolist() == [1.0, 1.0, 1.0, 1.0]


def test_masked_array_and_subclasses_are_read_as_data():
    data = np.arange(24, dtype=np.float32).reshape(4, 3, 2)
    masked = np.ma.array(data, mask=data > 10)
    expected = call(data, 4, 3, 2, 2, 3)
    assert np.array_equal(call(masked, 4, 3, 2, 2, 3), expected)

    class Sub(np.ndarray):
        pass

    assert np.array_equal(call(data.view(Sub), 4, 3, 2, 2, 3), expected)


def test_uint16_extremes():
    image = np.array([65535, 65535, 0, 65535], np.uint16).reshape(1, 4, 1)
    r = rebin(image, 1, 4, 1, 1, 2, 0.0, 0.0, 1.0, 4.0)
    assert r.tolist() == [[[65535.0], [32767.5]]]


# --- the result array and resources ----------------------------------------

@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
def test_result_array(dtype):
    image = np.arange(30, dtype=dtype).reshape(5, 3, 2)
    before = image.copy()
    refs = sys.getrefcount(image)
    r = call(image, 5, 3, 2, 4, 2)
    assert sys.getrefcount(image) == refs
    assert np.array_equal(image, before)
    assert type(r) is np.ndarray
    assert r.dtype == WORK_DTYPE[dtype] and r.shape == (4, 2, 2)
    assert r.flags.writeable and r.flags.c_contiguous and r.flags.aligned
    assert not r.flags.owndata
    assert type(r.base).__name__ == "PySliceContainer"
    r[...] = 1.0  # writeable buffer of its own
    assert np.array_equal(image, before)


def test_failed_calls_leave_the_input_alone():
    image = np.zeros((2, 2, 3), np.uint8)
    refs = sys.getrefcount(image)
    for _ in range(100):
        with pytest.raises(ValueError):
            rebin(image, 2, 2, 2, 1, 1, 0.0, 0.0, 1.0, 1.0)
    assert sys.getrefcount(image) == refs




@pytest.mark.skipif(os.environ.get("PELLORIN_EXPECT_SANITIZED") == "1",
                    reason="the address sanitizer's quarantine holds freed memory")
def test_memory_stays_flat_over_many_calls():
    image = np.random.default_rng(0).integers(0, 255, size=(64, 48, 3), dtype=np.uint8)

    def once():
        call(image, 64, 48, 3, 23, 17, extent_h=60.0)
        with pytest.raises(ValueError):
            rebin(image, 64, 48, 2, 23, 17, 0.0, 0.0, 1.0, 1.0)

    for _ in range(50):
        once()
    gc.collect()
    before = rss_kib()
    for _ in range(2000):
        once()
    gc.collect()
    assert rss_kib() - before < 4096




def _allocator_aborts():
    # AddressSanitizer ends the process on an oversized allocation unless told
    # to return null instead.
    return (os.environ.get("PELLORIN_EXPECT_SANITIZED") == "1"
            and "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""))


@pytest.mark.skipif(overcommit_always(), reason="the kernel grants any allocation (overcommit_memory = 1)")
@pytest.mark.skipif(_allocator_aborts(), reason="the sanitizer's allocator aborts instead of failing")
def test_memory_exhaustion_is_memory_error():
    # The result needs 2**40 float32 values (4 TiB): within the size limit,
    # so the allocation itself fails, without the lock, and surfaces as
    # MemoryError once the lock is back.
    image = np.zeros((1, 1, 1), np.uint8)
    with pytest.raises(MemoryError):
        rebin(image, 1, 1, 1, 2**20, 2**20, 0.0, 0.0, 1.0, 1.0)
    # The interpreter and the module go on working.
    assert call(np.full((2, 2, 1), 4, np.uint8), 2, 2, 1, 1, 1).tolist() == [[[4.0]]]


@pytest.mark.parametrize("dtype, c, out", [
    # out_h * out_w * c * 4 bytes = 2**64: beyond the size limit of a buffer
    (np.uint8, 2**24, 2**19),
    # out_h * out_w * c * 8 bytes = 2**63: just beyond the float64 limit
    (np.float64, 2**22, 2**19),
])
def test_oversized_result_is_a_memory_error(dtype, c, out):
    image = np.zeros((1, 1, c), dtype)
    with pytest.raises(MemoryError) as ei:
        rebin(image, 1, 1, c, out, out, 0.0, 0.0, 1.0, 1.0)
    assert str(ei.value).startswith("rebin_image_separable result: cannot allocate")
    assert call(np.ones((1, 1, 1), dtype), 1, 1, 1, 1, 1).tolist() == [[[1.0]]]


@pytest.mark.parametrize("out_h, out_w, text", [
    (2**61, 1, "rebin_image_separable result: cannot allocate 2305843009213693952 elements of 4 bytes"),
    (2**60, 1, "rebin_image_separable H rows: cannot allocate 1152921504606846976 elements of 8 bytes"),
    (1, 2**60, "rebin_image_separable W rows: cannot allocate 1152921504606846976 elements of 8 bytes"),
    (2**32, 2**32, "rebin_image_separable result: cannot allocate 4294967296 x 4294967296 x 1 elements"),
])
def test_output_counts_past_every_limit_are_memory_errors(out_h, out_w, text):
    with pytest.raises(MemoryError) as ei:
        rebin(np.zeros((1, 1, 1), np.uint8), 1, 1, 1, out_h, out_w, 0.0, 0.0, 1.0, 1.0)
    assert str(ei.value).startswith(text)
    assert call(np.ones((1, 1, 1), np.uint8), 1, 1, 1, 1, 1).tolist() == [[[1.0]]]


# --- properties --------------------------------------------------------------

def dense(n, out_n, origin, extent):
    """Weights of one axis as rebin_axis_weights computes them."""
    return _pellorin.rebin_axis_weights(n, 1.0, 0.0, out_n, extent / out_n, origin)


def stated_order_reference(image, h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w):
    """The separable passes in the stated order, written with NumPy
    element-wise arithmetic in the work dtype (each product and each sum
    correctly rounded on its own). Rows are taken from the dense weight
    matrices; for finite pixels the entries of weight 0 that these leave out
    add nothing, since accumulators never hold -0.0."""
    work = WORK_DTYPE[image.dtype.type]
    img = image.reshape(h, w, c).astype(work)

    def rows(matrix):
        out = []
        for row in matrix:
            nz = np.flatnonzero(row)
            if nz.size == 0:
                out.append(([], []))
                continue
            idx = list(range(nz[0], nz[-1] + 1))
            vals = [work(row[k]) for k in idx]
            s = work(0)
            for v in vals:
                s = work(s + v)
            if s > 0:
                vals = [work(v / s) for v in vals]
            out.append((idx, vals))
        return out

    with np.errstate(all="ignore"):
        inter = np.zeros((out_h, w, c), work)
        for i, (idx, vals) in enumerate(rows(dense(h, out_h, origin_h, extent_h))):
            for r, wt in zip(idx, vals):
                inter[i] = inter[i] + wt * img[r]
        result = np.zeros((out_h, out_w, c), work)
        for j, (idx, vals) in enumerate(rows(dense(w, out_w, origin_w, extent_w))):
            for x, wt in zip(idx, vals):
                result[:, j, :] = result[:, j, :] + wt * inter[:, x, :]
    return result


@st.composite
def windows(draw, max_side=24, max_c=4):
    h = draw(st.integers(1, max_side))
    w = draw(st.integers(1, max_side))
    c = draw(st.integers(1, max_c))
    out_h = draw(st.integers(1, max_side + 4))
    out_w = draw(st.integers(1, max_side + 4))
    origin_h = draw(st.floats(-h, 2.0 * h, allow_nan=False))
    origin_w = draw(st.floats(-w, 2.0 * w, allow_nan=False))
    extent_h = draw(st.floats(0.25, 3.0 * h, allow_nan=False))
    extent_w = draw(st.floats(0.25, 3.0 * w, allow_nan=False))
    return h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w


PROPERTY_SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def random_image(seed, shape, dtype):
    rng = np.random.default_rng(seed)
    if dtype == np.uint8:
        return rng.integers(0, 256, size=shape, dtype=np.uint8)
    if dtype == np.uint16:
        return rng.integers(0, 65536, size=shape, dtype=np.uint16)
    return (rng.standard_normal(shape) * 100).astype(dtype)


@PROPERTY_SETTINGS
@given(win=windows(), seed=st.integers(0, 2**32 - 1))
@example(win=(2, 2, 1, 1, 1, 0.0, 0.0, 2.0, 2.0), seed=0)
@example(win=(23, 19, 3, 9, 7, -2.5, 1.25, 21.0, 30.0), seed=1)
def test_float64_equals_dense_matrix_product(win, seed):
    h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w = win
    image = random_image(seed, (h, w, c), np.float64)
    got = rebin(image, *win)
    wh = dense(h, out_h, origin_h, extent_h)
    ww = dense(w, out_w, origin_w, extent_w)
    expected = np.stack([wh @ image[:, :, ch] @ ww.T for ch in range(c)], axis=-1)
    scale = np.abs(image).max()
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12 * scale)


@PROPERTY_SETTINGS
@given(win=windows(), seed=st.integers(0, 2**32 - 1),
       dtype=st.sampled_from([np.uint8, np.uint16, np.float32, np.float64]))
def test_bits_follow_the_stated_order(win, seed, dtype):
    h, w, c = win[:3]
    image = random_image(seed, (h, w, c), dtype)
    got = rebin(image, *win)
    expected = stated_order_reference(image, *win)
    assert got.dtype == expected.dtype
    assert np.array_equal(got.view(np.uint8), expected.view(np.uint8))


@settings(max_examples=15, deadline=None)
@given(out_h=st.integers(1, 40), out_w=st.integers(1, 40), seed=st.integers(0, 2**32 - 1),
       c=st.sampled_from([1, 3, 4]), dtype=st.sampled_from([np.uint8, np.float32, np.float64]))
def test_bits_follow_the_stated_order_on_wider_images(out_h, out_w, seed, c, dtype):
    # Wide enough for the column chunks of the W pass and the row blocks.
    h, w = 37, 701
    image = random_image(seed, (h, w, c), dtype)
    win = (h, w, c, out_h, out_w, -0.75, 3.5, h + 0.5, w - 7.25)
    got = rebin(image, *win)
    assert np.array_equal(got.view(np.uint8), stated_order_reference(image, *win).view(np.uint8))


@PROPERTY_SETTINGS
@given(win=windows(), value=st.sampled_from([0.0, 1.0, 7.0, 255.0, 0.1, -3.5, 1e6]),
       dtype=st.sampled_from([np.uint8, np.float32, np.float64]))
def test_constant_image_stays_constant_where_the_window_overlaps(win, value, dtype):
    h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w = win
    if dtype == np.uint8:
        value = float(int(abs(value)) % 256)
    image = np.full((h, w, c), value, dtype=dtype)
    got = rebin(image, *win)
    covered = np.outer(dense(h, out_h, origin_h, extent_h).sum(axis=1) > 0,
                       dense(w, out_w, origin_w, extent_w).sum(axis=1) > 0)
    v = float(dtype(value))
    # Up to about 75 entries per axis, each rounding once or twice.
    rtol = 3e-5 if got.dtype == np.float32 else 1e-13
    for ch in range(c):
        np.testing.assert_allclose(got[:, :, ch][covered], v, rtol=rtol, atol=0)
        assert not got[:, :, ch][~covered].any()


@PROPERTY_SETTINGS
@given(win=windows(), seed=st.integers(0, 2**32 - 1))
def test_float32_agrees_with_float64(win, seed):
    h, w, c = win[:3]
    image = random_image(seed, (h, w, c), np.uint8)
    r8 = rebin(image, *win)
    r32 = rebin(image.astype(np.float32), *win)
    r64 = rebin(image.astype(np.float64), *win)
    assert r8.dtype == r32.dtype == np.float32 and r64.dtype == np.float64
    # The conversion of uint8 to float32 is exact: the same bits.
    assert np.array_equal(r8, r32)
    np.testing.assert_allclose(r32, r64, rtol=3e-5, atol=3e-5 * 255)


@PROPERTY_SETTINGS
@given(win=windows(max_side=12), seed=st.integers(0, 2**32 - 1))
def test_uint16_matches_float32_of_the_same_values(win, seed):
    h, w, c = win[:3]
    image = random_image(seed, (h, w, c), np.uint16)
    assert np.array_equal(rebin(image, *win), rebin(image.astype(np.float32), *win))
