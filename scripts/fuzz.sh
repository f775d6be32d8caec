#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each in turn,
# starting from its seed corpus (docs/fuzzing.md).
#
#   scripts/fuzz.sh [TARGET...]      all targets when none is named
#
# FUZZ_SECONDS: how long each target runs (default 60); FUZZ_TIMEOUT: the
# seconds one input may take before it counts as a hang (default 10);
# BUILD_FUZZ: the build directory (default build-fuzz); JOBS: parallel
# build jobs (default 2). A crash, a hang, a leak, a sanitizer report or an
# allocation over 2 GiB fails the run; the input that did it is kept in
# BUILD_FUZZ/artifacts. New inputs the fuzzer finds go to BUILD_FUZZ/corpus,
# never into the seed corpus of the repository.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_FUZZ:-$top/build-fuzz}"
jobs="${JOBS:-2}"
seconds="${FUZZ_SECONDS:-60}"
timeout="${FUZZ_TIMEOUT:-10}"

"$top/scripts/fuzz-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 -DVELKRAND_FUZZ=ON -DVELKRAND_TESTS=OFF \
    -DVELKRAND_WERROR="${WERROR:-OFF}" >/dev/null
cmake --build "$build" -j "$jobs"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for source in "$top"/tests/fuzz/fuzz_*.cpp; do
        target=$(basename "$source" .cpp)
        [ -x "$build/tests/fuzz/$target" ] && targets+=("$target")
    done
fi

failed=()
mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
    echo "== $target: ${seconds} s"
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048
        -malloc_limit_mb=2048 -print_final_stats=1 -close_fd_mask=3 -verbosity=0
        -artifact_prefix="$build/artifacts/$target-")
    if [ -f "$top/tests/fuzz/$target.dict" ]; then
        options+=(-dict="$top/tests/fuzz/$target.dict")
    fi
    if ! "$build/tests/fuzz/$target" "${options[@]}" "$corpus" "$top/tests/fuzz/corpus/$target"; then
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: FAILED: ${failed[*]} (inputs in $build/artifacts)" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds} s each without a finding"
