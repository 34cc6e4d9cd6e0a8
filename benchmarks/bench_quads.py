"""rebin_quads against polygon clipping plus the accumulation a user would write."""
import numpy as np

import _pellorin
from _common import median_time, print_table

try:
    import pypolyclip
except ImportError:  # pragma: no cover - optional peer
    pypolyclip = None

GRID = 1000


def make_quads(n, size, rotate, seed=0):
    """n quads of about size x size cells, rotated by random angles, inside the grid."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(size + 1, GRID - size - 1, size=(n, 2))
    corners = np.array([[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5]]) * size
    angle = rng.uniform(0, np.pi, n) if rotate else np.zeros(n)
    cos, sin = np.cos(angle)[:, None], np.sin(angle)[:, None]
    x = centres[:, :1] + cos * corners[:, 0] - sin * corners[:, 1]
    y = centres[:, 1:] + sin * corners[:, 0] + cos * corners[:, 1]
    quads = np.ascontiguousarray(np.stack([x, y], axis=-1))
    return quads, rng.random(n)


CASES = [
    ("10^6 quads < 1 cell", 1_000_000, 0.4, False),
    ("2*10^5 rotated quads ~1.5 cells", 200_000, 1.5, True),
    ("2*10^4 rotated quads ~6x6 cells", 20_000, 6.0, True),
]

# Cell i covers [i, i + 1) on both axes, as the peer's pixel grid does.
CENTRES = np.arange(GRID) + 0.5


def ours(quads, values):
    return _pellorin.rebin_quads(quads, values, output_x=CENTRES, output_y=CENTRES)


def peer(quads, values):
    """Clip with pypolyclip, then spread value * area / total area with bincount."""
    xx, yy, areas, slices = pypolyclip.clip_multi(quads[:, :, 0], quads[:, :, 1], (GRID, GRID))
    counts = np.array([s.stop - s.start for s in slices])
    owner = np.repeat(np.arange(len(values)), counts)
    totals = np.bincount(owner, weights=areas, minlength=len(values))
    share = values[owner] * areas / totals[owner]
    return np.bincount(xx * GRID + yy, weights=share, minlength=GRID * GRID).reshape(GRID, GRID)


def run():
    rows = []
    for name, n, size, rotate in CASES:
        quads, values = make_quads(n, size, rotate)
        theirs = {}
        t_ours = median_time(lambda: ours(quads, values))
        if pypolyclip is not None:
            # Same result up to the peer's single-precision areas: a guard that
            # the comparison is fair.
            assert np.allclose(ours(quads, values), peer(quads, values), rtol=1e-3, atol=2e-4)
            theirs["pypolyclip"] = median_time(lambda: peer(quads, values))
        rows.append((name, t_ours, theirs))
    print_table("rebin_quads on a 1000 x 1000 grid (sum mode)", rows, ["pypolyclip"])
    return rows


if __name__ == "__main__":
    run()
