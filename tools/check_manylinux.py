"""Fails unless every wheel named is tagged for the given glibc (manylinux)
and really needs nothing newer: auditwheel show must find the wheel
consistent with manylinux_<glibc>_<arch>, and, checked apart from it, no
compiled module may need a glibc symbol version above that glibc nor any
version of libstdc++ or libgcc_s (the C++ runtime is linked in).
    python tools/check_manylinux.py 2.17 WHEEL...
"""
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# Libraries of the C++ runtime that a wheel may not need from the system.
CXX_RUNTIME = ("GLIBCXX_", "CXXABI_", "GCC_")


def glibc_versions(so: Path) -> tuple[set[tuple[int, ...]], set[str]]:
    """The glibc symbol versions the shared object needs, and any C++ runtime ones."""
    out = subprocess.run(["objdump", "-T", str(so)], check=True, capture_output=True, text=True).stdout
    glibc = {tuple(int(p) for p in v.split(".")) for v in re.findall(r"\(GLIBC_([0-9.]+)\)", out)}
    runtime = {v for v in re.findall(r"\(([A-Z]+_[0-9.]+)\)", out) if v.startswith(CXX_RUNTIME)}
    return glibc, runtime


def check_wheel(wheel: Path, glibc: tuple[int, ...], auditwheel: Path) -> bool:
    ok = True
    arch_match = re.search(r"[-.]manylinux2014_([a-z0-9_]+)[.-]", wheel.name)
    if not arch_match:
        print(f"FAIL: {wheel.name} is not tagged manylinux2014_<arch>")
        return False
    expected = f"manylinux_{glibc[0]}_{glibc[1]}_{arch_match.group(1)}"
    shown = subprocess.run([str(auditwheel), "show", str(wheel)], capture_output=True, text=True)
    text = " ".join(shown.stdout.split())
    found = re.findall(r'consistent with the following platform tag: "([^"]+)"', text)
    print(f"auditwheel show {wheel.name}:\n  {text}")
    if shown.returncode != 0 or found != [expected]:
        print(f"FAIL: auditwheel show finds {found or 'no tag'}, expected {expected}")
        ok = False
    with zipfile.ZipFile(wheel) as zf, tempfile.TemporaryDirectory() as tmp:
        modules = [n for n in zf.namelist() if n.endswith(".so")]
        if not modules:
            print(f"FAIL: {wheel.name} holds no compiled module")
            ok = False
        for name in modules:
            needed, runtime = glibc_versions(Path(zf.extract(name, tmp)))
            newest = max(needed, default=())
            print(f"  {name}: newest glibc symbol version {'.'.join(map(str, newest)) or 'none'}")
            if newest > glibc:
                print(f"FAIL: {name} needs glibc {'.'.join(map(str, newest))}")
                ok = False
            if runtime:
                print(f"FAIL: {name} needs the system C++ runtime: {sorted(runtime)}")
                ok = False
    return ok


def main(args: list[str]) -> int:
    if len(args) < 2:
        print("usage: check_manylinux.py GLIBC_VERSION WHEEL...")
        return 2
    glibc = tuple(int(p) for p in args[0].split("."))
    auditwheel = Path(sys.executable).with_name("auditwheel")
    results = [check_wheel(Path(w), glibc, auditwheel) for w in args[1:]]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
