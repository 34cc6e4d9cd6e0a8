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
    results = {}
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    for module in (_pellorin, pellorin):
        where = Path(module.__file__).resolve()
        print(f"{module.__name__}: {where}")
        results[f"{module.__name__} imported from {site}"] = site in where.parents
    print(f"pellorin {pellorin.__version__}, NumPy {np.__version__}")

    pinned = json.loads((TESTS / "golden.json").read_text())
    computed = {name: digest(make()) for name, make in cases()}
    for name in sorted(pinned):
        results[f"golden digest {name}"] = computed.get(name) == pinned[name]

    # 2 x 2 blocks of small integers: each mean is exact in float64.
    image = np.arange(16, dtype=np.float64).reshape(4, 4)
    expected = np.array([[2.5, 4.5], [10.5, 12.5]])
    results["resize of 2 x 2 blocks is their mean"] = np.array_equal(pellorin.resize(image, (2, 2)), expected)

    failed = [name for name, ok in results.items() if not ok]
    for name in failed:
        print("FAIL:", name)
    print(f"smoke test: {len(results) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
