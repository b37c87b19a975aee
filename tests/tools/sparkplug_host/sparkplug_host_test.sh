#!/usr/bin/env bash
# The bridge as a Sparkplug B edge node on a real broker, seen by a Sparkplug
# B host of others (npm sparkplug-client and sparkplug-payload, run by
# node's test runner; sparkplug_host.test.js). The npm packages are
# installed with `npm ci` from the committed lock file into WORK. Without
# node, npm, the packages, mosquitto or openssl: exit 77 (skipped), or 1
# under CI=true.
#   sparkplug_host_test.sh TZ52 TZ52SIM SOURCE_DIR WORK
set -u
tz52=$1 sim=$2 source=$3 work=$4
skip() {
  echo "sparkplug host test skipped: $1"
  if [ "${CI:-}" = "true" ]; then echo "CI: the Sparkplug host test cannot run: $1" >&2; exit 1; fi
  exit 77
}
command -v node >/dev/null || skip "node is not installed"
command -v npm >/dev/null || skip "npm is not installed"
command -v openssl >/dev/null || skip "openssl is not installed"
[ -x /usr/sbin/mosquitto ] || skip "mosquitto is not installed"
mkdir -p "$work" || exit 1
# npm ci again only when the lock file changed.
if ! cmp -s "$source/package-lock.json" "$work/package-lock.json" || [ ! -d "$work/node_modules/sparkplug-client" ]; then
  cp "$source/package.json" "$source/package-lock.json" "$work/" || exit 1
  if ! out=$(cd "$work" && npm ci --no-audit --no-fund 2>&1); then
    echo "$out"; rm -f "$work/package-lock.json"; skip "npm ci could not install sparkplug-client"
  fi
fi
cp "$source/sparkplug_host.test.js" "$work/" || exit 1
rm -rf "$work"/run-*
cd "$work" && TZ52=$tz52 TZ52SIM=$sim WORK=$work node --test --test-concurrency=1 sparkplug_host.test.js
