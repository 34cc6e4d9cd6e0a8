"""The engine's accumulation entry, pellorin._engine.accumulate: its sums
against shapely's intersection areas, the same bits for any thread count,
the interpreter lock released, and the refusal of every malformed argument
before anything is written."""
import math
import threading

import numpy as np
import pytest
import shapely
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import SANITIZED, run_python
from pellorin import _engine


def convex_quad(rng, cx, cy, r_min, r_max):
    """Four points on an ellipse in angular order: convex, positive area."""
    rx, ry = rng.uniform(r_min, r_max, 2)
    gaps = rng.uniform(0.35, 1.0, 4)
    angles = rng.uniform(0, 2 * math.pi) + 2 * math.pi * np.cumsum([0.0, *gaps[:3]]) / gaps.sum()
    return np.stack([cx + rx * np.cos(angles), cy + ry * np.sin(angles)], axis=1)


def lattice(rng, ny, nx):
    """A rotated, scaled, sheared corner lattice with each corner moved by
    up to 0.08 of a pixel: every pixel's quad stays convex."""
    j, i = np.mgrid[0:ny + 1, 0:nx + 1].astype(np.float64) - 0.5
    th = rng.uniform(0, 2 * math.pi)
    a, b, c, d = 1.3 * math.cos(th), -1.1 * math.sin(th), 1.3 * math.sin(th), 1.1 * math.cos(th)
    xs = a * i + b * j + 6.0 + rng.uniform(-0.08, 0.08, i.shape)
    ys = c * i + d * j + 5.0 + rng.uniform(-0.08, 0.08, i.shape)
    return xs, ys


def pixel_quads(xs, ys):
    """(ny, nx, 4, 2): pixel (j, i) is corners (j, i), (j, i+1), (j+1, i+1), (j+1, i)."""
    q = np.stack([np.stack([xs[:-1, :-1], xs[:-1, 1:], xs[1:, 1:], xs[1:, :-1]], -1),
                  np.stack([ys[:-1, :-1], ys[:-1, 1:], ys[1:, 1:], ys[1:, :-1]], -1)], -1)
    return q


def shapely_sums(quads, sources, shares, values, weights, variance, shape_out, per_plane):
    """S, W, F, V from shapely's areas: for each quad with source pixel p,
    share f, value v, weight w > 0, variance s and overlap a with a cell,
    S += w v a, W += w a, F += w v a / (area / f), V += (w a)^2 s."""
    k = values.shape[0]
    ny_out, nx_out = shape_out
    S = np.zeros((k, ny_out, nx_out))
    W = np.zeros((k if per_plane else 1, ny_out, nx_out))
    F = np.zeros_like(S)
    V = np.zeros_like(S)
    vflat = values.reshape(k, -1)
    sflat = variance.reshape(k, -1)
    wflat = weights.ravel()
    for q, p, f in zip(quads, sources, shares):
        w = wflat[p]
        if not w > 0:
            continue
        poly = shapely.Polygon(q)
        big_a = poly.area / f
        present = ~np.isnan(vflat[:, p])
        if not per_plane and not present.all():
            continue
        c0, r0 = (max(0, math.floor(q[:, 0].min() + 0.5)), max(0, math.floor(q[:, 1].min() + 0.5)))
        c1, r1 = (min(nx_out - 1, math.floor(q[:, 0].max() + 0.5)), min(ny_out - 1, math.floor(q[:, 1].max() + 0.5)))
        for r in range(r0, r1 + 1):
            for c in range(c0, c1 + 1):
                a = poly.intersection(shapely.box(c - 0.5, r - 0.5, c + 0.5, r + 0.5)).area
                if a <= 0:
                    continue
                if not per_plane:
                    W[0, r, c] += w * a
                for pl in np.flatnonzero(present):
                    v = vflat[pl, p]
                    S[pl, r, c] += w * v * a
                    F[pl, r, c] += w * v * a / big_a
                    V[pl, r, c] += (w * a) ** 2 * sflat[pl, p]
                    if per_plane:
                        W[pl, r, c] += w * a
    return S, W, F, V


def random_job(seed, k=2, ny=6, nx=7, pieces=15, shape_out=(13, 12)):
    rng = np.random.default_rng(seed)
    xs, ys = lattice(rng, ny, nx)
    values = rng.uniform(-2.0, 3.0, (k, ny, nx))
    values[rng.random((k, ny, nx)) < 0.1] = np.nan
    weights = rng.uniform(0.2, 2.0, (ny, nx))
    weights[rng.random((ny, nx)) < 0.1] = 0.0
    variance = rng.uniform(0.0, 0.5, (k, ny, nx))
    take = rng.random((ny, nx)) < 0.8
    piece_quads = np.array([convex_quad(rng, *rng.uniform(-1.0, 13.0, 2), 0.2, 2.5) for _ in range(pieces)])
    piece_source = rng.integers(0, ny * nx, pieces)
    piece_share = rng.uniform(0.05, 1.0, pieces)
    return dict(xs=xs, ys=ys, values=values, weights=weights, variance=variance, take=take,
                piece_quads=piece_quads.reshape(pieces, 4, 2), piece_source=piece_source,
                piece_share=piece_share, shape_out=shape_out)


def accumulators(k, shape_out, per_plane, start):
    ny_out, nx_out = shape_out
    return [np.full((k, ny_out, nx_out), start), np.full((k if per_plane else 1, ny_out, nx_out), start),
            np.full((k, ny_out, nx_out), start), np.full((k, ny_out, nx_out), start)]


def run_engine(job, per_plane, threads=1, start=0.0):
    k = job["values"].shape[0]
    sums = accumulators(k, job["shape_out"], per_plane, start)
    _engine.accumulate(job["xs"], job["ys"], job["values"], *sums, take=job["take"],
                       piece_quads=job["piece_quads"], piece_source=job["piece_source"],
                       piece_share=job["piece_share"], weights=job["weights"], variance=job["variance"],
                       per_plane=per_plane, threads=threads)
    return sums


def reference(job, per_plane):
    ny, nx = job["take"].shape
    whole = pixel_quads(job["xs"], job["ys"]).reshape(-1, 4, 2)
    taken = np.flatnonzero(job["take"].ravel())
    quads = np.concatenate([whole[taken], job["piece_quads"]])
    sources = np.concatenate([taken, job["piece_source"]])
    shares = np.concatenate([np.ones(len(taken)), job["piece_share"]])
    return shapely_sums(quads, sources, shares, job["values"], job["weights"], job["variance"],
                        job["shape_out"], per_plane)


@pytest.mark.parametrize("per_plane", [False, True], ids=["shared coverage", "coverage per plane"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_sums_match_shapely_areas(seed, per_plane):
    job = random_job(seed)
    start = 0.25  # accumulators are added to
    got = run_engine(job, per_plane, start=start)
    for name, g, want in zip("SWFV", got, reference(job, per_plane)):
        # Each cell within 1e-12 of the sum of its terms' magnitudes (the
        # terms here are at most a few units each).
        np.testing.assert_allclose(g - start, want, rtol=0, atol=1e-11, err_msg=name)


@settings(max_examples=40, deadline=None)
@given(st.integers(0, 2**32 - 1), st.integers(1, 6), st.floats(0.05, 4.0))
def test_single_pieces_spread_their_value_and_area(seed, count, radius):
    rng = np.random.default_rng(seed)
    quads = np.array([convex_quad(rng, *rng.uniform(-2.0, 9.0, 2), 0.1 * radius, radius) for _ in range(count)])
    values = rng.uniform(0.5, 2.0, (1, 1, count))
    xs = np.full((2, count + 1), np.nan)  # no whole pixel has finite corners
    ys = xs.copy()
    S, W, F = (np.zeros((1, 8, 8)) for _ in range(3))
    _engine.accumulate(xs, ys, values, S, W, F, None, piece_quads=quads, piece_source=np.arange(count),
                       piece_share=np.ones(count))
    want = shapely_sums(quads, np.arange(count), np.ones(count), values, np.ones(count),
                        np.zeros_like(values), (8, 8), False)
    for g, w in zip((S, W, F), want):
        np.testing.assert_allclose(g, w, rtol=0, atol=1e-12 * max(1.0, radius**2))


def test_a_pixel_inside_one_cell_gives_it_its_value_exactly():
    # One pixel whose quad lies inside cell (1, 2): F takes w v whole.
    xs = np.array([[1.7, 2.2], [1.75, 2.3]])
    ys = np.array([[0.6, 0.7], [1.3, 1.4]])
    F = np.zeros((1, 3, 4))
    _engine.accumulate(xs, ys, np.array([[[0.1]]]), None, None, F, None, weights=np.array([[3.0]]))
    assert F[0, 1, 2] == 3.0 * 0.1 and np.count_nonzero(F) == 1


def big_job(seed=5, n=300, shape_out=(420, 390)):
    rng = np.random.default_rng(seed)
    j, i = np.mgrid[0:n + 1, 0:n + 1].astype(np.float64) - 0.5
    xs = 1.2 * i + 0.3 * j + 0.001 * i * j + rng.uniform(-0.1, 0.1, i.shape) - 20.0
    ys = -0.25 * i + 1.25 * j + 0.0005 * j * j + rng.uniform(-0.1, 0.1, i.shape) + 10.0
    values = rng.uniform(0, 1, (2, n, n))
    values[rng.random(values.shape) < 0.01] = np.nan
    return dict(xs=xs, ys=ys, values=values, weights=rng.uniform(0, 2, (n, n)),
                variance=rng.uniform(0, 1, (2, n, n)), take=rng.random((n, n)) < 0.97,
                piece_quads=np.array([convex_quad(rng, *rng.uniform(0, 380, 2), 0.5, 40.0) for _ in range(50)]),
                piece_source=rng.integers(0, n * n, 50), piece_share=rng.uniform(0.1, 1.0, 50),
                shape_out=shape_out)


@pytest.mark.parametrize("per_plane", [False, True], ids=["shared coverage", "coverage per plane"])
def test_the_same_bits_for_any_thread_count(per_plane):
    job = big_job()
    results = [run_engine(job, per_plane, threads=t) for t in (1, 2, 3, 8)]
    assert np.count_nonzero(results[0][1]) > 0.5 * results[0][1].size
    for other in results[1:]:
        for a, b in zip(results[0], other):
            assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("rows, cols", [((128, 256), (0, 128)), ((256, 420), (256, 390)), ((0, 420), (128, 256))])
def test_a_block_on_whole_tiles_holds_the_whole_grids_bits(rows, cols):
    job = big_job()
    whole = run_engine(job, False)
    cells = (rows[1] - rows[0], cols[1] - cols[0])
    part = accumulators(2, cells, False, 0.0)
    _engine.accumulate(job["xs"], job["ys"], job["values"], *part, take=job["take"],
                       piece_quads=job["piece_quads"], piece_source=job["piece_source"],
                       piece_share=job["piece_share"], weights=job["weights"], variance=job["variance"],
                       threads=2, block=job["shape_out"] + (rows[0], cols[0]))
    for a, b in zip(whole, part):
        assert np.count_nonzero(b) > 0
        assert a[:, rows[0]:rows[1], cols[0]:cols[1]].tobytes() == b.tobytes()


@pytest.mark.parametrize("per_plane", [False, True], ids=["shared coverage", "coverage per plane"])
@pytest.mark.parametrize("with_weight", [True, False], ids=["weight kept", "no weight"])
def test_a_mean_is_the_sums_divided_to_the_bit(per_plane, with_weight):
    job = big_job()
    job["values"][1, 5, 7] = np.nan
    S, W = run_engine(job, per_plane)[:2]
    with np.errstate(invalid="ignore", divide="ignore"):
        expect = np.where(W == 0.0, np.nan, S / W)
    for threads, block in ((1, None), (3, None), (2, job["shape_out"] + (128, 256))):
        rows = slice(0, None) if block is None else slice(128, None)
        cols = slice(0, None) if block is None else slice(256, None)
        mean = np.full_like(S[:, rows, cols], 7.0)  # not read: every cell is set
        weight = np.zeros_like(W[:, rows, cols]) if with_weight else None
        _engine.accumulate(job["xs"], job["ys"], job["values"], mean, weight, None, None, take=job["take"],
                           piece_quads=job["piece_quads"], piece_source=job["piece_source"],
                           piece_share=job["piece_share"], weights=job["weights"], per_plane=per_plane,
                           threads=threads, block=block, mean=True)
        assert np.isnan(mean).any() and mean.tobytes() == expect[:, rows, cols].tobytes()
        if with_weight:
            assert weight.tobytes() == W[:, rows, cols].tobytes()


def test_the_lock_is_released_while_it_works():
    job = big_job(n=600, shape_out=(800, 800))
    finished = threading.Event()

    def long_call():
        for _ in range(3):
            run_engine(job, False)
        finished.set()

    worker = threading.Thread(target=long_call)
    worker.start()
    small_calls = 0
    tiny = np.zeros((1, 2, 2))
    while not finished.is_set() and small_calls < 100:
        _engine.accumulate(np.zeros((2, 2)), np.zeros((2, 2)), np.ones((1, 1, 1)), tiny, None, None, None)
        small_calls += 1
    done_early = not finished.is_set()
    worker.join()
    assert done_early and small_calls == 100


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more address space")
def test_tile_lists_past_the_memory_available_raise_memory_error():
    # 62,500 blocks of 8 x 8 pixels spread over the whole 8192 x 8192 grid
    # reach its 4096 tiles each: 2 GiB of tile lists under a 2 GiB limit.
    code = """
import resource
import numpy as np
from pellorin import _engine
rng = np.random.default_rng(0)
xs = rng.uniform(0, 8192, (2001, 2001))
ys = rng.uniform(0, 8192, (2001, 2001))
values = np.ones((1, 2000, 2000))
weight = np.zeros((1, 8192, 8192))
limit = 2 * 1024**3
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    _engine.accumulate(xs, ys, values, None, weight, None, None)
except MemoryError as e:
    print("memory error:", e)
print(np.count_nonzero(weight))
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("memory error: quadsum tile lists"), out.stdout
    assert lines[1] == "0"


N = 3
XS = np.zeros((N + 1, N + 1))
VALUES = np.ones((2, N, N))
OUT = np.zeros((2, 4, 4))
W1 = np.zeros((1, 4, 4))
QUADS = np.zeros((2, 4, 2))
BASE = dict(xs=XS, ys=XS, values=VALUES, sums=OUT, weight=W1, flux=None, variance_sums=None)
PIECES = dict(piece_quads=QUADS, piece_source=np.array([0, 8]), piece_share=np.array([0.5, 1.0]))
SHARED = np.zeros((2, 2, 4, 4))


def read_only(a):
    a = a.copy()
    a.setflags(write=False)
    return a


@pytest.mark.parametrize("change, error, match", [
    (dict(xs=XS.astype(np.float32)), TypeError, "xs must be a 2-D float64 array"),
    (dict(xs=np.zeros((4, 8))[:, ::2]), ValueError, "xs must be C-contiguous and aligned"),
    (dict(xs=np.zeros((0, 4))), ValueError, "xs must have at least one row"),
    (dict(ys=np.zeros((4, 3))), ValueError, r"ys must have shape \(4, 4\)"),
    (dict(values=np.ones((N, N))), TypeError, "values must be a 3-D float64 array"),
    (dict(values=np.ones((2, N, N + 1))), ValueError, r"values must have shape \(2, 3, 3\)"),
    (dict(values=np.ones((0, N, N)), sums=np.zeros((0, 4, 4))), ValueError, "values must have at least one plane"),
    (dict(take=np.ones((N, N))), TypeError, "take must be a 2-D uint8 or bool array"),
    (dict(take=np.ones((N, N + 1), bool)), ValueError, r"take must have shape \(3, 3\)"),
    (dict(piece_quads=QUADS), ValueError, "must be given together"),
    (dict(PIECES, piece_quads=np.zeros((2, 3, 2))), ValueError, r"piece_quads must have shape \(2, 4, 2\)"),
    (dict(PIECES, piece_source=np.array([0.0, 1.0])), TypeError, "piece_source must be a 1-D uint64 or int64"),
    (dict(PIECES, piece_source=np.array([0, 1, 2])), ValueError, r"piece_source must have shape \(2,\)"),
    (dict(PIECES, piece_source=np.array([0, 9])), ValueError, r"piece_source must hold flat pixel indices"),
    (dict(PIECES, piece_source=np.array([-1, 0])), ValueError, r"piece_source must hold flat pixel indices"),
    (dict(PIECES, piece_share=np.array([0.0, 1.0])), ValueError, r"piece_share must lie in \(0, 1\]"),
    (dict(PIECES, piece_share=np.array([1.0, np.nan])), ValueError, r"piece_share must lie in \(0, 1\]"),
    (dict(PIECES, piece_share=np.array([1.0, 1.5])), ValueError, r"piece_share must lie in \(0, 1\]"),
    (dict(weights=np.ones((N, N, 1))), TypeError, "weights must be a 2-D float64 array"),
    (dict(weights=np.ones((N + 1, N))), ValueError, r"weights must have shape \(3, 3\)"),
    (dict(variance=np.ones((1, N, N))), ValueError, r"variance must have shape \(2, 3, 3\)"),
    (dict(variance_sums=np.zeros((2, 4, 4))), ValueError, "variance_sums needs variance"),
    (dict(sums=None, weight=None), ValueError, "at least one of sums, weight, flux and variance_sums"),
    (dict(sums=np.zeros((2, 4, 5))), ValueError, r"weight must have shape \(1, 4, 5\)"),
    (dict(flux=np.zeros((1, 4, 4))), ValueError, r"flux must have shape \(2, 4, 4\)"),
    (dict(weight=np.zeros((2, 4, 4))), ValueError, r"weight must have shape \(1, 4, 4\)"),
    (dict(per_plane=True), ValueError, r"weight must have shape \(2, 4, 4\)"),
    (dict(sums=np.zeros((2, 4, 4), np.float32)), TypeError, "sums must be a 3-D float64 array"),
    (dict(sums=np.zeros((2, 4, 8))[:, :, ::2]), ValueError, "sums must be C-contiguous, aligned and writeable"),
    (dict(sums=read_only(OUT)), ValueError, "sums must be C-contiguous, aligned and writeable"),
    (dict(flux=OUT), ValueError, "flux is in use by another call"),
    (dict(sums=SHARED[0], flux=SHARED[0][:]), ValueError, "sums and flux share memory"),
    (dict(sums=SHARED.reshape(4, 4, 4)[:2], flux=SHARED.reshape(4, 4, 4)[1:3]), ValueError,
     "sums and flux share memory"),
    (dict(weight=np.zeros((1, 4, 4)), weights=None, take=None, per_plane="yes"), TypeError, "per_plane"),
    (dict(block=(4, 4)), TypeError, r"block must be a tuple \(grid_rows, grid_cols, row0, col0\)"),
    (dict(block=(4, 4, 0, -1)), ValueError, "block must hold four integers >= 0"),
    (dict(block=(300, 300, 128, 1)), ValueError, "block must place the accumulators on whole tiles of 128"),
    (dict(block=(130, 4, 128, 0)), ValueError, "whole tiles"),
    (dict(block=(4, 4, 0, 0), sums=np.zeros((2, 5, 4)), weight=np.zeros((1, 5, 4))), ValueError, "whole tiles"),
    (dict(mean=True, flux=np.zeros((2, 4, 4))), ValueError, r"mean=True takes sums \(and weight\) only"),
    (dict(mean=True, sums=None), ValueError, r"mean=True takes sums \(and weight\) only"),
    (dict(mean="yes"), TypeError, "mean"),
    (dict(threads=0), ValueError, "threads must be between 1 and 4096"),
    (dict(threads=1.5), TypeError, "threads"),
    (dict(colour=1), TypeError, "unexpected keyword argument 'colour'"),
])
def test_malformed_arguments_are_refused_before_anything_is_written(change, error, match):
    kwargs = dict(BASE, **change)
    written = [a for a in (kwargs["sums"], kwargs["weight"], kwargs["flux"]) if a is not None]
    before = [a.copy() for a in written]
    positional = [kwargs.pop(name) for name in ("xs", "ys", "values", "sums", "weight", "flux", "variance_sums")]
    with pytest.raises(error, match=match):
        _engine.accumulate(*positional, **kwargs)
    for a, b in zip(written, before):
        assert a.tobytes() == b.tobytes()


def test_values_as_an_accumulator_is_refused():
    values = np.zeros((1, 2, 2))
    with pytest.raises(ValueError, match="sums is in use by another call"):
        _engine.accumulate(np.zeros((3, 3)), np.zeros((3, 3)), values, values, None, None, None)


def test_int64_and_uint64_sources_and_bool_and_uint8_take_give_the_same_sums():
    job = random_job(9)
    results = []
    for source_type, take_type in ((np.int64, bool), (np.uint64, np.uint8)):
        changed = dict(job, piece_source=job["piece_source"].astype(source_type),
                       take=job["take"].astype(take_type))
        results.append(run_engine(changed, False))
    for a, b in zip(*results):
        assert a.tobytes() == b.tobytes()


def _sphere_args(**change):
    lattice = np.zeros((3, 3, 3))
    lattice[..., 2] = 1.0
    args = dict(corners_in=lattice, corners_out=lattice.copy(), spans=np.zeros((2, 2, 4), np.int64),
                values=np.ones((1, 2, 2)), sums=np.zeros((1, 2, 2)), weight=np.zeros((1, 2, 2)), flux=None,
                patches_in=np.full((1, 6, 3), np.nan), patch_index_in=np.full((2, 2), -1, np.int64))
    args.update(change)
    return args


@pytest.mark.parametrize("change, error, match", [
    (dict(patch_index_in=np.full((2, 2), 1, np.int64)), ValueError, "patch_index_in must hold -1 or indices below 1"),
    (dict(patch_index_in=np.full((2, 2), -2, np.int64)), ValueError, "indices below 1"),
    (dict(patches_in=None), ValueError, "patches_in and patch_index_in go together"),
    (dict(patches_in=np.zeros((1, 4, 3))), ValueError, r"patches_in must have shape \(any, 6, 3\)"),
    (dict(spans=np.zeros((2, 2, 3), np.int64)), ValueError, r"spans must have shape \(2, 2, 4\)"),
    (dict(spans=np.zeros((2, 2, 4))), TypeError, "spans must be a 3-D int64 array"),
    (dict(corners_out=np.zeros((3, 3, 2))), ValueError, r"corners_out must have shape \(any, any, 3\)"),
    (dict(values=np.ones((2, 2, 2))), ValueError, r"sums must have shape \(2, 2, 2\)"),
    (dict(weight=np.zeros((3, 2, 2)), values=np.ones((2, 2, 2)), sums=None), ValueError,
     "weight must have 1 plane or one per plane"),
    (dict(variance=np.ones((1, 2, 2))), ValueError, "variance and variance_sums go together"),
    (dict(variance_sums=np.zeros((1, 2, 2))), ValueError, "variance and variance_sums go together"),
    (dict(variance=np.ones((2, 2, 2)), variance_sums=np.zeros((1, 2, 2))), ValueError,
     r"variance must have shape \(1, 2, 2\)"),
    (dict(pixel_weights=np.ones((2, 3))), ValueError, r"pixel_weights must have shape \(2, 2\)"),
    (dict(per_cell=1), TypeError, "per_cell"),
])
def test_sphere_accumulate_refuses_malformed_arguments(change, error, match):
    args = _sphere_args(**change)
    written = [a for a in (args["sums"], args["weight"]) if a is not None]
    before = [a.copy() for a in written]
    with pytest.raises(error, match=match):
        _engine.sphere_accumulate(*[args.pop(k) for k in ("corners_in", "corners_out", "spans", "values", "sums",
                                                        "weight", "flux")], **args)
    for a, b in zip(written, before):
        assert a.tobytes() == b.tobytes()
