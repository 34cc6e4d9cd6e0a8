"""rebin_quads against its peers, each on one thread, the same inputs for all.

Peers:
- pypolyclip: polygon clipping onto the pixel grid, plus the `np.bincount`
  accumulation a user writes around it to spread each value by overlap area
  (the same result as our "sum" mode).
- drizzle: `drizzle.resample.Drizzle` with the square kernel and pixfrac 1,
  on its own job: an image through an affine map, input pixels about one
  output cell. Our quads are built from the same pixel map (their corners
  at the pixel edges) and rebinned in "mean" mode, which is drizzle's
  weighted mean.

floor: one copy of the quads and of the values plus one zeroed (written)
result grid, the memory traffic that no implementation can avoid.
"""
import statistics
import time

import numpy as np

import _pellorin
from _common import median_time, optional_peer

pypolyclip = optional_peer("pypolyclip")
Drizzle = optional_peer("drizzle.resample", "Drizzle")

GRID = 1000
# Cell i covers [i, i + 1) on both axes, as pypolyclip's pixel grid does.
CENTRES = np.arange(GRID) + 0.5
PEERS = ["pypolyclip", "drizzle"]


def rotated(centres, sizes, angle):
    corners = np.array([[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5]])
    cos, sin = np.cos(angle)[:, None], np.sin(angle)[:, None]
    s = sizes[:, None]
    x = centres[:, :1] + s * (cos * corners[:, 0] - sin * corners[:, 1])
    y = centres[:, 1:] + s * (sin * corners[:, 0] + cos * corners[:, 1])
    return np.ascontiguousarray(np.stack([x, y], axis=-1))


def make_quads(n, size, rotate, seed=0):
    """n quads of about size x size cells (size a number or a (lo, hi) range),
    rotated by random angles when `rotate`, inside the grid."""
    rng = np.random.default_rng(seed)
    hi = size if np.isscalar(size) else size[1]
    centres = rng.uniform(hi + 1, GRID - hi - 1, size=(n, 2))
    sizes = np.full(n, float(size)) if np.isscalar(size) else rng.uniform(size[0], size[1], n)
    angle = rng.uniform(0, np.pi, n) if rotate else np.zeros(n)
    return rotated(centres, sizes, angle), rng.random(n)


def single_cell_quads(n, seed=0):
    """n axis-aligned quads of 0.4 cells, each strictly inside one cell."""
    rng = np.random.default_rng(seed)
    centres = rng.integers(0, GRID, size=(n, 2)) + 0.5 + rng.uniform(-0.29, 0.29, size=(n, 2))
    return rotated(centres, np.full(n, 0.4), np.zeros(n)), rng.random(n)


def paired_times(fa, fb, repeats=11):
    """Medians of fa() and fb() timed alternately, so that a change of load
    on the machine during the run affects both alike."""
    fa()
    fb()
    ta, tb = [], []
    for _ in range(repeats):
        start = time.perf_counter()
        fa()
        ta.append(time.perf_counter() - start)
        start = time.perf_counter()
        fb()
        tb.append(time.perf_counter() - start)
    return statistics.median(ta), statistics.median(tb)


def ours(quads, values, mode="sum"):
    return _pellorin.rebin_quads(quads, values, output_x=CENTRES, output_y=CENTRES, mode=mode)


def floor(quads, values, shape=(GRID, GRID)):
    quads.copy()
    values.copy()
    np.full(shape, 0.0)


def polyclip(quads, values):
    """Clip with pypolyclip, then spread value * area / total area with bincount."""
    xx, yy, areas, slices = pypolyclip.clip_multi(quads[:, :, 0], quads[:, :, 1], (GRID, GRID))
    counts = np.array([s.stop - s.start for s in slices])
    owner = np.repeat(np.arange(len(values)), counts)
    totals = np.bincount(owner, weights=areas, minlength=len(values))
    share = values[owner] * areas / totals[owner]
    return np.bincount(xx * GRID + yy, weights=share, minlength=GRID * GRID).reshape(GRID, GRID)


# drizzle's job: a 1000 x 1000 image, rotated by 20 degrees and scaled by
# 0.98 about its centre, onto a 1000 x 1000 output (pixel j covers
# [j - 0.5, j + 0.5], so the output centres are 0, 1, ..., 999).
DRIZ_N = 1000
DRIZ_ANGLE = np.deg2rad(20.0)
DRIZ_SCALE = 0.98


def drizzle_pixmap():
    yy, xx = np.indices((DRIZ_N, DRIZ_N), dtype=np.float64)
    c = (DRIZ_N - 1) / 2.0
    cos, sin = DRIZ_SCALE * np.cos(DRIZ_ANGLE), DRIZ_SCALE * np.sin(DRIZ_ANGLE)
    px = c + cos * (xx - c) - sin * (yy - c)
    py = c + sin * (xx - c) + cos * (yy - c)
    return np.ascontiguousarray(np.stack([px, py], axis=-1))


def quads_from_pixmap(pixmap):
    """Corners of every input pixel at its edges: the pixel map's centres
    extended linearly by half a pixel, then averaged over each 2 x 2 block."""
    ny, nx, _ = pixmap.shape
    ext = np.empty((ny + 2, nx + 2, 2))
    ext[1:-1, 1:-1] = pixmap
    ext[0, 1:-1] = 2 * pixmap[0] - pixmap[1]
    ext[-1, 1:-1] = 2 * pixmap[-1] - pixmap[-2]
    ext[:, 0] = 2 * ext[:, 1] - ext[:, 2]
    ext[:, -1] = 2 * ext[:, -2] - ext[:, -3]
    edges = 0.25 * (ext[:-1, :-1] + ext[1:, :-1] + ext[:-1, 1:] + ext[1:, 1:])  # (ny + 1, nx + 1, 2)
    quads = np.stack([edges[:-1, :-1], edges[:-1, 1:], edges[1:, 1:], edges[1:, :-1]], axis=2)
    return np.ascontiguousarray(quads.reshape(ny * nx, 4, 2))


DRIZ_CENTRES = np.arange(DRIZ_N, dtype=np.float64)


def drizzle_ours(pixmap, image):
    quads = quads_from_pixmap(pixmap)
    return _pellorin.rebin_quads(quads, image.ravel(), output_x=DRIZ_CENTRES, output_y=DRIZ_CENTRES, mode="mean")


def drizzle_peer(pixmap, image):
    d = Drizzle(kernel="square", out_shape=(DRIZ_N, DRIZ_N), disable_ctx=True, fillval=0.0)
    d.add_image(image, exptime=1.0, pixmap=pixmap, pixfrac=1.0, in_units="cps")
    return d.out_img


def pypolyclip_cases():
    return [
        ("10^6 quads inside single cells", *single_cell_quads(1_000_000)),
        ("small: 10^6 quads of 0.4 cells", *make_quads(1_000_000, 0.4, False)),
        ("medium: 2*10^5 rotated quads ~1.5 cells", *make_quads(200_000, 1.5, True)),
        ("5*10^4 rotated quads of 1-6 cells", *make_quads(50_000, (1.0, 6.0), True)),
        ("large: 2*10^4 rotated quads ~6x6 cells", *make_quads(20_000, 6.0, True)),
    ]


def fmt_ms(seconds):
    return "—" if seconds is None else f"{seconds * 1e3:.2f}"


def print_rows(title, rows):
    """rows: (case, ours, {peer: seconds}, floor seconds or None)."""
    print(f"\n### {title}\n")
    head = ["case", "ours (ms)"]
    for p in PEERS:
        head += [f"{p} (ms)", f"ours/{p}"]
    head += ["floor (ms)", "ours/floor"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for case, t, theirs, fl in rows:
        cells = [case, fmt_ms(t)]
        for p in PEERS:
            tp = theirs.get(p)
            cells += [fmt_ms(tp), "—" if tp is None else f"{t / tp:.3f}"]
        cells += [fmt_ms(fl), "—" if fl is None else f"{t / fl:.2f}"]
        print("| " + " | ".join(cells) + " |")


def run():
    rows = []
    for name, quads, values in pypolyclip_cases():
        theirs = {}
        t_ours, t_floor = paired_times(lambda: ours(quads, values), lambda: floor(quads, values))
        if pypolyclip is not None:
            # Same result up to the peer's single-precision areas: a guard that
            # the comparison is fair.
            assert np.allclose(ours(quads, values), polyclip(quads, values), rtol=1e-3, atol=2e-4)
            theirs["pypolyclip"] = median_time(lambda: polyclip(quads, values))
        rows.append((name, t_ours, theirs, t_floor))

    pixmap = drizzle_pixmap()
    image = np.random.default_rng(1).random((DRIZ_N, DRIZ_N))
    quads = quads_from_pixmap(pixmap)
    values = image.ravel()
    theirs = {}
    if Drizzle is not None:
        # The same weighted means where every output cell is fully covered.
        got, ref = drizzle_ours(pixmap, image).T, drizzle_peer(pixmap, image)
        inner = np.s_[100:-100, 100:-100]
        assert np.allclose(got[inner], ref[inner], rtol=1e-4, atol=1e-4)
        theirs["drizzle"] = median_time(lambda: drizzle_peer(pixmap, image))
    t_call, t_floor = paired_times(
        lambda: _pellorin.rebin_quads(quads, values, output_x=DRIZ_CENTRES, output_y=DRIZ_CENTRES, mode="mean"),
        lambda: floor(quads, values, (DRIZ_N, DRIZ_N)))
    rows.append(("drizzle's job: 1000x1000 affine, mean mode", t_call, theirs, t_floor))
    t_all = median_time(lambda: drizzle_ours(pixmap, image))
    rows.append(("the same, with our quads built from the pixel map", t_all, theirs, None))
    print_rows("rebin_quads on a 1000 x 1000 grid (sum mode unless stated)", rows)
    return rows


if __name__ == "__main__":
    run()
