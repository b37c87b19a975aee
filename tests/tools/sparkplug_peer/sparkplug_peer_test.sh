#!/usr/bin/env bash
# A Sparkplug B implementation of others (npm sparkplug-payload, run by
# node's test runner) reads the payloads the bridge's edge node builds and
# writes commands for its judgement (sparkplug_peer.test.js). The npm
# packages are installed with `npm ci` from the committed lock file into
# WORK. Without node, npm or the packages: exit 77 (skipped), or 1 under
# CI=true.
#   sparkplug_peer_test.sh PEER_PROGRAM SOURCE_DIR WORK
set -u
peer=$1 source=$2 work=$3
skip() {
  echo "sparkplug peer test skipped: $1"
  if [ "${CI:-}" = "true" ]; then echo "CI: the Sparkplug peer test cannot run: $1" >&2; exit 1; fi
  exit 77
}
command -v node >/dev/null || skip "node is not installed"
command -v npm >/dev/null || skip "npm is not installed"
mkdir -p "$work" || exit 1
# npm ci again only when the lock file changed.
if ! cmp -s "$source/package-lock.json" "$work/package-lock.json" || [ ! -d "$work/node_modules/sparkplug-payload" ]; then
  cp "$source/package.json" "$source/package-lock.json" "$work/" || exit 1
  if ! out=$(cd "$work" && npm ci --no-audit --no-fund 2>&1); then
    echo "$out"; rm -f "$work/package-lock.json"; skip "npm ci could not install sparkplug-payload"
  fi
fi
cp "$source/sparkplug_peer.test.js" "$work/" || exit 1
cd "$work" && SPARKPLUG_PEER=$peer node --test sparkplug_peer.test.js
