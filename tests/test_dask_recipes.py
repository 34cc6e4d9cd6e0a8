"""The Dask recipes of examples/ on small sizes, under a local distributed
cluster, against single calls of the module."""

import os
import sys
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("PELLORIN_EXPECT_SANITIZED") == "1":
    # The cluster's service threads can outlive the tests; the leak check at
    # exit cannot stop them reliably, and the recipes add no native code.
    pytest.skip("recipes are exercised in the ordinary runs", allow_module_level=True)
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("dask.distributed")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import _pellorin  # noqa: E402
import dask_quads  # noqa: E402
import dask_stack  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def frames(dtype, n=7, h=37, w=53, c=3, seed=3):
    rng = np.random.default_rng(seed)
    if np.issubdtype(dtype, np.integer):
        return rng.integers(0, np.iinfo(dtype).max, (n, h, w, c), endpoint=True).astype(dtype)
    return rng.normal(0.0, 10.0, (n, h, w, c)).astype(dtype)


def single_calls(stack, out_h, out_w, origin_h, origin_w, extent_h, extent_w):
    n, h, w, c = stack.shape
    return np.stack([_pellorin.rebin_image_separable(
        np.ascontiguousarray(f), h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w)
        for f in stack])


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
@pytest.mark.parametrize("frames_per_block", [1, 3])
def test_stack_identical_to_single_calls(client, dtype, frames_per_block):
    stack = frames(dtype)
    lazy = dask_stack.resize_stack(stack, 11, 17, frames_per_block=frames_per_block)
    assert lazy.shape == (7, 11, 17, 3)
    result = client.compute(lazy).result()
    expected = single_calls(stack, 11, 17, 0.0, 0.0, 37.0, 53.0)
    assert result.dtype == expected.dtype == (np.float64 if dtype == np.float64 else np.float32)
    # Bit for bit: every frame goes through exactly the single call.
    assert np.array_equal(result, expected)


def test_stack_crop_window_from_dask_array(client):
    stack = frames(np.uint8, n=5)
    chunked = da.from_array(stack, chunks=(2, 20, 20, 3))  # split frames get rejoined
    lazy = dask_stack.resize_stack(chunked, 9, 14, origin_h=3.25, origin_w=-2.5,
                                   extent_h=20.0, extent_w=41.5)
    assert lazy.chunks[0] == (2, 2, 1)
    result = client.compute(lazy).result()
    expected = single_calls(stack, 9, 14, 3.25, -2.5, 20.0, 41.5)
    assert np.array_equal(result, expected)


def test_stack_rejects_unsupported_dtype():
    with pytest.raises(ValueError, match="image dtype must be uint8, uint16, float32, or float64"):
        dask_stack.resize_stack(np.zeros((2, 4, 4, 1), dtype=np.int32), 2, 2)


def grid(n):
    return np.arange(n) * 1.5 + 0.75  # cells of width 1.5 from 0


def test_quads_sum_within_rounding_bound(client):
    # Some quads straddle the grid's edges: their whole value still lands inside.
    quads, values = dask_quads.random_quads(6000, 48.0, 2.3, seed=11)
    quads -= 2.0
    values[::7] *= -1.0
    gx, gy = grid(30), grid(29)
    lazy = dask_quads.rebin_quads_sum(quads, values, output_x=gx, output_y=gy,
                                      chunk_size=700, split_every=3)
    assert lazy.shape == (30, 29)
    chunked = client.compute(lazy).result()
    single = _pellorin.rebin_quads(quads, values, output_x=gx, output_y=gy)
    # Not bit-identical in general: the per-cell additions happen in another
    # order (within each chunk, then across chunks in tree order) than the
    # single call's input order. Each quad's contribution is the same, so the
    # difference is bounded by the rounding of a reordered sum.
    bound = dask_quads.rounding_bound(quads, values, output_x=gx, output_y=gy)
    assert np.all(np.abs(chunked - single) <= bound)
    assert chunked.sum() == pytest.approx(values.sum(), rel=1e-12)


def test_quads_sum_catches_a_lost_chunk(client):
    quads, values = dask_quads.random_quads(3000, 40.0, 1.7, seed=5)
    gx = gy = grid(26)
    lazy = dask_quads.rebin_quads_sum(quads[:-500], values[:-500], output_x=gx,
                                      output_y=gy, chunk_size=500)
    partial = client.compute(lazy).result()
    single = _pellorin.rebin_quads(quads, values, output_x=gx, output_y=gy)
    bound = dask_quads.rounding_bound(quads, values, output_x=gx, output_y=gy)
    assert not np.all(np.abs(partial - single) <= bound)


def test_quads_sum_from_dask_arrays_and_skip_partial(client):
    quads, values = dask_quads.random_quads(2500, 40.0, 1.7, seed=8)
    quads += 3.0  # some quads now leave the grid on the top and right
    gx = gy = grid(26)
    dq = da.from_array(quads, chunks=(400, 4, 2))
    dv = da.from_array(values, chunks=1000)  # rechunked to match the quads
    for skip in (False, True):
        lazy = dask_quads.rebin_quads_sum(dq, dv, output_x=gx, output_y=gy,
                                          skip_partial=skip)
        chunked = client.compute(lazy).result()
        single = _pellorin.rebin_quads(quads, values, output_x=gx, output_y=gy,
                                       skip_partial=skip)
        bound = dask_quads.rounding_bound(quads, values, output_x=gx, output_y=gy,
                                          skip_partial=skip)
        assert np.all(np.abs(chunked - single) <= bound)


def test_quads_one_chunk_is_the_single_call(client):
    quads, values = dask_quads.random_quads(800, 30.0, 1.3, seed=2)
    gx = gy = grid(20)
    lazy = dask_quads.rebin_quads_sum(quads, values, output_x=gx, output_y=gy,
                                      chunk_size=len(values))
    chunked = client.compute(lazy).result()
    assert np.array_equal(chunked, _pellorin.rebin_quads(quads, values, output_x=gx,
                                                         output_y=gy))


def test_quads_mean_recipe(client):
    quads, values = dask_quads.random_quads(4000, 36.0, 2.6, seed=4)
    gx = gy = grid(24)  # the grid covers [0, 36): every quad lies inside
    recipe = dask_quads.rebin_quads_mean(quads, values, output_x=gx, output_y=gy,
                                         chunk_size=600)
    single = _pellorin.rebin_quads(quads, values, output_x=gx, output_y=gy, mode="mean")
    np.testing.assert_allclose(recipe, single, rtol=1e-11, atol=0.0)


def test_chunk_means_do_not_combine():
    # Two quads in one cell: value 1 over area 0.25, value 3 over area 0.75.
    quads = np.array([[[0.0, 0.0], [0.25, 0.0], [0.25, 1.0], [0.0, 1.0]],
                      [[0.25, 0.0], [1.0, 0.0], [1.0, 1.0], [0.25, 1.0]]])
    values = np.array([1.0, 3.0])
    centres = np.array([0.5, 1.5])
    kw = dict(output_x=centres, output_y=centres, mode="mean")
    whole = _pellorin.rebin_quads(quads, values, **kw)[0, 0]
    a = _pellorin.rebin_quads(quads[:1], values[:1], **kw)[0, 0]
    b = _pellorin.rebin_quads(quads[1:], values[1:], **kw)[0, 0]
    assert whole == 2.5
    assert (a, b) == (1.0, 3.0)
    assert (a + b) / 2 != whole  # the chunks' areas are lost in their means
    recipe = dask_quads.rebin_quads_mean(quads, values, output_x=centres,
                                         output_y=centres, chunk_size=1)
    assert recipe[0, 0] == pytest.approx(2.5, rel=1e-15)
