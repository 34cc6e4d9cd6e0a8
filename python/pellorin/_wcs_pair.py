"""The map from input to output pixel coordinates given by a pair of WCS.

Two objects with astropy's shared WCS interface compose through their world
values when they describe the same world coordinates. Two astropy WCS in
different celestial frames (or with their world axes in another order) are
related through astropy's high-level objects instead, which convert between
frames; astropy is imported only then.
"""

from __future__ import annotations

from typing import Any, Callable

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]


def _low_level(wcs: Any) -> Any:
    """The low-level shared interface of an astropy WCS object, or None for
    objects that only have the values methods."""
    low = getattr(wcs, "low_level_wcs", wcs)
    return low if hasattr(low, "world_axis_object_classes") else None


def _same_world(low_in: Any, low_out: Any) -> bool:
    """Whether the world values of both mean the same coordinates: the same
    physical types and units in the same order, and equivalent celestial
    frames."""
    if (list(low_in.world_axis_physical_types) != list(low_out.world_axis_physical_types)
            or list(low_in.world_axis_units) != list(low_out.world_axis_units)):
        return False
    from astropy.coordinates import BaseCoordinateFrame, SkyCoord

    def frames(low: Any) -> list[Any]:
        found = []
        for entry in low.world_axis_object_classes.values():
            klass = entry[0] if isinstance(entry, (tuple, list)) else entry
            kwargs = entry[2] if isinstance(entry, (tuple, list)) and len(entry) > 2 else {}
            if isinstance(klass, type) and issubclass(klass, SkyCoord):
                found.append(kwargs.get("frame"))
        return found

    fin, fout = frames(low_in), frames(low_out)
    if len(fin) != len(fout):
        return False
    for a, b in zip(fin, fout):
        if a is None or b is None:
            if a is not b:
                return False
            continue
        if isinstance(a, str) or isinstance(b, str):
            if a != b:
                return False
            continue
        if not (isinstance(a, BaseCoordinateFrame) and a.is_equivalent_frame(b)):
            return False
    return True


def celestial_pair(wcs_in: Any, wcs_out: Any) -> bool:
    """Whether both are WCS of two pixel axes whose two world axes are one
    celestial coordinate (astropy's shared interface), as the spherical
    geometry needs."""
    for wcs in (wcs_in, wcs_out):
        low = _low_level(wcs)
        if low is None or low.pixel_n_dim != 2 or low.world_n_dim != 2:
            return False
        keys = {component[0] for component in low.world_axis_object_components}
        if len(keys) != 1:
            return False
        from astropy.coordinates import SkyCoord

        entry = low.world_axis_object_classes[keys.pop()]
        klass = entry[0] if isinstance(entry, (tuple, list)) else entry
        if not (isinstance(klass, type) and issubclass(klass, SkyCoord)):
            return False
    return True


def wcs_pair_map(wcs_in: Any, wcs_out: Any) -> Callable[[F64, F64], Any]:
    """``f(x, y) -> (x_out, y_out)`` from input to output pixel coordinates."""
    low_in, low_out = _low_level(wcs_in), _low_level(wcs_out)
    if low_in is None or low_out is None or _same_world(low_in, low_out):
        def values(x: F64, y: F64) -> Any:
            return wcs_out.world_to_pixel_values(*wcs_in.pixel_to_world_values(x, y))
        return values

    from astropy.wcs.wcsapi import BaseHighLevelWCS, HighLevelWCSWrapper

    def high(wcs: Any) -> Any:
        return wcs if isinstance(wcs, BaseHighLevelWCS) else HighLevelWCSWrapper(wcs)

    high_in, high_out = high(wcs_in), high(wcs_out)

    def converted(x: F64, y: F64) -> Any:
        world = high_in.pixel_to_world(x, y)
        if not isinstance(world, (list, tuple)):
            world = (world,)
        return high_out.world_to_pixel(*world)

    return converted
