"""pellorin.reproject, the whole pipeline from the transform to the image:

- one thread, against drizzle (square kernel, pixfrac 1, fed the pixel map)
  on a 2048x2048 affine map, reproject_exact and astropy's own evaluation of
  the two transforms on the corner lattice (the floor of this route) on a
  512x512 TAN to TAN pair, and pellorin.resize on a 6x6 image zoomed x500
  onto 3000x3000 (the same job for both);
- one thread against two, on the 2048x2048 affine map.

One-thread times are CPU seconds of this process (every peer runs on one
thread), the median of interleaved rounds, so that other work on a shared
machine disturbs them less than wall time; the comparison of thread counts
takes wall time. The time spent inside the engine's accumulation call is
reported apart from the package's own glue."""
import time

import numpy as np

import pellorin
from _common import optional_peer, print_table
from pellorin import _engine

Drizzle = optional_peer("drizzle.resample", "Drizzle")
WCS = optional_peer("astropy.wcs", "WCS")
reproject_exact = optional_peer("reproject", "reproject_exact")


def affine_case(n):
    """An n x n image rotated by 17 degrees and scaled by 1.03 about the centre."""
    th, s = np.deg2rad(17.0), 1.03
    a, b = s * np.cos(th), -s * np.sin(th)
    c, d = -b, a
    e = n * 0.5 - (a + b) * n * 0.5 + 0.37
    f = n * 0.5 - (c + d) * n * 0.5 - 0.21

    def transform(x, y):
        return a * x + b * y + e, c * x + d * y + f

    data = np.random.default_rng(3).uniform(0.5, 2.0, (n, n)).astype(np.float32)
    return data, transform


def zoom_case():
    """6x6 onto 3000x3000: input pixel centre i maps to 500 i + 249.5, so
    that pixel edges fall on cell edges, as in resize's job."""
    data = np.arange(1.0, 37.0).reshape(6, 6)

    def transform(x, y):
        return 500.0 * x + 249.5, 500.0 * y + 249.5

    return data, transform, (3000, 3000)


def tan_pair(n):
    def tan(crval, crpix, angle, scale):
        w = WCS(naxis=2)
        w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
        w.wcs.crval, w.wcs.crpix = crval, crpix
        cs, sn = np.cos(np.deg2rad(angle)), np.sin(np.deg2rad(angle))
        w.wcs.cd = np.array([[-cs, sn], [sn, cs]]) * scale / 3600.0
        return w

    w_in = tan([150.0, 30.0], [n / 2, n / 2], 17.0, 1.0)
    w_out = tan([150.002, 30.001], [n / 2 + 3, n / 2 - 5], -8.0, 1.1)
    return w_in, w_out


def drizzle(data, transform):
    y, x = np.indices(data.shape, dtype=np.float64)
    pixmap = np.dstack(transform(x, y))
    d = Drizzle(kernel="square", out_shape=data.shape, disable_ctx=True)
    d.add_image(data, exptime=1.0, pixmap=pixmap, pixfrac=1.0)
    return d.out_img


def lattice_floor(w_in, w_out, shape):
    """What astropy alone takes to evaluate both transforms on the corner lattice."""
    ny, nx = shape
    x, y = np.meshgrid(np.arange(nx + 1) - 0.5, np.arange(ny + 1) - 0.5)
    return w_out.world_to_pixel_values(*w_in.pixel_to_world_values(x, y))


def interleaved(fns, rounds=5, clock=time.process_time):
    """Median seconds (of `clock`) of each fn over `rounds` rounds that run
    every fn in turn (after one warm-up round), with the time spent inside
    the engine's accumulation: {name: (total, accumulation)}."""
    inner = _engine.accumulate
    spent = [0.0]

    def timed(*args, **kwargs):
        start = clock()
        try:
            return inner(*args, **kwargs)
        finally:
            spent[0] += clock() - start

    runs = {name: [] for name in fns}
    _engine.accumulate = timed
    try:
        for r in range(rounds + 1):
            for name, fn in fns.items():
                spent[0] = 0.0
                start = clock()
                fn()
                if r:
                    runs[name].append((clock() - start, spent[0]))
    finally:
        _engine.accumulate = inner
    return {name: (float(np.median([t for t, _ in v])), float(np.median([k for _, k in v])))
            for name, v in runs.items()}


def run():
    rows, parts = [], []
    data, transform = affine_case(2048)
    fns = {"ours": lambda: pellorin.reproject(data, transform, data.shape, threads=1)}
    if Drizzle is not None:
        fns["drizzle"] = lambda: drizzle(data, transform)
    t = interleaved(fns)
    case = "2048x2048 affine, mean"
    rows.append((case, t["ours"][0], {k: v[0] for k, v in t.items() if k != "ours"}))
    parts.append((case, *t["ours"]))

    if WCS is not None:
        w_in, w_out = tan_pair(512)
        tan_data = data[:512, :512].astype(np.float64)
        fns = {"ours": lambda: pellorin.reproject(tan_data, (w_in, w_out), (512, 512), threads=1),
               "astropy lattice": lambda: lattice_floor(w_in, w_out, (512, 512))}
        if reproject_exact is not None:
            fns["reproject_exact"] = lambda: reproject_exact(
                (tan_data, w_in), w_out, shape_out=(512, 512), parallel=False)
        t = interleaved(fns, rounds=3)
        case = "512x512 TAN to TAN, mean"
        rows.append((case, t["ours"][0], {k: v[0] for k, v in t.items() if k != "ours"}))
        parts.append((case, *t["ours"]))

    small, zoom, shape = zoom_case()
    t = interleaved({"ours": lambda: pellorin.reproject(small, zoom, shape, threads=1),
                     "resize": lambda: pellorin.resize(small, shape, threads=1)})
    case = "6x6 zoomed x500 onto 3000x3000, mean"
    rows.append((case, t["ours"][0], {"pellorin.resize": t["resize"][0]}))
    parts.append((case, *t["ours"]))

    print_table("pellorin.reproject (whole pipeline, one thread, CPU time)", rows,
                ["drizzle", "reproject_exact", "astropy lattice", "pellorin.resize"])
    print("\n| case | total (ms) | in the accumulation (ms) | glue, transform included (ms) |")
    print("|---|---|---|---|")
    for case, total, kernel in parts:
        print(f"| {case} | {total * 1e3:.1f} | {kernel * 1e3:.1f} | {(total - kernel) * 1e3:.1f} |")

    t = interleaved({threads: (lambda threads=threads: pellorin.reproject(data, transform, data.shape,
                                                                         threads=threads))
                     for threads in (1, 2)}, clock=time.perf_counter)
    print("\n### pellorin.reproject, one thread against two (2048x2048 affine, mean, wall time)\n")
    print("| threads | total (ms) | in the accumulation (ms) | speed-up of the whole |")
    print("|---|---|---|---|")
    for threads in (1, 2):
        total, kernel = t[threads]
        print(f"| {threads} | {total * 1e3:.1f} | {kernel * 1e3:.1f} | {t[1][0] / total:.2f} |")


if __name__ == "__main__":
    run()
