"""Smoke test of an installed pellorin (run from outside the source tree):
both faces import from site-packages, every pinned golden digest
(tests/golden.json) holds, and resize keeps a block mean exact.
    python tools/smoke_test.py
"""
import json
import sys
import sysconfig
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests"
sys.path.append(str(TESTS))

import numpy as np  # noqa: E402

import _pellorin  # noqa: E402
import pellorin  # noqa: E402
from golden_cases import cases, digest  # noqa: E402


def main() -> int:
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    failures = []
    for module in (_pellorin, pellorin):
        where = Path(module.__file__).resolve()
        print(f"{module.__name__}: {where}")
        if site not in where.parents:
            failures.append(f"{module.__name__} imported from {where}, not from {site}")
    print(f"pellorin {pellorin.__version__}, NumPy {np.__version__}")

    pinned = json.loads((TESTS / "golden.json").read_text())
    computed = {name: digest(make()) for name, make in cases()}
    wrong = sorted(name for name in pinned if computed.get(name) != pinned[name])
    print(f"golden digests: {len(pinned) - len(wrong)} of {len(pinned)} equal")
    failures += [f"golden digest {name} differs" for name in wrong]

    # 2 x 2 blocks of small integers: each mean is exact in float64.
    image = np.arange(16, dtype=np.float64).reshape(4, 4)
    expected = np.array([[2.5, 4.5], [10.5, 12.5]])
    if not np.array_equal(pellorin.resize(image, (2, 2)), expected):
        failures.append("resize of 2 x 2 blocks is not their mean")

    for failure in failures:
        print("FAIL:", failure)
    print("smoke test:", "failed" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
