"""The order of the gallery's examples: the order of the user guide's jobs."""

from __future__ import annotations

import os

# New examples go here, by file name; any not listed follow in name order.
ORDER = [
    "plot_resize_photos.py",
    "plot_rebin_spectrum.py",
    "plot_reproject_m13.py",
]


class JobOrder:
    """A sphinx-gallery sort key (``within_subsection_order``)."""

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        name = os.path.basename(filename)
        return (ORDER.index(name) if name in ORDER else len(ORDER), name)

    def __repr__(self) -> str:
        return f"<{self.__class__.__name__}>"
