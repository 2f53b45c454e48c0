#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them all; the table goes to
# standard output, progress to standard error. Arguments are handed to
# tavrol-bench (--quick, --only NAME,...); "cli" in --only selects the rows
# of tavrolctl-bench.
#   BUILD_DIR   build folder (default build-bench)
#   CMAKE_ARGS  extra configure arguments, e.g. -DTAVROL_BUILD_APP=OFF
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-bench}"
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    # shellcheck disable=SC2086
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release ${CMAKE_ARGS:-} >&2
fi
cmake --build "$BUILD_DIR" -j "$(nproc)" --target tavrol-bench tavrolctl-bench >&2

# tavrolctl's rows come from a program of their own, named "cli" in --only;
# --quick applies to both.
args=() quick=() cli=yes
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=(--quick); args+=("$1") ;;
        --only)
            cli=no
            only=()
            IFS=, read -ra names <<<"${2:-}"
            for name in "${names[@]}"; do
                if [ "$name" = cli ]; then cli=yes; else only+=("$name"); fi
            done
            if [ ${#only[@]} -gt 0 ]; then args+=(--only "$(IFS=,; echo "${only[*]}")"); else args+=(--none); fi
            shift ;;
        *) args+=("$1") ;;
    esac
    shift
done
status=0
if [[ " ${args[*]} " != *" --none "* ]]; then
    "$BUILD_DIR/bench/tavrol-bench" "${args[@]}" || status=$?
fi
if [ "$cli" = yes ]; then
    echo
    "$BUILD_DIR/bench/tavrolctl-bench" "${quick[@]}" || status=$?
fi
exit $status
