"""Concurrent calls share nothing mutable and run with the lock released."""
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _pellorin

RNG = np.random.default_rng(7)
IMAGE8 = RNG.integers(0, 256, size=(97, 131, 3), dtype=np.uint8)
IMAGE32 = RNG.random((64, 80, 1), dtype=np.float32)
CENTRES = RNG.uniform(0.0, 30.0, size=(2000, 1, 2))
QUADS = CENTRES + np.array([[-1.2, -0.7], [0.9, -1.1], [1.3, 0.8], [-0.6, 1.0]])
VALUES = RNG.random(2000)
GRID = np.arange(0.5, 30.0)
for array in (IMAGE8, IMAGE32, QUADS, VALUES, GRID):
    array.setflags(write=False)


def job(k):
    kind = k % 4
    if kind == 0:
        return _pellorin.rebin_image_separable(IMAGE8, 97, 131, 3, 40 + k % 7, 50, 0.0, 0.0, 97.0, 131.0)
    if kind == 1:
        return _pellorin.rebin_image_separable(IMAGE32, 64, 80, 1, 33, 29, -2.5, 1.5, 70.0, 60.0)
    if kind == 2:
        return _pellorin.rebin_quads(QUADS, VALUES, output_x=GRID, output_y=GRID,
                                     mode="mean" if k % 8 == 2 else "sum")
    return _pellorin.rebin_axis_weights(300 + k % 5, 1.0, 0.0, 120, 2.7, -3.0)


def test_eight_threads_match_a_serial_run():
    jobs = list(range(64))
    serial = [job(k) for k in jobs]
    with ThreadPoolExecutor(max_workers=8) as pool:
        parallel = list(pool.map(job, jobs))
    for a, b in zip(serial, parallel):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert a.tobytes() == b.tobytes()


def test_a_long_call_does_not_block_other_threads():
    big = np.zeros((3000, 3000, 3), dtype=np.uint8)
    started = threading.Event()
    finished = threading.Event()

    def long_call():
        started.set()
        for _ in range(3):
            _pellorin.rebin_image_separable(big, 3000, 3000, 3, 2999, 2999, 0.0, 0.0, 3000.0, 3000.0)
        finished.set()

    worker = threading.Thread(target=long_call)
    worker.start()
    started.wait()
    time.sleep(0.05)
    small_calls = 0
    while not finished.is_set() and small_calls < 200:
        _pellorin.rebin_axis_weights(16, 1.0, 0.0, 8, 2.0, 0.0)
        small_calls += 1
    done_early = not finished.is_set()
    worker.join()
    assert done_early, "the long call finished before the main thread could run 200 small calls"
    assert small_calls == 200
