"""Lazy, chunked forms of the package's calls on Dask arrays.

``pellorin.dask`` runs the package's calls inside Dask graphs, so that
stacks of frames, cubes and outputs larger than memory are processed by
Dask's schedulers: the threads of one machine or the workers of a
``dask.distributed`` cluster. ``resize`` and ``rebin_axis`` run the plain
calls block by block; ``reproject`` computes each output chunk from the
input pixels that reach it; all three give bit for bit the plain calls'
values. ``mosaic`` adds many frames into partial ``pellorin.Mosaic``
objects on the workers and merges them up a tree.

It needs Dask's array module, installed with the optional extra::

    pip install "pellorin[dask]"

Importing this subpackage without it raises an ``ImportError`` that names
the extra; ``import pellorin`` alone never imports Dask.
"""

from __future__ import annotations

try:
    import dask.array  # noqa: F401
except ImportError as error:
    raise ImportError(
        "pellorin.dask needs Dask's array module, which cannot be imported "
        f"({error}); install it with the optional extra: pip install 'pellorin[dask]'"
    ) from error

from ._mosaic import mosaic
from ._rebin_axis import rebin_axis
from ._reproject import reproject
from ._resize import resize

__all__ = ["mosaic", "rebin_axis", "reproject", "resize"]
