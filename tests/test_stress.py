"""Many successful and failing calls: no growth in memory, no lost references."""
import gc
import sys

import numpy as np

import _pellorin
from conftest import SANITIZED, rss_kib

Q = np.array([[[0.1, 0.1], [0.9, 0.2], [0.8, 0.9], [0.2, 0.8]],
              [[0.5, 0.5], [2.5, 0.5], [2.5, 1.5], [0.5, 1.5]]])
V = np.array([1.0, 2.0])
X = np.arange(4.0)
IMG = np.arange(24, dtype=np.uint16).reshape(2, 4, 3)
F_ORDER = np.asfortranarray(np.zeros((2, 4, 2)))


class BadIndex:
    def __index__(self):
        raise ValueError("no index")


CALLS = [
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X, output_y=X), None),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X, output_y=X, mode="mean", skip_partial=True), None),
    (lambda: _pellorin.rebin_axis_weights(9, 1.0, 0.5, 4, 2.5, 0.0), None),
    (lambda: _pellorin.rebin_image_separable(IMG, 2, 4, 3, 3, 2, 0.0, 0.0, 2.0, 4.0), None),
    (lambda: _pellorin.rebin_image_separable(IMG.astype(np.float64), 2, 4, 3, 1, 1, -1.0, 0.0, 4.0, 4.0), None),
    (lambda: _pellorin.rebin_quads(Q, V, X, X), TypeError),                     # binding
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X), TypeError),               # missing keyword
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X, output_y=X, bogus=1), TypeError),
    (lambda: _pellorin.rebin_quads(Q.astype(np.float32), V, output_x=X, output_y=X), TypeError),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X, output_y=X, mode="Sum"), ValueError),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X, output_y=X, mode=None), TypeError),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X, output_y=X, skip_partial=1), TypeError),
    (lambda: _pellorin.rebin_quads(Q[:, :, :1], V, output_x=X, output_y=X), ValueError),
    (lambda: _pellorin.rebin_quads(Q, V[:1], output_x=X, output_y=X), ValueError),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X[::2], output_y=X), TypeError),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X[:1], output_y=X), ValueError),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X[::-1].copy(), output_y=X), ValueError),
    (lambda: _pellorin.rebin_quads(F_ORDER, V, output_x=X, output_y=X), ValueError),
    (lambda: _pellorin.rebin_quads(Q, V[::-1], output_x=X, output_y=X), ValueError),
    (lambda: _pellorin.rebin_axis_weights(4.0, 1.0, 0.0, 2, 2.0, 0.0), TypeError),
    (lambda: _pellorin.rebin_axis_weights(-1, 1.0, 0.0, 2, 2.0, 0.0), OverflowError),
    (lambda: _pellorin.rebin_axis_weights(BadIndex(), 1.0, 0.0, 2, 2.0, 0.0), ValueError),
    (lambda: _pellorin.rebin_axis_weights(4, 1.0, 0.0, 2, -2.0, 0.0), ValueError),
    (lambda: _pellorin.rebin_axis_weights(2**63, 1.0, 0.0, 4, 1.0, 0.0), ValueError),
    (lambda: _pellorin.rebin_image_separable(IMG, 0, 4, 3, 3, 2, 0.0, 0.0, 2.0, 4.0), ValueError),
    (lambda: _pellorin.rebin_image_separable(IMG, 2, 4, 3, 3, 2, 0.0, 0.0, 0.0, 4.0), ValueError),
    (lambda: _pellorin.rebin_image_separable(IMG.astype(np.int32), 2, 4, 3, 3, 2, 0.0, 0.0, 2.0, 4.0),
     ValueError),
    (lambda: _pellorin.rebin_image_separable(IMG[:, ::2], 2, 2, 3, 3, 2, 0.0, 0.0, 2.0, 4.0), ValueError),
    (lambda: _pellorin.rebin_image_separable(IMG, 3, 4, 3, 3, 2, 0.0, 0.0, 2.0, 4.0), ValueError),
    (lambda: _pellorin.rebin_image_separable(IMG, 2, 4, 3, 3, 2, "a", 0.0, 2.0, 4.0), TypeError),
]


def run_all():
    for call, error in CALLS:
        if error is None:
            call()
        else:
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError("expected an error")


def test_every_case_behaves_as_listed():
    run_all()


def test_hundred_thousand_calls_keep_memory_and_references():
    inputs = (Q, V, X, IMG, F_ORDER)
    refs = [sys.getrefcount(a) for a in inputs]
    rounds = 100_000 // len(CALLS) + 1
    for _ in range(20):
        run_all()
    gc.collect()
    before = rss_kib()
    for _ in range(rounds):
        run_all()
    gc.collect()
    grown = rss_kib() - before
    assert [sys.getrefcount(a) for a in inputs] == refs
    if not SANITIZED:
        assert grown < 4096, f"resident memory grew by {grown} KiB over {rounds * len(CALLS)} calls"
