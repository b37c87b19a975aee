#!/usr/bin/env bash
# Checks what a built DLL shows the loader, from its PE headers.
#
#   check_dll_image.sh exports  OBJDUMP DLL NAME          exactly one export, NAME, undecorated
#   check_dll_image.sh imports  OBJDUMP DLL DLLNAME...    imports from the listed DLLs only
#   check_dll_image.sh version  WINDRES DLL FIELD...      the version resource has these fields
#
# Prints what it found and exits non-zero on the first rule broken.
set -euo pipefail

mode=$1 tool=$2 dll=$3
shift 3
[ -f "$dll" ] || { echo "FAIL: $dll does not exist"; exit 1; }

case $mode in
exports)
  want=$1
  # The lines between "[Ordinal/Name Pointer] Table" and the next blank line
  # name every export: "[   0] QmxMain".
  mapfile -t names < <("$tool" -p "$dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[[:space:]]*$/{on=0} on{print $NF}')
  echo "exports of $dll: ${names[*]:-(none)}"
  [ "${#names[@]}" -eq 1 ] || { echo "FAIL: ${#names[@]} exports, expected only $want"; exit 1; }
  case ${names[0]} in
  *@* | _*) echo "FAIL: ${names[0]} is a decorated name"; exit 1 ;;
  esac
  [ "${names[0]}" = "$want" ] || { echo "FAIL: exports ${names[0]}, expected $want"; exit 1; }
  ;;
imports)
  mapfile -t dlls < <("$tool" -p "$dll" | awk '/DLL Name:/{print $3}')
  echo "imports of $dll: ${dlls[*]:-(none)}"
  for imported in "${dlls[@]}"; do
    ok=0
    for allowed in "$@"; do
      [ "${imported,,}" = "${allowed,,}" ] && ok=1
    done
    [ $ok = 1 ] || { echo "FAIL: imports from $imported (allowed: $*)"; exit 1; }
  done
  ;;
version)
  resource=$("$tool" -i "$dll" -O rc)
  for field in "$@"; do
    line=$(grep -E "VALUE \"$field\", \"[^\"]+\"" <<<"$resource") ||
      { echo "FAIL: no $field in the version resource"; exit 1; }
    echo "version resource:${line#*VALUE}"
  done
  ;;
*)
  echo "usage: $0 exports|imports|version TOOL DLL ARGS..." >&2
  exit 2
  ;;
esac
echo "OK"
