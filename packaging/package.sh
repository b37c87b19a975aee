#!/usr/bin/env bash
# Makes the release files in DIST from builds that are already built:
#   package.sh DIST WIN32_BUILD DEB_BUILD...
# Each DEB_BUILD gives the Debian packages (CPack, one per component):
# libtz52drv1, libtz52drv-dev and tz52drv-tools, _<version>_<arch>.deb, for
# the architecture its CPack settings name (TZ52_DEB_ARCHITECTURE: the
# machine's own in build/, arm64 and armhf in the cross builds). WIN32_BUILD,
# the 32-bit Windows build, gives tz52drv-<version>-win32.zip; it may be ""
# when there are no MinGW compilers: then only the .debs are made.
# SHA256SUMS covers every .deb and zip made. Exit code non-zero when a
# package could not be made.
set -euo pipefail
dist=$1 win32=$2
shift 2
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
packages="libtz52drv1 libtz52drv-dev tz52drv-tools"
# What an earlier run left (an architecture not built this time among it)
# goes, so that SHA256SUMS speaks only of this run's files.
for package in $packages; do rm -f "$dist/${package}_"*.deb; done
rm -f "$dist"/tz52drv_*.deb "$dist"/tz52drv-*.zip "$dist/SHA256SUMS"

for build in "$@"; do
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -n "$version" ] || { echo "package: no project version in $build/CMakeCache.txt" >&2; exit 1; }
  arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  [ -n "$arch" ] || { echo "package: no Debian architecture in $build/CPackConfig.cmake" >&2; exit 1; }
  rm -rf "$build/package"
  (cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
  for package in $packages; do
    cp "$build/package/${package}_${version}_$arch.deb" "$dist/"
  done
done

if [ -n "$win32" ]; then
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win32/CMakeCache.txt")
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  top=tz52drv-$version-win32
  root=$stage/$top
  mkdir -p "$root/driver" "$root/tools"
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$win32/CMakeCache.txt")
  # Text files with Windows line ends, whatever the checkout has.
  crlf() { sed 's/\r*$/\r/' "$@"; }
  # What goes beside the host; tz52.exe keeps its own library and the
  # stand-in, apart from it.
  "$strip" -o "$root/driver/tz52drv.dll" "$win32/tz52drv.dll"
  crlf "$(dirname "$0")/../driver/driver_api.h" >"$root/driver/driver_api.h"
  "$strip" -o "$root/tools/tz52.exe" "$win32/tz52.exe"
  cp "$root/driver/tz52drv.dll" "$root/tools/"
  "$strip" -o "$root/tools/ZOLVAR.dll" "$win32/ZOLVAR.dll"
  sed "s/@VERSION@/$version/" "$(dirname "$0")/README-windows.txt" | crlf >"$root/README-windows.txt"
  crlf "$(dirname "$0")/../CHANGELOG.md" >"$root/CHANGELOG.md"
  # Fixed times and order, so the same build gives the same zip.
  # (zip keeps no time before 1980.)
  stamp=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || echo 315964800)}
  find "$root" -exec touch -d "@$stamp" {} +
  (cd "$stage" && find "$top" | LC_ALL=C sort | zip -q -X -@ "$dist/$top.zip")
fi

(cd "$dist" && sha256sum -- *.deb $(ls -- *.zip 2>/dev/null) >SHA256SUMS)
ls -l "$dist"
