"""Throughput of two threads against one, and the H pass's streaming rate."""
import threading

import numpy as np

import _pellorin
from _common import median_time


def resize(img):
    h, w, c = img.shape
    return _pellorin.rebin_image_separable(img, h, w, c, h // 4, w // 4, 0.0, 0.0, float(h), float(w))


def run():
    rng = np.random.default_rng(1)
    images = [rng.integers(0, 256, size=(3000, 4000, 3), dtype=np.uint8) for _ in range(2)]

    # Sustained throughput: each thread resizes its own image ROUNDS times,
    # so thread start-up is not what is measured.
    rounds = 10

    def repeat(img):
        for _ in range(rounds):
            resize(img)

    def serial():
        for img in images:
            repeat(img)

    def threaded():
        threads = [threading.Thread(target=repeat, args=(img,)) for img in images]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t_serial = median_time(serial)
    t_threads = median_time(threaded)
    print(f"\n### Threads (two 3000x4000x3 uint8 images, each reduced 4x {rounds} times)\n")
    print(f"one thread, both in turn: {t_serial * 1e3:.1f} ms; two threads: {t_threads * 1e3:.1f} ms; "
          f"throughput ratio {t_serial / t_threads:.2f}x")

    print("\n### H pass streaming rate (whole image into one output row and column)\n")
    for dtype in (np.float32, np.uint8):
        img = rng.random((4096, 4096, 1)).astype(dtype) if dtype == np.float32 else \
            rng.integers(0, 256, size=(4096, 4096, 1), dtype=dtype)
        t_h = median_time(lambda: _pellorin.rebin_image_separable(img, 4096, 4096, 1, 1, 1, 0.0, 0.0,
                                                                   4096.0, 4096.0))
        t_copy = median_time(lambda: img.copy())
        print(f"{np.dtype(dtype).name}: H pass {img.nbytes / t_h / 1e9:.2f} GB/s read, "
              f"NumPy copy {img.nbytes / t_copy / 1e9:.2f} GB/s; ratio {t_copy / t_h:.2f}")
    return t_serial / t_threads


if __name__ == "__main__":
    run()
