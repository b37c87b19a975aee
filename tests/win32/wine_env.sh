#!/usr/bin/env bash
# The Wine side of the Windows suites: a throwaway prefix inside the build
# directory whose COM ports lead to pseudo-terminals on this machine.
#
#   wine_env.sh setup   BUILD_DIR    prefix, pty pair, COM port mapping
#   wine_env.sh run     BUILD_DIR PROGRAM.exe [ARGS...]
#   wine_env.sh cleanup BUILD_DIR    stop the pty pair and the wineserver
#   wine_env.sh probe [win32|win64]  can Wine run such programs here?
#
# The kind of Wine follows the build: a 64-bit tz52drv.dll gets wine64.
#
# Ports, as the suites see them:
#   COM5   one end of a pty pair (the port under test)
#   COM6   the other end (the far end the tests drive)
#   COM12  the same device as COM5, reachable only as \\.\COM12
#   COM250 no device at all (Wine would open a link to a missing device)
#   COM7   the simulator's pseudo-terminal, while tz52_wine_test.sh runs it
# socat joins two pseudo-terminals back to back; a holder process keeps both
# slave sides open, so socat never sees a hang-up when a test closes a port.
set -euo pipefail

mode=${1:?usage: wine_env.sh setup|run|cleanup BUILD_DIR ... | probe}

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Which Wine runs a build: wine32's loader for the 32-bit DLL, wine64's for a
# 64-bit build (cmake/mingw-x86_64.cmake). WINELOADER tells the programs Wine
# starts which loader to use; WINEARCH fixes the kind of prefix.
use_wine() {
  case $1 in
  win32) wine=wine; export WINEARCH=win32 ;;
  win64) wine=/usr/lib/wine/wine64; export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 ;;
  esac
}

if [ "$mode" = probe ]; then
  # wine_env.sh probe [win32|win64]: wine32's loader is an i386 program, so a
  # kernel without 32-bit support (or a missing wine32) fails here; wine64
  # needs neither.
  use_wine "${2:-win32}"
  command -v socat >/dev/null || { echo "socat is not installed"; exit 1; }
  command -v "$wine" >/dev/null || { echo "$wine is not installed"; exit 1; }
  out=$("$wine" --version 2>&1) || { echo "$wine cannot run here: $out"; exit 1; }
  exit 0
fi

build=$(cd "${2:?BUILD_DIR}" && pwd)
home=$build/wine
case $(file -b "$build/tz52drv.dll" 2>/dev/null) in
*x86-64*) use_wine win64 ;;
*) use_wine win32 ;;
esac
export WINEPREFIX=$home/prefix

ports_key='HKLM\Software\Wine\Ports'

setup() {
  mkdir -p "$home"
  cleanup_pair
  # Started with their output closed, so that ctest does not wait for them.
  socat "pty,rawer,echo=0,link=$home/com5" "pty,rawer,echo=0,link=$home/com6" \
    </dev/null >/dev/null 2>&1 &
  echo $! > "$home/socat.pid"
  for _ in $(seq 50); do
    [ -e "$home/com5" ] && [ -e "$home/com6" ] && break
    sleep 0.1
  done
  [ -e "$home/com5" ] && [ -e "$home/com6" ] || { echo "socat made no pty pair"; exit 1; }
  bash -c 'exec 3<>"$1" 4<>"$2"; exec sleep 1000000' holder "$home/com5" "$home/com6" \
    </dev/null >/dev/null 2>&1 &
  echo $! > "$home/holder.pid"

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1
  fi
  # The registry keeps the symlinks' paths, which stay the same from run to
  # run; only the pty behind each link changes.
  "$wine" reg add "$ports_key" /v COM5 /d "$home/com5" /f >/dev/null 2>&1
  "$wine" reg add "$ports_key" /v COM6 /d "$home/com6" /f >/dev/null 2>&1
  "$wine" reg add "$ports_key" /v COM12 /d "$home/com5" /f >/dev/null 2>&1
  # COM7: the symlink tz52sim keeps to its pseudo-terminal (tz52_wine_test.sh).
  "$wine" reg add "$ports_key" /v COM7 /d "$home/tz52sim" /f >/dev/null 2>&1
  wineserver -w
}

cleanup_pair() {
  local name pid
  for name in holder socat; do
    if [ -f "$home/$name.pid" ]; then
      pid=$(cat "$home/$name.pid")
      kill "$pid" 2>/dev/null || true
      rm -f "$home/$name.pid"
    fi
  done
  rm -f "$home/com5" "$home/com6"
}

case $mode in
setup) setup ;;
run)
  shift 2
  # The programs find tz52drv.dll and ZOLVAR.dll beside them or in the
  # build directory.
  export WINEPATH="Z:${build//\//\\}"
  # A program that Wine never started prints nothing of its own (a test
  # program always prints its first line): no output at all, or only Wine's
  # "wine client error" when the wineserver of the program before was just
  # going away as this one connected. On a loaded machine that happens now
  # and then, so such a start is tried once more and said. A program that
  # ran and failed is never run again.
  out=$(mktemp)
  status=0
  "$wine" "$@" >"$out" 2>&1 || status=$?
  if [ "$status" -ne 0 ] && ! grep -qv '^wine client error:' "$out"; then
    echo "wine_env.sh: Wine did not start $(basename "$1") (exit $status, $(head -c 200 "$out" | tr '\n' ' ')); trying once more" >&2
    sleep 1
    status=0
    "$wine" "$@" >"$out" 2>&1 || status=$?
  fi
  cat "$out"
  rm -f "$out"
  exit "$status"
  ;;
cleanup)
  cleanup_pair
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null || true
  ;;
*)
  echo "usage: wine_env.sh setup|run|cleanup BUILD_DIR ... | probe" >&2
  exit 2
  ;;
esac
