"""Typed use of pellorin.reproject and pellorin.pixel_quads, checked with
``mypy --strict`` by tests/test_typing.py. It is never imported or run, only
type-checked."""

from __future__ import annotations

from typing import Union

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import pellorin


def shift(x: npt.NDArray[np.float64],
          y: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    return x + 0.5, y


image: npt.NDArray[np.float64] = np.ones((4, 4))
assert_type(pellorin.pixel_quads(shift, (4, 4)), npt.NDArray[np.float64])
assert_type(pellorin.reproject(image, shift, (4, 5)), npt.NDArray[np.float64])
assert_type(pellorin.reproject([[1.0, 2.0]], lambda x, y: (2 * x, y), (1, 4), mode="sum"),
            npt.NDArray[np.float64])
reprojected, footprint = pellorin.reproject(image, shift, (4, 5), return_footprint=True)
assert_type(footprint, npt.NDArray[np.float64])


class PlainWCS:
    def pixel_to_world_values(self, *pixel: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], ...]:
        return pixel

    def world_to_pixel_values(self, *world: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], ...]:
        return world


assert_type(pellorin.reproject(image, (PlainWCS(), PlainWCS()), (4, 4), mode="mean"),
            npt.NDArray[np.float64])


def with_flag(flag: bool, shape: list[int]) -> None:
    # A plain bool picks the overload that returns either form; any sequence
    # of integers is a shape.
    either = pellorin.reproject(image, shift, shape, return_footprint=flag, threads=2)
    assert_type(either, Union[npt.NDArray[np.float64],
                              tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]])
    assert_type(pellorin.reproject(image, shift, [4, 5], threads=None), npt.NDArray[np.float64])
    cube: npt.NDArray[np.float64] = np.ones((3, 4, 4))
    assert_type(pellorin.reproject(cube, shift, (3, 4, 5), mode="sum"), npt.NDArray[np.float64])


def astro(header: object) -> None:
    import pellorin.astro

    array, footprint = pellorin.astro.reproject((image, header), header)
    assert_type(array, npt.NDArray[np.float64])
    assert_type(pellorin.astro.reproject((image, header), header, (4, 4), return_footprint=False),
                npt.NDArray[np.float64])
    assert_type(pellorin.astro.reproject((image, header), header, (4, 4), geometry="sphere"),
                tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]])
