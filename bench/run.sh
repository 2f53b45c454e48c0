#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them all; the table goes to
# standard output, progress to standard error. Arguments are handed to
# tavrol-bench (--quick, --only NAME,...).
#   BUILD_DIR   build folder (default build-bench)
#   CMAKE_ARGS  extra configure arguments, e.g. -DTAVROL_BUILD_APP=OFF
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-bench}"
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    # shellcheck disable=SC2086
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release ${CMAKE_ARGS:-} >&2
fi
cmake --build "$BUILD_DIR" -j "$(nproc)" --target tavrol-bench >&2
exec "$BUILD_DIR/bench/tavrol-bench" "$@"
