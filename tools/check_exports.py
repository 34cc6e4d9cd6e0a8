"""Fails unless PyInit__pellorin is the only symbol the wheel's module exports."""
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path


def main(wheel: str) -> int:
    with zipfile.ZipFile(wheel) as zf, tempfile.TemporaryDirectory() as tmp:
        names = [n for n in zf.namelist() if n.startswith("_pellorin") and n.endswith(".so")]
        if len(names) != 1:
            print(f"expected one _pellorin shared object in {wheel}, found {names}")
            return 1
        so = Path(zf.extract(names[0], tmp))
        out = subprocess.run(["nm", "-D", "--defined-only", str(so)], check=True,
                             capture_output=True, text=True).stdout
    exported = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    print(f"{names[0]}: exported symbols {exported}")
    if exported != ["PyInit__pellorin"]:
        print("FAIL: PyInit__pellorin must be the only exported symbol")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
