"""The Dask examples run as scripts, with Dask's array module alone (the
documented install line for one machine, pellorin[dask], brings it but not
dask.distributed)."""

import os
from pathlib import Path

import pytest

if os.environ.get("PELLORIN_EXPECT_SANITIZED") == "1":
    # The examples add no native code; they run in the ordinary runs.
    pytest.skip("examples are exercised in the ordinary runs", allow_module_level=True)
pytest.importorskip("dask.array")

from conftest import run_python  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


RUN_WITHOUT_DISTRIBUTED = """
import runpy, sys

class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "distributed":
            raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)

sys.meta_path.insert(0, Refuse())
sys.argv = [{script!r}]
runpy.run_path({path!r}, run_name="__main__")
"""


@pytest.mark.parametrize("script, lines", [
    ("dask_stack.py", ["24 frames 480x640x3 -> 120x160x3 in 6 tasks of 4 frames",
                       "identical to frame-by-frame pellorin.resize: True"]),
    ("dask_quads.py", ["8 orbits of 24000 footprints onto a 200x200 grid",
                       "flux within the rounding bound of one mosaic: True",
                       "mean where covered: 274-291 K: True"]),
])
def test_example_runs_without_distributed(script, lines):
    done = run_python(RUN_WITHOUT_DISTRIBUTED.format(script=script, path=str(EXAMPLES / script)))
    assert done.returncode == 0, done.stderr
    for line in lines:
        assert line in done.stdout
