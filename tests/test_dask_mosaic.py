"""pellorin.dask.mosaic against one pellorin.Mosaic adding the same items in
order: within the rounding bound that Mosaic states, the same bits on the
threaded scheduler and on a cluster (the grouping is fixed by the call),
frames given as NumPy arrays, Dask arrays, dask.delayed objects and chunks
of quads; the graph is built without adding anything."""

import numpy as np
import pytest

import pellorin
from test_dask import cluster_client, compute  # noqa: F401  (fixtures)

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
import pellorin.dask  # noqa: E402

U = 2.0**-53
SHAPE = (40, 56)


def dithered(k):
    angle = 0.07 * k
    c, s = np.cos(angle), np.sin(angle)

    def transform(x, y):
        return 1.3 * (c * x - s * y) + 8.0 + 0.37 * k, 1.3 * (s * x + c * y) + 3.0 + 0.21 * k
    return transform


def items(kinds, signed=True):
    """One item per kind: a frame as NumPy, Dask or delayed data (with
    scalar or per-pixel weights), or a chunk of quads."""
    rng = np.random.default_rng(3)
    out = []
    for k, kind in enumerate(kinds):
        data = rng.normal(2.0, 1.0, (24, 30))
        data[k, :k] = np.nan
        if not signed:
            data = np.abs(data)
        weights = rng.uniform(0.5, 2.0, data.shape) if k % 2 else 1.5 + k
        if kind == "numpy":
            out.append((data, dithered(k), weights))
        elif kind == "dask":
            out.append((da.from_array(data, chunks=(12, 10)), dithered(k)))
        elif kind == "delayed":
            out.append((dask.delayed(np.array)(data), dithered(k), weights))
        else:
            # Squares of side 0.5 to 3, turned by any angle.
            centres = rng.uniform(0.0, 50.0, (200, 1))
            turn = np.exp(1j * rng.uniform(0.0, np.pi, (200, 1))) * rng.uniform(0.25, 1.5, (200, 1))
            corners = centres + 30j * rng.uniform(0.0, 1.0, (200, 1)) + turn * np.array([-1 - 1j, 1 - 1j,
                                                                                           1 + 1j, -1 + 1j])
            quads = np.stack([corners.real, corners.imag], axis=-1)
            values = rng.normal(1.0, 1.0, 200)
            values = values if signed else np.abs(values)
            if kind == "delayed quads":
                # Delayed objects are callable: still a chunk of quads.
                quads, values = dask.delayed(np.array)(quads), dask.delayed(np.array)(values)
            out.append((quads, values))
    return out


def single(frames):
    one = pellorin.Mosaic(SHAPE)
    for item in frames:
        arrays = dask.compute(*item)
        if callable(arrays[1]):
            one.add(np.asarray(arrays[0]), arrays[1], weights=arrays[2] if len(arrays) > 2 else None)
        else:
            one.add_quads(*arrays)
    return one


KINDS = ["numpy", "dask", "delayed", "quads", "numpy", "delayed", "dask", "numpy", "quads", "delayed quads"]


@pytest.mark.parametrize("split_every", [2, 3, None, 20])
def test_within_the_bound_of_one_mosaic(compute, split_every):  # noqa: F811
    frames = items(KINDS)
    lazy = pellorin.dask.mosaic(frames, SHAPE, split_every=split_every)
    got = compute(lazy)
    one = single(frames)
    assert got.frames == one.frames == len(frames)
    # K: at most every input pixel (24 x 30 a frame) and quad of every item.
    k = sum(24 * 30 if callable(item[1]) else np.size(item[1]) for item in frames)
    gamma = k * U / (1 - k * U)
    absolute = single(items(KINDS, signed=False))
    # W and the flux of |data| are sums of terms >= 0: bounds of 2 gamma_K
    # times the sum of the terms' magnitudes.
    for ours, theirs, size in ((got.weight(), one.weight(), one.weight()),
                               (got.flux(), one.flux(), absolute.flux())):
        assert np.all(np.abs(ours - theirs) <= 2 * gamma * size / (1 - gamma))
    assert np.array_equal(np.isnan(got.mean()), np.isnan(one.mean()))


def test_the_same_bits_on_threads_and_on_a_cluster(cluster_client):  # noqa: F811
    frames = items(KINDS)
    lazy = pellorin.dask.mosaic(frames, SHAPE, split_every=2)
    threaded = lazy.compute(scheduler="threads")
    clustered = cluster_client.compute(lazy).result()
    for name in ("mean", "weight", "flux"):
        assert getattr(threaded, name)().tobytes() == getattr(clustered, name)().tobytes()


def test_one_run_is_the_single_mosaic_bit_for_bit():
    frames = items(["numpy", "quads", "dask"])
    got = pellorin.dask.mosaic(frames, SHAPE, split_every=5).compute()
    one = single(frames)
    for name in ("mean", "weight", "flux"):
        assert getattr(got, name)().tobytes() == getattr(one, name)().tobytes()


def test_graph_builds_without_adding(monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("added while the graph was built")
    monkeypatch.setattr(pellorin.Mosaic, "add", refuse)
    monkeypatch.setattr(pellorin.Mosaic, "add_quads", refuse)
    lazy = pellorin.dask.mosaic(items(KINDS), SHAPE)
    assert len(lazy.__dask_graph__()) > len(KINDS)


def test_no_frames_is_an_empty_mosaic():
    empty = pellorin.dask.mosaic([], SHAPE).compute()
    assert empty.frames == 0 and empty.shape == SHAPE and not empty.weight().any()


@pytest.mark.parametrize("frames, kwargs, error, message", [
    ([np.zeros((2, 2))], {}, TypeError, r"frames\[0\]"),
    ([(np.zeros((2, 2)),)], {}, TypeError, r"frames\[0\]"),
    ("frames", {}, TypeError, "sequence"),
    ([], dict(split_every=1), ValueError, "split_every"),
    ([], dict(shape_out=(3,)), ValueError, "shape_out"),
])
def test_refusals(frames, kwargs, error, message):
    shape = kwargs.pop("shape_out", SHAPE)
    with pytest.raises(error, match=message):
        pellorin.dask.mosaic(frames, shape, **kwargs)
