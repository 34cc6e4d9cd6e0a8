"""Resize a stack of video frames with ``pellorin.dask``.

A stack of images (a video, a time series of detector frames, the planes of
a cube) is resized frame by frame: ``pellorin.dask.resize`` builds a lazy
Dask array with one task per block of frames, and Dask runs the tasks on
the threads of this machine or on the workers of a ``dask.distributed``
cluster. Each frame is exactly ``pellorin.resize`` on it, bit for bit.

Needs ``pip install "pellorin[dask]"``; the cluster options also need
``dask.distributed`` (``pip install distributed``)::

    python examples/dask_stack.py                   # this machine's threads
    python examples/dask_stack.py --local-cluster   # two local worker processes
    python examples/dask_stack.py --scheduler tcp://10.0.0.5:8786   # a running cluster
"""

from __future__ import annotations

import argparse
import contextlib
import time

import dask
import dask.array as da
import numpy as np

import pellorin
import pellorin.dask


def drifting_blob(t: int, h: int, w: int) -> np.ndarray:
    """Frame ``t`` of a small RGB video: a bright blob drifting over noise,
    made on whichever worker computes it."""
    rng = np.random.default_rng(t)
    yy, xx = np.mgrid[0:h, 0:w]
    cy, cx = h / 2 + h / 5 * np.sin(t / 4), w / 2 + w / 3 * np.cos(t / 5)
    blob = 200 * np.exp(-((yy - cy) ** 2 + (xx - cx) ** 2) / (2 * (h / 16) ** 2))
    grey = blob + rng.normal(30, 8, (h, w))
    tint = np.array([1.0, 0.8, 0.6])
    return np.clip(grey[:, :, None] * tint, 0, 255).astype(np.uint8)


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

    n, h, w = 24, 480, 640
    # The frames are never in the client's memory: each is made by a task.
    frames = [da.from_delayed(dask.delayed(drifting_blob)(t, h, w), (h, w, 3), np.uint8)
              for t in range(n)]
    video = da.stack(frames).rechunk((4, h, w, 3))
    small = pellorin.dask.resize(video, (120, 160), channels=True, dtype=np.uint8)
    print(f"{n} frames {h}x{w}x3 -> 120x160x3 in {small.numblocks[0]} tasks of 4 frames")

    with scheduler(args):
        start = time.perf_counter()
        thumbs = small.compute()
        elapsed = time.perf_counter() - start
    print(f"computed in {elapsed:.3f} s, result {thumbs.shape} {thumbs.dtype}")

    single = np.stack([pellorin.resize(drifting_blob(t, h, w), (120, 160), dtype=np.uint8)
                       for t in range(n)])
    print("identical to frame-by-frame pellorin.resize:", np.array_equal(thumbs, single))


if __name__ == "__main__":
    main()
