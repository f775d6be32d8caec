#!/usr/bin/env bash
# Installs what the fuzz targets need on Debian 12 (clang with libFuzzer and
# the sanitizer runtimes), or says what to run. Building and testing the
# tool itself does not need them.
exec "$(dirname "$0")/ensure-packages.sh" "the fuzz targets" \
    clang-14 libclang-rt-14-dev cmake ninja-build nlohmann-json3-dev
