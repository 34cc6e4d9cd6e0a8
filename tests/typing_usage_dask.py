"""Typed use of ``pellorin.dask``, checked with ``mypy --strict`` by
tests/test_typing.py. It is never imported or run, only type-checked."""

from __future__ import annotations

import dask.array as da
import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import pellorin.dask

video = da.zeros((4, 8, 8, 3), dtype=np.uint8, chunks=(2, 8, 8, 3))
frames: npt.NDArray[np.uint16] = np.zeros((5, 64, 64), dtype=np.uint16)
cube: npt.NDArray[np.float32] = np.zeros((100, 8, 8), dtype=np.float32)

assert_type(pellorin.dask.resize(video, (4, 4), channels=True, dtype=np.uint8), da.Array)
assert_type(pellorin.dask.resize(frames, [32, 32], window=(0.5, 0, 63, 64.0), threads=None,
                                 max_frame_bytes=None), da.Array)
assert_type(pellorin.dask.rebin_axis(cube, in_origin=4000, in_bw=2.5, out_origin=4000.0, out_bw=5.0,
                                     out_n=50, axis=0, mode="sum", threads=1, max_block_bytes=2**28), da.Array)
assert_type(pellorin.dask.rebin_axis(video, in_origin=0, in_bw=1, out_origin=0, out_bw=2, out_n=4), da.Array)
