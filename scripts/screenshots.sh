#!/usr/bin/env bash
# Renders the desktop tool under Xvfb as a person sees it: after a read of the simulated meter,
# and after a read whose reply fails its checksum (the control's message box open). Writes
# velmar-gui-read.png and velmar-gui-error.png into OUTDIR (default docs/). Needs a built
# build/default/gui/velmar-gui and xvfb-run, and twm for title bars (scripts/install-deps.sh
# installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs}
gui=build/default/gui/velmar-gui
[ -x "$gui" ] || { echo "Error: $gui is not built; run cmake --workflow --preset default" >&2; exit 1; }
mkdir -p "$out"
settings=$(mktemp -d)
trap 'rm -rf "$settings"' EXIT
# A plain window manager, so windows and the message box carry their titles; it must place new
# windows by itself (nobody is there to click).
printf 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\nDecorateTransients\nBorderWidth 1\n' \
  > "$settings/twmrc"
wm="true"
command -v twm >/dev/null && wm="twm -f $settings/twmrc"
shot() {
  XDG_CONFIG_HOME="$settings" XDG_RUNTIME_DIR="$settings" timeout 60 \
    xvfb-run -a -s "-screen 0 1060x700x24" sh -c \
    "$wm >/dev/null 2>&1 & sleep 0.5; exec \"\$0\" \"\$@\"" "$gui" --device "Simulated meter" \
    --read --screenshot "$1" "${@:2}" 2>/dev/null
  [ -s "$1" ] || { echo "Error: no picture in $1" >&2; exit 1; }
  echo "wrote $1"
}
shot "$out/velmar-gui-read.png"
shot "$out/velmar-gui-error.png" --fault checksum
