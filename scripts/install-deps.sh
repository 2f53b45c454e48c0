#!/usr/bin/env bash
# Installs what building, running and testing need, from Debian's archive.
set -euo pipefail

packages=(
  cmake g++ make pkg-config dpkg-dev desktop-file-utils
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools
  fonts-wqy-microhei
  libx11-dev xvfb xdotool x11-utils x11-apps imagemagick
  nlohmann-json3-dev libcli11-dev help2man bash-completion
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "Need root to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
