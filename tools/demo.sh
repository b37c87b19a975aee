#!/usr/bin/env bash
# The driver at work against a simulated controller: `make demo` builds the
# driver library, tz52 and tz52sim, then runs this script.
#
#   tools/demo.sh [BUILD_DIR]      (default: build)
#
# It starts tz52sim on a pseudo-terminal with a few points set and one
# damaged reply scripted, runs tz52 against it (the driver's description,
# address checks, reads of every point type, writes with read-back), shows
# what the simulator saw of the fault, and stops the simulator. Exit code 0
# when every step gave what it should.
set -uo pipefail

build=${1:-build}
tz52=$build/tz52
sim=$build/tools/tz52sim/tz52sim
for program in "$tz52" "$sim"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is missing; build it first (make demo does)" >&2
    exit 2
  fi
done

work=$(mktemp -d)
sim_pid=
stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_status=$?
    sim_pid=
    return "$sim_status"
  fi
}
trap 'stop_simulator; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

failures=0
# step TITLE EXPECTED_EXIT COMMAND...: runs one tz52 command and checks its
# exit code.
step() {
  local title=$1 expected=$2
  shift 2
  printf '\n== %s\n$ tz52 %s\n' "$title" "$*"
  "$tz52" "$@"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "demo: exit code $status, expected $expected" >&2
    failures=$((failures + 1))
  fi
}

# The exchanges the simulator counts are the reads and writes below, in order;
# the third is the read of 001C001, whose reply gets a damaged pair.
"$sim" --trace \
  --set 001A009=201 --set 001A012=381 --set 001B003=1 --set 001C001=65535 \
  --set 001M025=1234 --set 001O002=1 --set 001S010=0x1234 \
  --fault 3:damage=5 >"$work/sim.out" 2>"$work/sim.trace" &
sim_pid=$!

port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/^port //p' "$work/sim.out")
  [ -n "$port" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then break; fi
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "demo: the simulator did not name its port" >&2
  cat "$work/sim.trace" >&2
  exit 2
fi

echo "tz52 demo: a simulated tz-52 controller (station 1) is on port $port"

step "The driver describes itself" 0 info
step "Address checks (the driver judges; 128M025 has no station 128)" 1 \
  check 001M025 001a009 127S250 128M025
step "Reads of every point type (the 3rd reply is damaged; the driver tries again)" 0 \
  read --port "$port" 001A009 001B003 001C001 001M025 001O002 001S010
step "Writes of C, M, O and S points, each read back" 0 \
  write --port "$port" --verify 001C002=517 001M200=0xBEEF 001O003=1 001S010=43981

printf '\n== What the simulator saw: the damaged reply and the driver'"'"'s next attempt\n'
grep -A1 'fault' "$work/sim.trace" | sed 's/^tz52sim: /  /'
grep -q 'fault damage=5' "$work/sim.trace" || { echo "demo: the fault was not injected" >&2; failures=$((failures + 1)); }

if ! stop_simulator; then
  echo "demo: the simulator did not stop cleanly (exit $sim_status)" >&2
  failures=$((failures + 1))
fi

if [ "$failures" -eq 0 ]; then
  printf '\nDemo complete: every step gave the expected result; the simulator is stopped.\n'
  exit 0
fi
printf '\nDemo: %d step(s) did not give the expected result.\n' "$failures" >&2
exit 1
