"""Concurrent calls share nothing mutable and run with the lock released;
the package's engine gives the same bits for any number of threads."""
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _pellorin
import pellorin

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


# pellorin's own engine splits one call over threads along output rows;
# every row is computed by the same code whichever thread takes it.
PHOTO = np.random.default_rng(11).integers(0, 256, size=(301, 207, 3), dtype=np.uint8)
ENGINE_JOBS = {
    "separable uint8": lambda t: pellorin.resize(PHOTO, (149, 113), threads=t),
    "separable uint8 to uint8": lambda t: pellorin.resize(PHOTO, (149, 113), dtype=np.uint8, threads=t),
    "whole factors": lambda t: pellorin.resize(PHOTO[:300, :206], (100, 103), dtype=np.uint8, threads=t),
    "enlargement": lambda t: pellorin.resize(PHOTO[:40, :50], (413, 517), threads=t),
    "float64 crop": lambda t: pellorin.resize(PHOTO.astype(np.float64) / 7, (171, 131),
                                              window=(-3.5, 10.25, 290.0, 180.5), threads=t),
    "non-finite": lambda t: pellorin.resize(np.where(PHOTO > 250, np.inf, np.where(PHOTO < 3, np.nan, PHOTO / 3.0)),
                                            (150, 100), threads=t),
    "masked": lambda t: pellorin.resize(np.ma.masked_array(PHOTO, mask=PHOTO < 40), (120, 90), threads=t),
    "rebin_axis mean": lambda t: pellorin.rebin_axis(PHOTO.reshape(301, -1).astype(np.float64), in_origin=0.0,
                                                     in_bw=1.0, out_origin=-0.3, out_bw=2.7, out_n=233, threads=t),
    "rebin_axis sum axis 0": lambda t: pellorin.rebin_axis(PHOTO.astype(np.float32), in_origin=0.0, in_bw=1.0,
                                                           out_origin=0.1, out_bw=0.77, out_n=390, axis=0,
                                                           mode="sum", threads=t),
}


@pytest.mark.parametrize("job", ENGINE_JOBS, ids=str)
def test_engine_results_are_the_same_bits_for_1_2_and_7_threads(job):
    results = [ENGINE_JOBS[job](t) for t in (1, 2, 7)]
    for other in results[1:]:
        assert other.dtype == results[0].dtype and other.shape == results[0].shape
        assert np.asarray(other).tobytes() == np.asarray(results[0]).tobytes()
        if isinstance(other, np.ma.MaskedArray):
            assert np.array_equal(np.ma.getmaskarray(other), np.ma.getmaskarray(results[0]))


def test_engine_releases_the_lock_while_it_works():
    big = np.zeros((3000, 3000, 3), dtype=np.uint8)
    started = threading.Event()
    finished = threading.Event()

    def long_call():
        started.set()
        for _ in range(3):
            pellorin.resize(big, (2999, 2999), threads=1)
        finished.set()

    worker = threading.Thread(target=long_call)
    worker.start()
    started.wait()
    time.sleep(0.05)
    small_calls = 0
    while not finished.is_set() and small_calls < 200:
        pellorin.rebin_axis(np.ones(16), in_origin=0, in_bw=1, out_origin=0, out_bw=2, out_n=8, threads=1)
        small_calls += 1
    done_early = not finished.is_set()
    worker.join()
    assert done_early, "the long call finished before the main thread could run 200 small calls"
    assert small_calls == 200
