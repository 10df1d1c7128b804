#!/usr/bin/env bash
# Builds everything and runs every test: unit, end-to-end and the real-kernel
# suite. With --sanitize the build uses AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
cmake_args=()
labels=""
if [ "${1:-}" = "--sanitize" ]; then
    build=build-asan
    cmake_args+=(-DVEXIL_SANITIZE=ON)
    shift
fi
[ $# -gt 0 ] && labels="$1"

bash scripts/deps.sh
cmake -S . -B "$build" "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
if [ -n "$labels" ]; then
    ctest --output-on-failure -L "$labels"
else
    ctest --output-on-failure
fi
