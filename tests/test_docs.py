"""The README and the docs pages: every Python snippet runs, every relative
link and anchor resolves, every public name is in the API reference.

Each fenced ``python`` block runs on its own, in a fresh namespace, from the
root of the checkout: a snippet may use only the names it defines (a block
that needs what a test cannot have, such as a running cluster, is written
as a ``{code-block} python`` directive: shown, not run). Blocks
written with ``>>>`` prompts run as doctests, so their printed output is
checked too. The examples in the package's docstrings run as doctests.

A snippet that imports an optional package which is not installed is
skipped, unless PELLORIN_DOCS_STRICT=1 (the docs stage of ``make test`` sets
it, in the environment that has every package the docs use).
"""

from __future__ import annotations

import contextlib
import doctest
import importlib
import io
import os
import re
import sys
from pathlib import Path

import pytest

import pellorin

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
STRICT = os.environ.get("PELLORIN_DOCS_STRICT") == "1"
PAGES = [ROOT / "README.md"] + sorted(p for p in DOCS.rglob("*.md") if "_generated" not in p.parts)

FENCE = re.compile(r"^(?P<indent> *)(?P<fence>`{3,}|~{3,})(?P<info>[^\n`]*)$")


def fenced_blocks(text: str):
    """(first line number, info string, code) of every fenced block at any
    indentation; MyST directives (```{name}) are blocks too, and nested
    fences inside them are not looked into."""
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, info = len(m["indent"]), m["fence"], m["info"].strip()
        body = []
        j = i + 1
        while j < len(lines) and not re.match(rf"^ {{0,{indent + 3}}}{re.escape(fence[0])}{{{len(fence)},}}\s*$",
                                              lines[j]):
            body.append(lines[j][indent:] if lines[j][:indent].strip() == "" else lines[j])
            j += 1
        yield i + 1, info, "\n".join(body) + "\n"
        i = j + 1


def snippets():
    for page in PAGES:
        for line, info, code in fenced_blocks(page.read_text(encoding="utf-8")):
            if info.split()[:1] == ["python"]:
                yield pytest.param(page, code, id=f"{page.relative_to(ROOT)}:{line}")


def run_or_skip(fn):
    """Runs fn(); an optional package that is missing skips (or fails when strict)."""
    try:
        return fn()
    except ModuleNotFoundError as exc:
        if STRICT or (exc.name or "").split(".")[0] in ("pellorin", "_pellorin", "numpy"):
            raise
        pytest.skip(f"needs {exc.name}")


@pytest.fixture
def at_root(monkeypatch):
    monkeypatch.chdir(ROOT)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.setattr(sys, "path", list(sys.path))  # what a snippet adds goes away after it


@pytest.mark.parametrize(("page", "code"), list(snippets()))
def test_snippet_runs(page, code, at_root):
    if code.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(code, {}, str(page), str(page), 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        out = io.StringIO()
        # A missing optional module would surface as a failed example: skip first.
        for example in test.examples:
            for name in re.findall(r"^\s*(?:import|from)\s+([\w.]+)", example.source, re.M):
                run_or_skip(lambda name=name: __import__(name))
        runner.run(test, out=out.write)
        assert runner.failures == 0, out.getvalue()
    else:
        namespace = {"__name__": "__snippet__"}
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            run_or_skip(lambda: exec(compile(code, str(page), "exec"), namespace))


def docstring_tests():
    finder = doctest.DocTestFinder()
    for name in sorted(pellorin.__all__):
        obj = getattr(pellorin, name)
        if callable(obj) and getattr(obj, "__doc__", None):
            for test in finder.find(obj, f"pellorin.{name}"):
                if test.examples:
                    yield pytest.param(test, id=test.name)


@pytest.mark.parametrize("test", list(docstring_tests()))
def test_docstring_examples(test):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    out = io.StringIO()
    runner.run(test, out=out.write)
    assert runner.failures == 0, out.getvalue()


def test_snippets_are_found():
    """The collector sees the blocks it must run (a regex that matched
    nothing would make every test above vacuous)."""
    readme = list(fenced_blocks((ROOT / "README.md").read_text(encoding="utf-8")))
    assert sum(info == "python" for _, info, _ in readme) >= 1
    assert len(list(snippets())) >= 20


# --- links ---------------------------------------------------------------------

LINK = re.compile(r"(?<!!)\[(?:[^\]\[]|\[[^\]]*\])*\]\(([^()\s]+)(?:\s+\"[^\"]*\")?\)")
LABEL = re.compile(r"^\(([\w-]+)\)=\s*$", re.M)
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$", re.M)


def slug(heading: str) -> str:
    """The anchor of a heading, as MyST (myst_heading_anchors) and the usual
    Markdown renderers make it: lower case, markup and punctuation other
    than '-' and '_' dropped, spaces as '-'."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)   # links keep their text
    text = re.sub(r"\{[\w:]+\}`([^`]*)`", r"\1", text)          # MyST roles keep their content
    text = text.strip().lower().replace("`", "")
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def prose(text: str) -> str:
    """The text with fenced blocks blanked (their lines kept, so that line
    numbers stay), so that code is not read as links or headings."""
    lines = text.split("\n")
    for start, _, code in fenced_blocks(text):
        for k in range(start - 1, start + code.count("\n") + 1):
            if k < len(lines):
                lines[k] = ""
    return "\n".join(lines)


def anchors(page: Path) -> set[str]:
    text = prose(page.read_text(encoding="utf-8"))
    found = {slug(h) for _, h in HEADING.findall(text)}
    return found | set(LABEL.findall(text))


def target_exists(path: Path) -> bool:
    if path.exists():
        return True
    # Gallery pages are generated at build time from docs/examples/<name>.py.
    if path.parent == DOCS / "auto_examples" and path.suffix == ".rst":
        return path.stem == "index" or (DOCS / "examples" / f"{path.stem}.py").exists()
    return False


def links():
    for page in PAGES:
        text = prose(page.read_text(encoding="utf-8"))
        for target in LINK.findall(text):
            if re.match(r"^[a-z][a-z+.-]*:", target):   # http:, https:, mailto:
                continue
            yield pytest.param(page, target, id=f"{page.relative_to(ROOT)}->{target}")


@pytest.mark.parametrize(("page", "target"), list(links()))
def test_relative_link_resolves(page, target):
    path_part, _, anchor = target.partition("#")
    path = (page.parent / path_part).resolve() if path_part else page
    assert target_exists(path), f"{target}: no such file"
    if anchor and path.suffix == ".md":
        assert anchor in anchors(path), f"{target}: no heading or label '{anchor}' in {path.name}"


def test_links_are_found():
    readme_links = [t for p, t in (param.values for param in links()) if p.name == "README.md"]
    assert any(t.startswith("docs/") for t in readme_links)


# --- the API reference lists every public name -------------------------------------


def documented_names(api: str) -> set[str]:
    """Qualified names of the entries of the API page: each directive's name
    under the ``.. module::`` it follows."""
    names, module = set(), ""
    for kind, name in re.findall(r"^\.\. (module|autofunction|autoclass|data|function)::\s+([\w.]+)", api, re.M):
        if kind == "module":
            module = name
        else:
            names.add(f"{module}.{name}")
    return names


@pytest.mark.parametrize("package", ["pellorin", "pellorin.astro", "pellorin.dask", "_pellorin"])
def test_api_reference_is_complete(package):
    documented = documented_names((DOCS / "api.md").read_text(encoding="utf-8"))
    try:
        module = importlib.import_module(package)
    except ImportError as exc:  # a subpackage whose extra is not installed
        if STRICT or package in ("pellorin", "_pellorin"):
            raise
        pytest.skip(str(exc))
    if package == "_pellorin":
        public = {n for n in dir(module) if not n.startswith("_") and callable(getattr(module, n))}
    else:
        public = set(module.__all__)
    missing = {f"{package}.{n}" for n in public} - documented
    assert public and not missing, sorted(missing)
