#!/usr/bin/env bash
# What the ARM builds need on this machine (.ci/install-deps installs it):
#   arm_env.sh probe ARCH     ARCH is arm64 or armhf
# Exit code 0 when the cross compiler, qemu-user and that architecture's
# libraries are there; otherwise 1, and one line on stdout says what is
# missing (the Makefile writes it into the list of skipped suites).
set -uo pipefail
[ "${1:-}" = probe ] && [ $# -eq 2 ] || { echo "usage: arm_env.sh probe arm64|armhf" >&2; exit 2; }
case $2 in
  arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 loader=/lib/ld-linux-aarch64.so.1 ;;
  armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm loader=/lib/ld-linux-armhf.so.3 ;;
  *) echo "no ARM build for $2 (arm64, armhf)"; exit 1 ;;
esac
missing=()
command -v "$triplet-g++" >/dev/null || missing+=("$triplet-g++ (g++-$triplet)")
command -v "$qemu" >/dev/null || missing+=("$qemu (qemu-user)")
# The loader and libraries of the architecture's own packages, which the
# programs run on under qemu and which dpkg-shlibdeps reads.
[ -e "$loader" ] || missing+=("$loader (libc6:$2)")
for library in libstdc++.so.6:libstdc++6 libmosquitto.so:libmosquitto-dev libsystemd.so:libsystemd-dev libmodbus.so:libmodbus-dev \
  libgtest.a:libgtest-dev; do
  [ -e "/usr/lib/$triplet/${library%%:*}" ] || missing+=("${library#*:}:$2")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "not installed: ${missing[*]}"
exit 1
