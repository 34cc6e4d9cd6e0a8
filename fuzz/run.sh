#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for FUZZ_SECONDS (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
out=build/fuzz
mkdir -p "$out"
CXX=${FUZZ_CXX:-clang++}
flags=(-std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -Isrc -Ifuzz)
kernels=(src/common/panic.cpp src/clip/clip.cpp src/weights/axis_weights.cpp src/image/separable.cpp)
for target in fuzz_clip fuzz_weights fuzz_separable; do
    "$CXX" "${flags[@]}" "fuzz/$target.cpp" "${kernels[@]}" -o "$out/$target"
done
for target in fuzz_clip fuzz_weights fuzz_separable; do
    mkdir -p "$out/corpus-$target"
    echo "== $target for ${seconds}s"
    "$out/$target" -max_total_time="$seconds" -print_final_stats=1 "$out/corpus-$target" 2>&1 \
        | grep -E "stat::number_of_executed_units|Done|ERROR|invariant|SUMMARY" || true
    # A crash leaves a crash-* file and a non-zero status; surface it.
    if compgen -G "crash-*" >/dev/null || compgen -G "leak-*" >/dev/null; then
        echo "fuzzer found a failure: $(ls crash-* leak-* 2>/dev/null)"
        exit 1
    fi
done
