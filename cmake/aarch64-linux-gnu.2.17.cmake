# 64-bit ARM Linux with glibc 2.17 or later (manylinux2014), cross-compiled by
# zig (see zig.cmake). Executables (the C++ tests) run under qemu-user with
# the target's shared libraries from Debian's /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PELLORIN_ZIG_TARGET aarch64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
