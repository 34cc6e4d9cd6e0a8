"""The installed type stub, checked with mypy in strict mode.

The wheel installs the stub beside the extension and as the stub-only
package ``_pellorin-stubs``, which mypy finds in site-packages with no
configuration; the tests run mypy exactly as a user would.
"""

import importlib.util
import os
import re
import textwrap
from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api")
if os.environ.get("PELLORIN_EXPECT_SANITIZED") == "1":
    pytest.skip("the sanitizer run loads the module from its build tree, without the wheel's stubs",
                allow_module_level=True)

HERE = Path(__file__).resolve().parent
USAGES = sorted(HERE.glob("typing_usage*.py"))


def test_stub_package_installed_beside_the_extension():
    spec = importlib.util.find_spec("_pellorin")
    assert spec is not None and spec.origin is not None
    site = Path(spec.origin).parent
    assert (site / "_pellorin.pyi").is_file()
    assert (site / "_pellorin-stubs" / "__init__.pyi").read_text() == (site / "_pellorin.pyi").read_text()


@pytest.fixture(scope="module")
def run_mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")
    config = tmp_path_factory.mktemp("mypy-config") / "mypy.ini"
    config.write_text("[mypy]\n")

    def run(*targets):
        stdout, stderr, status = mypy_api.run([
            "--strict", "--config-file", str(config), "--cache-dir", str(cache),
            "--no-error-summary", "--show-error-codes", *targets])
        return stdout + stderr, status
    return run


@pytest.mark.parametrize("usage", USAGES, ids=lambda path: path.name)
def test_usage_passes_strict(run_mypy, usage):
    output, status = run_mypy(str(usage))
    assert status == 0, output


# Each line is a mistake the stub must catch; the marker names the reason.
WRONG = textwrap.dedent("""\
    import numpy as np
    import numpy.typing as npt
    from _pellorin import rebin_axis_weights, rebin_image_separable, rebin_quads

    q: npt.NDArray[np.float64] = np.zeros((1, 4, 2))
    v: npt.NDArray[np.float64] = np.zeros(1)
    x: npt.NDArray[np.float64] = np.arange(3.0)
    i32: npt.NDArray[np.int32] = np.zeros((2, 2, 1), dtype=np.int32)
    u8: npt.NDArray[np.uint8] = np.zeros((2, 2, 1), dtype=np.uint8)
    v32: npt.NDArray[np.float32] = np.zeros(1, dtype=np.float32)

    rebin_quads(q, v, x, x)  # WRONG: keyword-only grid passed by position
    rebin_quads(q, v, output_x=x, output_y=x, mode="median")  # WRONG: unknown mode
    rebin_quads(q, v, output_x=x, output_y=x, skip_partial=1)  # WRONG: int flag
    rebin_quads(q, v32, output_x=x, output_y=x)  # WRONG: float32 values
    rebin_quads(q, v, output_x=x)  # WRONG: output_y missing
    rebin_quads(q, [1.0], output_x=x, output_y=x)  # WRONG: list, not an array
    rebin_axis_weights(4.0, 1.0, 0.0, 2, 2.0, 0.0)  # WRONG: float count
    rebin_axis_weights(4, "1.0", 0.0, 2, 2.0, 0.0)  # WRONG: text width
    rebin_axis_weights(4, 1.0, 0.0, 2, 2.0)  # WRONG: out_origin missing
    rebin_image_separable(i32, 2, 2, 1, 1, 1, 0.0, 0.0, 2.0, 2.0)  # WRONG: int32 image
    wrong: npt.NDArray[np.float64] = rebin_image_separable(u8, 2, 2, 1, 1, 1, 0.0, 0.0, 2.0, 2.0)  # WRONG: result is float32
    rebin_image_separable(u8, 2, 2, 1, 1, 1, 0.0, 0.0, 2.0, 2.0, scale=2)  # WRONG: unknown keyword

    import pellorin
    pellorin.reproject(q[0], lambda x, y: (x, y), (2, 2), mode="median")  # WRONG: unknown mode
    pellorin.reproject(q[0], lambda x, y: (x, y), (2, 2), "sum")  # WRONG: mode is keyword-only
    pair: npt.NDArray[np.float64] = pellorin.reproject(q[0], lambda x, y: (x, y), (2, 2), return_footprint=True)  # WRONG: a tuple
    pellorin.pixel_quads(lambda x, y: (x, y), 4)  # WRONG: shape is a pair
    pellorin.reproject(q[0], lambda x, y: (x, y), 4)  # WRONG: shape_out is a sequence
    pellorin.reproject(q[0], lambda x, y: (x, y), (2, 2), return_footprint=1)  # WRONG: not a bool
    pellorin.reproject(q[0], lambda x, y: (x, y), (2, 2), threads="2")  # WRONG: text thread count
    """)


def test_wrong_calls_are_rejected(run_mypy, tmp_path):
    source = tmp_path / "wrong_usage.py"
    source.write_text(WRONG)
    output, status = run_mypy(str(source))
    assert status == 1, output
    expected = {n for n, line in enumerate(WRONG.splitlines(), 1) if "# WRONG" in line}
    flagged = {int(m.group(1))
               for m in re.finditer(r"wrong_usage\.py:(\d+): error:", output)}
    assert flagged == expected, output
    assert "Too many positional arguments" in output, output
