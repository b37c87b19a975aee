#!/usr/bin/env bash
# Runs every benchmark of a build directory and prints the figures that
# docs/performance.md records. Usage: bench/run_bench.sh [BUILD_DIR]
set -uo pipefail
build=${1:-build-bench}
bin=$build/bench
status=0

run() {
  echo "\$ $*"
  "$@" || { echo "FAILED: $*" >&2; status=1; }
  echo
}

echo "== Machine"
lscpu | sed -n 's/^Model name: *//p' | head -1
echo "$(nproc) CPUs, kernel $(uname -r), $(c++ --version | head -1)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

echo "== 1. Microbenchmarks (null-cost line; median of 5 repetitions)"
echo "\$ $bin/tz52_bench_micro --benchmark_repetitions=5 --benchmark_display_aggregates_only=true"
"$bin/tz52_bench_micro" --benchmark_repetitions=5 --benchmark_display_aggregates_only=true 2>&1 | grep -v -E '_(mean|stddev|cv) ' || status=1
echo

echo "== 2. Pseudo-terminal round trip against the floor"
run "$bin/tz52_bench_pty"

echo "== 3. Wire time against the simulator"
run "$bin/tz52_bench_wire"

echo "== 3b. tz52 dump, scan and poll --csv against the simulator (docs/performance.md §7)"
if [ -x "$bin/tz52_bench_tools" ]; then
  run "$bin/tz52_bench_tools"
else
  echo "tz52_bench_tools is not built in $build (tools off)"
fi

echo "== 4. Read-limit accuracy"
run "$bin/tz52_bench_time_limit"

echo "== 4b. tz52 monitor's forwarding delay"
run "$bin/tz52_bench_monitor"

echo "== 5. Heap allocations"
if [ -x "$build/tests/driver/no_allocation_test" ]; then
  run "$build/tests/driver/no_allocation_test" --gtest_brief=1
else
  echo "no_allocation_test is not built in $build (tests off)"
fi

echo "== 6. Instructions of one C read (callgrind)"
if command -v valgrind >/dev/null; then
  for line in null fake; do
    program=$bin/tz52_read_once_$line
    [ -x "$program" ] || continue
    out=$build/bench/callgrind.read_once_$line.out
    echo "\$ valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=$out $program"
    if log=$(valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" "$program" 2>&1); then
      echo "$line line: $(echo "$log" | sed -n 's/.*Collected : *//p') instructions"
    else
      echo "$log" >&2; status=1
    fi
  done
else
  echo "valgrind is not installed"
fi

echo "== 8. tz52 bridge: delivery to a subscriber, poll cycle against wire time"
if [ -x "$bin/tz52_bench_bridge" ]; then
  run "$bin/tz52_bench_bridge"
else
  echo "tz52_bench_bridge is not built in $build (needs libmosquitto-dev and mosquitto)"
fi
echo "== 8b. tz52 bridge's Modbus TCP face: reads from memory against a bare libmodbus server, a write against its wire time, the polling during a sweep of all units"
if [ -x "$bin/tz52_bench_modbus" ]; then
  run "$bin/tz52_bench_modbus"
else
  echo "tz52_bench_modbus is not built in $build (needs libmodbus-dev and the bridge)"
fi
echo "== 8c. tz52 bridge's HTTP face: GET /api/v1/points of a full station against a bare libmicrohttpd server, a read to its event at a stream client, the resident memory with a full history and 16 streams"
if [ -x "$bin/tz52_bench_http" ]; then
  run "$bin/tz52_bench_http"
else
  echo "tz52_bench_http is not built in $build (needs libcurl4-openssl-dev, libmicrohttpd-dev and the bridge)"
fi
exit $status
