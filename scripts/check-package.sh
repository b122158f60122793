#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack, unpacked into a scratch root without
# installing it (dpkg -x), and run from there: velmar --help, velmar-gui's help, a read of the
# built-in simulated meter; the unit, the example configuration, the library, its headers and
# CMake package are in it, and its maintainer script is valid shell.
#   scripts/check-package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
cmake --build "$build" --target package >/dev/null
deb=$(ls "$build"/package/velmar_*.deb)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
for f in usr/bin/velmar usr/bin/velmar-gui usr/lib/libvelmar.a usr/include/velmar/bus.hpp \
         usr/lib/cmake/velmar/velmarConfig.cmake usr/lib/systemd/system/velmar-poll.service \
         usr/share/doc/velmar/examples/velmar-poll.toml; do
  [ -e "$root/$f" ] || { echo "the package lacks /$f"; exit 1; }
done
grep -q '^ExecStart=/usr/bin/velmar poll /etc/velmar/poll.toml$' "$root/usr/lib/systemd/system/velmar-poll.service" \
  || { echo "the packaged unit does not start /usr/bin/velmar"; exit 1; }
"$root/usr/bin/velmar" --help | grep -q 'Usage:' || { echo "velmar --help failed"; exit 1; }
QT_QPA_PLATFORM=offscreen "$root/usr/bin/velmar-gui" --help | grep -qi 'usage' || { echo "velmar-gui --help failed"; exit 1; }
"$root/usr/bin/velmar" read --simulate | grep -q '^Meter ID *12345678' || { echo "a read from the package failed"; exit 1; }
dpkg-deb -e "$deb" "$root/DEBIAN"
sh -n "$root/DEBIAN/postinst"
echo "package $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
