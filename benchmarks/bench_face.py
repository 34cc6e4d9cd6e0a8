"""The package's functions: pellorin.resize against the direct module call and
OpenCV's INTER_AREA, pellorin.rebin_axis against spectres and the dense
weight product. Everything on one thread.

Times are medians of the process's CPU time (user and system), not wall
time: on a shared machine, wall time mostly measures the other processes,
while the differences compared here are a few percent."""
import os

# BLAS reads its thread count once, when NumPy is first imported.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import _pellorin  # noqa: E402
import pellorin  # noqa: E402
from _common import opencv_one_thread, optional_peer, print_table  # noqa: E402

cv2 = opencv_one_thread()
spectres = optional_peer("spectres")


def paired_medians(fns, rounds=7, block=3, clock=time.process_time):
    """Median CPU time of each function. The functions take turns in
    blocks, so that a busy machine slows them alike; each block starts with
    an untimed call, because the allocator's state after another function's
    call can make the first call of a block much faster or slower."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for fn, bucket in zip(fns, times):
            fn()
            for _ in range(block):
                start = clock()
                fn()
                bucket.append(clock() - start)
    return [statistics.median(bucket) for bucket in times]


def bench_resize():
    img = np.random.default_rng(0).integers(0, 256, (1080, 1920, 3), dtype=np.uint8)
    rows = []
    # The last case isolates the fixed cost of the Python layer per call.
    cases = [(img, (720, 1280), 1), (img, (540, 960), 1), (img[:4, :6].copy(), (2, 3), 1000)]
    for image, (out_h, out_w), calls in cases:
        h, w, c = image.shape

        def ours():
            for _ in range(calls):
                result = pellorin.resize(image, (out_h, out_w))
            return result

        def direct():
            for _ in range(calls):
                result = _pellorin.rebin_image_separable(image, h, w, c, out_h, out_w, 0.0, 0.0, float(h), float(w))
            return result

        assert ours().tobytes() == direct().tobytes()
        t_ours, t_direct = (t / calls for t in paired_medians([ours, direct], rounds=15, block=5))
        rows.append((f"uint8 {h}x{w}x{c} -> {out_h}x{out_w}", t_ours, {"direct call": t_direct}))
    print_table("pellorin.resize, float32 result, against the direct call", rows[:-1], ["direct call"])
    _, t_ours, theirs = rows[-1]
    print(f"\nFixed cost per call (4x6x3 -> 2x3): resize {t_ours * 1e6:.1f} us, "
          f"direct call {theirs['direct call'] * 1e6:.1f} us")

    rows = []
    if cv2 is not None:
        for out_h, out_w in [(720, 1280), (540, 960)]:
            def ours8():
                return pellorin.resize(img, (out_h, out_w), dtype=np.uint8)

            def opencv():
                return cv2.resize(img, (out_w, out_h), interpolation=cv2.INTER_AREA)

            assert np.abs(ours8().astype(int) - opencv()).max() <= 1
            t_ours, t_cv = paired_medians([ours8, opencv])
            rows.append((f"uint8 1080x1920x3 -> {out_h}x{out_w}", t_ours, {"OpenCV": t_cv}))
    print_table("pellorin.resize(dtype=np.uint8) against OpenCV INTER_AREA (uint8 result)", rows, ["OpenCV"])


def bench_rebin_axis():
    spectra = np.random.default_rng(1).uniform(0.5, 2.0, (1000, 4096))
    in_origin, in_bw, out_bw, out_n = 4000.0, 0.5, 2.048, 1000

    def ours():
        return pellorin.rebin_axis(spectra, in_origin=in_origin, in_bw=in_bw, out_origin=in_origin,
                                   out_bw=out_bw, out_n=out_n)

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
    rows = [("float64 1000x4096 -> 1000x1000, mean", times[0], dict(zip(peers, times[1:])))]
    print_table("pellorin.rebin_axis against the dense product and spectres", rows, peers)


def run():
    bench_resize()
    bench_rebin_axis()


if __name__ == "__main__":
    run()
