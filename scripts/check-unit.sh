#!/usr/bin/env bash
# The collector's service as installed: cmake --install into a scratch root, systemd-analyze
# verify on the unit (any complaint fails) and systemd-analyze security (an exposure above 2.5
# fails, and the serial devices must stay allowed), then, as root, the example configuration
# installed the way the unit's comments say (root-owned, group of the service user, mode 640)
# and checked with velmar poll --check as that unprivileged user; a user outside the group is
# refused with a line naming the file. Exits 77 (skipped) without systemd-analyze; without
# root (or setpriv) only the unit is checked.
#   scripts/check-unit.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: scripts/check-unit.sh BUILD_DIR}
if ! command -v systemd-analyze >/dev/null; then
  echo "skipped: needs systemd-analyze"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"
cmake --install "$build" --prefix "$root/usr" >/dev/null
unit=$root/usr/lib/systemd/system/velmar-poll.service
grep -q "^ExecStart=$root/usr/bin/velmar poll " "$unit" || { echo "ExecStart does not name the installed velmar"; exit 1; }
complaints=$(systemd-analyze verify "$unit" 2>&1) || { echo "$complaints"; exit 1; }
[ -z "$complaints" ] || { echo "systemd-analyze verify: $complaints"; exit 1; }
exposure=$(systemd-analyze security --offline=true --threshold=25 "$unit" 2>&1) \
  || { echo "$exposure" | grep -v '✓'; echo "the unit is more exposed than 2.5"; exit 1; }
echo "$exposure" | tail -n 1
for device in ttyUSB ttyACM ttyS; do
  grep -q "^DeviceAllow=char-$device rw$" "$unit" || { echo "the unit does not allow /dev/$device*"; exit 1; }
done
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "unit verified; the configuration's users not checked (needs root and setpriv)"
  exit 0
fi

# The service user: nobody stands in for velmar, its group for the velmar group.
group=$(id -gn nobody)
install -d -m 755 "$root/etc/velmar"
install -m 640 -o root -g "$group" "$root/usr/share/doc/velmar/examples/velmar-poll.toml" "$root/etc/velmar/poll.toml"
sed -i "s|^spool = .*|spool = \"$root/var/lib/velmar\"|" "$root/etc/velmar/poll.toml"
velmar=$root/usr/bin/velmar
out=$(setpriv --reuid=nobody --regid="$group" --clear-groups "$velmar" poll --check "$root/etc/velmar/poll.toml" 2>&1) \
  || { echo "the service user cannot check the installed configuration: $out"; exit 1; }
status=0
out=$(setpriv --reuid=65533 --regid=65533 --clear-groups "$velmar" poll --check "$root/etc/velmar/poll.toml" 2>&1) || status=$?
[ "$status" = 2 ] || { echo "a user outside the group: exit $status, expected 2: $out"; exit 1; }
case "$out" in
  *"$root/etc/velmar/poll.toml"*) ;;
  *) echo "the refusal does not name the file: $out"; exit 1 ;;
esac
echo "unit verified; the service user reads the configuration, others are refused"
