"""pellorin.rebin_axis against the dense weight product and brute-force
overlaps, across layouts and dtypes, and its refusals."""

import doctest

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import _pellorin
import pellorin
from pellorin import _rebin_axis


def overlaps(in_n, in_bw, in_origin, out_n, out_bw, out_origin):
    """Overlap length of output bin j with input bin k, from the definitions."""
    lo = out_origin + out_bw * np.arange(out_n)[:, None]
    in_lo = in_origin + in_bw * np.arange(in_n)[None, :]
    return np.clip(np.minimum(lo + out_bw, in_lo + in_bw) - np.maximum(lo, in_lo), 0.0, None)


def along(matrix, values, axis):
    """matrix applied along `axis` of values (float64)."""
    moved = np.moveaxis(np.asarray(values, dtype=np.float64), axis, 0)
    return np.moveaxis(np.tensordot(matrix, moved, axes=(1, 0)), 0, axis)


GRIDS = st.tuples(st.floats(0.1, 10.0), st.floats(-20.0, 20.0), st.floats(0.05, 20.0),
                  st.floats(-20.0, 20.0), st.integers(1, 30))


@settings(max_examples=150, deadline=None)
@given(shape=st.lists(st.integers(1, 5), min_size=0, max_size=2), in_n=st.integers(1, 40),
       axis_pos=st.integers(0, 2), grid=GRIDS, seed=st.integers(0, 2**32 - 1))
@example(shape=[3], in_n=4, axis_pos=1, grid=(1.0, 0.0, 2.0, 1.0, 2), seed=0)
def test_mean_and_sum_match_dense_product_and_overlaps(shape, in_n, axis_pos, grid, seed):
    in_bw, in_origin, out_bw, out_origin, out_n = grid
    in_origin, out_origin = in_origin * in_bw, out_origin * in_bw
    axis = min(axis_pos, len(shape))
    shape.insert(axis, in_n)
    x = np.random.default_rng(seed).uniform(-1e3, 1e3, shape)
    kwargs = dict(in_origin=in_origin, in_bw=in_bw, out_origin=out_origin, out_bw=out_bw,
                  out_n=out_n, axis=axis)
    dense = _pellorin.rebin_axis_weights(in_n, in_bw, in_origin, out_n, out_bw, out_origin)
    share = overlaps(in_n, in_bw, in_origin, out_n, out_bw, out_origin) / in_bw
    # Rows that only touch the input range within the rounding of the edges
    # are 0 here; the dense product may give them the edge bin's value.
    solid = share.sum(axis=1) > 1e-9
    mean = pellorin.rebin_axis(x, **kwargs)
    assert mean.dtype == np.float64 and mean.flags.c_contiguous
    expected = along(dense, x, axis)
    close = np.abs(mean - expected) <= 1e-12 * along(np.abs(dense), np.abs(x), axis)
    rows = np.moveaxis(close | (mean == 0), axis, 0)
    assert np.all(np.moveaxis(close, axis, 0)[solid]) and np.all(rows)

    # Edge slivers carry about eps times the coordinates' size, in bins.
    sliver = 1e-14 * max(1.0, abs(in_origin) / in_bw, abs(out_origin) / in_bw, in_n) * np.abs(x).max()
    total = pellorin.rebin_axis(x, mode="sum", **kwargs)
    assert np.all(np.abs(total - along(share, x, axis)) <= 1e-12 * along(share, np.abs(x), axis) + sliver)


@pytest.mark.parametrize("in_origin, out_origin, out_bw", [
    (1.0, 0.5, 0.05),            # the last output bin ends at the input's start
    (4000.0, 3995.904, 2.048),   # two output bins before the input
    (0.1, -9.9, 1.0),            # a long way before
])
@pytest.mark.parametrize("mode", ["mean", "sum"])
def test_bins_that_only_touch_the_input_are_zero(in_origin, out_origin, out_bw, mode):
    x = np.full(5, 7.0)
    got = pellorin.rebin_axis(x, in_origin=in_origin, in_bw=1.0, out_origin=out_origin, out_bw=out_bw,
                              out_n=40, mode=mode)
    before = np.round((in_origin - out_origin) / out_bw).astype(int)
    assert np.all(got[:before] == 0.0) and got[before] > 0.0


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
    (np.ones(4), {"in_bw": 1e-300, "out_bw": 1e300}, ValueError, "out_bw / in_bw"),
    (np.ones(4), {"out_origin": 1e300, "in_bw": 1e-300}, ValueError, r"\(out_origin - in_origin\) / in_bw"),
    (np.ones(4), {"in_origin": 1.7e9, "out_origin": 1.7e9, "in_bw": 1e-9}, ValueError, "in_bw is too small"),
])
def test_refusals_name_the_argument(values, changes, error, match):
    with pytest.raises(error, match=match):
        pellorin.rebin_axis(values, **dict(GOOD, **changes))


def test_docstring_examples_run():
    result = doctest.testmod(_rebin_axis, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0 and result.failed == 0
