#!/usr/bin/env bash
# Checks what `make package` left in DIST, as a user meets it:
#   check_packages.sh DIST RESULTS [WIN64_BUILD]
# The .deb: lintian errors, the installed files, no path of this source or
# build tree in any file, and the extracted tz52 and tz52sim run with nothing
# of the build tree in reach. The zip: its layout, the driver's exports and
# imports, the warning at the top of README-windows.txt, and tz52.exe info
# under Wine (where wine32 cannot run, the 64-bit build's tz52.exe, from
# WIN64_BUILD, in the same layout under wine64).
#
# Each check appends "passed NAME", "failed NAME" or "skipped NAME: why" to
# RESULTS; the exit code is non-zero when one failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
dist=$(cd "$1" && pwd)
results=$2
win64=${3:-}
failures=0

record() {  # record passed|failed|skipped NAME [WHY]
  local outcome=$1 name=$2 why=${3:-}
  echo "${outcome} ${name}${why:+: $why}" >>"$results"
  echo "package check ${name}: ${outcome}${why:+ ($why)}"
  [ "$outcome" = failed ] && failures=$((failures + 1))
  return 0
}
# check NAME COMMAND...: a check passes when COMMAND exits 0; its output is
# shown when it fails.
check() {
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then record passed "$name"; else
    echo "$output" | sed 's/^/  /'
    record failed "$name"
  fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(sed -n 's/^project(tz52drv VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")

# ---- the Debian package --------------------------------------------------------
deb=$dist/tz52drv_${version}_amd64.deb
root=$work/root
if [ ! -f "$deb" ]; then
  record failed deb.exists "no $deb"
else
  mkdir -p "$root" && dpkg-deb -x "$deb" "$root"

  lintian_has_no_errors() {
    local out
    out=$(lintian "$deb" 2>&1 | grep -v 'running with root privileges')
    echo "$out"
    ! grep -q '^E: ' <<<"$out"
  }
  check deb.lintian_reports_no_error lintian_has_no_errors

  installs_every_file() {
    local missing=0 file
    for file in usr/lib/libtz52drv.so usr/lib/libtz52drv.so.1 "usr/lib/libtz52drv.so.$version" \
      usr/lib/tz52drv/libzolvar.so usr/include/tz52drv/driver_api.h usr/bin/tz52 usr/bin/tz52sim \
      usr/share/man/man1/tz52.1.gz usr/share/man/man1/tz52sim.1.gz \
      usr/share/bash-completion/completions/tz52 usr/share/bash-completion/completions/tz52sim \
      usr/share/doc/tz52drv/README.md usr/share/doc/tz52drv/CHANGELOG.md \
      usr/share/doc/tz52drv/performance.md usr/share/doc/tz52drv/copyright \
      usr/share/doc/tz52drv/changelog.gz; do
      [ -e "$root/$file" ] || { echo "missing: $file"; missing=1; }
    done
    [ "$(readelf -d "$root/usr/lib/libtz52drv.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')" = libtz52drv.so.1 ] ||
      { echo "the library's SONAME is not libtz52drv.so.1"; missing=1; }
    return $missing
  }
  check deb.installs_every_file installs_every_file

  # Neither tree's path in any file, and no search path but $ORIGIN's.
  has_no_build_tree_path() {
    local found=0 file
    if grep -rlF -e "$source_dir" -e "$(dirname "$dist")" "$root"; then found=1; fi
    while IFS= read -r file; do
      if strings -a "$file" | grep -F -e "$source_dir" -e "$(dirname "$dist")"; then
        echo "in $file"; found=1
      fi
      readelf -d "$file" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -v '\[\$ORIGIN[^]:]*\]$' && found=1
    done < <(find "$root" -type f)
    return $found
  }
  check deb.no_build_tree_path has_no_build_tree_path

  # The extracted programs, from a folder outside both trees, with a bare
  # environment: nothing but what the package holds is in reach.
  in_root() { (cd / && env -i PATH=/usr/bin:/bin "$@"); }
  version_is_this_release() {
    local out
    out=$(in_root "$root/usr/bin/tz52" --version) || { echo "$out"; return 1; }
    echo "$out"
    [[ $out == "tz52 $version"* ]]
  }
  check deb.tz52_version version_is_this_release
  info_loads_the_installed_library() {
    local out
    out=$(in_root "$root/usr/bin/tz52" info) || { echo "$out"; return 1; }
    echo "$out"
    grep -qE '^ *Driver name +"KORVEL, "' <<<"$out" &&
      grep -E '^ *Library ' <<<"$out" | grep -qF "$root/usr/bin/../lib/libtz52drv.so"
  }
  check deb.tz52_info info_loads_the_installed_library
  check deb.tz52sim_help in_root "$root/usr/bin/tz52sim" --help
fi

# ---- the Windows zip ------------------------------------------------------------
zip=$dist/tz52drv-${version}-win32.zip
if [ ! -f "$zip" ]; then
  record skipped zip "no $zip (see make package)"
else
  unzipped=$work/zip
  mkdir -p "$unzipped" && unzip -q "$zip" -d "$unzipped"
  holds_the_layout() {
    local missing=0 file
    for file in driver/tz52drv.dll driver/driver_api.h tools/tz52.exe tools/tz52drv.dll tools/ZOLVAR.dll \
      README-windows.txt CHANGELOG.md; do
      [ -f "$unzipped/$file" ] || { echo "missing: $file"; missing=1; }
    done
    [ ! -e "$unzipped/driver/ZOLVAR.dll" ] || { echo "driver/ZOLVAR.dll would go over the host's own"; missing=1; }
    head -5 "$unzipped/README-windows.txt" | grep -q 'Do NOT copy tools\\ZOLVAR.dll' ||
      { echo "README-windows.txt does not start with the ZOLVAR.dll warning"; missing=1; }
    file -b "$unzipped/driver/tz52drv.dll" | grep -q 'Intel 80386' || { echo "driver/tz52drv.dll is not 32-bit"; missing=1; }
    return $missing
  }
  check zip.layout holds_the_layout
  objdump=i686-w64-mingw32-objdump
  check zip.dll_exports_only_qmxmain bash "$source_dir/tests/win32/check_dll_image.sh" exports $objdump \
    "$unzipped/driver/tz52drv.dll" QmxMain
  version_resource_is_this_release() {
    i686-w64-mingw32-windres -i "$unzipped/driver/tz52drv.dll" -O rc | grep -F "VALUE \"FileVersion\", \"$version\""
  }
  check zip.dll_version_resource_is_this_release version_resource_is_this_release
  check zip.dll_imports_only_kernel32_msvcrt_zolvar bash "$source_dir/tests/win32/check_dll_image.sh" imports \
    $objdump "$unzipped/driver/tz52drv.dll" KERNEL32.dll msvcrt.dll ZOLVAR.dll

  # tz52.exe info in the zip's layout. wine_env.sh picks wine32 or wine64 by
  # the tz52drv.dll beside the Wine prefix it keeps in that folder.
  wine_dir=$work/wine-run
  mkdir -p "$wine_dir"
  if why32=$(bash "$source_dir/tests/win32/wine_env.sh" probe win32); then
    cp -r "$unzipped/tools" "$wine_dir/" && cp "$unzipped/driver/tz52drv.dll" "$wine_dir/"
    wine_name=zip.tz52exe_info_under_wine
  elif [ -n "$win64" ] && [ -f "$win64/tz52.exe" ] && bash "$source_dir/tests/win32/wine_env.sh" probe win64 >/dev/null; then
    mkdir -p "$wine_dir/tools"
    for file in tz52.exe tz52drv.dll ZOLVAR.dll; do cp "$win64/$file" "$wine_dir/tools/"; done
    cp "$win64/tz52drv.dll" "$wine_dir/"
    wine_name=zip.tz52exe_info_under_wine64
    echo "package: wine32 cannot run here ($why32); tz52.exe info ran from the 64-bit build ($win64) in the zip's layout under wine64" \
      >>"${NOTES_FILE:-/dev/null}"
  else
    wine_name=""
    record skipped zip.tz52exe_info_under_wine "$why32; no 64-bit build with tz52.exe to run instead"
  fi
  if [ -n "$wine_name" ]; then
    runs_info() {
      local out status env=$source_dir/tests/win32/wine_env.sh
      out=$(bash "$env" setup "$wine_dir" 2>&1 &&
        cd "$wine_dir" && bash "$env" run "$wine_dir" "$wine_dir/tools/tz52.exe" info 2>&1)
      status=$?
      bash "$env" cleanup "$wine_dir" >/dev/null 2>&1
      echo "$out"
      [ $status -eq 0 ] && grep -qE '^ *Driver name +"KORVEL, "' <<<"$out" &&
        grep -E '^ *Library ' <<<"$out" | grep -qiF 'tools\tz52drv.dll'
    }
    check "$wine_name" runs_info
  fi
fi

exit $((failures > 0))
