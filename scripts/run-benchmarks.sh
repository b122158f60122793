#!/usr/bin/env bash
# Builds the Release benchmarks and runs every one of them, printing their tables. About
# twenty-four minutes (ten of them the collector at site scale, five many sites on one
# broker), most of it the protocol's own
# waits. Not part of the test run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench
bin=build/bench/bench
echo "== machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(date -u +%F)"
echo; echo "== reply time-out"; "$bin/timeout_bench"
echo; echo "== read latency"; "$bin/read_latency" 50 2400 9600
echo; echo "== read through the bus master"; "$bin/bus_read" 50 2400 9600
echo; echo "== many buses"; "$bin/many_buses" 10 2400
echo; echo "== whole bus"; "$bin/whole_bus" 50 2400
echo; echo "== bus scan (virtual line, then a pseudo-terminal at load 20)"; "$bin/scan_bench" 20
if [ -x "$bin/gui_responsiveness" ]; then
  echo; echo "== desktop tool while waiting"
  QT_QPA_PLATFORM=offscreen "$bin/gui_responsiveness" 10 2>/dev/null
fi
if [ -x "$bin/poll_bench" ]; then
  echo; echo "== the collector, 16 buses x 25 meters (ten minutes)"; "$bin/poll_bench" 600 16 25 20 2>/dev/null
fi
if [ -x "$bin/site_bench" ]; then
  echo; echo "== many sites: 40 collectors x 25 meters on one broker (five minutes)"
  "$bin/site_bench" 300 40 25 15 2>/dev/null
fi
echo; echo "== decoding"
"$bin/decode_bench" --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
echo; echo "== wireless telegrams: decipher and decode"
"$bin/wmbus_bench" --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
