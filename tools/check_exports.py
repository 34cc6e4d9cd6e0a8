"""Fails unless every compiled module in the wheel (*.abi3.so) exports only
its own PyInit_<name>: _pellorin, pellorin/_engine."""
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path


def main(wheel: str) -> int:
    with zipfile.ZipFile(wheel) as zf, tempfile.TemporaryDirectory() as tmp:
        names = [n for n in zf.namelist() if n.endswith(".abi3.so")]
        if not any(Path(n).name.startswith("_pellorin.") for n in names):
            print(f"expected a _pellorin shared object in {wheel}, found {names}")
            return 1
        status = 0
        for name in names:
            so = Path(zf.extract(name, tmp))
            out = subprocess.run(["nm", "-D", "--defined-only", str(so)], check=True,
                                 capture_output=True, text=True).stdout
            exported = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
            expected = "PyInit_" + Path(name).name.split(".")[0]
            print(f"{name}: exported symbols {exported}")
            if exported != [expected]:
                print(f"FAIL: {expected} must be the only exported symbol")
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
