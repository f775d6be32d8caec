#!/usr/bin/env bash
# Runs the tool against the demonstration configuration in a fresh scratch
# directory, so that every demo writes its own result file.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${1:-$top/build/velkrand}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velkrand-demo.XXXXXX")
cd "$scratch"
VELKRAND_REGISTRY="$top/examples/demo.reg" "$binary"
status=$?
echo
echo "exit status $status; result file and scratch directory: $scratch"
exit $status
