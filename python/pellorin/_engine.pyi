# The package's compiled engine (pellorin/_engine.abi3.so). Private: called
# only by pellorin's functions, which check every argument.
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

def resize(image: npt.NDArray[np.generic], out: npt.NDArray[np.generic], top: float, left: float,
           height: float, width: float, threads: int, *, mask: Optional[npt.NDArray[np.uint8]] = None,
           out_mask: Optional[npt.NDArray[np.uint8]] = None) -> None: ...
def rebin_axis(values: npt.NDArray[np.floating[Any]], out: npt.NDArray[np.floating[Any]], in_origin: float,
               in_bw: float, out_origin: float, out_bw: float, total: bool, threads: int, *,
               mask: Optional[npt.NDArray[np.uint8]] = None,
               out_mask: Optional[npt.NDArray[np.uint8]] = None) -> None: ...
