"""Timing and reporting shared by the benchmark scripts."""
from __future__ import annotations

import importlib
import platform
import statistics
import time

REPEATS = 7


def optional_peer(module: str, name: str | None = None):
    """A peer library (or one of its attributes), or None when it is not installed."""
    try:
        found = importlib.import_module(module)
    except ImportError:
        return None
    if name is None:
        return found
    if not hasattr(found, name):  # a submodule, such as PIL.Image
        return importlib.import_module(f"{module}.{name}")
    return getattr(found, name)


def opencv_one_thread():
    """OpenCV on one thread, or None."""
    cv2 = optional_peer("cv2")
    if cv2 is not None:
        cv2.setNumThreads(1)
    return cv2


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def median_time(fn, repeats: int = REPEATS, warmup: int = 1) -> float:
    """Median wall time of `fn()` in seconds, after `warmup` untimed calls."""
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def fmt_ms(seconds) -> str:
    return "—" if seconds is None else f"{seconds * 1e3:9.2f}"


def print_table(title: str, rows, peers) -> None:
    """rows: (case, ours, {peer: seconds or None})."""
    header = "| case | ours (ms) | " + " | ".join(f"{p} (ms) | ours/{p}" for p in peers) + " |"
    print(f"\n### {title}\n")
    print(header)
    print("|" + "---|" * (2 + 2 * len(peers)))
    for case, ours, theirs in rows:
        cells = [case, fmt_ms(ours)]
        for p in peers:
            t = theirs.get(p)
            cells.append(fmt_ms(t))
            cells.append("—" if t is None else f"{ours / t:.2f}")
        print("| " + " | ".join(cells) + " |")


def photo(h: int, w: int, channels: int = 3):
    """A uint8 image of real photographs (scikit-image's astronaut, coffee,
    chelsea and rocket, tiled at their own resolution) of shape (h, w,
    channels); the fourth channel of RGBA is the camera photograph."""
    import numpy as np
    from skimage import data

    tiles = [data.astronaut(), data.coffee(), data.chelsea(), data.rocket()]
    canvas = np.empty((h, w, 3), np.uint8)
    y = k = 0
    while y < h:
        x = row_height = 0
        while x < w:
            tile = tiles[k % len(tiles)]
            k += 1
            th, tw = min(tile.shape[0], h - y), min(tile.shape[1], w - x)
            canvas[y:y + th, x:x + tw] = tile[:th, :tw]
            x += tw
            row_height = max(row_height, th)
        y += row_height
    if channels == 4:
        canvas = np.dstack([canvas, np.resize(data.camera(), (h, w))])
    elif channels == 1:
        canvas = canvas[:, :, :1]
    return np.ascontiguousarray(canvas)
