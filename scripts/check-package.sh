#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine and checks that the
# installed program starts (offscreen) and ends cleanly. Needs root: meant for
# throwaway machines such as CI's.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"

if [ "$(id -u)" -ne 0 ]; then
  echo "check-package.sh installs a package: run it as root on a machine you can throw away" >&2
  exit 1
fi

(cd "$build_dir" && cpack -G DEB)
deb="$(ls -t "$build_dir"/tavrol_*.deb | head -n 1)"
DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "./$deb"

for f in /usr/bin/tavrol /usr/bin/tavrol-sim /usr/share/applications/tavrol.desktop \
         /usr/share/icons/hicolor/scalable/apps/tavrol.svg \
         /usr/bin/tavrolctl /usr/share/man/man1/tavrolctl.1 /usr/share/bash-completion/completions/tavrolctl; do
  [ -e "$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done
desktop-file-validate /usr/share/applications/tavrol.desktop
/usr/bin/tavrol-sim --help >/dev/null
/usr/bin/tavrolctl --help >/dev/null

bash tests/app/terminate_test.sh /usr/bin/tavrol
echo "The package installs, and its program starts and ends cleanly."
