"""pellorin.dask against the plain calls, on Dask's threaded scheduler and on a
dask.distributed cluster of two worker processes: lazy graphs, bit equality
for several shapes, dtypes, chunkings and axes, the chunks of the results,
and the errors raised where the graph is built."""

import math
import operator

import numpy as np
import pytest

import pellorin
from conftest import SANITIZED

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
import pellorin.dask  # noqa: E402

AxisError = getattr(np, "exceptions", np).AxisError


@pytest.fixture(scope="session")
def cluster_client():
    """Two single-threaded worker processes with a small memory limit each,
    started once for the session and closed after it."""
    if SANITIZED:
        pytest.skip("worker processes would not load the instrumented build")
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  memory_limit="384MiB", dashboard_address=":0") as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        yield client


@pytest.fixture(params=["threads", "cluster"])
def compute(request):
    """Computes a Dask array on the threaded scheduler or on the cluster."""
    if request.param == "threads":
        return lambda lazy: lazy.compute(scheduler="threads")
    client = request.getfixturevalue("cluster_client")
    return lambda lazy: client.compute(lazy).result()


def same_bits(got, expected):
    assert type(got) is type(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()
    if isinstance(expected, np.ma.MaskedArray):
        assert np.array_equal(np.ma.getmaskarray(got), np.ma.getmaskarray(expected))


def values_of(dtype, shape, seed=0):
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, shape).astype(bool)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        return rng.integers(max(info.min, -1000), min(info.max, 1000), shape, endpoint=True).astype(dtype)
    values = rng.normal(5.0, 10.0, shape).astype(dtype)
    values.reshape(-1)[::97] = np.nan
    return values


def per_frame(plain, stack, frame_ndim, **kwargs):
    """The plain call on every frame, stacked: the reference."""
    lead = stack.shape[:stack.ndim - frame_ndim]
    results = [plain(stack[i], **kwargs) for i in np.ndindex(lead)]
    stacker = np.ma.stack if isinstance(results[0], np.ma.MaskedArray) else np.stack
    return stacker(results).reshape(lead + results[0].shape)


# (stack shape, dtype, chunks, channels, resize keywords)
RESIZE_CASES = [
    ((7, 37, 53), np.uint8, (3, -1, -1), False, dict(shape=(11, 17))),
    ((2, 3, 37, 53, 3), np.float32, (1, 2, 20, 20, 2), True,
     dict(shape=(9, 14), window=(3.25, -2.5, 20.0, 41.5), dtype=np.uint8)),
    ((5, 40, 30), np.uint16, (2, 40, 30), False, dict(shape=(80, 45), window=(-3.0, 0.5, 44.0, 31.0))),
    ((40, 30), np.float64, (10, 10), False, dict(shape=(7, 9))),
    ((4, 33, 21, 4), np.int32, (3, 11, 21, 4), True, dict(shape=(5, 6), dtype=np.float32)),
    ((3, 2, 16, 16), np.float16, (2, 1, 16, 16), False, dict(shape=(3, 5))),
    ((6, 9, 8), bool, (4, 9, 8), False, dict(shape=(4, 4), dtype=np.uint16)),
    ((0, 12, 10), np.float32, (1, 12, 10), False, dict(shape=(3, 3))),
]


@pytest.mark.parametrize("shape, dtype, chunks, channels, kwargs", RESIZE_CASES)
def test_resize_is_the_plain_call_per_frame(compute, shape, dtype, chunks, channels, kwargs):
    stack = values_of(dtype, shape, seed=len(shape))
    lazy = pellorin.dask.resize(da.from_array(stack, chunks=chunks), channels=channels, **kwargs)
    frame_ndim = 3 if channels else 2
    if stack.size:
        expected = per_frame(pellorin.resize, stack, frame_ndim, **kwargs)
    else:
        one = pellorin.resize(np.zeros(shape[-frame_ndim:], dtype), **kwargs)
        expected = np.empty(shape[:-frame_ndim] + one.shape, one.dtype)
    assert (lazy.shape, lazy.dtype) == (expected.shape, expected.dtype)
    same_bits(compute(lazy), expected)


@pytest.mark.parametrize("chunks, fill", [((2, 5, 7), 1e30), ((3, 5, 7), 0.0)])
def test_resize_of_masked_frames_is_the_plain_call(compute, chunks, fill):
    stack = np.ma.masked_greater(values_of(np.float64, (5, 5, 7), seed=9), 12.0)
    stack.data[stack.mask] = fill
    lazy = pellorin.dask.resize(da.from_array(stack, chunks=chunks, asarray=False), (2, 3))
    expected = per_frame(pellorin.resize, stack, 2, shape=(2, 3))
    assert type(lazy._meta) is type(expected)
    same_bits(compute(lazy), expected)


# (values shape, dtype, chunks, layout, rebin_axis keywords)
REBIN_CASES = [
    ((6, 200), np.float64, (2, 50), "C", dict(in_origin=0, in_bw=1, out_origin=0.5, out_bw=3, out_n=66)),
    ((300, 8, 9), np.float32, (100, 3, 4), "C",
     dict(in_origin=4000.0, in_bw=2.5, out_origin=4010.0, out_bw=7.0, out_n=100, axis=0, mode="sum")),
    ((5, 120, 7), np.int16, (2, 40, 7), "C",
     dict(in_origin=-1.0, in_bw=0.5, out_origin=-5.0, out_bw=0.7, out_n=120, axis=1)),
    ((1000,), np.float64, (100,), "C", dict(in_origin=0, in_bw=1e-3, out_origin=0.1, out_bw=0.13, out_n=7)),
    ((64, 48), np.float64, (16, 16), "F", dict(in_origin=2, in_bw=1, out_origin=0, out_bw=1.75, out_n=30,
                                               axis=-2, mode="sum")),
    ((4, 3, 50, 2), np.uint8, (3, 2, 17, 1), "C", dict(in_origin=0, in_bw=1, out_origin=0, out_bw=0.4, out_n=130,
                                                       axis=2)),
    ((3, 0, 20), np.float32, (2, 1, 5), "C", dict(in_origin=0, in_bw=1, out_origin=0, out_bw=2, out_n=10)),
]


@pytest.mark.parametrize("shape, dtype, chunks, layout, kwargs", REBIN_CASES)
def test_rebin_axis_is_the_plain_call(compute, shape, dtype, chunks, layout, kwargs):
    values = np.asarray(values_of(dtype, shape, seed=len(shape)), order=layout)
    lazy = pellorin.dask.rebin_axis(da.from_array(values, chunks=chunks), **kwargs)
    expected = pellorin.rebin_axis(values, **kwargs)
    assert (lazy.shape, lazy.dtype) == (expected.shape, expected.dtype)
    got = compute(lazy)
    same_bits(np.ascontiguousarray(got), np.ascontiguousarray(expected))
    # The other axes keep their chunks; the rebinned one is whole.
    ax = operator.index(kwargs.get("axis", -1)) % len(shape)
    for d, (before, after) in enumerate(zip(da.from_array(values, chunks=chunks).chunks, lazy.chunks)):
        assert after == ((kwargs["out_n"],) if d == ax else before)


FRAMES_READ = 6  # frames of (12, 12, 3), read by three tasks of two frames


@pytest.mark.parametrize("make, plain_calls", [
    # Without channels=True the frames are the (12, 3) planes of the last two axes.
    (lambda frames: pellorin.dask.resize(frames, (5, 6)), lambda lazy: FRAMES_READ * 12),
    (lambda frames: pellorin.dask.resize(frames, (5, 6), channels=True, window=(1, 1, 9, 9), dtype=np.uint8),
     lambda lazy: FRAMES_READ),
    (lambda frames: pellorin.dask.rebin_axis(frames, in_origin=0, in_bw=1, out_origin=0, out_bw=3, out_n=4,
                                             axis=1),
     lambda lazy: math.prod(lazy.numblocks)),
], ids=["frames", "frames with channels", "rebin_axis"])
def test_graph_builds_without_computing(monkeypatch, make, plain_calls):
    made, shapes = [], []
    source = np.arange(FRAMES_READ * 12 * 12 * 3, dtype=np.float32).reshape(FRAMES_READ, 12, 12, 3)

    def read(i):
        made.append(i)
        return source[2 * i:2 * i + 2]

    parts = [da.from_delayed(dask.delayed(read)(i), (2, 12, 12, 3), np.float32) for i in range(3)]
    frames = da.concatenate(parts).rechunk((2, 6, 12, 3))  # frame rows split on purpose
    for name in ("resize", "rebin_axis"):
        plain = getattr(pellorin, name)

        def counted(array, *args, _plain=plain, **kwargs):
            shapes.append(np.shape(array))
            return _plain(array, *args, **kwargs)

        monkeypatch.setattr(pellorin, name, counted)
    lazy = make(frames)
    # Only the argument check ran, on a small sample; no input was read.
    assert made == [] and 1 <= len(shapes) <= 2 and all(math.prod(s) <= 12 for s in shapes)
    # One task per output block in the call's own layer.
    assert len(lazy.dask.layers[lazy.name]) == math.prod(lazy.numblocks)
    shapes.clear()
    result = lazy.compute(scheduler="threads")
    assert sorted(made) == [0, 1, 2]
    assert len(shapes) == plain_calls(lazy)
    assert result.shape == lazy.shape


@pytest.mark.parametrize("shape, chunks, channels, expect_lead", [
    ((10, 6, 5), (3, 6, 5), False, ((3, 3, 3, 1),)),  # frames whole: the leading chunks stay
    ((2, 5, 6, 5), (1, 2, 6, 5), False, ((1, 1), (2, 2, 1))),
    ((4, 6, 5, 3), (1, 6, 5, 3), True, ((1, 1, 1, 1),)),
])
def test_resize_keeps_leading_chunks_of_whole_frames(shape, chunks, channels, expect_lead):
    lazy = pellorin.dask.resize(da.zeros(shape, chunks=chunks), (2, 2), channels=channels)
    lead = len(expect_lead)
    assert lazy.chunks[:lead] == expect_lead
    assert all(len(c) == 1 for c in lazy.chunks[lead:])


def test_resize_rechunks_split_frames_to_whole_ones():
    with dask.config.set({"array.chunk-size": "1MiB"}):
        stack = da.zeros((64, 256, 256), dtype=np.float32, chunks=(64, 64, 64))  # 256 KiB a frame
        lazy = pellorin.dask.resize(stack, (10, 10))
    assert lazy.chunks[1:] == ((10,), (10,))
    assert sum(lazy.chunks[0]) == 64 and 1 <= max(lazy.chunks[0]) <= 4


def test_numpy_input_is_read_in_place_in_whole_frames(monkeypatch):
    stack = values_of(np.uint8, (3, 40, 50, 3))
    values = values_of(np.float64, (30, 40))
    axis_kwargs = dict(in_origin=0, in_bw=1, out_origin=0, out_bw=4, out_n=10, axis=0)
    expected = (per_frame(pellorin.resize, stack, 3, shape=(4, 5)), pellorin.rebin_axis(values, **axis_kwargs))
    read = []
    for name, source in (("resize", stack), ("rebin_axis", values)):
        plain = getattr(pellorin, name)

        def counted(array, *args, _plain=plain, _source=source, **kwargs):
            read.append(np.shares_memory(array, _source))
            return _plain(array, *args, **kwargs)

        monkeypatch.setattr(pellorin, name, counted)
    with dask.config.set({"array.chunk-size": "8KiB"}):  # several blocks of frames, of lines
        lazy = pellorin.dask.resize(stack, (4, 5), channels=True)
        lazy_axis = pellorin.dask.rebin_axis(values, **axis_kwargs)
    assert lazy.numblocks == (3, 1, 1, 1) and lazy_axis.numblocks[0] == 1 < lazy_axis.numblocks[1]
    read.clear()  # the argument checks read samples, not the arrays
    same_bits(lazy.compute(scheduler="threads"), expected[0])
    same_bits(lazy_axis.compute(scheduler="threads"), expected[1])
    # Every block was a view of the caller's array, never a copy of it.
    assert read == [True] * (3 + lazy_axis.numblocks[1])


@pytest.mark.parametrize("limit, refused", [(2_000_000, False), (1_999_999, True), (None, False)])
def test_single_frame_limit(limit, refused):
    # One uint8 frame of 10^6 bytes and its float32 result of 500 x 500 x 4 bytes.
    stack = da.zeros((3, 1000, 1000), dtype=np.uint8, chunks=(1, 1000, 1000))
    if refused:
        with pytest.raises(ValueError, match=r"one frame \(1000, 1000\) of uint8 and its result need 2000000 bytes"
                                             r".*above max_frame_bytes=1999999.*never split"):
            pellorin.dask.resize(stack, (500, 500), max_frame_bytes=limit)
    else:
        assert pellorin.dask.resize(stack, (500, 500), max_frame_bytes=limit).shape == (3, 500, 500)


@pytest.mark.parametrize("limit, refused", [(4 * 20 * 8 + 4 * 5 * 8, False), (4 * 20 * 8 + 4 * 5 * 8 - 1, True)])
def test_block_limit_of_rebin_axis(limit, refused):
    values = da.zeros((8, 20), chunks=(4, 7))  # blocks of 4 x 20 float64 once the axis is whole
    kwargs = dict(in_origin=0, in_bw=1, out_origin=0, out_bw=4, out_n=5, max_block_bytes=limit)
    if refused:
        with pytest.raises(ValueError, match=r"largest block \(4, 20\).*above max_block_bytes=.*rechunk the axes "
                                             r"other than axis 1 smaller"):
            pellorin.dask.rebin_axis(values, **kwargs)
    else:
        assert pellorin.dask.rebin_axis(values, **kwargs).chunks == ((4, 4), (5,))


FRAMES = np.zeros((2, 8, 8))
AXIS = dict(in_origin=0, in_bw=1, out_origin=0, out_bw=1, out_n=2)

# Arguments that the plain call refuses: refused where the graph is built,
# with the plain call's own error and message (on one frame for resize).
PLAIN_REFUSALS = [
    ("resize", FRAMES, dict(shape=(0, 3))),
    ("resize", FRAMES, dict(shape=(2,))),
    ("resize", FRAMES, dict(shape=(2, 2.0))),
    ("resize", FRAMES, dict(shape=(2, 2), window=(0, 0, -1, 2))),
    ("resize", FRAMES, dict(shape=(2, 2), window=(0, np.nan, 1, 2))),
    ("resize", FRAMES, dict(shape=(2, 2), dtype=np.complex64)),
    ("resize", FRAMES.astype(np.complex128), dict(shape=(2, 2))),
    ("rebin_axis", FRAMES, dict(AXIS, axis=3)),
    ("rebin_axis", FRAMES, dict(AXIS, axis=1.0)),
    ("rebin_axis", FRAMES, dict(AXIS, in_bw=-1)),
    ("rebin_axis", FRAMES, dict(AXIS, out_n=0)),
    ("rebin_axis", FRAMES, dict(AXIS, mode="max")),
    ("rebin_axis", FRAMES, dict(AXIS, in_origin="0")),
    ("rebin_axis", np.zeros(()), AXIS),
    ("rebin_axis", FRAMES[:, :, :0], AXIS),
    ("rebin_axis", FRAMES.astype(np.complex128), AXIS),
]


@pytest.mark.parametrize("name, values, kwargs", PLAIN_REFUSALS)
def test_plain_refusals_are_raised_where_the_graph_is_built(name, values, kwargs):
    with pytest.raises(Exception) as plain:
        getattr(pellorin, name)(values[0] if name == "resize" else values, **kwargs)
    lazy_values = da.from_array(values, chunks=1 if values.ndim else ())
    with pytest.raises(type(plain.value)) as ours:
        getattr(pellorin.dask, name)(lazy_values, **kwargs)
    assert str(ours.value) == str(plain.value)


STACK = da.zeros((2, 8, 8), chunks=(1, 8, 8))

# What only the chunked calls refuse.
CHUNKED_REFUSALS = [
    (lambda: pellorin.dask.resize(STACK[0], (2, 2), channels=True), ValueError,
     r"shape \(\.\.\., H, W, C\) with channels=True; got shape \(8, 8\)"),
    (lambda: pellorin.dask.resize(STACK[0, 0], (2, 2)), ValueError, r"\(\.\.\., H, W\); got shape \(8,\)"),
    (lambda: pellorin.dask.resize(STACK, (2, 2), channels=1), TypeError, "channels must be a bool"),
    (lambda: pellorin.dask.resize(STACK[:, :0], (2, 2)), ValueError, "frames must not be empty"),
    (lambda: pellorin.dask.resize(STACK, (2, 2), max_frame_bytes=0), ValueError, "max_frame_bytes must be >= 1"),
    (lambda: pellorin.dask.resize(STACK, (2, 2), max_frame_bytes=1.5), TypeError, "max_frame_bytes must be an"),
    (lambda: pellorin.dask.resize(STACK[:, :, STACK[0, 0] >= 0], (2, 2)), ValueError,
     "axes of unknown size .* call compute_chunk_sizes"),
    (lambda: pellorin.dask.rebin_axis(STACK, max_block_bytes=-5, **AXIS), ValueError,
     "max_block_bytes must be >= 1"),
    (lambda: pellorin.dask.resize(object(), (2, 2)), ValueError, r"stack must have the shape \(\.\.\., H, W\)"),
]


@pytest.mark.parametrize("call, error, message", CHUNKED_REFUSALS)
def test_chunked_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_unknown_number_of_frames_is_fine():
    stack = da.from_array(values_of(np.float64, (5, 6, 8)), chunks=(2, 6, 8))
    kept = stack[da.arange(5, chunks=2) >= 0]
    lazy = pellorin.dask.resize(kept, (3, 4))
    assert math.isnan(lazy.shape[0])
    same_bits(lazy.compute(scheduler="threads"), per_frame(pellorin.resize, stack.compute(), 2, shape=(3, 4)))


def test_rebin_axis_of_unknown_length_is_refused():
    values = da.zeros((3, 8))
    ragged = values[:, values[0] >= 0]
    with pytest.raises(ValueError, match="unknown size"):
        pellorin.dask.rebin_axis(ragged, in_origin=0, in_bw=1, out_origin=0, out_bw=1, out_n=2)
    # Unknown sizes along the other axes are fine: those chunks stay as they are.
    lazy = pellorin.dask.rebin_axis(values[values[:, 0] >= 0], in_origin=0, in_bw=1, out_origin=0, out_bw=2,
                                    out_n=4)
    assert np.array_equal(lazy.compute(scheduler="threads"), np.zeros((3, 4)))


@pytest.mark.parametrize("threads", [1, 2, None])
def test_threads_per_task(threads):
    stack = values_of(np.float32, (3, 30, 40))
    takes = {name: "threads" in pellorin.dask._blocks.keywords_of(getattr(pellorin, name))
             for name in ("resize", "rebin_axis")}
    axis_kwargs = dict(in_origin=0, in_bw=1, out_origin=0, out_bw=3, out_n=13)
    if threads != 1 and not takes["resize"]:
        with pytest.raises(TypeError, match="computes on the calling thread only"):
            pellorin.dask.resize(stack, (7, 9), threads=threads)
    else:
        lazy = pellorin.dask.resize(stack, (7, 9), threads=threads)
        same_bits(lazy.compute(scheduler="threads"), per_frame(pellorin.resize, stack, 2, shape=(7, 9)))
    if threads != 1 and not takes["rebin_axis"]:
        with pytest.raises(TypeError, match="computes on the calling thread only"):
            pellorin.dask.rebin_axis(stack, threads=threads, **axis_kwargs)
    else:
        lazy = pellorin.dask.rebin_axis(stack, threads=threads, **axis_kwargs)
        same_bits(lazy.compute(scheduler="threads"), pellorin.rebin_axis(stack, **axis_kwargs))


def test_docstring_examples():
    import doctest

    from pellorin.dask import _rebin_axis, _resize

    for module in (_resize, _rebin_axis):
        failures, tried = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
        assert tried > 5 and failures == 0, module.__name__
