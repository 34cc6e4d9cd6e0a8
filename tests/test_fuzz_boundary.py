"""Random argument kinds at the Python boundary: only the documented exceptions
come out, never a crash, a SystemError or an internal error for small sizes."""
import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _pellorin

DTYPES = ["u1", "i1", "u2", "i2", "i4", "u4", "i8", "f2", "f4", "f8", "c8", "c16", "?", "O", "U3"]
DOCUMENTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError)


@st.composite
def arrays(draw):
    """Arrays of every dtype, byte order, dimensionality, stride and alignment."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    if dtype.kind in "uifc" and dtype.itemsize > 1 and draw(st.booleans()):
        dtype = dtype.newbyteorder()
    ndim = draw(st.integers(0, 4))
    shape = tuple(draw(st.lists(st.integers(0, 5), min_size=ndim, max_size=ndim)))
    size = int(np.prod(shape)) if shape else 1
    layout = draw(st.sampled_from(["c", "f", "strided", "reversed", "misaligned", "broadcast"]))
    base = np.arange(size * 2 + 1).astype(dtype) if dtype.kind != "U" else np.full(size * 2 + 1, "ab")
    if layout == "misaligned" and dtype.kind not in "OU":
        raw = np.zeros(size * dtype.itemsize + 1, dtype=np.uint8)
        a = raw[1:].view(dtype).reshape(shape)
        a[...] = base[:size].reshape(shape)
    elif layout == "strided":
        a = base[: size * 2 : 2].reshape(shape) if size else base[:0].reshape(shape)
        if ndim >= 1 and shape[-1] > 1:
            a = np.lib.stride_tricks.as_strided(base, shape=shape,
                                                strides=tuple(2 * s for s in base[:size].reshape(shape).strides))
    elif layout == "reversed" and ndim >= 1:
        a = base[:size].reshape(shape)[::-1]
    elif layout == "f":
        a = np.asfortranarray(base[:size].reshape(shape))
    elif layout == "broadcast" and ndim >= 1:
        a = np.broadcast_to(base[:1].reshape((1,) * ndim), shape)
    else:
        a = base[:size].reshape(shape)
    if dtype.kind == "f" and size and draw(st.booleans()):
        a = np.array(a)
        a.flat[0] = np.nan
    return a


scalars = st.one_of(
    st.integers(-3, 9), st.sampled_from([2**64, -(2**70), 10**30]),
    st.floats(allow_nan=True, allow_infinity=True), st.booleans(), st.none(), st.text(max_size=3),
    st.sampled_from([np.int64(3), np.uint8(2), np.float32(1.5), np.bool_(True), np.float64(np.nan),
                     b"sum", 1j, [1, 2], (), object()]),
)
anything = st.one_of(scalars, arrays(), st.sampled_from(["sum", "mean", "\udcff"]))


# NumPy 1.x warns when an np.bool_ is read as an integer, as a count is.
NUMPY_BOOL_AS_INDEX = "In future, it will be an error for 'np.bool_' scalars to be interpreted as an index"


def call(fn, args, kwargs):
    """Only documented exceptions come out; the one deprecation that may come
    out is NumPy's for an np.bool_ read as a count, and only if one was passed."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            fn(*args, **kwargs)
        except DOCUMENTED:
            pass
    passed_numpy_bool = any(type(a) is np.bool_ for a in (*args, *kwargs.values()))
    for w in caught:
        if issubclass(w.category, DeprecationWarning):
            assert passed_numpy_bool and NUMPY_BOOL_AS_INDEX in str(w.message), w


KEYWORDS = st.dictionaries(
    st.sampled_from(["quads", "values", "output_x", "output_y", "mode", "skip_partial", "in_n",
                     "out_bw", "image", "h", "extent_w", "bogus"]),
    anything, max_size=3)


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(args=st.lists(anything, max_size=4), kwargs=KEYWORDS)
def test_rebin_quads_random_arguments(args, kwargs):
    call(_pellorin.rebin_quads, args, kwargs)


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(q=arrays(), v=arrays(), x=arrays(), y=arrays(),
       mode=st.one_of(st.sampled_from(["sum", "mean"]), scalars), skip=st.one_of(st.booleans(), scalars))
def test_rebin_quads_random_arrays(q, v, x, y, mode, skip):
    call(_pellorin.rebin_quads, (q, v), dict(output_x=x, output_y=y, mode=mode, skip_partial=skip))


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(args=st.lists(scalars, min_size=0, max_size=7), kwargs=KEYWORDS)
def test_rebin_axis_weights_random_arguments(args, kwargs):
    call(_pellorin.rebin_axis_weights, args, kwargs)


small = st.one_of(st.integers(0, 6), scalars)


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(image=anything, sizes=st.lists(small, min_size=5, max_size=5),
       window=st.lists(scalars, min_size=4, max_size=4))
def test_rebin_image_separable_random_arguments(image, sizes, window):
    # Large counts are confined to the values that cannot allocate much.
    sizes = [s if not (isinstance(s, int) and 64 < s < 2**64) else 3 for s in sizes]
    call(_pellorin.rebin_image_separable, (image, *sizes, *window), {})


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(image=arrays(), h=st.integers(1, 6), w=st.integers(1, 6), c=st.integers(1, 4),
       oh=st.integers(1, 6), ow=st.integers(1, 6),
       window=st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=4, max_size=4))
def test_rebin_image_separable_random_images(image, h, w, c, oh, ow, window):
    call(_pellorin.rebin_image_separable, (image, h, w, c, oh, ow, *window), {})
