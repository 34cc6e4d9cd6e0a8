#!/usr/bin/env bash
# Builds the libFuzzer targets with clang through CMake (PELLORIN_FUZZ: the
# kernel library instrumented, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for FUZZ_SECONDS (default 60).
# Installs clang with apt-get when it is missing. Needs cmake and ninja on
# PATH (make fuzz takes them from the build venv).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
out=build/fuzz
CXX=${FUZZ_CXX:-clang++}
tools/apt_install.sh "$CXX:clang"
# libFuzzer and the sanitizer runtimes (compiler-rt) come apart from clang on
# Debian 12, which only recommends them: when a fuzzer cannot be linked,
# install the runtimes of this clang's version (the pair's command part is
# a name that no command has, so the package is always installed).
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | "$CXX" -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null; then
    major=$("$CXX" -dumpversion | cut -d. -f1)
    tools/apt_install.sh "compiler-rt-$major:libclang-rt-$major-dev"
fi
cmake -S . -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELLORIN_MODULE=OFF -DPELLORIN_FUZZ=ON >/dev/null
cmake --build "$out"
targets=(fuzz_clip fuzz_weights fuzz_separable)
for target in "${targets[@]}"; do
    mkdir -p "$out/corpus-$target" "$out/artifacts-$target"
    echo "== $target for ${seconds}s"
    status=0
    "$out/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$out/artifacts-$target/" "$out/corpus-$target" >"$out/$target.log" 2>&1 || status=$?
    grep -E "stat::number_of_executed_units|Done|ERROR|invariant|SUMMARY" "$out/$target.log" || true
    # A failure leaves a crash-*, leak-* or timeout-* file and a non-zero status.
    if [ "$status" -ne 0 ] || compgen -G "$out/artifacts-$target/*" >/dev/null; then
        echo "fuzzer found a failure (status $status): $(ls "$out/artifacts-$target") ; log: $out/$target.log"
        exit 1
    fi
done
