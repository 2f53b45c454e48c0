#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j 2 --timeout 300
