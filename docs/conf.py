"""Sphinx configuration of the pellorin documentation.

Built by ``make docs`` (and by the ``docs`` stage of ``make test``) from the
installed wheel: autodoc imports ``pellorin`` and ``_pellorin``, and
sphinx-gallery runs every example under ``docs/examples/``. The build is
offline (no intersphinx, nothing fetched), nitpicky and treats warnings as
errors, so a broken cross-reference or a failing example fails it.

How to add a page
-----------------
* A guide page for a job (for instance mosaics, or scaling out with Dask):
  write ``docs/guide/<job>.md`` (MyST Markdown: CommonMark plus
  ``{py:func}`pellorin.name``` roles and ``{include}`` directives) and add
  its name to the toctree in ``docs/guide/index.md``. Every fenced
  ``python`` block of a page is run by ``tests/test_docs.py``: make each
  block define the names it uses, and write ``>>>`` blocks where the output
  should be checked.
* A new public name: add it to ``docs/api.md`` (an ``autofunction`` or
  ``autoclass``, or ``automodule`` for a subpackage such as
  ``pellorin.astro``); its docstring must follow numpydoc.
* A gallery example: write ``docs/examples/plot_<what>.py`` in
  sphinx-gallery's format (a module docstring with a title, then code
  cells separated by ``# %%`` comments) and add its file name to ORDER in
  ``docs/_gallery_order.py``. It runs at every build; use data shipped
  inside an installed package (``skimage.data``, astropy's test data) and
  add the package to DOCS_DEPS in the Makefile.
* Tables made by ``make bench`` land in ``docs/_generated/`` and are
  included by ``speed.md`` and ``accuracy.md``; commit them after a run.
"""

from __future__ import annotations

import os
import re
import sys

import pellorin

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # _gallery_order

project = "pellorin"
author = "the pellorin developers"
copyright = "the pellorin developers"
release = pellorin.__version__
version = re.sub(r"^(\d+\.\d+).*", r"\1", release)

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
# The gallery's sources are read by sphinx-gallery, not as pages; the
# generated tables are included into pages, not pages of their own.
exclude_patterns = ["_build", "examples", "_generated", "README.md"]
templates_path: list[str] = []

# --- MyST ------------------------------------------------------------------
# Headings up to level 3 get anchors, so that [text](page.md#heading) links
# resolve (and a missing one is a warning, hence an error).
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist", "dollarmath"]

# --- autodoc and numpydoc ---------------------------------------------------
autodoc_typehints = "none"  # the signatures and numpydoc sections say it
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
numpydoc_validation_checks: set[str] = set()

# Offline build: names from other projects cannot resolve without fetching
# their inventories, so nitpicky mode ignores exactly those; every reference
# into this project must resolve.
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|npt|astropy|typing|collections\.abc)\..*"),
    (r"py:.*", r"(Any|Callable|Protocol|SupportsIndex|ArrayLike|NDArray|DTypeLike)"),
]

# --- sphinx-gallery -----------------------------------------------------------
sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": True,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "within_subsection_order": "_gallery_order.JobOrder",
    "reference_url": {},
    "show_memory": False,
    "line_numbers": False,
    "min_reported_time": 1e9,  # timings vary with the machine; keep pages stable
}

# --- HTML ---------------------------------------------------------------------
html_theme = "furo"
html_title = f"pellorin {release}"
html_static_path: list[str] = []
html_show_sourcelink = False
html_last_updated_fmt = None
# Matplotlib draws off screen while examples run.
os.environ.setdefault("MPLBACKEND", "Agg")
