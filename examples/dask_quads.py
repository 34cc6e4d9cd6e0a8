"""Rebin a large set of quadrilaterals in chunks, combined by a tree reduction.

When the quads of a mosaic (many exposures, many detectors, or simply more
pixels than one machine holds) are too many for one ``rebin_quads`` call,
split them into chunks along N. In "sum" mode every quad adds its own
contribution to the grid independently of the others, so the grid of all
quads is the cell-by-cell sum of the chunks' grids. Dask computes one grid
per chunk (on threads or on the workers of a ``dask.distributed`` cluster)
and adds them pairwise up a tree (``split_every`` grids per node), so no
node ever holds more than a few grids.

Rounding: each quad's contribution to a cell is computed exactly as in a
single call, but the single call adds those contributions to a cell in
input order, while the chunked version adds them within each chunk and
then adds the chunk totals in tree order. Floating-point addition is not
associative, so the two results can differ in the last bits. For a cell
that receives K contributions c_1 ... c_K, any order of summation is within
gamma_K * sum|c_k| of the exact sum (gamma_K = K*u / (1 - K*u), u = 2**-53),
so the two results differ by at most ``2 * gamma_K * sum|c_k|``; the sum of
|c_k| is the "sum" grid of the absolute values (``rounding_bound`` below).

"mean" mode cannot be combined this way from returned grids: a cell's mean
is sum(v * a) / sum(a) over the overlap areas a of every quad, and the
returned mean of a chunk has lost its sum(a). ``pellorin.Mosaic`` keeps both
sums (``add_quads`` per chunk, ``merge`` of the chunks' mosaics, which
pickle), for quads anywhere; ``rebin_quads_mean`` below is the older
workaround that rebuilds them from "sum" mode, exact only for quads that lie
inside the grid.

Run ``python examples/dask_quads.py`` for a small demonstration on this
machine's threads (it needs ``pip install "pellorin[dask]"``), or
``python examples/dask_quads.py --local-cluster`` on two local worker
processes (which also needs ``pip install distributed``).
"""

from __future__ import annotations

from typing import Optional

import dask.array as da
import numpy as np

from _pellorin import rebin_quads

__all__ = ["quad_areas", "rebin_quads_sum", "rebin_quads_mean", "rounding_bound"]


def _chunk_grid(quads: np.ndarray, values: np.ndarray, output_x: np.ndarray,
                output_y: np.ndarray, skip_partial: bool) -> np.ndarray:
    grid = rebin_quads(np.ascontiguousarray(quads), np.ascontiguousarray(values),
                       output_x=output_x, output_y=output_y, mode="sum",
                       skip_partial=skip_partial)
    return grid[None]


def rebin_quads_sum(quads, values, *, output_x: np.ndarray, output_y: np.ndarray,
                    chunk_size: Optional[int] = None, skip_partial: bool = False,
                    split_every: int = 4) -> da.Array:
    """Lazily rebin quads in "sum" mode, chunk by chunk.

    ``quads`` (N, 4, 2) and ``values`` (N,) are float64 NumPy or Dask arrays;
    NumPy arrays are split into chunks of ``chunk_size`` quads (required
    then), Dask arrays keep their chunks along N unless ``chunk_size`` is
    given. ``output_x`` and ``output_y`` are the grid's cell centres, as for
    ``rebin_quads``. ``split_every`` grids are added at each node of the
    reduction tree.

    Returns a Dask array of shape (len(output_x), len(output_y)), float64,
    equal to ``rebin_quads(..., mode="sum")`` of all quads within
    ``rounding_bound``. Call ``.compute()`` on it.
    """
    output_x = np.ascontiguousarray(output_x, dtype=np.float64)
    output_y = np.ascontiguousarray(output_y, dtype=np.float64)
    if isinstance(quads, da.Array):
        n_chunks = chunk_size if chunk_size else quads.chunks[0]
        q = quads.rechunk({0: n_chunks, 1: -1, 2: -1})
    else:
        if not chunk_size:
            raise ValueError("chunk_size is required for NumPy input")
        q = da.from_array(quads, chunks=(chunk_size, -1, -1))
    v = values if isinstance(values, da.Array) else da.from_array(values, chunks=-1)
    v = v.rechunk((q.chunks[0],))
    mx, my = len(output_x), len(output_y)
    # One (1, Mx, My) grid per chunk of quads ...
    grids = da.blockwise(
        _chunk_grid, "kxy", q, "kab", v, "k",
        output_x, None, output_y, None, skip_partial, None,
        new_axes={"x": mx, "y": my}, adjust_chunks={"k": 1},
        concatenate=True, dtype=np.float64, meta=np.empty((0, 0, 0)))
    # ... added up a tree of split_every grids per node.
    return grids.sum(axis=0, split_every=split_every)


def rounding_bound(quads: np.ndarray, values: np.ndarray, *, output_x: np.ndarray,
                   output_y: np.ndarray, skip_partial: bool = False) -> np.ndarray:
    """Per-cell bound on |chunked - single call| for "sum" mode.

    2 * gamma_N * (sum grid of |values|), with N the number of quads as an
    upper bound on the contributions to any one cell; the sum grid of
    |values| is itself rounded, which the slack factor covers.
    """
    n = max(len(values), 1)
    u = 2.0 ** -53
    gamma = n * u / (1.0 - n * u)
    magnitude = rebin_quads(quads, np.abs(values), output_x=output_x, output_y=output_y,
                            mode="sum", skip_partial=skip_partial)
    return 2.0 * gamma * magnitude * (1.0 + 4.0 * gamma)


def quad_areas(quads: np.ndarray) -> np.ndarray:
    """Area of each convex quad of an (N, 4, 2) array: half the absolute cross
    product of its diagonals."""
    d1 = quads[:, 2] - quads[:, 0]
    d2 = quads[:, 3] - quads[:, 1]
    return 0.5 * np.abs(d1[:, 0] * d2[:, 1] - d1[:, 1] * d2[:, 0])


def rebin_quads_mean(quads: np.ndarray, values: np.ndarray, *, output_x: np.ndarray,
                     output_y: np.ndarray, chunk_size: int,
                     split_every: int = 4) -> np.ndarray:
    """Area-weighted mean per cell, computed chunk by chunk.

    A cell's mean is sum(v * a) / sum(a) over the overlap areas a of the quads
    that reach it. In "sum" mode a quad with value v * A (A its own area)
    contributes v * a to a cell when the quad lies inside the grid, because
    its in-grid overlaps then add up to A; with value A it contributes a.
    Both sums are chunk-additive, so both are reduced like
    ``rebin_quads_sum`` and divided at the end.

    Equal to ``rebin_quads(..., mode="mean")`` up to rounding for quads that
    lie inside the grid. A quad that crosses the grid's edge is weighted
    differently here (by a * A / in-grid area instead of a), so clip or drop
    such quads first. Returns a NumPy float64 (Mx, My) array; cells that no
    quad reaches are 0.
    """
    areas = quad_areas(quads)
    weighted = rebin_quads_sum(quads, values * areas, output_x=output_x, output_y=output_y,
                               chunk_size=chunk_size, split_every=split_every)
    weight = rebin_quads_sum(quads, areas, output_x=output_x, output_y=output_y,
                             chunk_size=chunk_size, split_every=split_every)
    num, den = da.compute(weighted, weight)
    return np.divide(num, den, out=np.zeros_like(num), where=den > 0)


def random_quads(n: int, extent: float, size: float, seed: int = 0):
    """Slightly rotated and sheared small quads with random values, inside
    the square [0, extent) x [0, extent)."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(size, extent - size, (n, 2))
    angle = rng.uniform(0, np.pi / 2, n)
    shear = rng.uniform(-0.2, 0.2, n)
    unit = np.array([[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5]])
    c, s = np.cos(angle)[:, None], np.sin(angle)[:, None]
    ux = unit[None, :, 0] + shear[:, None] * unit[None, :, 1]
    uy = unit[None, :, 1]
    quads = np.empty((n, 4, 2))
    quads[:, :, 0] = centre[:, None, 0] + size * (c * ux - s * uy)
    quads[:, :, 1] = centre[:, None, 1] + size * (s * ux + c * uy)
    values = rng.lognormal(0.0, 1.0, n)
    return quads, values


def _demo() -> None:
    import argparse
    import time

    import dask

    parser = argparse.ArgumentParser(description="Rebin quads in chunks with a tree reduction.")
    parser.add_argument("--local-cluster", action="store_true",
                        help="run on a dask.distributed cluster of two local worker processes "
                             "(needs distributed) instead of this process's threads")
    args = parser.parse_args()

    n_chunks, per_chunk, size = 8, 125_000, 512
    centres = np.arange(size) + 0.5
    # Each chunk of quads is made (in practice: read) by a task, so the quads
    # never pass through the client.
    parts = [dask.delayed(random_quads)(per_chunk, float(size), 0.9, seed=i)
             for i in range(n_chunks)]
    quads = da.concatenate([da.from_delayed(p[0], (per_chunk, 4, 2), np.float64)
                            for p in parts])
    values = da.concatenate([da.from_delayed(p[1], (per_chunk,), np.float64)
                             for p in parts])
    lazy = rebin_quads_sum(quads, values, output_x=centres, output_y=centres)
    if args.local_cluster:
        from dask.distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
                Client(cluster):
            t0 = time.perf_counter()
            chunked = lazy.compute()
            elapsed = time.perf_counter() - t0
        where = "a local cluster"
    else:
        t0 = time.perf_counter()
        chunked = lazy.compute(scheduler="threads")
        elapsed = time.perf_counter() - t0
        where = "this process's threads"

    # The same quads in one call, for comparison.
    made = [random_quads(per_chunk, float(size), 0.9, seed=i) for i in range(n_chunks)]
    all_quads = np.concatenate([m[0] for m in made])
    all_values = np.concatenate([m[1] for m in made])
    t0 = time.perf_counter()
    single = rebin_quads(all_quads, all_values, output_x=centres, output_y=centres)
    single_time = time.perf_counter() - t0
    bound = rounding_bound(all_quads, all_values, output_x=centres, output_y=centres)
    diff = np.abs(chunked - single)
    print(f"{len(all_values)} quads in {n_chunks} chunks, made and rebinned on {where}: "
          f"{elapsed:.3f} s (one call on quads in memory: {single_time:.3f} s)")
    print(f"max |chunked - single| = {diff.max():.3g}; within the rounding bound: "
          f"{bool(np.all(diff <= bound))}")
    print(f"grid total {chunked.sum():.6f}, sum of values {all_values.sum():.6f}")


if __name__ == "__main__":
    _demo()
