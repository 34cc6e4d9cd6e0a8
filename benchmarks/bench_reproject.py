"""pellorin.reproject, the whole pipeline from the transform to the image:

- one thread, against drizzle (square kernel, pixfrac 1, fed the pixel map)
  on a 2048x2048 affine map, reproject_exact and astropy's own evaluation of
  the two transforms on the corner lattice (the floor of this route) on a
  512x512 TAN to TAN pair (and the same pair with spherical pixels,
  pellorin.astro.reproject(geometry="sphere"), against reproject_exact,
  which takes pixels the same way), and pellorin.resize on a 6x6 image
  zoomed x500 onto 3000x3000 (the same job for both);
- one thread against two, on the 2048x2048 affine map;
- a 16-plane 1024x1024 cube against one plane of it (one thread);
- the peak memory of a 4096x4096 affine reprojection beyond its input and
  output arrays, against the corner lattice (measured in a fresh process:
  the growth of its resident set, which counts the engine's own allocations
  as well as NumPy's).

One-thread times are CPU seconds of this process (every peer runs on one
thread), the median of interleaved rounds, so that other work on a shared
machine disturbs them less than wall time; the comparison of thread counts
takes wall time. The time spent inside the engine's accumulation call is
reported apart from the package's own glue."""
import subprocess
import sys
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
        from pellorin.astro import reproject as astro_reproject

        w_in, w_out = tan_pair(512)
        tan_data = data[:512, :512].astype(np.float64)
        fns = {"ours": lambda: pellorin.reproject(tan_data, (w_in, w_out), (512, 512), threads=1),
               "astropy lattice": lambda: lattice_floor(w_in, w_out, (512, 512))}
        if reproject_exact is not None:
            fns["reproject_exact"] = lambda: reproject_exact(
                (tan_data, w_in), w_out, shape_out=(512, 512), parallel=False)
        fns["sphere"] = lambda: astro_reproject((tan_data, w_in), w_out, (512, 512), threads=1,
                                                geometry="sphere", return_footprint=False)
        t = interleaved(fns, rounds=3)
        case = "512x512 TAN to TAN, mean"
        peers = {k: v[0] for k, v in t.items() if k not in ("ours", "sphere")}
        rows.append((case, t["ours"][0], peers))
        parts.append((case, *t["ours"]))
        rows.append((case + ", spherical pixels (pellorin.astro, geometry=\"sphere\")", t["sphere"][0],
                     {k: v for k, v in peers.items() if k == "reproject_exact"}))

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

    cube, cube_map = affine_case(1024)
    cube = np.repeat(cube[None], 16, axis=0) * np.arange(1, 17, dtype=np.float32)[:, None, None]
    t = interleaved({"16 planes": lambda: pellorin.reproject(cube, cube_map, (1024, 1024), threads=1),
                     "1 plane": lambda: pellorin.reproject(cube[0], cube_map, (1024, 1024), threads=1)})
    print("\n### pellorin.reproject of a cube (1024x1024, affine, mean, one thread, CPU time)\n")
    print("| planes | total (ms) | against one plane |")
    print("|---|---|---|")
    for name in ("1 plane", "16 planes"):
        print(f"| {name} | {t[name][0] * 1e3:.1f} | {t[name][0] / t['1 plane'][0]:.2f} |")

    peak = peak_memory(4096)
    lattice = 2 * 4097 * 4097 * 8
    print("\n### Peak memory of pellorin.reproject, 4096x4096 float64 affine, mean\n")
    print("| beyond input and output (MiB) | corner lattice (MiB) | beyond the lattice (MiB) |")
    print("|---|---|---|")
    print(f"| {peak / 2**20:.1f} | {lattice / 2**20:.1f} | {(peak - lattice) / 2**20:.1f} |")


PEAK_SCRIPT = """
import sys
import numpy as np
import pellorin

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

n = int(sys.argv[1])
data = np.empty((n, n))
np.random.default_rng(3).random(out=data)
th = np.deg2rad(17.0)
a, b, c, d = 1.03 * np.cos(th), -1.03 * np.sin(th), 1.03 * np.sin(th), 1.03 * np.cos(th)
pellorin.reproject(np.ones((8, 8)), lambda x, y: (x, y), (8, 8), threads=1)  # imports and caches
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak resident set starts again from the present one
base = status("VmRSS")
result = pellorin.reproject(data, lambda x, y: (a * x + b * y + 9.5, c * x + d * y - 3.5), (n, n), threads=1)
print(status("VmHWM") - base - result.nbytes)
"""


def peak_memory(n):
    """Bytes by which a fresh process's peak resident set grows in one n x n
    reprojection once its input is resident, less its result."""
    done = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(n)], capture_output=True, text=True,
                          check=True)
    return int(done.stdout.split()[-1])


if __name__ == "__main__":
    run()
