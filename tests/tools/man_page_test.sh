#!/usr/bin/env bash
# The man pages keep up with --help: every command that `tz52 --help` lists
# has its subsection in tz52.1.scd, and every option that a command's --help
# (or tz52sim's) names appears in its page.
#   man_page_test.sh TZ52 TZ52SIM MAN_SOURCE_DIR
set -u
tz52=$1 sim=$2 man=$3
failures=0
# expect_options PAGE HELP_TEXT WHERE: each --option of HELP_TEXT is in PAGE.
expect_options() {
  local page=$1 help=$2 where=$3 option
  for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -qF -- "*$option*" "$page" || { echo "FAIL: $where names $option; $(basename "$page") does not"; failures=$((failures + 1)); }
  done
}
overview=$("$tz52" --help)
commands=$(sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p' <<<"$overview")
[ -n "$commands" ] || { echo "FAIL: tz52 --help lists no commands"; exit 1; }
expect_options "$man/tz52.1.scd" "$overview" "tz52 --help"
for command in $commands; do
  grep -qx "## $command" "$man/tz52.1.scd" || { echo "FAIL: tz52.1.scd has no subsection for $command"; failures=$((failures + 1)); }
  expect_options "$man/tz52.1.scd" "$("$tz52" "$command" --help)" "tz52 $command --help"
done
expect_options "$man/tz52sim.1.scd" "$("$sim" --help)" "tz52sim --help"
echo "commands checked:" $commands
exit $((failures > 0))
