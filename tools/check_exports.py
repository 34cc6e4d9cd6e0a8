"""Fails unless each compiled module in each wheel exports exactly one
symbol, its PyInit_<name> (<name> being the file name up to the first dot).
Any number of modules, anywhere in the wheel, for any processor.
    python tools/check_exports.py WHEEL...
"""
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path, PurePosixPath


def check_wheel(wheel: str) -> bool:
    ok = True
    with zipfile.ZipFile(wheel) as zf, tempfile.TemporaryDirectory() as tmp:
        names = [n for n in zf.namelist() if n.endswith(".so")]
        if not names:
            print(f"FAIL: {wheel} holds no compiled module")
            return False
        for name in names:
            so = Path(zf.extract(name, tmp))
            out = subprocess.run(["nm", "-D", "--defined-only", str(so)], check=True,
                                 capture_output=True, text=True).stdout
            exported = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
            expected = ["PyInit_" + PurePosixPath(name).name.split(".")[0]]
            print(f"{Path(wheel).name}: {name} exports {exported}")
            if exported != expected:
                print(f"FAIL: {name} must export {expected[0]} and nothing else")
                ok = False
    return ok


def main(wheels: list[str]) -> int:
    if not wheels:
        print("usage: check_exports.py WHEEL...")
        return 2
    results = [check_wheel(w) for w in wheels]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
