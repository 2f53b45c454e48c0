#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and runs every test: once in a
# plain build, once under AddressSanitizer + UndefinedBehaviorSanitizer, and
# the protocol, link and adapter tests once more under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

run_suite() {
  local dir="$1"; shift
  local filter=("$@")
  echo "=== tests in $dir"
  ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 300 "${filter[@]}"
}

BUILD_DIR=build scripts/build.sh
run_suite build

BUILD_DIR=build-asan scripts/build.sh -DTAVROL_SANITIZE=address
run_suite build-asan -E bench

BUILD_DIR=build-tsan scripts/build.sh -DTAVROL_SANITIZE=thread -DTAVROL_BUILD_APP=OFF
run_suite build-tsan -E bench
