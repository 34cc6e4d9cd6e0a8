"""Runs every benchmark and prints one table per function (times are medians
of 7 runs after a warm-up, all peers on one thread, the same inputs for all).

Each script's output also goes to docs/_generated/<script>.md, and the
machine and versions to docs/_generated/machine.md, for the speed and
accuracy pages of the docs."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_face  # noqa: E402  (first: it pins BLAS to one thread before NumPy loads)
import bench_image  # noqa: E402
import bench_mosaic  # noqa: E402
import bench_quads  # noqa: E402
import bench_reproject  # noqa: E402
import bench_threads  # noqa: E402
import bench_weights  # noqa: E402
from _common import tables_to, write_machine  # noqa: E402


def main():
    import bench_accuracy  # after bench_face, which pins BLAS's threads before NumPy loads

    print(write_machine())
    jobs = [(module.__name__, module.run) for module in
            (bench_image, bench_quads, bench_reproject, bench_mosaic, bench_weights, bench_threads,
             bench_face)]
    for name, run in jobs + list(bench_accuracy.SECTIONS.items()):
        with tables_to(name):
            run()
    import bench_dask  # imports Dask, after the scripts above have pinned their threads

    with tables_to("bench_dask"):
        bench_dask.run()


if __name__ == "__main__":
    main()
