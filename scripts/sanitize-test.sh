#!/usr/bin/env bash
# The test suite under AddressSanitizer with UndefinedBehaviorSanitizer, then
# under ThreadSanitizer (the workers, the handshake and the shared counters
# run in every end-to-end test of the binary). The QEMU guest test is left
# to the plain build.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

run() {
    local dir=$1 sanitizers=$2
    echo "== $sanitizers"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELKRAND_SANITIZE="$sanitizers" -DVELKRAND_WERROR="${WERROR:-OFF}" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -LE qemu --output-on-failure -j "$jobs"
}

# Buffers that live until the process ends are by design, not leaks.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run build-asan address,undefined
run build-tsan thread
