"""Typed use of the module's API, checked with ``mypy --strict`` by
tests/test_typing.py. It is never imported or run, only type-checked."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import _pellorin
from _pellorin import rebin_axis_weights, rebin_image_separable, rebin_quads

quads: npt.NDArray[np.float64] = np.zeros((3, 4, 2))
values: npt.NDArray[np.float64] = np.ones(3)
centres: npt.NDArray[np.float64] = np.arange(5.0)

grid = rebin_quads(quads, values, output_x=centres, output_y=centres)
assert_type(grid, npt.NDArray[np.float64])
mean = rebin_quads(quads=quads, values=values, output_x=centres, output_y=centres,
                   mode="mean", skip_partial=True)
assert_type(mean, npt.NDArray[np.float64])
rebin_quads(quads, values, output_x=centres, output_y=centres, skip_partial=np.bool_(False))

weights = rebin_axis_weights(4, 1.0, 0.0, 2, 2.0, 0.0)
assert_type(weights, npt.NDArray[np.float64])
# Counts may be any integer-like object; widths and origins anything float-like.
rebin_axis_weights(in_n=np.int64(4), in_bw=1, in_origin=np.float32(0.0),
                   out_n=True, out_bw=np.float64(2.0), out_origin=0)
spectrum: npt.NDArray[np.float64] = np.ones(4)
rebinned: npt.NDArray[np.float64] = weights @ spectrum

img8: npt.NDArray[np.uint8] = np.zeros((4, 6, 3), dtype=np.uint8)
img16: npt.NDArray[np.uint16] = np.zeros((4, 6, 3), dtype=np.uint16)
img32: npt.NDArray[np.float32] = np.zeros((4, 6, 3), dtype=np.float32)
img64: npt.NDArray[np.float64] = np.zeros((4, 6, 3), dtype=np.float64)

assert_type(rebin_image_separable(img8, 4, 6, 3, 2, 3, 0.0, 0.0, 4.0, 6.0),
            npt.NDArray[np.float32])
assert_type(rebin_image_separable(img16, 4, 6, 3, 2, 3, 0.0, 0.0, 4.0, 6.0),
            npt.NDArray[np.float32])
assert_type(rebin_image_separable(img32, 4, 6, 3, 2, 3, 0.0, 0.0, 4.0, 6.0),
            npt.NDArray[np.float32])
assert_type(rebin_image_separable(img64, 4, 6, 3, 2, 3, 0.0, 0.0, 4.0, 6.0),
            npt.NDArray[np.float64])
small = rebin_image_separable(image=img8, h=4, w=6, c=3, out_h=2, out_w=3,
                              origin_h=0.5, origin_w=0, extent_h=3, extent_w=np.float64(6.0))
assert_type(small, npt.NDArray[np.float32])

names: list[str] = _pellorin.__all__
