"""The overhead of pellorin.dask over the plain call on data in memory.

Each dask timing is the whole path a user takes once they hold a Dask array:
building the graph (the argument check included), then running it on the
threaded scheduler, either to blocks that Dask keeps (``.persist()``) or to
one NumPy array (``.compute()``, which copies the result once more: Dask
copies a single-chunk result so that nothing can write into a block it holds,
and concatenates several chunks into a new array). The plain call gets the
same work: one image, or a loop over the frames of a stack writing into one
result. Each frame is computed on one thread on both paths.

The three paths take turns; medians of 7 after a warm-up, of the process's
CPU time (all threads; on a shared machine wall time mostly measures the
other processes) and of wall time.

The photo is scikit-image's astronaut, upscaled to 4000x6000 by
pellorin.resize (random pixels when scikit-image is missing).

Then pellorin.dask.mosaic of 16 dithered, rotated frames of 1024x1024 onto
2048x2048 on a dask.distributed LocalCluster of two single-threaded worker
processes against one: wall times and their ratio, from one run each. The
frames are made by tasks on the workers, as frames read from files would
be."""
import inspect
import statistics
import time

import numpy as np

import pellorin
from _common import fmt_ms, optional_peer

da = optional_peer("dask.array")
skimage_data = optional_peer("skimage", "data")

REPEATS = 7


def one_thread(func):
    """``{"threads": 1}`` where the plain call takes it, else nothing."""
    return {"threads": 1} if "threads" in inspect.signature(func).parameters else {}


def photo(shape=(4000, 6000)):
    if skimage_data is not None:
        return pellorin.resize(skimage_data.astronaut(), shape, dtype=np.uint8)
    rng = np.random.default_rng(0)
    return rng.integers(0, 256, shape + (3,), dtype=np.uint8)


def interleaved(fns, repeats=REPEATS):
    """Median CPU and wall times of each function, the functions run in turn."""
    for fn in fns:
        fn()
    cpu, wall = [[] for _ in fns], [[] for _ in fns]
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            c0, w0 = time.process_time(), time.perf_counter()
            fn()
            wall[k].append(time.perf_counter() - w0)
            cpu[k].append(time.process_time() - c0)
    return [statistics.median(t) for t in cpu], [statistics.median(t) for t in wall]


def paths(plain, lazy):
    """The plain call, the dask path to kept blocks, the dask path to one array."""
    return [plain, lambda: lazy().persist(scheduler="threads"), lambda: lazy().compute(scheduler="threads")]


def image_case(image, shape, **kwargs):
    lazy_input = da.from_array(image, chunks=-1)
    plain_kwargs = {**kwargs, **one_thread(pellorin.resize)}

    def plain():
        return pellorin.resize(image, shape, **plain_kwargs)

    def lazy():
        return pellorin.dask.resize(lazy_input, shape, channels=True, **kwargs)

    assert np.array_equal(plain(), lazy().compute())
    return interleaved(paths(plain, lazy))


def stack_case(stack, shape, frames_per_block):
    lazy_input = da.from_array(stack, chunks=(frames_per_block, -1, -1, -1))
    kwargs = one_thread(pellorin.resize)
    out_dtype = pellorin.resize(stack[0, :1, :1], (1, 1)).dtype

    def plain():
        result = np.empty((len(stack),) + shape + stack.shape[3:], dtype=out_dtype)
        for i, frame in enumerate(stack):
            result[i] = pellorin.resize(frame, shape, **kwargs)
        return result

    def lazy():
        return pellorin.dask.resize(lazy_input, shape, channels=True)

    assert np.array_equal(plain(), lazy().compute())
    return interleaved(paths(plain, lazy))


def _frame(k, size=1024):
    """Frame k of a dithered set: a smooth field with noise."""
    rng = np.random.default_rng(k)
    y, x = np.mgrid[0:size, 0:size]
    return np.sin(x / 61.0 + k) * np.cos(y / 47.0) + rng.normal(0.0, 0.1, (size, size))


def _dithered(k):
    """The map of frame k: turned by 0.25 k degrees, scaled by 1.9 and
    dithered by fractions of a pixel, inside a 2048 x 2048 grid."""
    angle = np.deg2rad(0.25 * k)
    c, s = np.cos(angle), np.sin(angle)
    dx, dy = 60.0 + 0.37 * k, 30.0 + 0.61 * k

    def transform(x, y):
        return 1.9 * (c * x - s * y) + dx, 1.9 * (s * x + c * y) + dy
    return transform


def mosaic_case(workers, frames=16):
    """Wall time of pellorin.dask.mosaic of the frames on a LocalCluster of
    `workers` single-threaded processes (one run: each takes minutes), and
    the mosaic."""
    import dask
    from dask.distributed import Client, LocalCluster

    items = [(dask.delayed(_frame)(k), _dithered(k)) for k in range(frames)]
    # Workers with glibc's own allocation settings, as a plain process has
    # them. Dask's default (MALLOC_TRIM_THRESHOLD_) makes every large array a
    # fresh mapping that is handed back when freed; on a virtual machine whose
    # host backs guest memory lazily, touching such pages again costs about
    # 13 ms per MB here, which would be most of what is timed.
    glibc_defaults = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
    with dask.config.set(glibc_defaults), LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                       dashboard_address=":0") as cluster, Client(cluster) as client:
        client.run(lambda: __import__("pellorin").Mosaic)  # imports done before timing
        start = time.perf_counter()
        # Runs of half the frames: one partial mosaic per worker of two,
        # merged once (the same grouping, so the same bits, on one worker).
        result = client.compute(pellorin.dask.mosaic(items, (2048, 2048), split_every=frames // 2)).result()
        return time.perf_counter() - start, result


def mosaic_speed():
    if not hasattr(pellorin, "Mosaic") or optional_peer("dask.distributed") is None:
        print("\n### pellorin.dask.mosaic: skipped (needs pellorin.Mosaic and dask.distributed)")
        return
    one, single = mosaic_case(1)
    two, double = mosaic_case(2)
    assert np.array_equal(single.weight(), double.weight())  # one grouping, whatever the workers
    print("\n### pellorin.dask.mosaic: 16 frames 1024x1024 onto 2048x2048, LocalCluster of "
          "single-threaded workers\n")
    print("| workers | wall (s) | speed-up |")
    print("|---|---|---|")
    print(f"| 1 | {one:.2f} | 1.00 |")
    print(f"| 2 | {two:.2f} | {one / two:.2f} |")


def table(title, rows):
    print(f"\n{title}\n")
    print("| case | plain (ms) | persist (ms) | persist/plain | compute (ms) | compute/plain |")
    print("|---|---|---|---|---|---|")
    for label, (plain, kept, gathered) in rows:
        print(f"| {label} | {fmt_ms(plain)} | {fmt_ms(kept)} | {kept / plain:.3f} "
              f"| {fmt_ms(gathered)} | {gathered / plain:.3f} |")


def run():
    if da is None:
        print("\n### pellorin.dask: skipped (Dask is not installed)")
        return
    import pellorin.dask  # noqa: F401  (needs Dask)

    big = photo()
    frames = np.stack([photo((1080, 1920))] * 8)
    source = "astronaut upscaled" if skimage_data is not None else "random pixels"
    cases = (
        (f"uint8 RGB 4000x6000 -> 2000x3000, one chunk ({source})", lambda: image_case(big, (2000, 3000))),
        ("the same, dtype=np.uint8", lambda: image_case(big, (2000, 3000), dtype=np.uint8)),
        ("8 frames uint8 RGB 1080x1920 -> 720x1280, one chunk", lambda: stack_case(frames, (720, 1280), 8)),
        ("the same, 4 chunks of 2 frames (on every core)", lambda: stack_case(frames, (720, 1280), 2)),
    )
    cpu_rows, wall_rows = [], []
    for label, timing in cases:
        cpu, wall = timing()
        cpu_rows.append((label, cpu))
        wall_rows.append((label, wall))
    print("\n### pellorin.dask.resize on the threaded scheduler against the plain call")
    table("CPU time of the process (all threads):", cpu_rows)
    table("Wall time:", wall_rows)

    # Dask's own cost per graph, whatever the blocks do: a one-block graph on
    # a tiny array, with an identity map and with pellorin.dask.resize.
    tiny = da.from_array(np.zeros((4, 6, 3), dtype=np.uint8), chunks=-1)
    (identity, ours), _ = interleaved([
        lambda: tiny.map_blocks(np.negative).persist(scheduler="threads"),
        lambda: pellorin.dask.resize(tiny, (2, 3), channels=True).persist(scheduler="threads")], repeats=51)
    print(f"\nDask's fixed cost per graph (CPU time, a one-block graph of a 4x6x3 array, persisted): "
          f"{fmt_ms(identity).strip()} ms with np.negative as the block function, "
          f"{fmt_ms(ours).strip()} ms for pellorin.dask.resize, graph building included.")
    mosaic_speed()


if __name__ == "__main__":
    run()
