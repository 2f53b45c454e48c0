#!/usr/bin/env bash
# Sets up, builds, starts the virtual adapter on a COM port and opens the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
build_dir="${BUILD_DIR:-build}"

"$build_dir/sim/tavrol-sim" "$@" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
sleep 0.5

if [ -x "$build_dir/app/tavrol" ]; then
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found. To run headless: xvfb-run -a scripts/start.sh" >&2
    exit 1
  fi
  "$build_dir/app/tavrol"
else
  echo "The virtual adapter runs; press Ctrl+C to stop it."
  wait "$sim_pid"
fi
