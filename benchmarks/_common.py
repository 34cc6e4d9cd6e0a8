"""Timing and reporting shared by the benchmark scripts."""
from __future__ import annotations

import contextlib
import datetime
import importlib
import importlib.metadata
import os
import platform
import statistics
import sys
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


# --- Tables for the docs ------------------------------------------------------
# run_all.py sends what each script prints to docs/_generated/<name>.md as
# well as to the terminal; the speed and accuracy pages include those files.
# The scripts themselves only print, so each still runs alone.

GENERATED = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs", "_generated")


class _Tee:
    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)
        return len(text)

    def flush(self):
        for stream in self.streams:
            stream.flush()


@contextlib.contextmanager
def tables_to(name: str):
    """Everything printed inside the block also goes to docs/_generated/<name>.md."""
    os.makedirs(GENERATED, exist_ok=True)
    path = os.path.join(GENERATED, f"{name}.md")
    with open(path + ".part", "w", encoding="utf-8") as out:
        with contextlib.redirect_stdout(_Tee(sys.stdout, out)):
            yield
    os.replace(path + ".part", path)  # a failed run leaves the last good file


def _version(module: str) -> str | None:
    try:
        return importlib.metadata.version(module)
    except importlib.metadata.PackageNotFoundError:
        return None


def write_machine(peers=("numpy", "opencv-python-headless", "pillow", "scikit-image", "pypolyclip", "shapely",
                         "drizzle", "reproject", "astropy", "spectres")) -> str:
    """Names the machine and the versions in docs/_generated/machine.md; returns the text."""
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    except (ValueError, OSError, AttributeError):
        memory = float("nan")
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    versions = ", ".join(f"{p} {v}" for p in ("pellorin", *peers) if (v := _version(p)) is not None)
    # Other work on a shared machine slows every timing; say how busy it was.
    load = f", load average {os.getloadavg()[0]:.1f} at the start" if hasattr(os, "getloadavg") else ""
    text = (f"Measured on {datetime.date.today().isoformat()} by one run of `make bench`: "
            f"{cpu_model()}, {cores} cores available to the process{load}, {memory:.0f} GiB of memory, "
            f"{platform.system()} {platform.machine()}, Python {platform.python_version()}; {versions}.\n")
    os.makedirs(GENERATED, exist_ok=True)
    with open(os.path.join(GENERATED, "machine.md"), "w", encoding="utf-8") as out:
        out.write(text)
    return text
