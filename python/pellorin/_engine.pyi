# The package's compiled engine (pellorin/_engine.abi3.so). Private: called
# only by pellorin's functions, which check every argument.
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

def resize(image: npt.NDArray[np.generic], out: npt.NDArray[np.generic], top: float, left: float,
           height: float, width: float, threads: int, *, mask: Optional[npt.NDArray[np.uint8]] = None,
           out_mask: Optional[npt.NDArray[np.uint8]] = None) -> None: ...
def rebin_axis(values: npt.NDArray[np.floating[Any]], out: npt.NDArray[np.floating[Any]], in_origin: float,
               in_bw: float, out_origin: float, out_bw: float, total: bool, threads: int, *,
               mask: Optional[npt.NDArray[np.uint8]] = None,
               out_mask: Optional[npt.NDArray[np.uint8]] = None) -> None: ...
def accumulate(xs: npt.NDArray[np.float64], ys: npt.NDArray[np.float64], values: npt.NDArray[np.float64],
               sums: Optional[npt.NDArray[np.float64]], weight: Optional[npt.NDArray[np.float64]],
               flux: Optional[npt.NDArray[np.float64]], variance_sums: Optional[npt.NDArray[np.float64]], *,
               take: Optional[npt.NDArray[Union[np.uint8, np.bool_]]] = None,
               piece_quads: Optional[npt.NDArray[np.float64]] = None,
               piece_source: Optional[npt.NDArray[Union[np.uint64, np.int64]]] = None,
               piece_share: Optional[npt.NDArray[np.float64]] = None,
               weights: Optional[npt.NDArray[np.float64]] = None,
               variance: Optional[npt.NDArray[np.float64]] = None, per_plane: bool = False,
               threads: int = 1,
               block: Optional[tuple[int, int, int, int]] = None, mean: bool = False) -> None: ...
def screen(xs: npt.NDArray[np.float64], ys: npt.NDArray[np.float64], *,
           threads: int = 1) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.bool_]]: ...
def sphere_accumulate(corners_in: npt.NDArray[np.float64], corners_out: npt.NDArray[np.float64],
                      spans: npt.NDArray[np.int64], values: npt.NDArray[np.float64],
                      sums: Optional[npt.NDArray[np.float64]], weight: Optional[npt.NDArray[np.float64]],
                      flux: Optional[npt.NDArray[np.float64]], *,
                      patches_in: Optional[npt.NDArray[np.float64]] = None,
                      patch_index_in: Optional[npt.NDArray[np.int64]] = None,
                      patches_out: Optional[npt.NDArray[np.float64]] = None,
                      patch_index_out: Optional[npt.NDArray[np.int64]] = None,
                      threads: int = 1, pixel_weights: Optional[npt.NDArray[np.float64]] = None,
                      variance: Optional[npt.NDArray[np.float64]] = None,
                      variance_sums: Optional[npt.NDArray[np.float64]] = None,
                      per_cell: bool = False) -> npt.NDArray[np.float64]: ...
