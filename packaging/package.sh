#!/usr/bin/env bash
# Makes the release files in DIST from builds that are already built:
#   package.sh NATIVE_BUILD WIN32_BUILD DIST
# NATIVE_BUILD gives tz52drv_<version>_amd64.deb (CPack); WIN32_BUILD, the
# 32-bit Windows build, gives tz52drv-<version>-win32.zip; SHA256SUMS covers
# both. WIN32_BUILD may be "" when there are no MinGW compilers: then only the
# .deb is made. Exit code non-zero when a package could not be made.
set -euo pipefail
native=$1 win32=$2 dist=$3
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
[ -n "$version" ] || { echo "package: no project version in $native/CMakeCache.txt" >&2; exit 1; }
rm -f "$dist"/tz52drv_*.deb "$dist"/tz52drv-*.zip "$dist/SHA256SUMS"

(cd "$native" && cpack -G DEB >cpack.log 2>&1) || { cat "$native/cpack.log" >&2; exit 1; }
cp "$native/package/tz52drv_${version}_amd64.deb" "$dist/"

if [ -n "$win32" ]; then
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  root=$stage/zip
  mkdir -p "$root/driver" "$root/tools"
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$win32/CMakeCache.txt")
  # What goes beside the host; tz52.exe keeps its own library and the
  # stand-in, apart from it.
  "$strip" -o "$root/driver/tz52drv.dll" "$win32/tz52drv.dll"
  cp "$(dirname "$0")/../driver/driver_api.h" "$root/driver/"
  "$strip" -o "$root/tools/tz52.exe" "$win32/tz52.exe"
  cp "$root/driver/tz52drv.dll" "$root/tools/"
  "$strip" -o "$root/tools/ZOLVAR.dll" "$win32/ZOLVAR.dll"
  sed "s/@VERSION@/$version/" "$(dirname "$0")/README-windows.txt" | sed 's/$/\r/' >"$root/README-windows.txt"
  cp "$(dirname "$0")/../CHANGELOG.md" "$root/"
  # Fixed times and order, so the same build gives the same zip.
  # (zip keeps no time before 1980.)
  stamp=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || echo 315964800)}
  find "$root" -exec touch -d "@$stamp" {} +
  (cd "$root" && find driver tools README-windows.txt CHANGELOG.md | LC_ALL=C sort |
    zip -q -X -@ "$dist/tz52drv-$version-win32.zip")
fi

(cd "$dist" && sha256sum tz52drv_*.deb $(ls tz52drv-*.zip 2>/dev/null) >SHA256SUMS)
ls -l "$dist"
