import math

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import _pellorin

W = _pellorin.rebin_axis_weights
NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize("args, expected", [
    ((4, 1.0, 0.0, 2, 2.0, 0.0), [[0.5, 0.5, 0.0, 0.0], [0.0, 0.0, 0.5, 0.5]]),
    ((2, 1.0, 0.0, 2, 2.0, 1.0), [[0.0, 1.0], [0.0, 0.0]]),
    ((3, 1.0, NAN, 2, 1.5, 0.0), [[1.0, 0.0, 0.0], [1.0, 0.0, 0.0]]),
    ((1, 1.0, 0.0, 1, 1e-310, 0.0), [[INF]]),
    ((10, 1.0, 0.0, 4, 0.7, 0.0), [
        [1.0] + [0.0] * 9,
        [0.42857142857142866, 0.5714285714285713] + [0.0] * 8,
        [0.0, 0.8571428571428575, 0.1428571428571424] + [0.0] * 7,
        [0.0, 0.0, 1.0] + [0.0] * 7,
    ]),
    ((10, 1.0, 0.0, 4, 0.3, 0.25), [
        [1.0] + [0.0] * 9,
        [1.0] + [0.0] * 9,
        [0.5000000000000001, 0.4999999999999998] + [0.0] * 8,
        [0.0, 1.0] + [0.0] * 8,
    ]),
    # Bins that merely touch the output bin are excluded at both edges.
    ((4, 1.0, 0.0, 1, 1.0, 1.0), [[0.0, 1.0, 0.0, 0.0]]),
    # An output bin ending exactly where the input starts, or starting where it ends.
    ((2, 1.0, 0.0, 1, 1.0, -1.0), [[0.0, 0.0]]),
    ((2, 1.0, 0.0, 1, 1.0, 2.0), [[0.0, 0.0]]),
    # Origins at infinity: every row empty.
    ((3, 1.0, 0.0, 2, 1.0, INF), [[0.0] * 3] * 2),
    ((3, 1.0, -INF, 2, 1.0, 0.0), [[0.0] * 3] * 2),
])
def test_worked_examples_to_the_last_bit(args, expected):
    got = W(*args)
    assert got.shape == (args[3], args[0])
    assert [[float(x).hex() for x in row] for row in got.tolist()] == \
        [[float(x).hex() for x in row] for row in expected]


@pytest.mark.parametrize("args, text", [
    ((0, 1.0, 0.0, 2, 2.0, 0.0), "in_n and out_n must be > 0"),
    ((4, 1.0, 0.0, 0, 2.0, 0.0), "in_n and out_n must be > 0"),
    ((0, NAN, 0.0, 2, NAN, 0.0), "in_n and out_n must be > 0"),
    ((4, 0.0, 0.0, 2, 2.0, 0.0), "in_bw must be a positive finite number"),
    ((4, -1.0, 0.0, 2, 2.0, 0.0), "in_bw must be a positive finite number"),
    ((4, INF, 0.0, 2, 2.0, 0.0), "in_bw must be a positive finite number"),
    ((4, NAN, 0.0, 2, -1.0, 0.0), "in_bw must be a positive finite number"),
    ((4, 1.0, 0.0, 2, -0.0, 0.0), "out_bw must be a positive finite number"),
    ((4, 1.0, 0.0, 2, INF, 0.0), "out_bw must be a positive finite number"),
    ((4, 1.0, 0.0, 2, NAN, 0.0), "out_bw must be a positive finite number"),
])
def test_checks_in_order(args, text):
    with pytest.raises(ValueError) as info:
        W(*args)
    assert str(info.value) == text


def test_subnormal_width_passes():
    assert W(1, 5e-324, 0.0, 1, 1.0, 0.0).shape == (1, 1)


def test_element_count_overflow_is_a_value_error():
    with pytest.raises(ValueError) as info:
        W(2**63, 1.0, 0.0, 4, 1.0, 0.0)
    assert str(info.value) == "weight matrix reshape: ShapeError/Overflow: arithmetic overflow"


OVERFLOW = "weight matrix reshape: ShapeError/Overflow: arithmetic overflow"


@pytest.mark.parametrize("args, exc, text", [
    # Element counts past 64 bits: the shape error, before any weight is built.
    ((2**62, 1.0, 0.0, 4, 2.0**61, 0.0), ValueError, OVERFLOW),
    ((8, 1.0, 0.0, 2**61, 1.0, 0.0), ValueError, OVERFLOW),
    ((2**64 - 1, 1.0, 0.0, 2, 1.0, 0.0), ValueError, OVERFLOW),
    # Counts that fit but bytes that no allocation can hold: MemoryError
    # naming the matrix and its size.
    ((2**61, 1.0, 0.0, 2, 1.0, 0.0), MemoryError,
     "weight matrix: cannot allocate 4611686018427387904 elements of 8 bytes"),
    ((2**62, 1.0, 0.0, 2, 1.0, 0.0), MemoryError,
     "weight matrix: cannot allocate 9223372036854775808 elements of 8 bytes"),
    ((1, 1.0, 0.0, 2**63 - 1, 1.0, 0.0), MemoryError,
     "weight matrix: cannot allocate 9223372036854775807 elements of 8 bytes"),
    ((1, 1.0, 0.0, 2**64 - 1, 1.0, 0.0), MemoryError,
     "weight matrix: cannot allocate 18446744073709551615 elements of 8 bytes"),
])
def test_sizes_past_every_limit_fail_at_once(args, exc, text):
    with pytest.raises(exc) as info:
        W(*args)
    assert str(info.value).startswith(text)
    assert W(2, 1.0, 0.0, 1, 2.0, 0.0).tolist() == [[0.5, 0.5]]


def test_out_of_memory_is_memory_error_and_interpreter_survives():
    with pytest.raises(MemoryError):
        W(2**30, 1.0, 0.0, 2**25, 1.0, 0.0)
    assert W(2, 1.0, 0.0, 1, 2.0, 0.0).tolist() == [[0.5, 0.5]]


def brute_force(in_n, in_bw, in_origin, out_n, out_bw, out_origin):
    """Overlap of every (output, input) pair, normalised by true division,
    and each row's raw overlap sum."""
    out = np.zeros((out_n, in_n))
    raw = np.zeros(out_n)
    for j in range(out_n):
        lo = out_origin + out_bw * j
        hi = lo + out_bw
        for k in range(in_n):
            in_lo = in_origin + in_bw * k
            out[j, k] = max(0.0, min(hi, in_lo + in_bw) - max(lo, in_lo))
        s = raw[j] = out[j].sum()
        if s > 0:
            out[j] /= s
    return out, raw


widths = st.floats(0.05, 20.0, allow_nan=False, allow_infinity=False)
origins = st.floats(-30.0, 30.0, allow_nan=False, allow_infinity=False)


@settings(max_examples=150, deadline=None)
@given(in_n=st.integers(1, 40), in_bw=widths, in_origin=origins,
       out_n=st.integers(1, 40), out_bw=widths, out_origin=origins)
@example(in_n=10, in_bw=1.0, in_origin=0.0, out_n=4, out_bw=0.7, out_origin=0.0)
@example(in_n=3, in_bw=0.1, in_origin=0.0, out_n=7, out_bw=0.05, out_origin=-0.05)
@example(in_n=19, in_bw=2.295917328258126, in_origin=0.0, out_n=20, out_bw=2.295917328258126,
         out_origin=0.0)
def test_matches_brute_force_overlaps(in_n, in_bw, in_origin, out_n, out_bw, out_origin):
    got = W(in_n, in_bw, in_origin, out_n, out_bw, out_origin)
    want, raw = brute_force(in_n, in_bw, in_origin, out_n, out_bw, out_origin)
    # Where an output bin only grazes the input range (an overlap at the
    # rounding level of the coordinates), the bin-index arithmetic decides
    # alone whether the row is empty; elsewhere the weights must agree.
    grazing = (raw > 0) & (raw < 1e-9 * max(in_bw, out_bw))
    np.testing.assert_allclose(got[~grazing], want[~grazing], rtol=1e-9, atol=1e-9)
    sums = got.sum(axis=1)
    covered = (raw > 0) & ~grazing
    np.testing.assert_allclose(sums[covered], 1.0, rtol=1e-12)
    assert np.all(got[raw == 0] == 0.0)
    # Each row is one run of consecutive input bins.
    for row in got:
        nz = np.flatnonzero(row)
        if nz.size:
            assert nz[-1] - nz[0] + 1 == nz.size


def test_result_is_fresh_and_writeable():
    a = W(4, 1.0, 0.0, 2, 2.0, 0.0)
    a[:] = math.pi
    assert W(4, 1.0, 0.0, 2, 2.0, 0.0)[0, 0] == 0.5
