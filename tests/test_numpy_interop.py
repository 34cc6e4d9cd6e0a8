"""Array acceptance, flat access, owned copies and result arrays."""
import gc
import sys

import numpy as np
import pytest

import _pellorin
from conftest import SANITIZED

X = np.arange(4.0)


def quads_in_cells(n, seed=0):
    """n small quads, each well inside one cell of a 4 x 4 unit grid."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(0.3, 3.7, size=(n, 1, 2)) - 0.5
    offsets = np.array([[-0.1, -0.1], [0.1, -0.1], [0.1, 0.1], [-0.1, 0.1]])
    return centre + offsets * rng.uniform(0.5, 1.0, size=(n, 1, 1))


def rebin(quads, values, **kw):
    return _pellorin.rebin_quads(quads, values, output_x=X, output_y=X, **kw)


class Sub(np.ndarray):
    pass


def test_ndarray_subclass_accepted():
    q = quads_in_cells(3)
    v = np.arange(1.0, 4.0)
    assert np.array_equal(rebin(q.view(Sub), v.view(Sub)), rebin(q, v))


@pytest.mark.parametrize("bad, name", [
    (np.float64(1.0), "ndarray"),                    # a scalar is not an array
    (np.array(1.0), "ndarray"),                      # 0-d
    (np.zeros((1, 1)), "ndarray"),                   # 2-d where 1-d is wanted
    (np.zeros(1, dtype=np.float32), "ndarray"),      # wrong dtype
    (np.zeros(1, dtype=">f8"), "ndarray"),           # byte-swapped float64
    ([0.0], "list"),
])
def test_values_refused_with_type_mismatch(bad, name):
    with pytest.raises(TypeError) as info:
        rebin(np.zeros((1, 4, 2)), bad)
    if bad is None or isinstance(bad, list):
        assert str(info.value) == f"argument 'values': '{name}' object is not an instance of 'ndarray'"
    else:
        owner = type(bad).__qualname__
        assert str(info.value) == f"argument 'values': '{owner}' object is not an instance of 'ndarray'"


def test_none_refused():
    with pytest.raises(TypeError, match="^argument 'values': 'None' is not an instance of 'ndarray'$"):
        rebin(np.zeros((1, 4, 2)), None)


def test_empty_strided_coordinates_pass_flat_access():
    # An empty array is a valid flat run whatever its flags; it then fails
    # the size check, not the contiguity check.
    empty = np.arange(4.0)[::2][:0]
    with pytest.raises(ValueError, match="at least 2 entries"):
        _pellorin.rebin_quads(np.zeros((0, 4, 2)), np.zeros(0), output_x=empty, output_y=X)


@pytest.mark.parametrize("coords", [np.arange(8.0)[::2], np.arange(8.0)[::-2], np.arange(4.0)[::-1]])
def test_strided_coordinates_refused(coords):
    with pytest.raises(TypeError, match=r"^The given array is not contiguous or is misaligned\.$"):
        _pellorin.rebin_quads(np.zeros((0, 4, 2)), np.zeros(0), output_x=coords, output_y=X)


def test_misaligned_coordinates_refused():
    raw = np.zeros(4 * 8 + 1, dtype=np.uint8)
    mis = raw[1:].view(np.float64)
    mis[:] = np.arange(4.0)
    assert not mis.flags.aligned
    with pytest.raises(TypeError, match="not contiguous or is misaligned"):
        _pellorin.rebin_quads(np.zeros((0, 4, 2)), np.zeros(0), output_x=mis, output_y=X)


def test_single_element_strided_view_is_a_flat_run():
    # Only reaches the size check, which it fails; contiguity is fine.
    one = np.arange(8.0)[::4][:1]
    with pytest.raises(ValueError, match="at least 2 entries"):
        _pellorin.rebin_quads(np.zeros((0, 4, 2)), np.zeros(0), output_x=one, output_y=X)


def misaligned_copy(a):
    """The same values as `a`, in memory that is not aligned for float64."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(np.float64).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def structured_field(a):
    """A view of `a` as field 'x' of a record holding a float64 beside an int32,
    so that byte strides are 12-byte multiples, not multiples of 8."""
    rec = np.zeros(a.shape, dtype=[("x", "<f8"), ("pad", "<i4")])
    rec["x"] = a
    view = rec["x"]
    assert view.strides[-1] == 12
    return view


@pytest.mark.parametrize("make_view", [misaligned_copy, structured_field])
def test_awkward_views_read_their_true_values(make_view):
    q = quads_in_cells(20, seed=3)
    v = np.linspace(1.0, 2.0, 20)
    expected = rebin(q, v)
    assert np.array_equal(rebin(make_view(q), v), expected)
    assert np.array_equal(rebin(q, make_view(v)), expected)
    assert np.array_equal(rebin(make_view(q), make_view(v), mode="mean"), rebin(q, v, mode="mean"))


def test_result_array_properties():
    r = _pellorin.rebin_axis_weights(4, 1.0, 0.0, 2, 2.0, 0.0)
    assert type(r.base).__name__ == "PySliceContainer"
    assert r.flags.writeable and r.flags.c_contiguous and r.flags.aligned
    assert not r.flags.owndata
    assert r.dtype == np.float64 and r.strides == (32, 8)
    r[0, 0] = 42.0  # writeable and private to this call
    assert _pellorin.rebin_axis_weights(4, 1.0, 0.0, 2, 2.0, 0.0)[0, 0] == 0.5


def test_buffer_outlives_the_array_through_views():
    r = _pellorin.rebin_axis_weights(4, 1.0, 0.0, 2, 2.0, 0.0)
    view = r[1, 2:]
    del r
    gc.collect()
    owner = view
    while isinstance(owner, np.ndarray):
        owner = owner.base
    assert type(owner).__name__ == "PySliceContainer"
    assert view.tolist() == [0.5, 0.5]  # the container still holds the buffer


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer's quarantine holds freed memory")
def test_many_results_do_not_grow_memory(no_leak):
    no_leak(lambda: _pellorin.rebin_axis_weights(256, 1.0, 0.0, 128, 2.0, 0.0), calls=3000)


def test_input_reference_counts_unchanged():
    q = quads_in_cells(5)
    v = np.ones(5)
    before = (sys.getrefcount(q), sys.getrefcount(v), sys.getrefcount(X))
    for _ in range(100):
        rebin(q, v)
        with pytest.raises(ValueError):
            rebin(q, v, mode="bogus")
        with pytest.raises(TypeError):
            rebin(q, v.astype(np.float32))
    assert (sys.getrefcount(q), sys.getrefcount(v), sys.getrefcount(X)) == before
