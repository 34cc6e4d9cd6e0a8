"""rebin_quads: argument checks, grid inference, layouts of the inputs, the
numeric rules of the accumulation, and properties against independent
references (a literal re-statement of the arithmetic for bit-exact results,
shapely intersection areas for the geometry)."""
import math
import sys
import threading

import numpy as np
import pytest
import shapely
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st
from numpy.lib.stride_tricks import as_strided

import _pellorin
from conftest import overcommit_always

R = _pellorin.rebin_quads
NAN = float("nan")
INF = float("inf")
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
PROPERTY = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


# ---------------------------------------------------------------------------
# Helpers


def centres(n, width=1.0, lower=0.0):
    """Cell centres of n cells of `width` whose first lower edge is `lower`."""
    return lower + width * 0.5 + width * np.arange(n, dtype=np.float64)


def rect(x0, y0, x1, y1):
    """Axis-aligned rectangle as a quad, counter-clockwise."""
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def quads_array(*quads):
    return np.array(quads, dtype=np.float64).reshape(len(quads), 4, 2)


def bits(a):
    """Exact text of every element: distinguishes signed zeros, folds NaNs."""
    return [float(x).hex() for x in np.asarray(a, dtype=np.float64).ravel().tolist()]


def grid_edges(x, y):
    """(origin_x, bin_x, origin_y, bin_y) as the function derives them."""
    bx = float(x[1]) - float(x[0])
    by = float(y[1]) - float(y[0])
    return float(x[0]) - bx * 0.5, bx, float(y[0]) - by * 0.5, by


# A literal re-statement of the accumulation and clipping arithmetic in
# Python floats (IEEE doubles, each operation rounded on its own), used only
# to pin the order of operations bit for bit.

def _min_num(a, b):
    return b if a != a else (a if b != b else (b if b < a else a))


def _max_num(a, b):
    return b if a != a else (a if b != b else (b if b > a else a))


def _area(p):
    n = len(p)
    if n < 3:
        return 0.0
    s = 0.0
    for k in range(n):
        j = k + 1 if k < n - 1 else 0
        s = s + (p[k][0] * p[j][1] - p[j][0] * p[k][1])
    return abs(s) * 0.5


def _stage(points, axis, keep_above, c):
    out = []
    if not points:
        return out

    def inside(p):
        return p[axis] >= c if keep_above else p[axis] <= c

    def crossing(a, b):
        t = (c - a[axis]) / (b[axis] - a[axis])
        other = 1 - axis
        q = [0.0, 0.0]
        q[axis] = c
        q[other] = a[other] + (b[other] - a[other]) * t
        return tuple(q)

    prev = points[-1]
    prev_in = inside(prev)
    for cur in points:
        cur_in = inside(cur)
        if cur_in:
            if not prev_in:
                out.append(crossing(prev, cur))
            out.append(cur)
        elif prev_in:
            out.append(crossing(prev, cur))
        prev, prev_in = cur, cur_in
    return out


def _clip(quad, x_lo, x_hi, y_lo, y_hi):
    p = list(quad)
    for axis, above, c in ((0, True, x_lo), (0, False, x_hi), (1, True, y_lo), (1, False, y_hi)):
        p = _stage(p, axis, above, c)
        if not p:
            return []
    return p


def _cell_index(f, m):
    if f != f or f == -INF:
        g = 0
    elif f == INF:
        g = 2**64 - 1
    else:
        g = min(max(math.floor(f), 0), 2**64 - 1)
    return min(g, m - 1)


def reference_rebin(quads, values, x, y, mode="sum", skip_partial=False):
    ox, bx, oy, by = grid_edges(x, y)
    mx, my = len(x), len(y)
    out = [0.0] * (mx * my)
    weights = [0.0] * (mx * my)
    mean = mode == "mean"
    q = np.asarray(quads, dtype=np.float64).tolist()
    for corners, v in zip(q, np.asarray(values, dtype=np.float64).tolist()):
        quad = [tuple(c) for c in corners]
        xs = [c[0] for c in quad]
        ys = [c[1] for c in quad]
        xmin = _min_num(_min_num(_min_num(xs[0], xs[1]), xs[2]), xs[3])
        xmax = _max_num(_max_num(_max_num(xs[0], xs[1]), xs[2]), xs[3])
        ymin = _min_num(_min_num(_min_num(ys[0], ys[1]), ys[2]), ys[3])
        ymax = _max_num(_max_num(_max_num(ys[0], ys[1]), ys[2]), ys[3])
        fx0, fx1 = (xmin - ox) / bx, (xmax - ox) / bx
        fy0, fy1 = (ymin - oy) / by, (ymax - oy) / by
        if skip_partial:
            if (fx0 < 0 or fx1 < 0 or fy0 < 0 or fy1 < 0 or fx0 >= mx or fx1 >= mx
                    or fy0 >= my or fy1 >= my):
                continue
        elif fy0 >= my or fx0 >= mx or fx1 <= 0 or fy1 <= 0:
            continue
        ix0, ix1 = _cell_index(fx0, mx), _cell_index(fx1, mx)
        iy0, iy1 = _cell_index(fy0, my), _cell_index(fy1, my)
        if ix0 == ix1 and iy0 == iy1:
            a = _area(quad)
            if not a > 0:
                continue
            k = ix0 * my + iy0
            if mean:
                out[k] = out[k] + v * a
                weights[k] = weights[k] + a
            else:
                out[k] = out[k] + v
            continue
        overlaps = []
        total = 0.0
        for ix in range(ix0, ix1 + 1):
            x_lo = ox + bx * ix
            x_hi = bx + x_lo
            for iy in range(iy0, iy1 + 1):
                y_lo = oy + by * iy
                y_hi = by + y_lo
                p = _clip(quad, x_lo, x_hi, y_lo, y_hi)
                if len(p) >= 3:
                    a = _area(p)
                    if a > 0:
                        overlaps.append((ix * my + iy, a))
                        total = total + a
        if total <= 0:
            continue
        if mean:
            for k, a in overlaps:
                out[k] = v * a + out[k]
                weights[k] = a + weights[k]
        else:
            inv = 1.0 / total
            for k, a in overlaps:
                out[k] = out[k] + inv * (v * a)
    if mean:
        for k in range(mx * my):
            if weights[k] > 0:
                out[k] = out[k] / weights[k]
    return np.array(out, dtype=np.float64).reshape(mx, my)


def shapely_overlaps(quad, x, y):
    """Intersection area of a quad with every cell, by shapely."""
    ox, bx, oy, by = grid_edges(x, y)
    poly = shapely.Polygon(np.asarray(quad, dtype=np.float64))
    areas = np.zeros((len(x), len(y)))
    for ix in range(len(x)):
        x_lo = ox + bx * ix
        for iy in range(len(y)):
            y_lo = oy + by * iy
            areas[ix, iy] = poly.intersection(shapely.box(x_lo, y_lo, bx + x_lo, by + y_lo)).area
    return areas


@st.composite
def convex_quad(draw, lo, hi, r_min, r_max):
    """Four points on an ellipse in angular order: convex, positive area."""
    cx = draw(st.floats(lo, hi))
    cy = draw(st.floats(lo, hi))
    rx = draw(st.floats(r_min, r_max))
    ry = draw(st.floats(r_min, r_max))
    start = draw(st.floats(0.0, 2 * math.pi))
    gaps = [draw(st.floats(0.35, 1.0)) for _ in range(4)]
    angles = start + 2 * math.pi * np.cumsum([0.0] + gaps[:3]) / sum(gaps)
    return [(cx + rx * math.cos(a), cy + ry * math.sin(a)) for a in angles]


def convex_quads(n_max, lo, hi, r_min, r_max, n_min=1):
    return st.lists(convex_quad(lo, hi, r_min, r_max), min_size=n_min, max_size=n_max)


# Grids of 2 to 6 cells per axis whose lower edge is at `lower` and whose
# cells have width `width`, written as centres.
GRID = st.tuples(st.integers(2, 6), st.integers(2, 6))

Q1 = quads_array(rect(0.2, 0.2, 0.8, 0.8))
V1 = np.array([3.0])
X3 = centres(3)


# ---------------------------------------------------------------------------
# Checks and their order


def strided(n):
    return np.arange(2.0 * n)[::2]


def misaligned(values):
    values = np.asarray(values, dtype=np.float64)
    raw = np.zeros(values.size * 8 + 8, dtype=np.uint8)
    view = raw[1:1 + values.size * 8].view(np.float64).reshape(values.shape)
    view[...] = values
    assert not view.flags.aligned
    return view


GOOD = dict(quads=Q1, values=V1, output_x=X3, output_y=X3)


def call(**changes):
    kwargs = dict(GOOD, **changes)
    return R(kwargs.pop("quads"), kwargs.pop("values"), **kwargs)


@pytest.mark.parametrize("changes, exc, text", [
    # Conversion errors come before every check, in parameter order.
    (dict(quads=Q1.astype(np.float32), mode="nope"), TypeError,
     "argument 'quads': 'ndarray' object is not an instance of 'ndarray'"),
    (dict(quads=Q1.astype(np.int64)), TypeError,
     "argument 'quads': 'ndarray' object is not an instance of 'ndarray'"),
    (dict(quads=Q1.tolist(), mode="nope"), TypeError,
     "argument 'quads': 'list' object is not an instance of 'ndarray'"),
    (dict(quads=None), TypeError, "argument 'quads': 'None' is not an instance of 'ndarray'"),
    (dict(quads=Q1.reshape(1, 8)), TypeError,
     "argument 'quads': 'ndarray' object is not an instance of 'ndarray'"),
    (dict(quads=Q1.astype(">f8")), TypeError,
     "argument 'quads': 'ndarray' object is not an instance of 'ndarray'"),
    (dict(quads=np.zeros((5, 4, 3)), values=np.zeros(2, np.float32)), TypeError,
     "argument 'values': 'ndarray' object is not an instance of 'ndarray'"),
    (dict(values=3.0), TypeError, "argument 'values': 'float' object is not an instance of 'ndarray'"),
    (dict(output_x=[0.5, 1.5]), TypeError,
     "argument 'output_x': 'list' object is not an instance of 'ndarray'"),
    (dict(output_y=np.zeros((2, 2))), TypeError,
     "argument 'output_y': 'ndarray' object is not an instance of 'ndarray'"),
    (dict(mode=None), TypeError, "argument 'mode': 'None' is not an instance of 'str'"),
    (dict(mode=b"sum"), TypeError, "argument 'mode': 'bytes' object is not an instance of 'str'"),
    (dict(mode="nope", skip_partial=1), TypeError,
     "argument 'skip_partial': 'int' object is not an instance of 'bool'"),
    (dict(skip_partial=None), TypeError,
     "argument 'skip_partial': 'None' is not an instance of 'bool'"),
    # Check 1: mode, exact and case-sensitive, before the shape checks.
    (dict(mode="Sum"), ValueError, "mode must be 'sum' or 'mean', got 'Sum'"),
    (dict(mode="sum "), ValueError, "mode must be 'sum' or 'mean', got 'sum '"),
    (dict(mode=""), ValueError, "mode must be 'sum' or 'mean', got ''"),
    (dict(mode="m\u00e9an"), ValueError, "mode must be 'sum' or 'mean', got 'm\u00e9an'"),
    # Every character reaches the message, an embedded NUL included.
    (dict(mode="sum\x00x"), ValueError, "mode must be 'sum' or 'mean', got 'sum\x00x'"),
    (dict(mode="MEAN", quads=np.zeros((5, 4, 3))), ValueError,
     "mode must be 'sum' or 'mean', got 'MEAN'"),
    # Check 2: shape of quads, before values.
    (dict(quads=np.zeros((5, 4, 3)), values=np.zeros(2)), ValueError,
     "quads must have shape (N, 4, 2); got [5, 4, 3]"),
    (dict(quads=np.zeros((7, 4, 3))), ValueError, "quads must have shape (N, 4, 2); got [7, 4, 3]"),
    (dict(quads=np.zeros((2, 3, 2))), ValueError, "quads must have shape (N, 4, 2); got [2, 3, 2]"),
    (dict(quads=np.zeros((0, 2, 4))), ValueError, "quads must have shape (N, 4, 2); got [0, 2, 4]"),
    # Check 3: values against N, before the coordinate arrays.
    (dict(quads=np.zeros((5, 4, 2)), values=np.zeros(4), output_x=strided(3)), ValueError,
     "values shape [4] does not match number of quads (5)"),
    (dict(values=np.zeros(0)), ValueError, "values shape [0] does not match number of quads (1)"),
    # Checks 4 and 5: flat access to the coordinate arrays, unprefixed.
    (dict(output_x=strided(3), output_y=np.array([1.0])), TypeError, NOT_CONTIGUOUS),
    (dict(output_x=misaligned([0.5, 1.5, 2.5])), TypeError, NOT_CONTIGUOUS),
    (dict(output_y=strided(3)), TypeError, NOT_CONTIGUOUS),
    (dict(output_y=np.arange(6.0)[::-2]), TypeError, NOT_CONTIGUOUS),
    # Check 6: at least two centres, before the widths.
    (dict(output_x=np.array([0.5]), output_y=np.array([2.0, 1.0])), ValueError,
     "output_x and output_y must each have at least 2 entries (to infer the bin width)"),
    (dict(output_y=np.zeros(1)), ValueError,
     "output_x and output_y must each have at least 2 entries (to infer the bin width)"),
    (dict(output_x=np.zeros(0)), ValueError,
     "output_x and output_y must each have at least 2 entries (to infer the bin width)"),
    (dict(output_x=np.zeros((3, 0))[0]), ValueError,
     "output_x and output_y must each have at least 2 entries (to infer the bin width)"),
    (dict(output_x=np.zeros((0, 4)).T[1]), ValueError,
     "output_x and output_y must each have at least 2 entries (to infer the bin width)"),
    # Check 7: strictly increasing first two centres, before the copy layouts.
    (dict(output_x=np.array([1.0, 0.0, 2.0]), quads=np.asfortranarray(np.zeros((2, 4, 2))),
          values=np.zeros(2)), ValueError, "output_x and output_y must be strictly increasing"),
    (dict(output_x=np.array([1.0, 1.0, 2.0])), ValueError,
     "output_x and output_y must be strictly increasing"),
    (dict(output_y=np.array([0.0, -0.0, 1.0])), ValueError,
     "output_x and output_y must be strictly increasing"),
    (dict(output_y=np.array([1.0, -INF])), ValueError,
     "output_x and output_y must be strictly increasing"),
    # Check 8: the copy of quads in row-major order, before values.
    (dict(quads=np.asfortranarray(np.zeros((2, 4, 2))), values=np.zeros(2)[::-1]), ValueError,
     "quads could not be flattened to a contiguous slice"),
    (dict(quads=np.asfortranarray(np.zeros((1, 4, 2))), values=np.zeros(1)), ValueError,
     "quads could not be flattened to a contiguous slice"),
    (dict(quads=np.zeros((3, 4, 2))[::-1], values=np.zeros(3)), ValueError,
     "quads could not be flattened to a contiguous slice"),
    (dict(quads=np.zeros((1, 4, 2))[:, ::-1]), ValueError,
     "quads could not be flattened to a contiguous slice"),
    (dict(quads=np.zeros((2, 2, 4)).transpose(0, 2, 1), values=np.zeros(2)), ValueError,
     "quads could not be flattened to a contiguous slice"),
    # Check 9: the copy of values with unit stride.
    (dict(quads=np.zeros((2, 4, 2)), values=np.zeros(2)[::-1]), ValueError,
     "values could not be flattened to a contiguous slice"),
])
def test_checks_in_order(changes, exc, text):
    with pytest.raises(exc) as info:
        call(**changes)
    assert type(info.value) is exc
    assert str(info.value) == text


@pytest.mark.parametrize("changes", [
    dict(quads=np.zeros((1, 4, 2))[::-1]),             # reversed axis of length 1
    dict(values=np.zeros(1)[::-1]),                     # one element, any direction
    dict(values=np.zeros(2)[::2]),                       # strided, one element
    dict(values=np.zeros(3)[::3]),
    dict(quads=np.zeros((3, 4, 2))[::2], values=np.zeros(4)[::2]),   # strided: gathered
    dict(quads=np.broadcast_to(Q1, (4, 4, 2)), values=np.broadcast_to(1.0, (4,))),
    dict(output_x=np.array([0.0, 1.0, 1.5, 7.0])),      # only the first two entries are read
    dict(output_x=np.array([0.0, 1.0, NAN])),
    dict(output_x=np.array([NAN, 1.0])),                 # NaN width passes check 7
    dict(output_y=np.array([-INF, -INF])),               # so does -inf - -inf
    dict(output_x=np.asfortranarray(np.arange(3.0))),
    dict(output_x=np.arange(6.0)[:3]),
    dict(mode="mean"),
    dict(mode=type("Mode", (str,), {})("mean")),         # a str subclass
    dict(skip_partial=True),
    dict(skip_partial=np.bool_(True)),
])
def test_accepted_layouts_and_arguments(changes):
    out = call(**changes)
    kwargs = dict(GOOD, **changes)
    assert out.shape == (len(kwargs["output_x"]), len(kwargs["output_y"]))
    assert out.dtype == np.float64


def test_array_subclass_is_accepted():
    class Sub(np.ndarray):
        pass

    out = R(Q1.view(Sub), V1.view(Sub), output_x=X3.view(Sub), output_y=X3.view(Sub))
    assert bits(out) == bits(R(Q1, V1, output_x=X3, output_y=X3))
    assert type(out) is np.ndarray


# ---------------------------------------------------------------------------
# Layouts of quads and values give the results of their plain copies


def _sample_inputs():
    rng = np.random.default_rng(7)
    n = 9
    c = rng.uniform(-0.5, 4.5, (n, 2))
    ang = np.sort(rng.uniform(0, 2 * np.pi, (n, 4)), axis=1)
    r = rng.uniform(0.1, 1.4, (n, 1))
    q = np.stack([c[:, :1] + r * np.cos(ang), c[:, 1:] + r * np.sin(ang)], axis=-1)
    return q, rng.normal(size=n)


def _structured(q, v, pad="u1"):
    rec = np.zeros(len(v), dtype=[("pad", pad), ("q", "<f8", (4, 2)), ("v", "<f8")])
    rec["q"] = q
    rec["v"] = v
    return rec["q"], rec["v"]


def _misaligned_both(q, v):
    return misaligned(q), misaligned(v)


def _strided_both(q, v):
    big_q = np.zeros((len(v), 3, 4, 2))
    big_q[:, 1] = q
    big_v = np.zeros((len(v), 3))
    big_v[:, 2] = v
    return big_q[:, 1], big_v[:, 2]


def _every_other(q, v):
    big_q = np.zeros((2 * len(v), 4, 2))
    big_q[::2] = q
    big_v = np.zeros(2 * len(v))
    big_v[1::2] = v
    return big_q[::2], big_v[1::2]


@pytest.mark.parametrize("layout", [_structured, lambda q, v: _structured(q, v, "<f4"),
                                    _misaligned_both, _strided_both, _every_other],
                         ids=["structured-packed", "structured-f4-pad", "misaligned", "strided",
                              "every-other"])
@pytest.mark.parametrize("mode", ["sum", "mean"])
def test_views_give_the_result_of_plain_copies(layout, mode):
    q, v = _sample_inputs()
    x = centres(5)
    y = centres(4, 0.75, -0.25)
    qv, vv = layout(q, v)
    assert qv.shape == q.shape and vv.shape == v.shape
    expected = R(np.array(qv), np.array(vv), output_x=x, output_y=y, mode=mode)
    got = R(qv, vv, output_x=x, output_y=y, mode=mode)
    assert bits(got) == bits(expected)
    assert bits(got) == bits(R(q, v, output_x=x, output_y=y, mode=mode))


def test_inputs_are_not_modified_and_references_are_kept():
    q, v = _sample_inputs()
    x, y = centres(5), centres(5)
    q0, v0, x0, y0 = q.copy(), v.copy(), x.copy(), y.copy()
    counts = [sys.getrefcount(a) for a in (q, v, x, y)]
    for _ in range(20):
        R(q, v, output_x=x, output_y=y, mode="mean")
    with pytest.raises(ValueError):
        R(q, v, output_x=x, output_y=y, mode="bad")
    assert [sys.getrefcount(a) for a in (q, v, x, y)] == counts
    for a, b in ((q, q0), (v, v0), (x, x0), (y, y0)):
        assert bits(a) == bits(b)


def test_result_array_owns_its_buffer_through_its_base():
    out = R(Q1, V1, output_x=X3, output_y=centres(4))
    assert out.shape == (3, 4)
    assert out.dtype == np.float64
    assert type(out) is np.ndarray
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.aligned
    assert not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"
    out[...] = 1.0  # writeable, and independent of later calls
    assert R(Q1, V1, output_x=X3, output_y=centres(4))[2, 3] == 0.0


# ---------------------------------------------------------------------------
# Grid inference


def test_grid_from_the_first_two_centres():
    # Centres 0, 1, 1.5, 7: width 1.0, lower edge -0.5, four cells.
    x = np.array([0.0, 1.0, 1.5, 7.0])
    y = np.array([10.0, 12.0])   # width 2, lower edge 9
    q = quads_array(rect(-0.4, 9.5, 0.4, 10.5), rect(2.6, 11.2, 2.9, 12.8))
    out = R(q, np.array([1.0, 2.0]), output_x=x, output_y=y)
    expected = np.zeros((4, 2))
    expected[0, 0] = 1.0
    expected[3, 1] = 2.0
    assert bits(out) == bits(expected)


@pytest.mark.parametrize("x0, x1", [(0.1, 0.3), (-3.0, 1e-3), (1e6, 1e6 + 0.25), (0.5, 1.5)])
def test_cells_follow_the_derived_edges(x0, x1):
    x = np.array([x0, x1, 99.0])
    ox, bx, _, _ = grid_edges(x, X3)
    # A thin quad centred in each cell lands in that cell only.
    for ix in range(3):
        lo = ox + bx * ix
        mid = lo + bx * 0.5
        q = quads_array(rect(mid - bx * 0.1, 1.4, mid + bx * 0.1, 1.6))
        out = R(q, np.array([1.0]), output_x=x, output_y=X3)
        assert out[ix, 1] == 1.0 and out.sum() == 1.0


# ---------------------------------------------------------------------------
# Numeric facts


@pytest.mark.parametrize("quad", [
    rect(1.2, 0.3, 1.7, 0.9),
    [(1.1, 0.2), (1.9, 0.5), (1.6, 0.95), (1.05, 0.7)],
    [(1.05, 0.7), (1.6, 0.95), (1.9, 0.5), (1.1, 0.2)],   # clockwise
    rect(1.0, 0.0, 2.0, 1.0),                               # exactly the cell
])
def test_quad_inside_one_cell(quad):
    q = quads_array(quad)
    v = 2.7
    total = R(q, np.array([v]), output_x=X3, output_y=X3)
    expected = np.zeros((3, 3))
    expected[1, 0] = v
    assert bits(total) == bits(expected)
    area = _area([tuple(c) for c in quad])
    mean = R(q, np.array([v]), output_x=X3, output_y=X3, mode="mean")
    expected[1, 0] = (0.0 + v * area) / area
    assert bits(mean) == bits(expected)


def test_mean_of_two_overlaps_with_weights_a_quarter_and_three_quarters():
    x = centres(3)
    # Single-cell rule for both quads.
    q = quads_array(rect(1.0, 1.0, 1.25, 2.0), rect(1.25, 1.0, 2.0, 2.0))
    out = R(q, np.array([1.0, 3.0]), output_x=x, output_y=x, mode="mean")
    assert out[1, 1] == 2.5
    # The same overlaps from quads that reach into the neighbouring cells.
    q = quads_array(rect(0.5, 1.0, 1.25, 2.0), rect(1.25, 1.0, 2.5, 2.0))
    out = R(q, np.array([1.0, 3.0]), output_x=x, output_y=x, mode="mean")
    assert out[1, 1] == 2.5
    assert out[0, 1] == 1.0 and out[2, 1] == 3.0
    assert out[1, 0] == 0.0 and out[1, 2] == 0.0


def test_single_cell_rule_uses_the_whole_quad_area():
    x = centres(3)
    q = quads_array([(-0.5, 0.25), (0.5, 0.25), (0.5, 0.75), (-0.5, 0.75)],
                    [(0.5, 0.25), (0.75, 0.25), (0.75, 0.75), (0.5, 0.75)])
    v = np.array([2.0, 4.0])
    mean = R(q, v, output_x=x, output_y=x, mode="mean")
    expected = np.zeros((3, 3))
    expected[0, 0] = 2.4
    assert bits(mean) == bits(expected)
    total = R(q, v, output_x=x, output_y=x)
    expected[0, 0] = 6.0
    assert bits(total) == bits(expected)


def test_mean_weights_two_quads_in_one_cell_by_their_own_areas():
    q = quads_array(rect(0.1, 0.1, 0.2, 0.2), rect(0.3, 0.3, 0.9, 0.9))
    out = R(q, np.array([10.0, 1.0]), output_x=X3, output_y=X3, mode="mean")
    a0 = _area([tuple(c) for c in q[0]])
    a1 = _area([tuple(c) for c in q[1]])
    assert out[0, 0] == (0.0 + 10.0 * a0 + 1.0 * a1) / (0.0 + a0 + a1)
    assert out[0, 0] == pytest.approx((10 * 0.01 + 0.36) / 0.37, rel=1e-14)


@pytest.mark.parametrize("mode", ["sum", "mean"])
@pytest.mark.parametrize("skip_partial", [False, True])
def test_no_quads_give_zeros(mode, skip_partial):
    out = R(np.zeros((0, 4, 2)), np.zeros(0), output_x=centres(4), output_y=centres(3),
            mode=mode, skip_partial=skip_partial)
    assert out.shape == (4, 3) and out.dtype == np.float64
    assert bits(out) == bits(np.zeros((4, 3)))


@pytest.mark.parametrize("mode", ["sum", "mean"])
def test_cells_that_nothing_reaches_stay_zero(mode):
    q = quads_array(rect(0.2, 0.2, 1.8, 0.8))
    out = R(q, np.array([NAN]), output_x=X3, output_y=X3, mode=mode)
    assert np.isnan(out[0, 0]) and np.isnan(out[1, 0])
    rest = np.delete(out.ravel(), [0, 3])
    assert bits(rest) == bits(np.zeros(7))


NONFINITE_CASES = [
    (rect(0.2, 0.2, 0.8, 0.8), NAN),
    (rect(0.2, 0.2, 2.8, 0.8), NAN),
    (rect(0.2, 0.2, 2.8, 0.8), INF),
    (rect(0.2, 0.2, 2.8, 0.8), -INF),
    ([(0.2, 0.2), (NAN, 0.2), (0.8, 0.8), (0.2, 0.8)], 1.0),
    ([(0.2, 0.2), (2.5, NAN), (0.8, 0.8), (0.2, 0.8)], 1.0),
    ([(NAN, NAN)] * 4, 1.0),
    ([(0.2, 0.2), (INF, 0.2), (INF, 0.8), (0.2, 0.8)], 1.0),
    ([(-INF, -INF), (INF, -INF), (INF, INF), (-INF, INF)], 1.0),
    ([(-INF, 0.5), (0.5, 0.5), (0.5, 0.6), (-INF, 0.6)], 1.0),
    ([(1e308, 1e308), (-1e308, 1e308), (-1e308, -1e308), (1e308, -1e308)], 1.0),
    (rect(0.2, 0.2, 1e-300, 0.8), 1e308),
]


@pytest.mark.parametrize("quad, value", NONFINITE_CASES)
@pytest.mark.parametrize("mode", ["sum", "mean"])
@pytest.mark.parametrize("skip_partial", [False, True])
def test_nan_and_infinity_never_raise_and_follow_the_arithmetic(quad, value, mode, skip_partial):
    q = quads_array(quad, rect(1.2, 1.2, 1.8, 1.8))
    v = np.array([value, 5.0])
    out = R(q, v, output_x=X3, output_y=X3, mode=mode, skip_partial=skip_partial)
    ref = reference_rebin(q, v, X3, X3, mode, skip_partial)
    assert bits(out) == bits(ref)


def test_nan_corner_in_one_cell_contributes_nothing():
    q = quads_array([(0.2, 0.2), (NAN, 0.2), (0.8, 0.8), (0.2, 0.8)])
    for mode in ("sum", "mean"):
        out = R(q, np.array([1.0]), output_x=X3, output_y=X3, mode=mode)
        assert bits(out) == bits(np.zeros((3, 3)))


def test_nan_value_in_sum_mode_spreads_to_every_cell_reached():
    q = quads_array(rect(0.5, 0.5, 2.5, 1.5))
    out = R(q, np.array([NAN]), output_x=X3, output_y=X3)
    assert np.isnan(out[:, :2]).all()
    assert (out[:, 2] == 0.0).all()


# Edges of a 3 x 3 grid of unit cells from (0, 0) to (3, 3).
EDGE_CASES = [
    # (name, quad, cells credited by default (value fractions), kept with skip_partial)
    ("inside", rect(0.5, 0.5, 2.5, 1.5), {(0, 0): 0.125, (1, 0): 0.25, (2, 0): 0.125,
                                          (0, 1): 0.125, (1, 1): 0.25, (2, 1): 0.125}, True),
    ("straddles left edge", rect(-0.5, 0.25, 0.5, 0.75) , {(0, 0): 1.0}, False),
    ("straddles left edge, two rows", rect(-0.5, 0.5, 0.5, 1.5), {(0, 0): 0.5, (0, 1): 0.5}, False),
    ("straddles bottom edge", rect(0.5, -1.0, 1.5, 0.5), {(0, 0): 0.5, (1, 0): 0.5}, False),
    ("ends exactly at the top edge", rect(0.5, 2.5, 1.5, 3.0), {(0, 2): 0.5, (1, 2): 0.5}, False),
    ("ends exactly at the right edge", rect(2.25, 0.25, 3.0, 0.75), {(2, 0): 1.0}, False),
    ("box within the grid, touching the lower edges", rect(0.0, 0.0, 0.5, 0.5), {(0, 0): 1.0}, True),
    ("starts exactly at the right edge", rect(3.0, 0.25, 3.5, 0.75), {}, False),
    ("starts exactly at the top edge", rect(0.25, 3.0, 0.75, 3.5), {}, False),
    # A box that only touches the left or bottom edge from outside has no
    # area in the grid: dropped, like one that starts at the right or top edge.
    ("below the grid, top touching, one column", rect(1.25, -1.0, 1.75, 0.0), {}, False),
    ("left of the grid, right side touching, one row", rect(-1.0, 2.25, 0.0, 2.75), {}, False),
    ("left of the grid, touching, cell (0, 0)", rect(-0.5, 0.2, 0.0, 0.6), {}, False),
    ("below the grid, top touching, two columns", rect(0.5, -1.0, 1.5, 0.0), {}, False),
    ("entirely left", rect(-2.0, 0.5, -0.5, 1.5), {}, False),
    ("entirely above", rect(0.5, 3.5, 1.5, 4.5), {}, False),
    ("covers the whole grid", rect(-1.0, -1.0, 4.0, 4.0),
     {(i, j): 1.0 / 9.0 for i in range(3) for j in range(3)}, False),
    ("far beyond, clamped onto one corner cell", rect(3.0 - 1e-9, 3.0 - 1e-9, 1e100, 1e100),
     {(2, 2): 1.0}, False),
]


@pytest.mark.parametrize("name, quad, cells, kept", EDGE_CASES, ids=[c[0] for c in EDGE_CASES])
def test_grid_edges_with_and_without_skip_partial(name, quad, cells, kept):
    x = centres(3)
    q = quads_array(quad)
    v = np.array([8.0])
    expected = np.zeros((3, 3))
    for (ix, iy), share in cells.items():
        expected[ix, iy] = 8.0 * share
    out = R(q, v, output_x=x, output_y=x)
    np.testing.assert_allclose(out, expected, rtol=1e-14, atol=1e-14)
    assert bits(out) == bits(reference_rebin(q, v, x, x))
    if cells:
        assert out.sum() == pytest.approx(8.0, rel=1e-14)
    skipped = R(q, v, output_x=x, output_y=x, skip_partial=True)
    assert bits(skipped) == bits(out if kept else np.zeros((3, 3)))
    for skip in (False, True):
        mean = R(q, v, output_x=x, output_y=x, mode="mean", skip_partial=skip)
        assert bits(mean) == bits(reference_rebin(q, v, x, x, "mean", skip))
        reached = (out != 0.0) if (kept or not skip) else np.zeros((3, 3), bool)
        assert bits(mean[reached]) == bits(np.full(int(reached.sum()), 8.0))
        assert bits(mean[~reached]) == bits(np.zeros(int((~reached).sum())))


def test_single_cell_rule_beyond_the_grid_credits_the_whole_quad():
    x = centres(3)
    # Clamped onto column 0, one row: the whole area counts, unclipped.
    q = quads_array(rect(-5.0, 1.25, 0.5, 1.75))
    out = R(q, np.array([2.0]), output_x=x, output_y=x)
    assert out[0, 1] == 2.0 and out.sum() == 2.0
    # With a second quad in the cell, the mean weighs the whole area 2.75.
    q2 = quads_array(rect(-5.0, 1.25, 0.5, 1.75), rect(0.5, 1.25, 0.75, 1.75))
    mean = R(q2, np.array([2.0, 4.0]), output_x=x, output_y=x, mode="mean")
    assert mean[0, 1] == (0.0 + 2.0 * 2.75 + 4.0 * 0.125) / (0.0 + 2.75 + 0.125)


DEGENERATE_IN_ONE_CELL = [
    [(0.2, 0.2), (0.5, 0.5), (0.8, 0.8), (0.3, 0.3)],       # collinear
    [(0.2, 0.4), (0.2, 0.4), (0.7, 0.9), (0.7, 0.9)],       # two pairs of equal corners
    [(1.5, 1.5)] * 4,                                        # a point
    [(1.1, 1.3), (1.9, 1.3), (1.4, 1.3), (1.1, 1.3)],
]


@pytest.mark.parametrize("quad", DEGENERATE_IN_ONE_CELL)
@pytest.mark.parametrize("mode", ["sum", "mean"])
def test_degenerate_quads_contribute_nothing(quad, mode):
    q = quads_array(quad, rect(2.2, 2.2, 2.8, 2.8))
    out = R(q, np.array([5.0, 1.0]), output_x=X3, output_y=X3, mode=mode)
    expected = np.zeros((3, 3))
    expected[2, 2] = 1.0
    assert bits(out) == bits(expected)


DEGENERATE_ACROSS_CELLS = [
    # (quad, contributes): clipped pieces of a segment are computed by
    # interpolation, so their areas are zero only up to rounding. Where
    # rounding leaves a positive area the whole value still lands on the grid.
    ([(0.2, 0.2), (1.5, 1.5), (2.8, 2.8), (0.3, 0.3)], False),
    ([(0.5, 1.0), (2.5, 1.0), (2.5, 1.0), (0.5, 1.0)], False),   # along a cell edge
    ([(0.5, 1.5), (2.5, 1.5), (1.5, 1.5), (0.5, 1.5)], False),
    ([(0.2, 0.4), (0.2, 0.4), (2.7, 1.9), (2.7, 1.9)], True),    # slivers of ~5e-17
]


@pytest.mark.parametrize("quad, contributes", DEGENERATE_ACROSS_CELLS)
def test_degenerate_quads_across_cells_follow_the_rounding_of_their_overlaps(quad, contributes):
    q = quads_array(quad)
    v = np.array([5.0])
    total = R(q, v, output_x=X3, output_y=X3)
    mean = R(q, v, output_x=X3, output_y=X3, mode="mean")
    assert bits(total) == bits(reference_rebin(q, v, X3, X3))
    assert bits(mean) == bits(reference_rebin(q, v, X3, X3, "mean"))
    if contributes:
        assert total.sum() == pytest.approx(5.0, rel=1e-14)
        assert set(mean[mean != 0.0].tolist()) == {5.0}
    else:
        assert bits(total) == bits(np.zeros((3, 3)))
        assert bits(mean) == bits(np.zeros((3, 3)))


def test_bow_tie_area_is_the_signed_sum():
    # Lobes of opposite winding and equal area cancel exactly: nothing is
    # credited.
    q = quads_array([(0.25, 0.25), (0.75, 0.75), (0.75, 0.25), (0.25, 0.75)])
    out = R(q, np.array([1.0]), output_x=X3, output_y=X3, mode="mean")
    assert bits(out) == bits(np.zeros((3, 3)))
    # Unequal lobes: the weight is the difference of their areas.
    q = quads_array([(0.0, 0.0), (1.0, 0.5), (1.0, 0.0), (0.0, 1.0)],
                    rect(0.0, 0.0, 0.5, 0.5))
    a = _area([tuple(c) for c in q[0]])
    assert a == 0.25
    out = R(q, np.array([3.0, 1.0]), output_x=X3, output_y=X3, mode="mean")
    assert out[0, 0] == (0.0 + 3.0 * a + 1.0 * 0.25) / (0.0 + a + 0.25)


# ---------------------------------------------------------------------------
# Bit-exact agreement with the literal arithmetic


@st.composite
def rebin_cases(draw):
    mx, my = draw(GRID)
    width_x = draw(st.sampled_from([1.0, 0.5, 0.3, 1.7]))
    width_y = draw(st.sampled_from([1.0, 0.25, 0.7, 2.0]))
    lower_x = draw(st.sampled_from([0.0, -1.0, 0.1, 1e3]))
    lower_y = draw(st.sampled_from([0.0, 2.0, -0.35]))
    x = centres(mx, width_x, lower_x)
    y = centres(my, width_y, lower_y)
    span_x, span_y = mx * width_x, my * width_y
    quads = draw(st.lists(convex_quad(-0.3, 1.3, 0.01, 0.8), min_size=0, max_size=8))
    q = np.array(quads, dtype=np.float64).reshape(-1, 4, 2)
    # Positions in grid units, then into the grid's coordinates.
    q[..., 0] = lower_x + q[..., 0] * span_x
    q[..., 1] = lower_y + q[..., 1] * span_y
    if draw(st.booleans()):
        # Snap to half cells: corners on cell edges and on the grid's border.
        q[..., 0] = lower_x + np.round((q[..., 0] - lower_x) / width_x * 2) / 2 * width_x
        q[..., 1] = lower_y + np.round((q[..., 1] - lower_y) / width_y * 2) / 2 * width_y
    v = np.array(draw(st.lists(st.floats(-1e3, 1e3), min_size=len(q), max_size=len(q))),
                 dtype=np.float64)
    mode = draw(st.sampled_from(["sum", "mean"]))
    skip = draw(st.booleans())
    return q, v, x, y, mode, skip


@PROPERTY
@given(rebin_cases())
def test_results_match_the_literal_arithmetic_bit_for_bit(case):
    q, v, x, y, mode, skip = case
    out = R(q, v, output_x=x, output_y=y, mode=mode, skip_partial=skip)
    assert bits(out) == bits(reference_rebin(q, v, x, y, mode, skip))


def _mixed_quads(n, seed, mx, my):
    """n quads on a grid of mx x my unit cells: sizes from a twentieth of a
    cell to four cells, rotated, reaching past every edge of the grid (never
    ending exactly on its left or bottom edge), some with corners on cell
    lines, NaN or infinite corners, bow-ties and degenerate ones."""
    rng = np.random.default_rng(seed)
    size = np.exp(rng.uniform(np.log(0.05), np.log(4.0), n))
    angle = rng.uniform(0, np.pi, n)
    centre = rng.uniform([-1.5, -1.5], [mx + 1.5, my + 1.5], (n, 2))
    on_lines = rng.random(n) < 0.25
    centre[on_lines] = np.round(centre[on_lines]) + 0.5
    unit = np.array([[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5]])
    rot = np.stack([np.cos(angle), -np.sin(angle), np.sin(angle), np.cos(angle)], -1).reshape(n, 2, 2)
    q = centre[:, None, :] + size[:, None, None] * np.einsum("nij,kj->nki", rot, unit)
    kind = rng.integers(0, 10, n)
    q[kind == 1] = q[kind == 1][:, [0, 2, 1, 3]]  # bow-tie
    q[kind == 2, 2:] = q[kind == 2, :2]  # two pairs of equal corners
    special = np.array([NAN, INF, -INF])
    for i in np.flatnonzero(kind == 3):
        q[i, rng.integers(0, 4), rng.integers(0, 2)] = special[rng.integers(0, 3)]
    return np.ascontiguousarray(q), rng.uniform(-2.0, 10.0, n)


# Counts that end blocks of four quads and chunks of 64 in every way.
@pytest.mark.parametrize("n", [1, 3, 4, 5, 63, 64, 65, 131])
@pytest.mark.parametrize("mode,skip", [("sum", False), ("sum", True), ("mean", False), ("mean", True)])
def test_mixed_quads_match_the_literal_arithmetic_bit_for_bit(n, mode, skip):
    q, v = _mixed_quads(n, seed=n, mx=7, my=5)
    x, y = centres(7), centres(5)
    out = R(q, v, output_x=x, output_y=y, mode=mode, skip_partial=skip)
    assert bits(out) == bits(reference_rebin(q, v, x, y, mode, skip))


# ---------------------------------------------------------------------------
# Properties against shapely


def _to_grid(quads, lower, width):
    q = np.array(quads, dtype=np.float64).reshape(-1, 4, 2)
    q[..., 0] = lower[0] + q[..., 0] * width[0]
    q[..., 1] = lower[1] + q[..., 1] * width[1]
    return q


GRID_GEOMETRY = st.tuples(
    GRID,
    st.tuples(st.floats(-10, 10), st.floats(-10, 10)),
    st.tuples(st.floats(0.1, 10), st.floats(0.1, 10)),
)


@PROPERTY
@given(GRID_GEOMETRY, convex_quads(8, 0.0, 6.0, 0.05, 2.5),
       st.lists(st.floats(0.5, 2.0), min_size=8, max_size=8))
@example(((3, 3), (0.0, 0.0), (1.0, 1.0)), [rect(-0.5, -0.5, 3.5, 0.5)], [1.0] * 8)
@example(((2, 2), (0.0, 0.0), (1.0, 1.0)),
         [[(2.875, 0.0), (2.263739533021843, 0.9749279121818236),
           (1.9245155660487905, -0.433883739117558), (2.6867449009293667, -0.7818314824680299)],
          rect(0.5, 0.5, 1.5, 1.5)], [1.0] * 8)
def test_sum_mode_conserves_the_values_of_contributing_quads(geometry, quads, values):
    (mx, my), lower, width = geometry
    q = _to_grid(quads, lower, width)
    x, y = centres(mx, width[0], lower[0]), centres(my, width[1], lower[1])
    v = np.array(values[:len(q)])
    # A quad contributes when it overlaps the grid with positive area, and
    # not when its bounding box is clear of the grid. Other quads are left
    # out: one whose box reaches the grid although the quad does not may be
    # credited whole by the single-cell rule, and a sliver is ambiguous.
    grid_box = shapely.box(lower[0], lower[1], lower[0] + mx * width[0], lower[1] + my * width[1])
    contributes = []
    for quad in q:
        overlap = shapely_overlaps(quad, x, y).sum()
        area = shapely.Polygon(quad).area
        gap = shapely.Polygon(quad).envelope.distance(grid_box)
        assume(overlap > 1e-6 * area or gap > 1e-6 * min(width))
        contributes.append(overlap > 1e-6 * area)
    contributes = np.array(contributes, dtype=bool)
    out = R(q, v, output_x=x, output_y=y)
    assert out.sum() == pytest.approx(v[contributes].sum(), rel=1e-9, abs=1e-12)


@PROPERTY
@given(GRID_GEOMETRY, convex_quad(0.0, 6.0, 0.05, 2.5), st.booleans())
@example(((3, 3), (0.0, 0.0), (1.0, 1.0)), rect(0.5, 0.5, 2.5, 1.5), False)
@example(((2, 2), (0.0, 0.0), (1.0, 1.0)), [(0.5, -0.5), (1.5, 0.5), (0.5, 1.5), (-0.5, 0.5)], True)
def test_each_share_is_the_overlap_over_the_total_overlap(geometry, quad, reverse):
    (mx, my), lower, width = geometry
    q = _to_grid([quad[::-1] if reverse else quad], lower, width)
    x, y = centres(mx, width[0], lower[0]), centres(my, width[1], lower[1])
    areas = shapely_overlaps(q[0], x, y)
    assume(areas.sum() > 1e-6 * width[0] * width[1])
    out = R(q, np.array([1.0]), output_x=x, output_y=y)
    np.testing.assert_allclose(out, areas / areas.sum(), rtol=0, atol=1e-8)


@PROPERTY
@given(GRID_GEOMETRY, convex_quads(8, -1.0, 7.0, 0.02, 3.0),
       st.lists(st.floats(-10, 10), min_size=8, max_size=8),
       st.sampled_from(["sum", "mean"]), st.booleans())
def test_reversing_the_winding_changes_nothing_beyond_rounding(geometry, quads, values, mode, skip):
    (mx, my), lower, width = geometry
    q = _to_grid(quads, lower, width)
    x, y = centres(mx, width[0], lower[0]), centres(my, width[1], lower[1])
    v = np.array(values[:len(q)])
    forward = R(q, v, output_x=x, output_y=y, mode=mode, skip_partial=skip)
    backward = R(np.ascontiguousarray(q[:, ::-1]), v, output_x=x, output_y=y, mode=mode,
                 skip_partial=skip)
    scale = max(1.0, float(np.abs(v).max()))
    np.testing.assert_allclose(backward, forward, rtol=1e-9, atol=1e-9 * scale)


@PROPERTY
@given(GRID_GEOMETRY, convex_quads(8, 0.15, 0.85, 0.01, 0.3, n_min=2),
       st.lists(st.floats(-10, 10), min_size=8, max_size=8))
@example(((3, 3), (0.0, 0.0), (1.0, 1.0)),
         [[(c[0] / 3, c[1] / 3) for c in rect(1.0, 1.0, 1.25, 2.0)],
          [(c[0] / 3, c[1] / 3) for c in rect(0.5, 1.0, 2.0, 2.0)]], [1.0, 3.0] + [0.0] * 6)
def test_mean_mode_is_the_area_weighted_mean_per_cell(geometry, quads, values):
    (mx, my), lower, width = geometry
    x, y = centres(mx, width[0], lower[0]), centres(my, width[1], lower[1])
    # Quads placed in fractions of the whole grid; only those whose boxes lie
    # inside it are used, where every weight is an overlap area.
    q = _to_grid(quads, lower, (mx * width[0], my * width[1]))
    inside = ((q[..., 0].min(axis=1) > lower[0]) & (q[..., 1].min(axis=1) > lower[1])
              & (q[..., 0].max(axis=1) < lower[0] + mx * width[0])
              & (q[..., 1].max(axis=1) < lower[1] + my * width[1]))
    q = q[inside]
    v = np.array(values[:len(inside)])[inside]
    weighted = np.zeros((mx, my))
    weight = np.zeros((mx, my))
    for quad, value in zip(q, v):
        areas = shapely_overlaps(quad, x, y)
        weighted += value * areas
        weight += areas
    out = R(q, v, output_x=x, output_y=y, mode="mean")
    cell = width[0] * width[1]
    solid = weight > 1e-6 * cell
    expected = np.where(solid, weighted / np.where(solid, weight, 1.0), 0.0)
    np.testing.assert_allclose(out[solid], expected[solid], rtol=1e-7, atol=1e-7)
    assert (out[weight == 0.0] == 0.0).all()


# ---------------------------------------------------------------------------
# Resources




@pytest.mark.skipif(overcommit_always(), reason="the kernel grants any allocation lazily")
@pytest.mark.parametrize("mode", ["sum", "mean"])
def test_grid_too_large_for_memory_raises_memory_error(mode):
    big = np.arange(1e6, dtype=np.float64)   # 10^12 cells: 8 TB per buffer
    with pytest.raises(MemoryError):
        R(Q1, V1, output_x=big, output_y=big, mode=mode)
    # The interpreter goes on, the lock is back, and later calls work.
    out = R(Q1, V1, output_x=X3, output_y=X3)
    assert out[0, 0] == 3.0 and out.sum() == 3.0


def _huge(n):
    """n centres over a buffer of two: only the first two are ever read."""
    return as_strided(np.array([0.5, 1.5]), shape=(n,), strides=(8,), writeable=False)


@pytest.mark.parametrize("mx, my", [
    (2**40, 2**40),        # the cell count overflows 64 bits
    (2**31, 2**31),        # 2^62 cells: 2^65 bytes
    (2**30, 2**30),        # 2^60 cells: 2^63 bytes, above 2^63 - 8
])
@pytest.mark.parametrize("mode", ["sum", "mean"])
def test_sizes_past_the_byte_limit_are_memory_errors(mx, my, mode):
    with pytest.raises(MemoryError) as info:
        R(Q1, V1, output_x=_huge(mx), output_y=_huge(my), mode=mode)
    assert str(info.value).startswith("rebin_quads output: cannot allocate ")
    assert str(mx) in str(info.value) or str(mx * my) in str(info.value)
    assert R(Q1, V1, output_x=X3, output_y=X3).sum() == pytest.approx(3.0)


@pytest.mark.skipif(overcommit_always(), reason="the kernel grants any allocation lazily")
def test_size_just_within_the_byte_limit_is_refused_as_memory():
    # 2^59 cells: 2^62 bytes, within the limit but beyond any machine.
    with pytest.raises(MemoryError):
        R(Q1, V1, output_x=_huge(2**30), output_y=_huge(2**29))


def test_concurrent_calls_agree():
    q, v = _sample_inputs()
    q = np.repeat(q, 2000, axis=0)
    v = np.repeat(v, 2000)
    x, y = centres(5), centres(4, 0.75, -0.25)
    expected = R(q, v, output_x=x, output_y=y, mode="mean")
    results = [None] * 4

    def work(i):
        results[i] = R(q, v, output_x=x, output_y=y, mode="mean")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        assert bits(r) == bits(expected)
