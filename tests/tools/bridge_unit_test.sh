#!/usr/bin/env bash
# The bridge's systemd unit, checked by systemd's own tools: systemd-analyze
# verify takes it (template and instance) without a word, its exposure score
# (security --offline) is at most 2.0, and the directives the bridge and
# the serial devices need are there. Exit 77 (skipped) without systemd-analyze.
#   bridge_unit_test.sh UNIT TZ52
set -u
unit=$1 tz52=$(realpath "$2")
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not installed: skipped"; exit 77; }
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
bad=0

# verify needs the program of ExecStart to exist: the built tz52 stands in
# for /usr/bin/tz52. The man page is not installed here: --man=no.
for name in 'tz52-bridge@.service' 'tz52-bridge@line1.service'; do
  sed "s|/usr/bin/tz52 |$tz52 |" "$unit" > "$work/$name"
  if ! out=$(systemd-analyze verify --man=no "$work/$name" 2>&1) || [ -n "$out" ]; then
    echo "systemd-analyze verify $name:"; echo "$out"; bad=1
  fi
done

out=$(systemd-analyze security --offline=true "$work/tz52-bridge@.service" 2>&1)
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$out")
if [ -z "$score" ] || ! awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
  echo "exposure score \"$score\", above 2.0:"; echo "$out"; bad=1
else
  echo "exposure score $score"
fi

# The lines the bridge and the plant count on (one a row: the line, why).
while IFS='|' read -r line why; do
  grep -qxF "$line" "$unit" || { echo "missing \"$line\" ($why)"; bad=1; }
done <<'ROWS'
Type=notify|READY=1 and STATUS= from the bridge
ExecStart=/usr/bin/tz52 bridge --config /etc/tz52drv/%i.conf|one configuration per instance
Restart=on-failure|a crash or a watchdog timeout restarts it
DynamicUser=yes|no root
SupplementaryGroups=dialout|the serial devices' group
DevicePolicy=closed|no device but those allowed
DeviceAllow=char-ttyUSB rw|USB serial adapters
LoadCredential=mqtt-password:tz52-bridge-%i.mqtt-password|the password never in the configuration
ExecReload=/bin/kill -HUP $MAINPID|systemctl reload reads the configuration again
RestartPreventExitStatus=64 74|a bad or missing configuration is not restarted every 5 s
User=tz52-%i|one user per line: no bridge can signal another line's
DeviceAllow=char-188 rw|USB serial adapters whose driver loads after the start
DeviceAllow=char-166 rw|USB modems (ttyACM) likewise
ROWS
grep -q '^WatchdogSec=' "$unit" || { echo "no WatchdogSec="; bad=1; }
# A small gateway's memory: the bridge keeps a few MiB; a limit of at most
# 128 MiB, and a soft one below it.
high=$(sed -n 's/^MemoryHigh=\([0-9]*\)M$/\1/p' "$unit") max=$(sed -n 's/^MemoryMax=\([0-9]*\)M$/\1/p' "$unit")
if [ -z "$high" ] || [ -z "$max" ] || [ "$high" -ge "$max" ] || [ "$max" -gt 128 ]; then
  echo "MemoryHigh=${high:-?}M, MemoryMax=${max:-?}M: want both, in MiB, MemoryHigh below MemoryMax <= 128M"; bad=1
fi
# PrivateDevices= would hide the serial devices.
! grep -q '^PrivateDevices=' "$unit" || { echo "PrivateDevices= hides the serial devices"; bad=1; }
exit $bad
