"""The peers' times on the jobs of the C++ kernel benchmark
(benchmarks/cpp/bench_quadsum.cpp), so that the accumulation kernel can be
judged against them before the package calls it:

- 2048x2048 through the affine map of bench_reproject.py (rotation by 17
  degrees, scale 1.03): drizzle (square kernel, pixfrac 1, fed the pixel
  map), whole (pixel map, Drizzle object, add_image) and add_image alone;
- a 6x6 image zoomed x500 onto 3000x3000: pellorin.resize (the separable
  path for the same job) and drizzle.

Times are CPU seconds of this process (every call runs on one thread), the
median of interleaved rounds. Run by `make bench-kernels` after the C++
benchmark; not part of `make bench` (run_all.py), which times the package.
"""
import sys
import time

import numpy as np

from _common import cpu_model, optional_peer

Drizzle = optional_peer("drizzle.resample", "Drizzle")
pellorin = optional_peer("pellorin")


def affine_job(n=2048):
    """The map and data of bench_reproject.affine_case (float64 data here,
    as the kernel takes)."""
    th, s = np.deg2rad(17.0), 1.03
    a, b = s * np.cos(th), -s * np.sin(th)
    c, d = -b, a
    e = n * 0.5 - (a + b) * n * 0.5 + 0.37
    f = n * 0.5 - (c + d) * n * 0.5 - 0.21

    def transform(x, y):
        return a * x + b * y + e, c * x + d * y + f

    data = np.random.default_rng(3).uniform(0.5, 2.0, (n, n))
    return data, transform


def zoom_job():
    """6x6 onto 3000x3000: input pixel centre i maps to 500 i + 249.5."""
    data = np.arange(1.0, 37.0).reshape(6, 6)

    def transform(x, y):
        return 500.0 * x + 249.5, 500.0 * y + 249.5

    return data, transform, (3000, 3000)


def drizzle_whole(data, transform, shape_out):
    y, x = np.indices(data.shape, dtype=np.float64)
    pixmap = np.dstack(transform(x, y))
    d = Drizzle(kernel="square", out_shape=shape_out, disable_ctx=True)
    d.add_image(data, exptime=1.0, pixmap=pixmap, pixfrac=1.0)
    return d.out_img


def drizzle_parts(data, transform, shape_out):
    """(pixel map and setup, add_image) CPU seconds of one run."""
    start = time.process_time()
    y, x = np.indices(data.shape, dtype=np.float64)
    pixmap = np.dstack(transform(x, y))
    d = Drizzle(kernel="square", out_shape=shape_out, disable_ctx=True)
    mid = time.process_time()
    d.add_image(data, exptime=1.0, pixmap=pixmap, pixfrac=1.0)
    return mid - start, time.process_time() - mid


def interleaved(fns, rounds):
    """Median CPU seconds of each fn over `rounds` rounds that run every fn
    in turn, after one warm-up round."""
    runs = {name: [] for name in fns}
    for r in range(rounds + 1):
        for name, fn in fns.items():
            start = time.process_time()
            fn()
            if r:
                runs[name].append(time.process_time() - start)
    return {name: float(np.median(v)) for name, v in runs.items()}


def run(rounds=5):
    print(f"\n### Peers on the kernel benchmark's jobs ({cpu_model()}, CPU time, median of {rounds})\n")
    print("| job | peer | time (ms) |")
    print("|---|---|---|")
    data, transform = affine_job()
    if Drizzle is not None:
        t = interleaved({"whole": lambda: drizzle_whole(data, transform, data.shape)}, rounds)
        parts = [drizzle_parts(data, transform, data.shape) for _ in range(rounds)]
        setup = float(np.median([p[0] for p in parts]))
        add = float(np.median([p[1] for p in parts]))
        job = "2048x2048 affine (rotate 17 deg, scale 1.03)"
        print(f"| {job} | drizzle, whole (pixel map + add_image) | {t['whole'] * 1e3:.1f} |")
        print(f"| {job} | drizzle, pixel map and setup | {setup * 1e3:.1f} |")
        print(f"| {job} | drizzle, add_image alone | {add * 1e3:.1f} |")
    else:
        print("| 2048x2048 affine | drizzle | not installed |")
    zdata, ztransform, zshape = zoom_job()
    fns = {}
    if pellorin is not None:
        fns["pellorin.resize"] = lambda: pellorin.resize(zdata, zshape)
    if Drizzle is not None:
        fns["drizzle, whole"] = lambda: drizzle_whole(zdata, ztransform, zshape)
    t = interleaved(fns, rounds)
    for name, seconds in t.items():
        print(f"| 6x6 zoomed x500 onto 3000x3000 | {name} | {seconds * 1e3:.1f} |")
    if pellorin is None:
        print("| 6x6 zoomed x500 onto 3000x3000 | pellorin.resize | not installed |")


if __name__ == "__main__":
    run(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
