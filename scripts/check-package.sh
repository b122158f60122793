#!/usr/bin/env bash
# The Debian package as a user gets it: built by CPack, unpacked into a scratch root without
# installing it (dpkg -x), and run from there: velmar --help, velmar-gui's help, a read of the
# built-in simulated meter; the unit, the example configuration, the library, its headers and
# CMake package are in it, its maintainer scripts are valid shell, and lintian finds neither an
# error nor a warning.
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
         usr/share/doc/velmar/examples/velmar-poll.toml \
         usr/share/velmar/profiles/kamstrup-multical21.toml; do
  [ -e "$root/$f" ] || { echo "the package lacks /$f"; exit 1; }
done
grep -q '^ExecStart=/usr/bin/velmar poll /etc/velmar/poll.toml$' "$root/usr/lib/systemd/system/velmar-poll.service" \
  || { echo "the packaged unit does not start /usr/bin/velmar"; exit 1; }
"$root/usr/bin/velmar" --help | grep -q 'Usage:' || { echo "velmar --help failed"; exit 1; }
QT_QPA_PLATFORM=offscreen "$root/usr/bin/velmar-gui" --help | grep -qi 'usage' || { echo "velmar-gui --help failed"; exit 1; }
"$root/usr/bin/velmar" read --simulate | grep -q '^Meter ID *12345678' || { echo "a read from the package failed"; exit 1; }
# The installed command finds the profiles the package put beside it.
"$root/usr/bin/velmar" profiles list | grep -q '^kamstrup-multical21 ' || { echo "the packaged velmar finds no profiles"; exit 1; }
dpkg-deb -e "$deb" "$root/DEBIAN"
for script in postinst prerm postrm; do
  [ -x "$root/DEBIAN/$script" ] || { echo "the package lacks its $script"; exit 1; }
  sh -n "$root/DEBIAN/$script"
done
[ -e "$root/usr/share/doc/velmar/copyright" ] || { echo "the package lacks its copyright file"; exit 1; }
# Debian's own checks: no error and no warning.
if command -v lintian >/dev/null; then
  complaints=$(lintian --suppress-tags running-with-root-privileges "$deb" 2>&1 | grep -E '^[EW]:' || true)
  [ -z "$complaints" ] || { echo "$complaints"; exit 1; }
fi
# With VELMAR_INSTALL_PACKAGE=1 (CI, as root, on a machine of its own): installed for real, the
# service user and /etc/velmar/poll.toml (root:velmar 0640) are there; removed, the site's
# configuration and user stay; purged, they are gone.
if [ "${VELMAR_INSTALL_PACKAGE:-0}" = 1 ] && [ "$(id -u)" != 0 ]; then
  echo "not installed for real: needs root"
elif [ "${VELMAR_INSTALL_PACKAGE:-0}" = 1 ]; then
  dpkg -i "$deb" >/dev/null
  getent passwd velmar >/dev/null || { echo "installing made no velmar user"; exit 1; }
  [ "$(stat -c '%U:%G %a' /etc/velmar/poll.toml)" = "root:velmar 640" ] \
    || { echo "/etc/velmar/poll.toml is $(stat -c '%U:%G %a' /etc/velmar/poll.toml), not root:velmar 640"; exit 1; }
  dpkg -r velmar >/dev/null
  [ -e /etc/velmar/poll.toml ] && getent passwd velmar >/dev/null \
    || { echo "removing (not purging) took the site's configuration or user"; exit 1; }
  dpkg --purge velmar >/dev/null
  [ ! -e /etc/velmar ] && [ ! -e /var/lib/velmar ] || { echo "purging left /etc/velmar or /var/lib/velmar"; exit 1; }
  ! getent passwd velmar >/dev/null && ! getent group velmar >/dev/null \
    || { echo "purging left the velmar user or group"; exit 1; }
  echo "installed, removed and purged: nothing left behind"
fi
echo "package $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
