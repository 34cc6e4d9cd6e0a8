"""Grid many chunks of quadrilaterals onto one grid with ``pellorin.dask``.

Satellite swaths, detector pixels from another pipeline, or simply more
quads than one machine holds: each chunk of quads (already in output pixel
coordinates) is added into a partial ``pellorin.Mosaic`` by a task, and the
partial mosaics are merged up a tree (``split_every`` per node), on this
machine's threads or on the workers of a ``dask.distributed`` cluster. The
mosaic keeps its sums (value, weight, flux), so "mean" combines across
chunks as exactly as "sum" does; the result is within the rounding bound
stated in ``pellorin.Mosaic`` of adding every chunk into one mosaic in
order (the same terms summed in another order).

Needs ``pip install "pellorin[dask]"``; the cluster options also need
``dask.distributed`` (``pip install distributed``)::

    python examples/dask_quads.py                   # this machine's threads
    python examples/dask_quads.py --local-cluster   # two local worker processes
    python examples/dask_quads.py --scheduler tcp://10.0.0.5:8786   # a running cluster
"""

from __future__ import annotations

import argparse
import contextlib
import time

import dask
import numpy as np

import pellorin
import pellorin.dask


def orbit(k: int, scans: int = 400, across: int = 60) -> tuple[np.ndarray, np.ndarray]:
    """Orbit ``k`` of a small synthetic swath: footprints from the latitudes
    and longitudes of their corners on a 0.1-degree grid of 10-30 E,
    35-55 N, and a brightness temperature per footprint."""
    t = np.arange(scans + 1)[:, None] * 0.05                  # along track, degrees
    u = (np.arange(across + 1)[None, :] - across / 2) * 0.15  # across track
    lat = 36.0 + t + 0.02 * u
    lon = 12.0 + 1.7 * k + 0.25 * t + u / np.cos(np.deg2rad(lat))
    corners = np.stack([(lon - 10.0) / 0.1 - 0.5, (lat - 35.0) / 0.1 - 0.5], axis=-1)
    quads = np.stack([corners[:-1, :-1], corners[:-1, 1:], corners[1:, 1:], corners[1:, :-1]],
                     axis=2).reshape(-1, 4, 2)
    centre = lat[:-1, :-1] + 0.0 * lon[:-1, :-1]
    values = 280.0 + 0.5 * (centre - 45.0) + np.random.default_rng(k).normal(0.0, 0.3, centre.shape)
    return quads, values.ravel()


def scheduler(args: argparse.Namespace) -> contextlib.AbstractContextManager[object]:
    """Where the tasks run: Dask's threads unless a cluster was asked for."""
    if args.scheduler is None and not args.local_cluster:
        return dask.config.set(scheduler="threads")
    from dask.distributed import Client, LocalCluster

    if args.scheduler is not None:
        return Client(args.scheduler)  # computations now go to this cluster
    stack = contextlib.ExitStack()
    cluster = stack.enter_context(LocalCluster(n_workers=2, threads_per_worker=1,
                                               dashboard_address=None))
    stack.enter_context(Client(cluster))
    return stack


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--local-cluster", action="store_true",
                        help="start a dask.distributed cluster of two worker processes")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="address of a running dask.distributed scheduler, e.g. tcp://host:8786")
    args = parser.parse_args()

    shape = (200, 200)
    orbits = 8
    # Each chunk is made by the task that adds it: the client never holds the quads.
    chunks = [tuple(dask.delayed(orbit, nout=2)(k)) for k in range(orbits)]
    lazy = pellorin.dask.mosaic(chunks, shape, split_every=3)
    print(f"{orbits} orbits of {orbit(0)[1].size} footprints onto a {shape[0]}x{shape[1]} grid")

    with scheduler(args):
        start = time.perf_counter()
        mosaic = lazy.compute()
        elapsed = time.perf_counter() - start
    mean, weight = mosaic.mean(), mosaic.weight()
    print(f"computed in {elapsed:.3f} s; cells covered: {np.count_nonzero(weight)}, "
          f"most orbits over a cell: {weight.max():.2f}")

    # The same chunks added one after another into one mosaic. The flux of
    # a cell is a sum of terms t_k (one per footprint over it); any two
    # orders of that sum differ by at most 2 gamma_K sum|t_k|, and sum|t_k|
    # is the flux of a mosaic of |values|.
    one = pellorin.Mosaic(shape)
    magnitude = pellorin.Mosaic(shape)
    for k in range(orbits):
        quads, values = orbit(k)
        one.add_quads(quads, values)
        magnitude.add_quads(quads, np.abs(values))
    u = 2.0**-53
    terms = orbits * orbit(0)[1].size
    bound = 2 * terms * u / (1 - terms * u) * magnitude.flux()
    print("flux within the rounding bound of one mosaic:",
          bool(np.all(np.abs(mosaic.flux() - one.flux()) <= bound)))
    covered = weight > 0
    print("mean where covered: 274-291 K:", bool(np.all((mean[covered] > 274) & (mean[covered] < 291))))

if __name__ == "__main__":
    main()
