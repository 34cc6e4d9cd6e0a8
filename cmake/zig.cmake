# Shared part of the zig toolchain files (x86_64-linux-gnu.2.17.cmake,
# aarch64-linux-gnu.2.17.cmake): zig's clang compiles for the glibc named in
# PELLORIN_ZIG_TARGET (<arch>-linux-gnu.<version>), linking against stubs of
# that glibc's symbols, so the built objects need no symbol version newer than
# it. zig links its own libc++, libc++abi and libunwind statically; the
# module's version script keeps every symbol but PyInit_<name> local, so none
# of them is exported. zig comes from the PyPI package ziglang: the ZIG
# environment variable (a zig executable) wins, then the package seen by
# python3 on PATH (make's build venv), then zig on PATH.
if(NOT PELLORIN_ZIG_TARGET MATCHES "^[a-z0-9_]+-linux-gnu\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "PELLORIN_ZIG_TARGET must be <arch>-linux-gnu.<glibc version>, not '${PELLORIN_ZIG_TARGET}'")
endif()

if(DEFINED ENV{ZIG} AND NOT "$ENV{ZIG}" STREQUAL "")
  set(pellorin_zig "$ENV{ZIG}")
else()
  execute_process(
    COMMAND python3 -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE pellorin_zig OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0)
    find_program(pellorin_zig zig)
  endif()
  if(NOT pellorin_zig)
    message(FATAL_ERROR "zig not found: set ZIG, pip install ziglang or put zig on PATH")
  endif()
endif()

# The baseline processor of the target (x86-64: SSE2; aarch64: ARMv8-A),
# never the build machine's; wider instruction sets only where a function
# asks for them with a target attribute and the run-time check allows it.
set(CMAKE_C_COMPILER "${pellorin_zig}" cc -target ${PELLORIN_ZIG_TARGET} -mcpu=baseline)
set(CMAKE_CXX_COMPILER "${pellorin_zig}" c++ -target ${PELLORIN_ZIG_TARGET} -mcpu=baseline)
# zig's C++ runtime carries debug information; the modules ship without it
# (as a plain Release build does).
set(CMAKE_MODULE_LINKER_FLAGS_INIT -Wl,--strip-debug)
