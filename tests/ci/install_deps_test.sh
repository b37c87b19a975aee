#!/usr/bin/env bash
# .ci/install-deps on a machine where one group cannot be installed: the
# update of apt's lists fails (apt is pointed at a source on a closed loopback
# port, with lists of its own), and one group holds a package apt does not
# know. The update is tried again, the other groups stay installed, the group
# is named with apt's reason, and make test's summary lists it among what did
# not run (a failure under CI only).
#   install_deps_test.sh REPO
# Exit code 77 (skipped) where it cannot install: not root, or no apt.
set -uo pipefail
repo=$1
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then echo "not root on a Debian system: skipped"; exit 77; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# Groups this machine has already (the suite runs after the native build):
# the test installs nothing real.
present=(native sparkplug)
bash "$repo/.ci/install-deps" "${present[@]}" >/dev/null 2>&1 || { echo "groups ${present[*]} not installed: skipped"; exit 77; }

mkdir -p "$work/lists/partial" "$work/parts"
echo "deb [trusted=yes] http://127.0.0.1:9/debian bookworm main" > "$work/broken.list"
update_options="-o Dir::State::Lists=$work/lists -o Dir::Etc::SourceList=$work/broken.list
  -o Dir::Etc::SourceParts=$work/parts -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o Acquire::Retries=0"
: > "$work/report"
TZ52_DEPS_TEST_EXTRA="http=tz52-no-such-package" TZ52_APT_UPDATE_OPTIONS=$update_options TZ52_APT_UPDATE_PAUSE=0 \
  TZ52_DEPS_REPORT=$work/report bash "$repo/.ci/install-deps" "${present[@]}" http >"$work/out" 2>"$work/err"
status=$?
sed 's/^/  stderr: /' "$work/err"

check "exit code 1 with a group missing" [ "$status" = 1 ]
check "the failed update is tried three times" [ "$(grep -c 'apt-get update failed (try [123] of 3)' "$work/err")" = 3 ]
check "apt's reason for the update is said" grep -q '127.0.0.1' "$work/err"
check "one line in the report" [ "$(wc -l <"$work/report")" = 1 ]
check "the report names the group, the package and apt's reason" \
  grep -q '^deps: the http group is not installed (.*tz52-no-such-package.*): .*Unable to locate package tz52-no-such-package' \
  "$work/report"
check "stderr says the same" grep -q 'install-deps: the http group is not installed' "$work/err"
check "the other groups are still installed" bash "$repo/.ci/install-deps" "${present[@]}"

# make test's summary, over the results of a run that had only this report.
mkdir -p "$work/results"
: > "$work/failed" && : > "$work/notes"
summary() {
  make -s --no-print-directory -C "$repo" test-summary SKIPPED="$work/report" RESULTS="$work/results" \
    FAILED_SUITES="$work/failed" NOTES="$work/notes" "$@" >"$work/summary" 2>&1
}
summary CI=
status=$?
sed 's/^/  summary: /' "$work/summary"
check "outside CI the summary passes" [ "$status" = 0 ]
check "the summary names the missing group under the skipped suites" \
  grep -A1 -q '^Skipped suites:' "$work/summary"
check "... with its reason" grep -q '^  deps: the http group is not installed .*Unable to locate package' "$work/summary"
summary CI=true
check "under CI the missing group fails the run" [ $? != 0 ]

[ "$failures" = 0 ]
