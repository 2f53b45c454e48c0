#!/usr/bin/env bash
# Sets up and builds, starts the virtual adapter on a COM port and opens the
# tool. Arguments go to the virtual adapter (see: tavrol-sim --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build_dir="${BUILD_DIR:-build}"

echo "Building in $build_dir/ (a few minutes the first time) ..."
mkdir -p "$build_dir"
if ! BUILD_DIR="$build_dir" scripts/build.sh >"$build_dir/start-build.log" 2>&1; then
  tail -n 40 "$build_dir/start-build.log" >&2
  echo "The build failed; the whole log is in $build_dir/start-build.log" >&2
  exit 1
fi

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display to open the window on. On a machine without one, run it on a" >&2
  echo "virtual X server:  xvfb-run -a scripts/start.sh" >&2
  exit 1
fi

"$build_dir/sim/tavrol-sim" "$@" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
sleep 0.5
kill -0 "$sim_pid" 2>/dev/null || { echo "The virtual adapter did not start." >&2; exit 1; }

echo "Pick the virtual adapter's COM port in the window; its log follows here."
"$build_dir/app/tavrol"
