#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite against it, with the sanitizer runtimes preloaded into
# the interpreter. Any sanitizer report fails the run.
#   tools/sanitized_tests.sh VENV [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$1
shift
root=$PWD
build=build/sanitize
PATH="$root/.venv-build/bin:$PATH" cmake -S . -B "$build" -G Ninja -DPELLORIN_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$root/$venv/bin/python" >/dev/null
PATH="$root/.venv-build/bin:$PATH" cmake --build "$build" >/dev/null

# The logs stay after the run (a failed one above all); the next run clears them.
log_dir=$root/$build/logs
echo "sanitizer logs: $log_dir"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
# Leaks are reported at exit; only the interpreter's and NumPy's own
# allocations are suppressed (tools/lsan.supp), never the module's.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:log_path=$log_dir/asan:allocator_may_return_null=1:handle_segv=1:detect_odr_violation=0"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$log_dir/ubsan"
export PYTHONPATH="$root/$build:$root/python"
export PELLORIN_EXPECT_SANITIZED=1
if [ $# -eq 0 ]; then set -- tests; fi
# LeakSanitizer's exit-time scan stops every thread of the process; when
# that scan itself crashes ("LeakSanitizer has encountered a fatal error",
# the tool's failure, with no report), the run says nothing about leaks and
# is made once more. A second crash, like any report, fails the run.
for attempt in 1 2; do
    rm -rf "$log_dir"
    mkdir -p "$log_dir"
    status=0
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
    if [ "$status" -ne 0 ] && [ "$attempt" -eq 1 ] \
        && grep -q -s "LeakSanitizer has encountered a fatal error" "$log_dir"/* \
        && ! grep -q -s -E "ERROR: |runtime error|SUMMARY: " "$log_dir"/*; then
        echo "LeakSanitizer crashed in its exit-time scan (no report); running the tests once more"
        cat "$log_dir"/*
        continue
    fi
    break
done
unset LD_PRELOAD
if [ "$status" -ne 0 ]; then
    echo "pytest under the sanitizers exited with status $status"
    if compgen -G "$log_dir/*" >/dev/null; then
        cat "$log_dir"/*
    fi
fi
# Warnings (e.g. a refused huge allocation, which the tests provoke on
# purpose) are not reports; errors, runtime errors and leaks are.
if compgen -G "$log_dir/*" >/dev/null && grep -l -E "ERROR: |runtime error|SUMMARY: " "$log_dir"/* >/dev/null; then
    echo "sanitizer reports:"
    cat "$log_dir"/*
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitizer logs kept in $log_dir"
fi
exit $status
