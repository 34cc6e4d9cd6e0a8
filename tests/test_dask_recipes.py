"""The Dask examples: the quads recipe on small sizes, under a local
distributed cluster, against single calls of the module; the stack example
run as a script with Dask's array module alone."""

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

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import _pellorin  # noqa: E402
import dask_quads  # noqa: E402
from conftest import run_python  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


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


def test_stack_example_runs_without_distributed():
    # The documented install line for one machine, pellorin[dask], brings
    # Dask's array module but not dask.distributed: the example must not need it.
    code = f"""
import runpy, sys

class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "distributed":
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)

sys.meta_path.insert(0, Refuse())
sys.argv = ["dask_stack.py"]
runpy.run_path({str(EXAMPLES / "dask_stack.py")!r}, run_name="__main__")
"""
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert "24 frames 480x640x3 -> 120x160x3 in 6 tasks of 4 frames" in done.stdout
    assert "identical to frame-by-frame pellorin.resize: True" in done.stdout
