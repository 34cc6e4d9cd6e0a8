#!/usr/bin/env bash
# Imports a manylinux wheel of ours in another system's CPython and runs
# tools/smoke_test.py there (imports from site-packages, every pinned golden
# digest). The system is Debian's SUITE for the wheel's processor, unpacked
# once into ROOTFS by debootstrap's first stage; nothing of it is installed:
# its Python runs through its own dynamic loader and glibc (under qemu-user
# for another processor). NumPy is PyPI's manylinux2014 wheel for that
# Python. Needs debootstrap, qemu-user for another processor (installed with
# apt-get when missing) and the Debian mirror.
#   tools/wheel_import.sh WHEEL ROOTFS [SUITE]
# SUITE defaults to the build machine's; an older one (bullseye: glibc 2.31,
# Python 3.9) runs the wheel on an older glibc.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
wheel=$(realpath "$1")
root=$(realpath -m "$2")
suite=${3:-$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")}
case $(basename "$wheel") in
    *_x86_64.whl) arch=x86_64 debian_arch=amd64 loader=lib64/ld-linux-x86-64.so.2 ;;
    *_aarch64.whl) arch=aarch64 debian_arch=arm64 loader=lib/ld-linux-aarch64.so.1 ;;
    *) echo "not a manylinux x86_64 or aarch64 wheel: $wheel" >&2; exit 2 ;;
esac
emulator=()
if [ "$(uname -m)" != "$arch" ]; then
    emulator=("qemu-$arch" -L "$root")
fi
tools/apt_install.sh debootstrap ${emulator:+"qemu-$arch:qemu-user"}

stamp=$root/.unpacked-$suite-$debian_arch-2
if [ ! -e "$stamp" ]; then
    rm -rf "$root"
    mkdir -p "$root"
    echo "unpacking Debian $suite $debian_arch with python3 into $root"
    debootstrap --foreign --arch="$debian_arch" --variant=minbase --include=python3,libstdc++6 "$suite" "$root" \
        http://deb.debian.org/debian >"$root.log" 2>&1 || { tail -n 20 "$root.log"; exit 1; }
    # The first stage unpacks only the essential packages; the rest wait in
    # the archive cache for a second stage that would run inside: unpack them.
    for deb in "$root"/var/cache/apt/archives/*.deb; do
        dpkg-deb -x "$deb" "$root"
    done
    # Absolute links (such as the dynamic loader's) would lead out of ROOTFS
    # to the build machine's files: make them relative.
    find "$root" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
        ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$root$(readlink "$link")")" "$link"
    done
    # No second stage ran ldconfig: an empty cache keeps the loader from
    # reading the build machine's and makes it search its default folders.
    : >"$root/etc/ld.so.cache"
    touch "$stamp"
fi

# The system's own loader, told to search only the system's library folders,
# so that nothing of the build machine's is loaded (checked below).
libs=$root/lib/$arch-linux-gnu:$root/usr/lib/$arch-linux-gnu
python=("${emulator[@]}" "$root/$loader" --library-path "$libs" "$root/usr/bin/python3")
version=$("${python[@]}" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
site=$("${python[@]}" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
rm -rf "$site" "$root/numpy-wheel"
mkdir -p "$site"
.venv-build/bin/pip download -q --no-deps --only-binary=:all: --implementation cp --python-version "$version" \
    --platform "manylinux2014_$arch" -d "$root/numpy-wheel" "numpy>=1.21"
(cd "$site" && unzip -q "$root"/numpy-wheel/numpy-*.whl && unzip -q "$wheel")
echo "Debian $suite $debian_arch${emulator:+ under qemu-$arch}: Python $version," \
    "$("${python[@]}" -c 'import platform; print(*platform.libc_ver())')"
cd "$root"
# Fail if any shared library in use came from outside ROOTFS.
PYTHONPATH=$site "${python[@]}" - "$root" <<'PY'
import sys
import numpy  # noqa: F401
import _pellorin  # noqa: F401
import pellorin  # noqa: F401
paths = {line.split()[-1] for line in open("/proc/self/maps") if ".so" in line.rsplit("/", 1)[-1]}
outside = sorted(p for p in paths if not p.startswith(sys.argv[1] + "/"))
print(len(paths), "shared objects mapped, all from", sys.argv[1] if not outside else "", *outside)
sys.exit(1 if outside else 0)
PY
PYTHONPATH=$site "${python[@]}" "$repo/tools/smoke_test.py"
