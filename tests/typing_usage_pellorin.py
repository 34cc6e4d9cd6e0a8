"""Typed use of the ``pellorin`` package, checked with ``mypy --strict`` by
tests/test_typing.py. It is never imported or run, only type-checked."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import pellorin
from pellorin import rebin_axis, resize

version: str = pellorin.__version__
names: list[str] = pellorin.__all__

rgb: npt.NDArray[np.uint8] = np.zeros((1080, 1920, 3), dtype=np.uint8)
gray16: npt.NDArray[np.uint16] = np.zeros((64, 64), dtype=np.uint16)
field: npt.NDArray[np.float64] = np.zeros((64, 64))
half: npt.NDArray[np.float32] = np.zeros((8, 8), dtype=np.float32)

# The computed values: float64 for float64 (and integer) images, else float32.
assert_type(resize(rgb, (720, 1280)), npt.NDArray[np.float32])
assert_type(resize(gray16, [32, 32]), npt.NDArray[np.float32])
assert_type(resize(half, (4, 4)), npt.NDArray[np.float32])
assert_type(resize(field, (16, 16), window=(0.5, 0.5, 32, 32.0)), npt.NDArray[np.float64])
# A requested dtype decides the result type.
assert_type(resize(rgb, (720, 1280), dtype=np.uint8), npt.NDArray[np.uint8])
assert_type(resize(field, (16, 16), dtype=np.dtype(np.float32)), npt.NDArray[np.float32])
assert_type(resize([[0, 1], [2, 3]], (1, 1), dtype="int16"), npt.NDArray[Any])
resize(rgb, (np.int64(360), 640), window=(np.float32(0.0), 0, 1080, np.float64(1920.0)))

spectra: npt.NDArray[np.float64] = np.ones((1000, 4096))
spectra32: npt.NDArray[np.float32] = np.ones((1000, 4096), dtype=np.float32)
assert_type(rebin_axis(spectra, in_origin=4000.0, in_bw=0.5, out_origin=4000.0, out_bw=2.048,
                       out_n=1000), npt.NDArray[np.float64])
assert_type(rebin_axis(spectra32, in_origin=0, in_bw=1, out_origin=0, out_bw=4, out_n=1024,
                       axis=1, mode="sum"), npt.NDArray[np.float32])
# Any other real input computes in float64.
assert_type(rebin_axis([1, 2, 3, 4], in_origin=0, in_bw=1, out_origin=0, out_bw=2,
                       out_n=np.int32(2), axis=np.int64(0)), npt.NDArray[np.float64])
totals: npt.NDArray[np.float64] = rebin_axis(spectra, in_origin=0, in_bw=1, out_origin=0,
                                             out_bw=4.096, out_n=1000, mode="sum").sum(axis=-1)

# Results written into an existing array, on a chosen number of threads.
small: npt.NDArray[np.uint8] = np.empty((720, 1280, 3), dtype=np.uint8)
assert_type(resize(rgb, (720, 1280), dtype=np.uint8, out=small, threads=2), npt.NDArray[np.uint8])
assert_type(resize(rgb, (720, 1280), threads=None), npt.NDArray[np.float32])
into: npt.NDArray[np.float64] = np.empty((16, 16))
assert_type(resize(field, (16, 16), out=into, threads=np.int64(1)), npt.NDArray[np.float64])
binned: npt.NDArray[np.float64] = np.empty((1000, 1000))
assert_type(rebin_axis(spectra, in_origin=0, in_bw=1, out_origin=0, out_bw=4.096, out_n=1000,
                       out=binned, threads=2), npt.NDArray[np.float64])
