"""pellorin.Mosaic: 16 dithered, rotated 1024x1024 frames with weight maps
co-added onto a 2048x2048 grid, against drizzle's Drizzle.add_image (square
kernel, pixfrac 1, weight maps, pixel maps computed beforehand, outside the
timing) and reproject's reproject_and_coadd with reproject_exact; ours on
one thread and on two.

Times are wall seconds, the median of interleaved rounds. reproject_and_coadd
is timed once, on the first FEW frames, and scaled to 16 (it handles the
frames one after another, so its time grows with their number)."""
import time

import numpy as np

import pellorin
from _common import optional_peer

Drizzle = optional_peer("drizzle.resample", "Drizzle")
WCS = optional_peer("astropy.wcs", "WCS")
reproject_exact = optional_peer("reproject", "reproject_exact")
reproject_and_coadd = optional_peer("reproject.mosaicking", "reproject_and_coadd")

FRAMES = 16
N_IN, N_OUT = 1024, 2048
FEW = 2


def cases():
    """Per frame: data (float32), weight map, the affine map as (a, b, c, d,
    e, f) with x' = a x + b y + e, y' = c x + d y + f."""
    rng = np.random.default_rng(16)
    out = []
    for _ in range(FRAMES):
        th = np.deg2rad(rng.uniform(-30, 30))
        s = 1.0 / 0.9  # output pixels are 0.9 input pixels
        a, b = s * np.cos(th), -s * np.sin(th)
        c, d = -b, a
        cx, cy = N_OUT / 2 + rng.uniform(-40, 40), N_OUT / 2 + rng.uniform(-40, 40)
        e = cx - (a * (N_IN / 2) + b * (N_IN / 2))
        f = cy - (c * (N_IN / 2) + d * (N_IN / 2))
        data = rng.uniform(0.5, 2.0, (N_IN, N_IN)).astype(np.float32)
        weights = rng.uniform(0.5, 2.0, (N_IN, N_IN)).astype(np.float32)
        out.append((data, weights, (a, b, c, d, e, f)))
    return out


def transform_of(m):
    a, b, c, d, e, f = m

    def transform(x, y):
        return a * x + b * y + e, c * x + d * y + f

    return transform


def tan_pair(m):
    """The affine map as two TAN WCS of 1-arcsecond input pixels."""
    a, b, c, d, e, f = m
    w_out = WCS(naxis=2)
    w_out.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w_out.wcs.crval, w_out.wcs.crpix = [150.0, 2.0], [1.0, 1.0]
    w_out.wcs.cd = np.array([[-1.0, 0.0], [0.0, 1.0]]) / 3600.0
    w_in = WCS(naxis=2)
    w_in.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w_in.wcs.crval = [150.0, 2.0]
    # Input pixel p maps to output pixel M p + t; the output's reference
    # pixel (0-based 0) is the tangent point: the input's is M^-1 (-t).
    mat = np.array([[a, b], [c, d]])
    w_in.wcs.crpix = np.linalg.solve(mat, -np.array([e, f])) + 1.0
    w_in.wcs.cd = w_out.wcs.cd @ mat
    w_in.array_shape = (N_IN, N_IN)
    w_out.array_shape = (N_OUT, N_OUT)
    return w_in, w_out


def ours(frames, threads):
    m = pellorin.Mosaic((N_OUT, N_OUT))
    for data, weights, aff in frames:
        m.add(data, transform_of(aff), weights=weights, threads=threads)
    return m


def drizzle(frames, pixmaps):
    d = Drizzle(kernel="square", out_shape=(N_OUT, N_OUT), disable_ctx=True)
    for (data, weights, _), pixmap in zip(frames, pixmaps):
        d.add_image(data, exptime=1.0, pixmap=pixmap, weight_map=weights, pixfrac=1.0)
    return d


def interleaved(fns, rounds=3):
    runs = {name: [] for name in fns}
    for r in range(rounds + 1):
        for name, fn in fns.items():
            start = time.perf_counter()
            fn()
            if r:
                runs[name].append(time.perf_counter() - start)
    return {name: float(np.median(v)) for name, v in runs.items()}


def run():
    frames = cases()
    fns = {"ours, 1 thread": lambda: ours(frames, 1), "ours, 2 threads": lambda: ours(frames, 2)}
    if Drizzle is not None:
        y, x = np.indices((N_IN, N_IN), dtype=np.float64)
        pixmaps = [np.dstack(transform_of(aff)(x, y)) for _, _, aff in frames]
        fns["drizzle add_image"] = lambda: drizzle(frames, pixmaps)
    t = interleaved(fns)
    coadd = None
    if reproject_and_coadd is not None and WCS is not None:
        pairs = [tan_pair(aff) for _, _, aff in frames[:FEW]]
        start = time.perf_counter()
        reproject_and_coadd([(data.astype(np.float64), w_in) for (data, _, _), (w_in, _) in
                             zip(frames[:FEW], pairs)], pairs[0][1], shape_out=(N_OUT, N_OUT),
                            reproject_function=reproject_exact, combine_function="mean",
                            input_weights=[w.astype(np.float64) for _, w, _ in frames[:FEW]])
        coadd = (time.perf_counter() - start) * FRAMES / FEW

    one = t["ours, 1 thread"]
    print(f"\n### pellorin.Mosaic: {FRAMES} frames of {N_IN}x{N_IN} with weight maps onto "
          f"{N_OUT}x{N_OUT} (wall time)\n")
    print("| method | time (s) | ours on 1 thread / it |")
    print("|---|---|---|")
    rows = [(name, sec) for name, sec in t.items()]
    if coadd is not None:
        rows.append((f"reproject_and_coadd, reproject_exact ({FEW} frames timed, x{FRAMES // FEW})",
                     coadd))
    for name, sec in rows:
        print(f"| {name} | {sec:.2f} | {one / sec:.3f} |")
    print(f"\nTwo threads against one: {one / t['ours, 2 threads']:.2f}x.")


if __name__ == "__main__":
    run()
