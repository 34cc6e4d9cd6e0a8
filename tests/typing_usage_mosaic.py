"""Typed use of ``pellorin.Mosaic``, checked with ``mypy --strict`` by
tests/test_typing.py. It is never imported or run, only type-checked."""

from __future__ import annotations

import pickle

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import pellorin


def shift(x: npt.NDArray[np.float64],
          y: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    return x + 0.5, y


frame: npt.NDArray[np.float32] = np.zeros((64, 64), dtype=np.float32)
m = pellorin.Mosaic((128, 128))
assert_type(m.add(frame, shift, weights=300.0, variance=frame, threads=2), None)
assert_type(m.add_quads(np.zeros((5, 4, 2)), np.ones(5), weights=np.ones(5)), None)
assert_type(m.merge(pickle.loads(pickle.dumps(m))), None)
assert_type(m.mean(), npt.NDArray[np.float64])
assert_type(m.weight(), npt.NDArray[np.float64])
assert_type(m.flux(), npt.NDArray[np.float64])
assert_type(m.variance(), npt.NDArray[np.float64])
assert_type(m.shape, tuple[int, ...])
assert_type(m.frames, int)
