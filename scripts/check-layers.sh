#!/usr/bin/env bash
# Fails when a source file of the library includes a header of a layer above its own.
# Layers from the bottom: core, platform, codec and link, decode and records, transport,
# commands and scan, control.
# Public headers (velmar/...) belong to the layer of the code that implements them.
set -euo pipefail
cd "$(dirname "$0")/.."
rank() {
  case "$1" in
    core) echo 0 ;; platform) echo 1 ;; codec | link) echo 2 ;; decode | records) echo 3 ;;
    transport) echo 4 ;; commands | scan) echo 5 ;; control) echo 6 ;; *) echo 99 ;;
  esac
}
# The public headers and the layer each one belongs to.
public_rank() {
  case "$1" in
    error.hpp | variant.hpp) echo 0 ;;
    platform.hpp | serial_port_base.hpp | posix_platform.hpp | virtual_platform.hpp) echo 1 ;;
    results.hpp | trace.hpp) echo 2 ;;
    records.hpp) echo 3 ;;
    scan.hpp) echo 5 ;;
    velmar.hpp) echo 6 ;;
    *) echo 99 ;;
  esac
}
status=0
while IFS= read -r file; do
  layer=${file#src/}
  layer=${layer%%/*}
  own=$(rank "$layer")
  while IFS= read -r inc; do
    case "$inc" in
      velmar/*) theirs=$(public_rank "${inc#velmar/}") ;;
      *) theirs=$(rank "${inc%%/*}") ;;
    esac
    if [ "$theirs" -gt "$own" ]; then
      echo "$file ($layer) includes $inc, a higher layer"
      status=1
    fi
  done < <(sed -n 's/^#include "\(.*\)"$/\1/p' "$file")
done < <(find src -name '*.cpp' -o -name '*.hpp' | sort)
[ "$status" -eq 0 ] && echo "layers: no lower layer includes a higher one"
exit "$status"
