"""The engine's screen (``pellorin._engine.screen``) against its NumPy
statement (tests/screen_reference.py): the same two maps, flag for flag, on
smooth and broken lattices, on the sky, at the tolerance's last bit, for
every thread count; and its refusals."""

from __future__ import annotations

import re
import warnings
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import screen_reference
from conftest import SANITIZED, run_python
from pellorin import _engine
from pellorin._geometry import screen

THREADS = (1, 2, 3)


def reference(xs, ys):
    with np.errstate(all="ignore"):
        return screen_reference.screen(xs, ys)


def assert_same_maps(xs, ys, threads=THREADS):
    xs, ys = np.ascontiguousarray(xs, np.float64), np.ascontiguousarray(ys, np.float64)
    want_whole, want_cand = reference(xs, ys)
    for t in threads:
        whole, cand = _engine.screen(xs, ys, threads=t)
        assert whole.dtype == bool and cand.dtype == bool
        np.testing.assert_array_equal(whole, want_whole, err_msg=f"whole, threads={t}")
        np.testing.assert_array_equal(cand, want_cand, err_msg=f"candidates, threads={t}")
    return want_whole, want_cand


def grid(ny, nx):
    return np.meshgrid(np.arange(nx + 1) - 0.5, np.arange(ny + 1) - 0.5)


def smooth(seed, ny, nx, bend):
    """A random affine map plus quadratic and sine terms of size `bend`."""
    rng = np.random.default_rng(seed)
    x, y = grid(ny, nx)
    a = rng.normal(0, 1, (2, 3))
    c = rng.normal(0, bend, (2, 4))
    u = a[0, 0] * 50 + a[0, 1] * x + a[0, 2] * y + c[0, 0] * x * x + c[0, 1] * x * y + c[0, 2] * np.sin(y / 3)
    v = a[1, 0] * 50 + a[1, 1] * x + a[1, 2] * y + c[1, 0] * y * y + c[1, 1] * x * y + c[1, 3] * np.cos(x / 5)
    return u, v


# --- lattices compared with the reference ---------------------------------


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("ny, nx, bend", [(40, 50, 1e-3), (33, 27, 0.05), (20, 60, 0.3), (300, 7, 0.01),
                                          (520, 3, 0.002)])
def test_smooth_lattices(seed, ny, nx, bend):
    # 300 and 520 rows cross the reference's strips of 256 lattice rows.
    whole, cand = assert_same_maps(*smooth(seed, ny, nx, bend))
    assert not (whole & cand).any()


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("off", [np.nan, np.inf, -np.inf, "x only", "y only"])
def test_corners_off_the_sky_in_patches(seed, off):
    rng = np.random.default_rng(100 + seed)
    u, v = smooth(seed, 45, 38, 0.01)
    for _ in range(4):
        r0, c0 = rng.integers(0, 40, 2)
        h, w = rng.integers(1, 12, 2)
        patch = (slice(r0, r0 + h), slice(c0, c0 + w))
        if off == "x only":
            u[patch] = np.nan
        elif off == "y only":
            v[patch] = np.inf
        else:
            u[patch] = off
            v[patch] = off
    whole, cand = assert_same_maps(u, v)
    assert cand.any()


@pytest.mark.parametrize("mode", ["edge of the sky", "single corner", "all off"])
def test_sky_edges(mode):
    x, y = grid(30, 30)
    u, v = 2.0 * x + 0.1 * y, y - 0.05 * x
    if mode == "edge of the sky":
        off = (x - 14) ** 2 / 100 + (y - 15) ** 2 / 60 > 1  # an ellipse on the sky
    elif mode == "single corner":
        off = np.ones_like(x, dtype=bool)
        off[12, 17] = False
    else:
        off = np.ones_like(x, dtype=bool)
    u[off] = np.nan
    v[off] = np.nan
    assert_same_maps(u, v)


def sky_lattice(case):
    data, w_in, w_out = case.build()[:3]
    ny, nx = data.shape[-2:]
    x, y = grid(ny, nx)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        lon, lat = w_in.pixel_to_world_values(x, y)
        return w_out.world_to_pixel_values(lon, lat)


def sky_cases():
    sky = pytest.importorskip("sky_cases")
    return [pytest.param(c, id=c.name) for c in sky.CASES if c.kind in ("seam", "pole", "all-sky")]


@pytest.mark.parametrize("case", sky_cases())
def test_sky_maps(case):
    u, v = sky_lattice(case)
    whole, cand = assert_same_maps(u, v)
    assert whole.any()


@pytest.mark.parametrize("name", ["collinear", "one point", "collapsed rows", "collapsed columns",
                                  "zero columns apart", "huge", "tiny", "overflowing"])
def test_degenerate_quads(name):
    x, y = grid(12, 14)
    if name == "collinear":
        u, v = x + 2 * y, 3 * (x + 2 * y)
    elif name == "one point":
        u, v = np.full_like(x, 4.0), np.full_like(x, -1.0)
    elif name == "collapsed rows":
        u, v = x, np.floor(y / 3)
    elif name == "collapsed columns":
        u, v = np.round(x / 4), y
    elif name == "zero columns apart":
        u, v = x.copy(), y.copy()
        u[:, 5] = u[:, 4]
        v[:, 5] = v[:, 4]
    elif name == "huge":
        u, v = 1e300 * x, 1e300 * (y + 0.01 * x * x)
    elif name == "tiny":
        u, v = 1e-300 * x, 1e-300 * (y + 0.01 * x * x)
    else:
        u, v = 1.7e308 * np.sign(x) * (x * x > 20), y
    assert_same_maps(u, v)


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("jitter", [0.2, 0.6, 2.0])
def test_folds_bow_ties_and_concave_quads(seed, jitter):
    rng = np.random.default_rng(200 + seed)
    x, y = grid(25, 31)
    u = x + rng.normal(0, jitter, x.shape)
    v = y + rng.normal(0, jitter, x.shape)
    # A few explicit bow-ties: two corners of a pixel exchanged.
    for j, i in rng.integers(1, 24, (3, 2)):
        u[j, i], u[j, i + 1] = u[j, i + 1], u[j, i]
        v[j, i], v[j, i + 1] = v[j, i + 1], v[j, i]
    whole, cand = assert_same_maps(u, v)
    assert cand.any()


@pytest.mark.parametrize("ny, nx", [(1, 1), (1, 2), (2, 1), (2, 2), (1, 9), (9, 1), (2, 7), (7, 2), (3, 3),
                                    (0, 4), (4, 0), (0, 0)])
@pytest.mark.parametrize("broken", [False, True])
def test_tiny_images(ny, nx, broken):
    u, v = smooth(7, ny, nx, 0.02)
    if broken:
        u[0, 0] = np.nan
    whole, cand = assert_same_maps(u, v)
    assert whole.shape == cand.shape == (ny, nx)


def bisect_flip(family):
    """Adjacent doubles k_lo < k_hi at which the whole-pixel count of the
    lattices family(k) (straight at k = 0) first changes."""
    base = reference(*family(0.0))[0].sum()
    lo, hi = 0.0, 1.0
    assert reference(*family(hi))[0].sum() != base
    while np.nextafter(lo, hi) < hi:
        mid = lo + (hi - lo) / 2
        if mid in (lo, hi):
            break
        if reference(*family(mid))[0].sum() == base:
            lo = mid
        else:
            hi = mid
    return lo, hi


@pytest.mark.parametrize("stretch", [1.0, 30.0])
@pytest.mark.parametrize("seed", range(3))
def test_at_the_tolerance(stretch, seed):
    # The bend at which a pixel stops being whole, found to the last bit:
    # the two lattices on either side differ only in the rounding of the
    # pixel's deviation against the tolerance (stretch 30: anisotropic, where
    # only the exact deviation in the pixel's frame passes).
    rng = np.random.default_rng(300 + seed)
    x, y = grid(6, 9)
    m = rng.normal(0, 1, (2, 2)) + np.diag([stretch, 1.0])
    q = rng.normal(0, 1, 3)

    def family(k):
        bend = k * (q[0] * x * x + q[1] * x * y + q[2] * y * y)
        return m[0, 0] * x + m[0, 1] * y + bend, m[1, 0] * x + m[1, 1] * y - 0.5 * bend

    lo, hi = bisect_flip(family)
    for k in (np.nextafter(lo, 0.0), lo, hi, np.nextafter(hi, 1.0)):
        assert_same_maps(*family(k))


@pytest.mark.parametrize("turn", [0.0, 45.0, 22.5])
def test_below_the_tolerance_every_pixel_stays_whole(turn):
    # A map turned by 45 degrees, with its bend along the diagonal, has
    # sizes |re| + |im| up to sqrt(2) times the moduli; pixels between half
    # the tolerance and the flip must still be whole, as the moduli say.
    x, y = grid(8, 8)
    c, s = np.cos(np.deg2rad(turn)), np.sin(np.deg2rad(turn))

    def family(k):
        bend = k * (x + y) ** 2
        u, v = x + bend, y + bend
        return c * u - s * v, s * u + c * v

    lo, _ = bisect_flip(family)
    for share in (0.45, 0.5, 0.6, 0.7, 0.8, 0.9, 0.97, 0.99, 0.999, 1.0):
        whole, _ = assert_same_maps(*family(lo * share))
        assert whole.all(), share


@settings(max_examples=150, deadline=None)
@given(hnp.arrays(np.float64, st.tuples(st.integers(1, 6), st.integers(1, 6)),
                  elements=st.floats(-1e6, 1e6) | st.sampled_from([np.nan, np.inf, -np.inf, 0.0, 1e308])),
       st.integers(0, 2**32 - 1))
@example(np.array([[0.0, 1.0], [0.0, 1.0]]), 0)
def test_arbitrary_small_lattices(noise, seed):
    # Any values, as corner lattices on their own and as a bend of a grid.
    ys = np.random.default_rng(seed).normal(0, 3, noise.shape)
    assert_same_maps(noise, ys)
    gx, gy = grid(noise.shape[0] - 1, noise.shape[1] - 1)
    assert_same_maps(gx + noise * 1e-7, gy)


def test_modulus_is_numpys():
    # The engine takes |z| as max * sqrt(fma(r, r, 1)), r = min / max, the
    # modulus of NumPy's complex loops on machines with fused multiply-add:
    # the exact comparisons above rest on it.
    rng = np.random.default_rng(5)
    re = rng.normal(0, 1, 2000) * np.exp(rng.uniform(-30, 30, 2000))
    im = rng.normal(0, 1, 2000) * np.exp(rng.uniform(-30, 30, 2000))
    big, small = np.maximum(abs(re), abs(im)), np.minimum(abs(re), abs(im))
    fused = [float(Fraction(r) * Fraction(r) + 1) for r in small / big]
    np.testing.assert_array_equal(np.abs(re + 1j * im), np.sqrt(fused) * big)


# --- the package's call ---------------------------------------------------


@pytest.mark.parametrize("threads", [1, 2, None])
def test_package_screen(threads):
    u, v = smooth(3, 40, 30, 0.05)
    want = reference(u, v)
    # Views and Fortran-ordered lattices are made C-contiguous first.
    for xs, ys in ((u, v), (np.asfortranarray(u), np.asfortranarray(v))):
        got = screen(xs, ys, threads)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


def test_results_are_new_arrays():
    u, v = smooth(1, 6, 5, 0.01)
    whole, cand = _engine.screen(u, v)
    for a in (whole, cand):
        assert a.shape == (6, 5) and a.flags.c_contiguous and a.flags.writeable and a.flags.owndata is False
        assert not np.shares_memory(a, u) and not np.shares_memory(a, v)
    assert not np.shares_memory(whole, cand)


# --- refusals -------------------------------------------------------------


def unaligned(shape):
    raw = np.zeros(np.prod(shape) * 8 + 1, np.uint8)
    return raw[1:].view(np.float64).reshape(shape)


LATTICE = np.zeros((4, 5))


@pytest.mark.parametrize("args, kwargs, error, text", [
    ((LATTICE.astype(np.float32), LATTICE), {}, TypeError, "xs must be a 2-D float64 array"),
    ((LATTICE, LATTICE.astype(np.int64)), {}, TypeError, "ys must be a 2-D float64 array"),
    ((LATTICE.ravel(), LATTICE), {}, TypeError, "xs must be a 2-D float64 array"),
    ((LATTICE.tolist(), LATTICE), {}, TypeError, "xs must be a 2-D float64 array"),
    ((LATTICE, None), {}, TypeError, "ys must be a 2-D float64 array"),
    ((np.zeros((4, 10))[:, ::2], LATTICE), {}, ValueError, "xs must be C-contiguous and aligned"),
    ((LATTICE, np.zeros((5, 4)).T), {}, ValueError, "ys must be C-contiguous and aligned"),
    ((unaligned((4, 5)), LATTICE), {}, ValueError, "xs must be C-contiguous and aligned"),
    ((LATTICE, np.zeros((4, 6))), {}, ValueError, "ys must have the shape of xs, (4, 5)"),
    ((np.zeros((0, 5)), np.zeros((0, 5))), {}, ValueError, "at least one row and one column of corners"),
    ((np.zeros((3, 0)), np.zeros((3, 0))), {}, ValueError, "at least one row and one column of corners"),
    ((LATTICE, LATTICE), {"threads": 0}, ValueError, "threads must be between 1 and 4096"),
    ((LATTICE, LATTICE), {"threads": 1.5}, TypeError, "threads"),
    ((LATTICE,), {}, TypeError, "ys"),
    ((LATTICE, LATTICE, 2), {}, TypeError, "positional"),
    ((LATTICE, LATTICE), {"thread": 2}, TypeError, "thread"),
])
def test_refusals(args, kwargs, error, text):
    with pytest.raises(error, match=re.escape(text)):
        _engine.screen(*args, **kwargs)


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more address space")
def test_memory_error_when_the_maps_cannot_be_had():
    # The lattices' pages are never touched; under an address-space limit
    # just above them the two maps (2 bytes a pixel) cannot be allocated.
    code = """
import resource
import numpy as np
from pellorin import _engine
n = 12000
xs = np.zeros((n + 1, n + 1)); ys = np.zeros((n + 1, n + 1))
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
limit = vm + 64 * 1024**2
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    _engine.screen(xs, ys)
except MemoryError as e:
    print("memory error", "screen" in str(e))
del xs, ys
print(_engine.screen(np.zeros((3, 3)), np.zeros((3, 3)))[1].tolist())
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["memory error True", "[[True, True], [True, True]]"]
