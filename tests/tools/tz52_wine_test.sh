#!/usr/bin/env bash
# tz52.exe and tz52drv.dll under Wine against the simulator: the Windows
# build driven exactly as on Linux. COM7 is mapped (wine_env.sh setup) to the
# symlink LINK, which tz52sim keeps pointing at its pseudo-terminal.
#   tz52_wine_test.sh WINE_ENV BUILD_DIR SIMULATOR
set -u
wine_env=$1
build=$2
sim=$3
link=$build/wine/tz52sim
if [ ! -x "$sim" ]; then
  echo "FAIL: no simulator at $sim; build the native tree first (make test-native, or -DTZ52_NATIVE_SIM=PATH)" >&2
  exit 1
fi

work=$(mktemp -d)
"$sim" --link "$link" --trace \
  --set 001A009=201 --set 001B016=127 --set 001C001=65535 --set 001M100=12345 \
  --set 001O012=1 --set 001S250=510 --fault 2:damage=5 >"$work/sim.out" 2>"$work/sim.trace" &
sim_pid=$!
trap 'kill -TERM $sim_pid 2>/dev/null; wait $sim_pid 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 1 100); do
  grep -q '^port ' "$work/sim.out" && break
  sleep 0.05
done
grep -q '^port ' "$work/sim.out" || { echo "FAIL: the simulator named no port" >&2; exit 1; }

failures=0
# run EXPECTED_EXIT ARGS... then lines the output must hold, on stdin.
run() {
  local expected=$1
  shift
  local output status line
  bash "$wine_env" run "$build" "$build/tz52.exe" "$@" >"$work/out" 2>&1
  status=$?
  output=$(tr -d '\r' <"$work/out")
  printf '$ tz52.exe %s\n%s\n(exit %s)\n' "$*" "$output" "$status"
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL: exit $status, expected $expected" >&2
    failures=$((failures + 1))
  fi
  while IFS= read -r line; do
    if ! grep -qF -- "$line" <<<"$output"; then
      echo "FAIL: the output lacks: $line" >&2
      failures=$((failures + 1))
    fi
  done
}

# The read limit is generous: Wine may run emulated and slow.
run 0 read --port COM7 --timeout 1s 001A009 001B016 001C001 001M100 001O012 001S250 <<'LINES'
001A009     201  0x00C9  ok
001B016     127  0x007F  ok
001C001   65535  0xFFFF  ok
001M100   12345  0x3039  ok
001O012       1  0x0001  ok
001S250     510  0x01FE  ok
LINES
run 0 write --port COM7 --timeout 1s --verify --json 001C016=517 001M256=0xBEEF 001O003=1 001S001=43981 <<'LINES'
"port":"COM7"
{"address":"001C016","result":0,"written":517,"readBack":517}
{"address":"001M256","result":0,"written":48879,"readBack":48879}
{"address":"001O003","result":0,"written":1,"readBack":1}
{"address":"001S001","result":0,"written":43981,"readBack":43981}
LINES
run 0 scan --port COM7 --timeout 200ms --stations 1,2 --all <<'LINES'
      1  yes            0
      2  no             2         -
1 station answered: 1
LINES
run 0 dump --port COM7 --timeout 1s --station 1 --types o <<'LINES'
# tz52 dump of station 1
# types O, 12 points, 0 failed
001O003=1
001O012=1
LINES
run 2 read --port COM250 001M025 <<'LINES'
tz52 read: cannot open port COM250 at 9600 baud, 8N1: Open (operation 1) gave result 2: port or line failure; the driver reported "QMXKORVEL,  : Fail to open COM250"
"; \\.\COM250: CreateFileA:
LINES

# tz52 monitor decodes captures on Windows too (a file with Windows line
# ends, one line it cannot read); watching a live line it refuses.
printf '# by hand\r\n10 > 81 7E 01 7E 5B 24 3F 40\r\n12.5 < FE 00 00 7F 02 7D 69 16 00 7F\r\n> 8G\r\n' >"$work/hand.cap"
run 1 monitor --decode "Z:$(tr / '\\' <<<"$work/hand.cap")" <<'LINES'
10.000    1  read 001M025                      1234       2.500  ok
hand.cap:4: cannot read the line, left out: '8G' is not hexadecimal bytes
summary: 1 exchange(s), 0 failed
LINES
run 2 monitor --device COM7 <<'LINES'
tz52 monitor: watching a live line needs Linux
LINES
# The bridge is built for Linux only: said so, not "unknown command".
run 64 bridge --port COM7 001M025 <<'LINES'
tz52: the bridge is built for Linux only: tz52.exe has no bridge command
LINES

grep -q 'fault damage=5' "$work/sim.trace" || { echo "FAIL: the scripted fault was not met" >&2; failures=$((failures + 1)); }
exit $((failures > 0))
