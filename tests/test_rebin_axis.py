"""pellorin.rebin_axis against exact overlaps, across layouts and dtypes,
with `out=` and masked values, and its refusals."""

import doctest
import math
import tracemalloc
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import pellorin
from exact_reference import bin_edges, check_float, exact_means
from exact_reference import overlaps as exact_overlaps
from pellorin import _rebin_axis


def overlaps(in_n, in_bw, in_origin, out_n, out_bw, out_origin):
    """Overlap length of output bin j with input bin k, in input bins, exact
    (as a float matrix)."""
    rows = exact_overlaps(bin_edges(in_origin, in_bw, out_origin, out_bw, out_n), in_n)
    dense = np.zeros((out_n, in_n))
    for j, row in enumerate(rows):
        for k, a in row.items():
            dense[j, k] = float(a) * in_bw
    return dense


def exact_along(values, axis, in_origin, in_bw, out_origin, out_bw, out_n, mode, missing=None):
    """Exact means (or sums) along `axis` and their bounds, in the result's
    shape: the values as (before, in_n, after), each of the `before` rows
    its own output row, the bins as columns, the `after` axes as channels."""
    x = np.asarray(values, dtype=np.float64)
    before, in_n, after = math.prod(x.shape[:axis]), x.shape[axis], math.prod(x.shape[axis + 1:])
    rows = [{i: Fraction(1)} for i in range(before)]
    cols = exact_overlaps(bin_edges(in_origin, in_bw, out_origin, out_bw, out_n), in_n)
    gone = None if missing is None else missing.reshape(before, in_n, after)
    means, bounds = exact_means(x.reshape(before, in_n, after), rows, cols, missing=gone, total=mode == "sum")
    out_shape = x.shape[:axis] + (out_n,) + x.shape[axis + 1:]
    return means.reshape(out_shape), bounds.reshape(out_shape)


GRIDS = st.tuples(st.floats(0.1, 10.0), st.floats(-20.0, 20.0), st.floats(0.05, 20.0),
                  st.floats(-20.0, 20.0), st.integers(1, 30))


@settings(max_examples=150, deadline=None)
@given(shape=st.lists(st.integers(1, 4), min_size=0, max_size=2), in_n=st.integers(1, 30),
       axis_pos=st.integers(0, 2), grid=GRIDS, seed=st.integers(0, 2**32 - 1))
@example(shape=[3], in_n=4, axis_pos=1, grid=(1.0, 0.0, 2.0, 1.0, 2), seed=0)
@example(shape=[], in_n=5, axis_pos=0, grid=(1.0, 1.0, 0.05, 10.0, 20), seed=0)
def test_mean_and_sum_against_exact_overlaps(shape, in_n, axis_pos, grid, seed):
    in_bw, in_origin, out_bw, out_origin, out_n = grid
    in_origin, out_origin = in_origin * in_bw, out_origin * in_bw
    axis = min(axis_pos, len(shape))
    shape.insert(axis, in_n)
    x = np.random.default_rng(seed).uniform(-1e3, 1e3, shape)
    kwargs = dict(in_origin=in_origin, in_bw=in_bw, out_origin=out_origin, out_bw=out_bw, out_n=out_n, axis=axis)
    for mode in ("mean", "sum"):
        got = pellorin.rebin_axis(x, mode=mode, **kwargs)
        assert got.dtype == np.float64 and got.flags.c_contiguous
        means, bounds = exact_along(x, axis, in_origin, in_bw, out_origin, out_bw, out_n, mode)
        check_float(got, means, bounds, 1e-13)


@pytest.mark.parametrize("in_origin, out_origin, out_bw", [
    (1.0, 0.5, 0.0625),          # bin 7 ends exactly at the input's start
    (1.0, 0.5, 0.05),            # 0.05 is a little above 1/20: bin 9 overlaps by 2.8e-17
    (4000.0, 3995.904, 2.048),   # two output bins before the input, edges as the doubles give them
    (0.1, -9.9, 1.0),            # a long way before
    (0.0, 5.0, 0.5),             # the first bin starts exactly at the input's end
])
@pytest.mark.parametrize("mode", ["mean", "sum"])
def test_bins_overlap_exactly_where_the_doubles_say(in_origin, out_origin, out_bw, mode):
    x = np.full(5, 7.0)
    got = pellorin.rebin_axis(x, in_origin=in_origin, in_bw=1.0, out_origin=out_origin, out_bw=out_bw,
                              out_n=40, mode=mode)
    covered = overlaps(5, 1.0, in_origin, 40, out_bw, out_origin).sum(axis=1) > 0
    assert np.all(got[~covered] == 0.0)
    assert np.all(got[covered] == 7.0) if mode == "mean" else np.all(got[covered] > 0.0)


@pytest.mark.parametrize("in_origin, out_origin, out_bw, out_n", [
    (4000.0, 4000.0, 2.048, 1000),    # exact cover
    (4000.0, 3990.0, 3.0, 1400),      # output reaches past both ends
    (4000.0, 3999.9, 0.37, 5600),     # finer output, fractional edges
])
def test_sum_conserves_totals_where_the_output_covers_the_input(in_origin, out_origin, out_bw, out_n):
    counts = np.random.default_rng(1).poisson(50, (3, 4096)).astype(np.float64)
    total = pellorin.rebin_axis(counts, in_origin=in_origin, in_bw=0.5, out_origin=out_origin,
                                out_bw=out_bw, out_n=out_n, mode="sum")
    np.testing.assert_allclose(total.sum(axis=1), counts.sum(axis=1), rtol=1e-12)


def test_identity_grid_copies_exactly():
    x = np.random.default_rng(2).normal(size=(5, 64, 3))
    for axis in range(3):
        n = x.shape[axis]
        got = pellorin.rebin_axis(x, in_origin=-1.5, in_bw=0.25, out_origin=-1.5, out_bw=0.25,
                                  out_n=n, axis=axis)
        assert got.tobytes() == x.tobytes()


BASE = np.random.default_rng(3).uniform(-5.0, 5.0, (4, 9, 5))
LAYOUTS = {
    "C": lambda a: a,
    "Fortran": np.asfortranarray,
    "strided": lambda a: np.repeat(a, 2, axis=2)[:, :, ::2],
    "reversed": lambda a: a[::-1, :, ::-1].copy()[::-1, :, ::-1],
    "byte-swapped": lambda a: a.astype(a.dtype.newbyteorder()),
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
@pytest.mark.parametrize("axis", [0, 1, 2, -1])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_layouts_give_the_same_bits(layout, axis, dtype):
    base = BASE.astype(dtype)
    kwargs = dict(in_origin=0.0, in_bw=1.0, out_origin=0.7, out_bw=1.3, out_n=4, axis=axis)
    expected = pellorin.rebin_axis(base, **kwargs)
    got = pellorin.rebin_axis(LAYOUTS[layout](base), **kwargs)
    assert got.dtype == dtype and got.shape == expected.shape
    assert np.ascontiguousarray(got).tobytes() == np.ascontiguousarray(expected).tobytes()


@pytest.mark.parametrize("values, dtype", [
    (np.array([1, 0, 3, 7], dtype=np.int32), np.float64),
    (np.array([True, False, True, True]), np.float64),
    (np.array([1, 0, 3, 7], dtype=np.uint8), np.float64),
    (np.array([0.5, 1.0, 3.0, 7.0], dtype=np.float16), np.float64),
    ([1.0, 0.0, 3.0, 7.0], np.float64),
    (np.array([0.5, 1.0, 3.0, 7.0], dtype=np.float32), np.float32),
])
def test_result_dtype(values, dtype):
    got = pellorin.rebin_axis(values, in_origin=0, in_bw=1, out_origin=0.5, out_bw=1.5, out_n=3)
    assert got.dtype == dtype
    reference = pellorin.rebin_axis(np.asarray(values, dtype=dtype), in_origin=0, in_bw=1,
                                    out_origin=0.5, out_bw=1.5, out_n=3)
    assert np.array_equal(got, reference)


@pytest.mark.parametrize("mode", ["mean", "sum"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_values_reach_only_overlapping_bins(mode, bad):
    x = np.arange(1.0, 21.0)
    x[8] = bad
    got = pellorin.rebin_axis(x, in_origin=0, in_bw=1, out_origin=-0.5, out_bw=1.5, out_n=15, mode=mode)
    touched = overlaps(20, 1.0, 0.0, 15, 1.5, -0.5)[:, 8] > 0
    assert touched.sum() == 2
    assert np.all(np.isfinite(got[~touched]))
    assert np.all(np.isnan(got[touched]) if np.isnan(bad) else got[touched] == bad)


def test_never_builds_the_dense_matrix():
    # The dense (out_n, in_n) matrix would need 4.8e11 bytes.
    x = np.ones((4, 600_000))
    got = pellorin.rebin_axis(x, in_origin=0, in_bw=1, out_origin=0, out_bw=0.75, out_n=800_000)
    assert got.shape == (4, 800_000) and np.all(got == 1.0)


def test_empty_batch_gives_empty_result():
    got = pellorin.rebin_axis(np.zeros((0, 10), np.float32), in_origin=0, in_bw=1, out_origin=0,
                              out_bw=2, out_n=5)
    assert got.shape == (0, 5) and got.dtype == np.float32


GOOD = dict(in_origin=0.0, in_bw=1.0, out_origin=0.0, out_bw=2.0, out_n=2)


@pytest.mark.parametrize("values, changes, error, match", [
    (np.ones(4, np.complex128), {}, TypeError, "values must have a real dtype"),
    (np.array(["a", "b"]), {}, TypeError, "values must have a real dtype"),
    (np.array([object(), 1]), {}, TypeError, "values must have a real dtype"),
    (np.float64(3.0), {}, ValueError, "values must have at least one dimension"),
    (np.ones((3, 0)), {}, ValueError, "values must have at least one bin along axis 1"),
    ([[1.0], [1.0, 2.0]], {}, ValueError, "values: cannot be read as an array"),
    (np.ones(4), {"axis": 1}, np.exceptions.AxisError if hasattr(np, "exceptions") else ValueError, "axis"),
    (np.ones(4), {"axis": 0.0}, TypeError, "axis must be an integer"),
    (np.ones(4), {"in_origin": np.nan}, ValueError, "in_origin must be finite"),
    (np.ones(4), {"in_bw": 0.0}, ValueError, "in_bw must be > 0"),
    (np.ones(4), {"in_bw": "1"}, TypeError, "in_bw must be a real number"),
    (np.ones(4), {"out_origin": -np.inf}, ValueError, "out_origin must be finite"),
    (np.ones(4), {"out_bw": -1.0}, ValueError, "out_bw must be > 0"),
    (np.ones(4), {"out_n": 0}, ValueError, "out_n must be >= 1"),
    (np.ones(4), {"out_n": 2.0}, TypeError, "out_n must be an integer"),
    (np.ones(4), {"mode": "median"}, ValueError, "mode must be 'mean' or 'sum'"),
    (np.ones(4), {"threads": -1}, ValueError, "threads must be between 1 and 4096"),
    (np.ones(4), {"threads": "2"}, TypeError, "threads must be an integer"),
    (np.ones(4), {"out": np.zeros(2, np.float32)}, TypeError, "out must have the result's dtype float64"),
    (np.ones(4, np.float32), {"out": np.zeros(2)}, TypeError, "out must have the result's dtype float32"),
    (np.ones(4), {"out": np.zeros(3)}, ValueError, r"out must have the result's shape \(2,\)"),
    (np.ones((4, 3)), {"out": np.zeros((2, 6))[:, ::2], "axis": 0}, ValueError, "out must be C-contiguous"),
    (np.ones(4), {"out": (0.0, 0.0)}, TypeError, "out must be a NumPy array"),
])
def test_refusals_name_the_argument(values, changes, error, match):
    with pytest.raises(error, match=match):
        pellorin.rebin_axis(values, **dict(GOOD, **changes))


@pytest.mark.parametrize("axis", [0, 1, -1])
@pytest.mark.parametrize("mode", ["mean", "sum"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_masked_values_are_missing(axis, mode, dtype):
    rng = np.random.default_rng(axis + 5)
    data = rng.uniform(-50, 50, (4, 9, 3)).astype(dtype)
    mask = rng.random(data.shape) < 0.35
    np.moveaxis(mask, axis, 0)[:3] = True  # leading bins with nothing present
    grid = dict(in_origin=0.0, in_bw=1.0, out_origin=-0.5, out_bw=1.3, out_n=6)
    got = pellorin.rebin_axis(np.ma.masked_array(data, mask=mask), axis=axis, mode=mode, **grid)
    assert isinstance(got, np.ma.MaskedArray) and got.dtype == dtype
    means, bounds = exact_along(data, axis % 3, grid["in_origin"], grid["in_bw"], grid["out_origin"],
                                grid["out_bw"], grid["out_n"], mode, missing=mask)
    nothing = np.vectorize(lambda m: m is None)(means)
    assert nothing.any() and np.array_equal(np.ma.getmaskarray(got), nothing)
    check_float(got.data, means, bounds, 1e-13 if dtype == np.float64 else 2.0**-22)


@pytest.mark.parametrize("axis", [0, 1])
def test_out_receives_and_is_the_result(axis):
    x = np.random.default_rng(4).normal(size=(6, 7))
    grid = dict(in_origin=0.0, in_bw=1.0, out_origin=0.3, out_bw=1.7, out_n=4, axis=axis)
    expected = pellorin.rebin_axis(x, **grid)
    out = np.full(expected.shape, np.nan)
    assert pellorin.rebin_axis(x, out=out, **grid) is out
    assert out.tobytes() == expected.tobytes()
    # F-ordered values with out: read from a copy, written in out's order.
    out2 = np.zeros_like(out)
    assert pellorin.rebin_axis(np.asfortranarray(x), out=out2, **grid) is out2
    assert out2.tobytes() == expected.tobytes()


@pytest.mark.parametrize("out_n, needed", [(10**12, 8 * 10**12), (2**63, 8 * 2**63)])
def test_impossible_results_raise_memory_error_at_once(out_n, needed):
    tracemalloc.start()
    with pytest.raises(MemoryError, match=rf"rebin_axis result of shape \({out_n},\) .* would need {needed} bytes"):
        pellorin.rebin_axis(np.ones(4), in_origin=0, in_bw=1, out_origin=0, out_bw=1, out_n=out_n)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 2**20


@pytest.mark.parametrize("changes, expected", [
    # Grids that edge rounding once made unusable: exact edges handle them.
    ({"in_bw": 1e-300, "out_bw": 1e300}, [1.0, 0.0]),
    ({"out_origin": 1e300, "in_bw": 1e-300}, [0.0, 0.0]),
    ({"in_origin": 1.7e9, "out_origin": 1.7e9, "in_bw": 1e-9, "out_bw": 3e-9}, [1.0, 1.0]),
    ({"out_origin": -1e300, "out_bw": 1e300}, [0.0, 1.0]),
])
def test_extreme_grids_give_exact_results(changes, expected):
    got = pellorin.rebin_axis(np.ones(4), **dict(GOOD, **changes))
    assert got.tolist() == expected


def test_docstring_examples_run():
    result = doctest.testmod(_rebin_axis, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
