#!/usr/bin/env bash
# make demo keeps working: runs tools/demo.sh against a build and checks its
# exit code and the lines that show each step did its part.
#   tz52_demo_test.sh DEMO_SCRIPT BUILD_DIR
set -u
demo=$1
build=$2
output=$(bash "$demo" "$build" 2>&1)
status=$?
echo "$output"
if [ "$status" -ne 0 ]; then
  echo "FAIL: the demo exited with $status" >&2
  exit 1
fi
missing=0
while IFS= read -r line; do
  if ! grep -qF -- "$line" <<<"$output"; then
    echo "FAIL: the demo output lacks: $line" >&2
    missing=1
  fi
done <<'LINES'
Driver name    "KORVEL, "
128M025   refused  result 1: station 128 is outside 1 to 127
001A009     201  0x00C9  ok
001B003       1  0x0001  ok
001C001   65535  0xFFFF  ok
001M025    1234  0x04D2  ok
001O002       1  0x0001  ok
001S010    4660  0x1234  ok
001C002     517  0x0205        517  ok
001M200   48879  0xBEEF      48879  ok
001O003       1  0x0001          1  ok
001S010   43981  0xABCD      43981  ok
fault damage=5
Demo complete
LINES
exit "$missing"
