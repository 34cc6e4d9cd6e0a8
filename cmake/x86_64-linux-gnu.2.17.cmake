# x86-64 Linux with glibc 2.17 or later (manylinux2014), built by zig on any
# x86-64 Linux (see zig.cmake).
set(PELLORIN_ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
