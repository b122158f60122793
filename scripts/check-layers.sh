#!/usr/bin/env bash
# Fails when an include line breaks the layering: a library file including a header of a layer
# above its own, a host (tools, window, simulator, ...) including a library-internal header it
# is not allowed, an include of velmar/X where X is no public header, or a folder this check
# does not know. Both include forms ("..." and <...>) are read.
#
# Library layers from the bottom: core, platform, codec, link (and crypto, libcrypto's), decode
# and records, transport (and wmbus, wireless frames), bus and commands, scan and control. A
# layer includes only layers below it: two layers of one rank never include each other, and a
# path with ".." in it is refused wherever it is. Public headers (velmar/...) belong to the
# layer of the code that implements them. Wireless (wmbus, crypto, velmar/wmbus.hpp,
# velmar/radio.hpp) is a library of its own: the rest of the library never includes it, and
# only crypto includes OpenSSL, so the control and the wired bus need the standard library only.
#
# Usage: scripts/check-layers.sh [TREE]   (default: this repository)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

# rank and public_rank set R (no subshell: the check runs over every include of the tree).
rank() {
  case "$1" in
    core) R=0 ;; platform) R=1 ;; codec) R=2 ;; link | crypto) R=3 ;;
    decode | records) R=4 ;; transport | wmbus) R=5 ;; bus | commands) R=6 ;;
    scan | control) R=7 ;; *) R=-1 ;;
  esac
}

public_rank() {
  case "$1" in
    error.hpp | variant.hpp | text.hpp) R=0 ;;
    platform.hpp | serial_port_base.hpp | posix_platform.hpp | virtual_platform.hpp) R=1 ;;
    results.hpp | trace.hpp | hex.hpp | status.hpp) R=2 ;;
    records.hpp | maker_values.hpp | checked_reply.hpp) R=4 ;;
    wmbus.hpp | radio.hpp) R=5 ;;
    bus.hpp) R=6 ;;
    scan.hpp | velmar.hpp) R=7 ;;
    qt.hpp) R=8 ;;  # the Qt host library's own public header
    *) R=-1 ;;
  esac
}

# The internal layers a host folder may include, beyond the public headers. Tests, benchmarks
# and fuzzers reach inside to test the parts; the simulator shares the line settings, the
# tariff image layout and the text helpers.
allowed_internal() {
  local file=$1 layer=$2
  case "$file" in
    tests/* | bench/* | fuzz/*) return 0 ;;
    sim/*) [[ $layer == core || $layer == platform || $layer == codec ]] ;;
    *) return 1 ;;
  esac
}

# Folders with source files, and what they are.
known_folder() {
  case "$1" in
    src/* | include/velmar/* | qt/* | gui/* | tools/common/* | tools/cli/* | tools/poll/* | \
      sim/* | testkit/* | tests/* | bench/* | fuzz/*) return 0 ;;
    *) return 1 ;;
  esac
}

# Whether `file` belongs to the wireless library.
wireless_file() {
  case "$1" in
    src/wmbus/* | src/crypto/* | include/velmar/wmbus.hpp | include/velmar/radio.hpp) return 0 ;;
    *) return 1 ;;
  esac
}

# Whether an include line names a part of the wireless library.
wireless_include() {
  case "$1" in
    wmbus/* | crypto/* | velmar/wmbus.hpp | velmar/radio.hpp) return 0 ;;
    *) return 1 ;;
  esac
}

status=0
fail() {
  echo "$1"
  status=1
}

while IFS= read -r file; do
  if ! known_folder "$file"; then
    fail "$file: in a folder the layer check does not know; add it to scripts/check-layers.sh"
    continue
  fi
  own=-1
  if [[ $file == src/* ]]; then
    layer=${file#src/}
    layer=${layer%%/*}
    rank "$layer"
    own=$R
    if [[ $own -lt 0 ]]; then
      fail "$file: src/$layer is not a layer; add it to scripts/check-layers.sh and docs/architecture.md"
      continue
    fi
  elif [[ $file == include/velmar/* ]]; then
    public_rank "${file#include/velmar/}"
    own=$R
    [[ $own -lt 0 ]] && fail "$file: a public header the layer check does not know"
  fi
  while IFS= read -r inc; do
    if [[ $file == src/* || $file == include/* ]] && ! wireless_file "$file" && wireless_include "$inc"; then
      fail "$file includes $inc: the wired library needs only the standard library; wireless stays in src/wmbus"
    fi
    if [[ $inc == ../* || $inc == */../* || $inc == ./* || $inc == */./* ]]; then
      fail "$file includes $inc: a relative path steps around the layers; name the header from its root"
      continue
    fi
    if [[ $inc == openssl/* && $file != src/crypto/* ]]; then
      fail "$file includes $inc: only src/crypto uses OpenSSL"
    fi
    case "$inc" in
      velmar/*)
        public_rank "${inc#velmar/}"
        theirs=$R
        if [[ $theirs -lt 0 ]]; then
          fail "$file includes $inc, which is not a public header"
        elif [[ $own -ge 0 && $theirs -gt $own ]]; then
          fail "$file includes $inc, a higher layer"
        fi
        ;;
      */*)
        top=${inc%%/*}
        rank "$top"
        theirs=$R
        [[ $theirs -lt 0 ]] && continue  # a system or package header (nlohmann/json.hpp, ...)
        if [[ $file == src/* ]]; then
          [[ $theirs -gt $own ]] && fail "$file includes $inc, a higher layer"
          [[ $theirs -eq $own && $top != "$layer" ]] && fail "$file includes $inc, a layer beside its own"
        elif [[ $file == include/* ]]; then
          fail "$file includes $inc: a public header includes public headers only"
        elif ! allowed_internal "$file" "$top"; then
          fail "$file includes $inc: hosts use the public headers (include/velmar/) only"
        fi
        ;;
    esac
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]\([^">]*\)[">].*/\1/p' "$file")
done < <(git ls-files -co --exclude-standard -- '*.cpp' '*.hpp' '*.h' '*.cc' 2>/dev/null ||
  find . -name '*.cpp' -o -name '*.hpp' | sed 's|^\./||')

[ "$status" -eq 0 ] && echo "layers: every include follows the layers and the allowed pairs"
exit "$status"
