#!/usr/bin/env bash
# The bridge's console in Debian's chromium, driven by npm's puppeteer-core
# under node's test runner (console.test.js). The npm packages are installed
# with `npm ci` from the committed lock file into WORK. Without node, npm,
# chromium or the packages: exit 77 (skipped), or 1 under CI=true.
# Screenshots go to CONSOLE_SCREENSHOTS (default WORK/screenshots).
# With SCRIPT, that script is run by node instead (console.bench.js, the
# benchmark).
#   console_test.sh TZ52 TZ52SIM SOURCE_DIR WORK [SCRIPT]
set -u
tz52=$1 sim=$2 source=$3 work=$4 script=${5:-}
skip() {
  echo "console browser test skipped: $1"
  if [ "${CI:-}" = "true" ]; then echo "CI: the console browser test cannot run: $1" >&2; exit 1; fi
  exit 77
}
command -v node >/dev/null || skip "node is not installed"
command -v npm >/dev/null || skip "npm is not installed"
[ -x /usr/bin/chromium ] || skip "chromium is not installed"
[ -x /usr/sbin/mosquitto ] || skip "mosquitto is not installed"
command -v mosquitto_pub >/dev/null || skip "mosquitto_pub is not installed"
mkdir -p "$work" || exit 1
# npm ci again only when the lock file changed.
if ! cmp -s "$source/package-lock.json" "$work/package-lock.json" || [ ! -d "$work/node_modules/puppeteer-core" ]; then
  cp "$source/package.json" "$source/package-lock.json" "$work/" || exit 1
  if ! out=$(cd "$work" && npm ci --no-audit --no-fund 2>&1); then
    echo "$out"; rm -f "$work/package-lock.json"; skip "npm ci could not install puppeteer-core"
  fi
fi
cp "$source/console.test.js" "$source/console.bench.js" "$source/console_harness.js" "$work/" || exit 1
if [ -n "$script" ]; then cd "$work" && TZ52=$tz52 TZ52SIM=$sim exec node "$script"; fi
cd "$work" && TZ52=$tz52 TZ52SIM=$sim CONSOLE_SCREENSHOTS=${CONSOLE_SCREENSHOTS:-$work/screenshots} \
  node --test --test-concurrency=1 console.test.js
