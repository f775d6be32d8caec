#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, or says what to run.
exec "$(dirname "$0")/ensure-packages.sh" "the build" \
    cmake ninja-build g++ make libgtest-dev libgmock-dev nlohmann-json3-dev libbenchmark-dev \
    python3-jsonschema libcli11-dev librsvg2-bin netpbm
