#!/usr/bin/env bash
# Shows that scripts/check-layers.sh catches what it is for: on a copy of the tree it must pass
# as it is, then fail on each planted violation in turn.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git ls-files -- '*.cpp' '*.hpp' '*.h' '*.cc' | while IFS= read -r f; do
  mkdir -p "$work/$(dirname "$f")"
  cp "$f" "$work/$f"
done
check() { bash scripts/check-layers.sh "$work" >/dev/null; }
check || { echo "check-layers: the clean tree fails"; exit 1; }

plant() {  # FILE LINE DESCRIPTION
  local file=$1 line=$2 what=$3 created=0
  [ -f "$work/$file" ] || { mkdir -p "$(dirname "$work/$file")"; : >"$work/$file"; created=1; }
  cp "$work/$file" "$work/$file.orig"
  printf '%s\n' "$line" >>"$work/$file"
  if check; then
    echo "check-layers missed: $what"
    exit 1
  fi
  mv "$work/$file.orig" "$work/$file"
  [ "$created" -eq 1 ] && rm -f "$work/$file"
  echo "caught: $what"
}
plant tools/cli/cmd_read.cpp '#include "link/frames.hpp"' "a host including link/"
plant gui/main_window.cpp '#include <decode/rsp_ud.hpp>' "a host including decode/ in angle brackets"
plant tools/poll/bus_worker.cpp '#include <velmar/../../src/link/frames.hpp>' "a velmar/ include of an internal header"
plant tools/common/meter_read.cpp '#include "velmar/link_state.hpp"' "a velmar/ include that is no public header"
plant src/newlayer/thing.cpp '#include "core/text.hpp"' "a new src/ folder"
plant extras/tool.cpp '#include "velmar/bus.hpp"' "an unknown folder"
plant src/link/frames.cpp '#include "decode/meter_data.hpp"' "a lower layer including a higher one"
plant include/velmar/records.hpp '#include "velmar/bus.hpp"' "a public header including a higher one"
plant src/bus/bus.cpp '#include "velmar/wmbus.hpp"' "the wired bus including the wireless library"
plant src/records/decoder.cpp '#include "crypto/aes.hpp"' "a wired layer including crypto/"
plant src/decode/rsp_ud.cpp '#include <openssl/evp.h>' "OpenSSL outside src/crypto"
plant tools/cli/cmd_read.cpp '#include "../src/link/link_state.hpp"' "a host reaching src/ by a relative path"
plant src/bus/bus.cpp '#include "commands/intervals.hpp"' "a layer including one of its own rank"
plant src/decode/rsp_ud.cpp '#include "records/decoder.hpp"' "decode including records beside it"
echo "check-layers: every planted violation was caught"
