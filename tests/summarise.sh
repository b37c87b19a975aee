#!/usr/bin/env bash
# The end of `make test`: one line counting every result of every build, then
# what did not run and why.
#   summarise.sh RESULTS_DIR FAILED_SUITES SKIPPED_SUITES
# RESULTS_DIR holds one JUnit file per ctest run (BUILD.xml) and other.txt,
# lines "passed NAME", "failed NAME" or "skipped NAME: why" of the checks that
# are not CTest's. A test that one build of the same suites leaves out is
# listed too. Exit code 1 when a test or a suite failed.
set -uo pipefail
results=$1 failed_suites=$2 skipped_suites=$3

# One line per test case: "BUILD<TAB>OUTCOME<TAB>NAME<TAB>WHY", OUTCOME being
# passed, failed or notrun. A GoogleTest skip says why on the line after
# "FILE:LINE: Skipped" in the test's output.
cases() {
  local file build
  for file in "$results"/*.xml; do
    [ -f "$file" ] || continue
    build=$(basename "$file" .xml)
    awk -v build="$build" '
      function attr(key,   m) {
        if (match($0, key "=\"[^\"]*\"")) return substr($0, RSTART + length(key) + 2, RLENGTH - length(key) - 3)
        return ""
      }
      function unescape(s) {
        gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "\047", s)
        gsub(/&amp;/, "\\&", s); return s
      }
      /<testcase / { name = attr("name"); status = attr("status"); why = ""; grab = 0; next }
      /<skipped message=/ { if (why == "") why = attr("message"); next }
      grab { why = $0; sub(/^[[:space:]]+/, "", why); grab = 0; next }
      /: Skipped$/ { grab = 1; next }
      /<\/testcase>/ {
        outcome = status == "run" ? "passed" : status == "fail" ? "failed" : "notrun"
        if (status == "disabled") why = "disabled"
        if (why == "SKIP_REGULAR_EXPRESSION_MATCHED") why = "skipped"
        printf "%s\t%s\t%s\t%s\n", build, outcome, unescape(name), unescape(why)
      }' "$file"
  done
  if [ -f "$results/other.txt" ]; then
    sed -E 's/^(passed|failed) (.*)$/checks\t\1\t\2\t/; s/^skipped ([^:]*): (.*)$/checks\tnotrun\t\1\t\2/' \
      "$results/other.txt"
  fi
}

all=$(cases)
passed=$(grep -c $'\tpassed\t' <<<"$all")
failed=$(grep -c $'\tfailed\t' <<<"$all")

# The sanitizer build runs the native build's suites: a test it lacks did not run.
if [ -f "$results/native.xml" ] && [ -f "$results/asan.xml" ]; then
  absent=$(comm -23 <(awk -F'\t' '$1 == "native" {print $3}' <<<"$all" | sort -u) \
    <(awk -F'\t' '$1 == "asan" {print $3}' <<<"$all" | sort -u))
  while IFS= read -r name; do
    [ -n "$name" ] && all+=$'\n'"asan"$'\t'"notrun"$'\t'"$name"$'\t'"not in the sanitizer build"
  done <<<"$absent"
fi

if [ "$failed" -gt 0 ] || [ -s "$failed_suites" ]; then
  echo "Failed:"
  awk -F'\t' '$2 == "failed" {print "  " $1 ": " $3}' <<<"$all"
  [ -s "$failed_suites" ] && sed 's/^/  suite /' "$failed_suites"
fi
# A suite that failed before any result (a build that broke) counts once.
if [ "$failed" -eq 0 ] && [ -s "$failed_suites" ]; then failed=$(wc -l <"$failed_suites"); fi

echo "$passed passed, $failed failed"
not_run=$(awk -F'\t' '$2 == "notrun" {print "  " $1 ": " $3 ": " ($4 == "" ? "not run" : $4)}' <<<"$all")
if [ -s "$skipped_suites" ]; then echo "Skipped suites:"; sed 's/^/  /' "$skipped_suites"; fi
if [ -n "$not_run" ]; then echo "Tests not run:"; echo "$not_run"; fi
if [ ! -s "$skipped_suites" ] && [ -z "$not_run" ]; then echo "All suites ran."; fi
[ "$failed" -eq 0 ]
