#!/usr/bin/env bash
# Runs the tool against the demonstration configuration in a fresh scratch
# directory, so that every demo writes its own result file.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${1:-$top/build/velkrand}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/velkrand-demo.XXXXXX")
cd "$scratch"
registry="$top/examples/demo.reg"
VELKRAND_REGISTRY="$registry" "$binary"
status=$?
echo
echo "exit status $status; result file and scratch directory: $scratch"

# The scan's chart and table, by velkrand-rst beside the binary, with the
# step size the configuration gave the scan.
step_kb=$((16#$(sed -n 's/^"SingleStepInKBytes"=dword:\([0-9a-fA-F]*\).*/\1/p' "$registry")))
rst="$(dirname "$binary")/velkrand-rst"
for written in "svg chart" "csv table"; do
    set -- $written
    if "$rst" --"$1" --step-kb "$step_kb" -o "velkrand.$1" velkrand.rst; then
        echo "$2: $scratch/velkrand.$1"
    else
        status=1
    fi
done
exit $status
