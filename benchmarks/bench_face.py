"""The package's functions on its own engine: pellorin.resize against
OpenCV's INTER_AREA (integer results), against the route it took before the
engine (the direct _pellorin call, for float results), against the memory
floor with `out=` reused, on one and two threads; pellorin.rebin_axis
against spectres and the dense weight product; long reductions.

Images are real photographs (scikit-image's, tiled to size). Single-thread
times are medians of the process's CPU time (user and system) over
interleaved rounds: on a shared machine, wall time mostly measures the other
processes. Thread rows are medians of wall time, also interleaved."""
import os

# BLAS reads its thread count once, when NumPy is first imported.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import _pellorin  # noqa: E402
import pellorin  # noqa: E402
from _common import opencv_one_thread, optional_peer, photo  # noqa: E402

cv2 = opencv_one_thread()
spectres = optional_peer("spectres")


def paired_medians(fns, rounds=7, block=3, clock=time.process_time):
    """Median time of each function. The functions take turns in blocks, so
    that a busy machine slows them alike; each block starts with an untimed
    call, because the allocator's state after another function's call can
    make the first call of a block much faster or slower."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for fn, bucket in zip(fns, times):
            fn()
            for _ in range(block):
                start = clock()
                fn()
                bucket.append(clock() - start)
    return [statistics.median(bucket) for bucket in times]


def table(title, header, rows):
    print(f"\n### {title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")


def ms(seconds):
    return f"{seconds * 1e3:.2f}"


# (input shape (H, W), output shape, label)
CASES = [
    ((4000, 6000), (2000, 3000), "4000x6000 -> 2000x3000 (x1/2)"),
    ((4000, 6000), (1333, 2000), "4000x6000 -> 1333x2000 (x1/3)"),
    ((3000, 4500), (1000, 1500), "3000x4500 -> 1000x1500 (x1/3, whole)"),
    ((4000, 6000), (1000, 1500), "4000x6000 -> 1000x1500 (x1/4)"),
    ((1080, 1920), (720, 1280), "1080x1920 -> 720x1280"),
    ((3000, 4000), (768, 1024), "3000x4000 -> 768x1024"),
    ((480, 640), (1440, 1920), "480x640 -> 1440x1920 (x3 up)"),
]


def previous_route(image, out_h, out_w):
    """What pellorin.resize did before the engine: the module's call."""
    h, w, c = image.shape
    return _pellorin.rebin_image_separable(image, h, w, c, out_h, out_w, 0.0, 0.0, float(h), float(w))


def bench_resize():
    integer_rows, float_rows = [], []
    for channels, name in ((3, "RGB"), (4, "RGBA")):
        for (h, w), (out_h, out_w), label in CASES:
            img = photo(h, w, channels)

            def ours8():
                return pellorin.resize(img, (out_h, out_w), dtype=np.uint8, threads=1)

            def ours():
                return pellorin.resize(img, (out_h, out_w), threads=1)

            def previous():
                return previous_route(img, out_h, out_w)

            fns = [ours8, ours, previous]
            if cv2 is not None:
                fns.append(lambda: cv2.resize(img, (out_w, out_h), interpolation=cv2.INTER_AREA))
                if out_h < h:  # reductions: both area means, rounded differently at most
                    assert np.abs(ours8().astype(int) - fns[-1]()).max() <= 1
            times = paired_medians(fns, rounds=5)
            case = f"uint8 {name} {label}"
            if cv2 is not None:
                integer_rows.append([case, ms(times[0]), ms(times[3]), f"{times[0] / times[3]:.2f}"])
            float_rows.append([case, ms(times[1]), ms(times[2]), f"{times[1] / times[2]:.2f}"])
    rng = np.random.default_rng(0)
    for shape, out_shape, label in [((2048, 2048, 1), (1000, 1000), "float64 2048x2048 -> 1000x1000"),
                                    ((1000, 1000, 3), (300, 300), "float64 1000x1000x3 -> 300x300")]:
        x = rng.random(shape)
        times = paired_medians([lambda: pellorin.resize(x, out_shape, threads=1),
                                lambda: previous_route(x, *out_shape)], rounds=5)
        float_rows.append([label, ms(times[0]), ms(times[1]), f"{times[0] / times[1]:.2f}"])
    if integer_rows:
        table("pellorin.resize(dtype=np.uint8) against OpenCV INTER_AREA (uint8 result), one thread",
              ["case", "ours (ms)", "OpenCV (ms)", "ours/OpenCV"], integer_rows)
    table("pellorin.resize, float result (dtype=None), against the previous route (the direct module call)",
          ["case", "ours (ms)", "previous (ms)", "ours/previous"], float_rows)


def bench_out_reuse():
    img = photo(4000, 6000, 3)
    out = np.empty((2000, 3000, 3), np.uint8)
    out.fill(0)

    def ours():
        return pellorin.resize(img, (2000, 3000), dtype=np.uint8, out=out, threads=1)

    def floor():
        # One read of the input (a vectorised max) and one write of the
        # result's bytes into the same, already faulted-in, array.
        img.max()
        out.fill(0)

    fns = [ours, floor]
    names = ["ours with out= (ms)", "floor (ms)", "ours/floor"]
    if cv2 is not None:
        fns.append(lambda: cv2.resize(img, (3000, 2000), dst=out, interpolation=cv2.INTER_AREA))
        names += ["OpenCV with dst= (ms)", "ours/OpenCV"]
    times = paired_medians(fns, rounds=7)
    row = ["uint8 RGB 4000x6000 -> 2000x3000 (x1/2)", ms(times[0]), ms(times[1]), f"{times[0] / times[1]:.2f}"]
    if cv2 is not None:
        row += [ms(times[2]), f"{times[0] / times[2]:.2f}"]
    table("The result written into a reused array (out=), against the memory floor "
          "(one read of the input, one write of the result)", ["case"] + names, [row])


def bench_threads():
    img = photo(1080, 1920, 3)
    x = np.random.default_rng(3).random((2048, 2048))
    spectra = np.random.default_rng(1).uniform(0.5, 2.0, (1000, 4096))
    cases = [
        ("uint8 RGB 1080x1920 -> 720x1280, dtype=np.uint8",
         lambda t: pellorin.resize(img, (720, 1280), dtype=np.uint8, threads=t)),
        ("float64 2048x2048 -> 1000x1000", lambda t: pellorin.resize(x, (1000, 1000), threads=t)),
        ("rebin_axis float64 1000x4096 -> 1000x1000",
         lambda t: pellorin.rebin_axis(spectra, in_origin=4000.0, in_bw=0.5, out_origin=4000.0, out_bw=2.048,
                                       out_n=1000, threads=t)),
    ]
    rows = []
    for label, fn in cases:
        one, two = paired_medians([lambda: fn(1), lambda: fn(2)], rounds=9, clock=time.perf_counter)
        rows.append([label, ms(one), ms(two), f"{one / two:.2f}"])
    table("One thread against two (wall time)", ["case", "threads=1 (ms)", "threads=2 (ms)", "speed-up"], rows)


def bench_rebin_axis():
    spectra = np.random.default_rng(1).uniform(0.5, 2.0, (1000, 4096))
    in_origin, in_bw, out_bw, out_n = 4000.0, 0.5, 2.048, 1000

    def ours():
        return pellorin.rebin_axis(spectra, in_origin=in_origin, in_bw=in_bw, out_origin=in_origin,
                                   out_bw=out_bw, out_n=out_n, threads=1)

    weights = _pellorin.rebin_axis_weights(4096, in_bw, in_origin, out_n, out_bw, in_origin)

    def dense():  # the matrix is built beforehand, not timed
        return spectra @ weights.T

    fns, peers = [ours, dense], ["dense product"]
    if spectres is not None:
        in_centres = in_origin + in_bw * (np.arange(4096) + 0.5)
        out_centres = in_origin + out_bw * (np.arange(out_n) + 0.5)

        def peer():
            return spectres.spectres(out_centres, in_centres, spectra, fill=0.0, verbose=False)

        # Bins away from the ends, where the peer's edges from centres match.
        assert np.allclose(ours()[:, 1:-1], peer()[:, 1:-1], rtol=1e-12)
        fns.append(peer)
        peers.append("spectres")
    assert np.allclose(ours(), dense(), rtol=1e-12)
    times = paired_medians(fns, rounds=5)
    row = ["float64 1000x4096 -> 1000x1000, mean", ms(times[0])]
    for t in times[1:]:
        row += [ms(t), f"{t / times[0]:.1f}"]
    table("pellorin.rebin_axis (one thread) against the dense product and spectres",
          ["case", "ours (ms)"] + [x for p in peers for x in (f"{p} (ms)", f"{p}/ours")], [row])


def bench_fixed_cost():
    img = photo(4, 6, 3)
    calls = 2000

    def ours():
        for _ in range(calls):
            pellorin.resize(img, (2, 3), threads=1)

    def direct():
        for _ in range(calls):
            previous_route(img, 2, 3)

    t_ours, t_direct = (t / calls for t in paired_medians([ours, direct], rounds=5))
    print(f"\nFixed cost per call (4x6x3 -> 2x3): resize {t_ours * 1e6:.1f} us, "
          f"the direct module call {t_direct * 1e6:.1f} us")


def bench_long_reductions():
    """A long row reduced to one pixel, as computed (the exact value is
    the row's constant)."""
    rows = []
    for label, row in [("uint16, 10^6 pixels of 1000", np.full((1, 10**6), 1000, np.uint16)),
                       ("float32, 10^6 pixels of 0.1", np.full((1, 10**6), 0.1, np.float32)),
                       ("uint8, 2^20 pixels of 255", np.full((1, 2**20), 255, np.uint8))]:
        exact = float(row[0, 0])
        cells = [label, repr(exact), repr(float(pellorin.resize(row, (1, 1))[0, 0]))]
        if cv2 is not None:
            got = cv2.resize(row, (1, 1), interpolation=cv2.INTER_AREA)
            cells.append(repr(float(np.asarray(got).reshape(-1)[0])))
        rows.append(cells)
    table("Long reductions to one pixel", ["row", "exact", "pellorin.resize"]
          + (["OpenCV INTER_AREA"] if cv2 is not None else []), rows)


def run():
    bench_resize()
    bench_out_reuse()
    bench_threads()
    bench_rebin_axis()
    bench_fixed_cost()
    bench_long_reductions()


if __name__ == "__main__":
    run()
