"""Runs every benchmark and prints one table per function (times are medians
of 7 runs after a warm-up, all peers on one thread, the same inputs for all)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import bench_face  # noqa: E402  (first: it pins BLAS to one thread before NumPy loads)
import bench_image  # noqa: E402
import bench_quads  # noqa: E402
import bench_reproject  # noqa: E402
import bench_threads  # noqa: E402
import bench_weights  # noqa: E402
from _common import cpu_model  # noqa: E402


def main():
    print(f"CPU: {cpu_model()}, {os.cpu_count()} logical cores; NumPy {np.__version__}")
    bench_image.run()
    bench_quads.run()
    bench_reproject.run()
    bench_weights.run()
    bench_threads.run()
    bench_face.run()
    import bench_dask  # imports Dask, after the scripts above have pinned their threads

    bench_dask.run()


if __name__ == "__main__":
    main()
