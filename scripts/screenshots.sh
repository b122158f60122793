#!/usr/bin/env bash
# Renders the desktop tool under Xvfb as a person sees it, at its default size: after a read of
# the simulated meter (values, then records), after a read whose reply fails its checksum (the
# control's message box open, and then without boxes: the failure in the panel), and the bus pane after a scan of a
# simulated bus of 10 meters; and the read and the bus pane on the smallest screen it is meant
# for (1024x768) and a larger one (1400x900), every control within reach. Writes
# velmar-gui-read.png, velmar-gui-records.png, velmar-gui-error.png, velmar-gui-failed.png,
# velmar-gui-bus.png, velmar-gui-1024x768-read.png, velmar-gui-1024x768-bus.png and
# velmar-gui-1400x900-bus.png into OUTDIR (default docs/). Needs a built
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
# Its own fonts are aliases a minimal X installation lacks: the base "fixed" font (xfonts-base).
for font in TitleFont ResizeFont MenuFont IconFont IconManagerFont; do
  printf '%s "fixed"\n' "$font" >> "$settings/twmrc"
done
wm="true"
command -v twm >/dev/null && wm="twm -f $settings/twmrc"
screen=1400x880
shot() {
  XDG_CONFIG_HOME="$settings" XDG_RUNTIME_DIR="$settings" timeout 60 \
    xvfb-run -a -s "-screen 0 ${screen}x24" sh -c \
    "$wm >/dev/null 2>&1 & sleep 0.5; exec \"\$0\" \"\$@\"" "$gui" --device "Simulated meter" \
    --screenshot "$1" "${@:2}" 2>/dev/null
  [ -s "$1" ] || { echo "Error: no picture in $1" >&2; exit 1; }
  echo "wrote $1"
}
shot "$out/velmar-gui-read.png" --read
shot "$out/velmar-gui-records.png" --read --tab Records
shot "$out/velmar-gui-error.png" --read --fault checksum
shot "$out/velmar-gui-failed.png" --read --fault checksum --no-popups
shot "$out/velmar-gui-bus.png" --meters 10 --scan 10 --tab Bus
# The window filling a small and a large screen (Qt's own -geometry places it; the window
# manager's title bar takes the top 24 pixels).
for size in 1024x768 1400x900; do
  screen=$size
  window="${size%x*}x$((${size#*x} - 24))+0+0"
  [ "$size" = 1024x768 ] && shot "$out/velmar-gui-$size-read.png" --read -geometry "$window"
  shot "$out/velmar-gui-$size-bus.png" --meters 10 --scan 10 --tab Bus -geometry "$window"
done
