"""Lazy, chunked forms of the package's calls on Dask arrays.

``pellorin.dask`` runs the plain NumPy calls (``pellorin.resize``,
``pellorin.rebin_axis``) block by block inside a Dask graph, so that stacks
of frames and cubes larger than one machine's memory or time are processed
by Dask's schedulers: the threads of one machine or the workers of a
``dask.distributed`` cluster. Every block goes through exactly the plain
call, so every value is bit for bit what the plain call gives.

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

from ._rebin_axis import rebin_axis
from ._resize import resize

__all__ = ["rebin_axis", "resize"]
