#!/usr/bin/env bash
# Checks what `make package` left in DIST, as a user meets it:
#   check_packages.sh DIST RESULTS [WIN64_BUILD]
# The .debs (libtz52drv1, libtz52drv-dev, tz52drv-tools) of every
# architecture in DIST, this machine's always: lintian errors, each package's
# own files and no other's, the tools' maintainer scripts, the architecture in the control file and in every
# ELF file, their relations (dpkg-shlibdeps' from that architecture's
# libraries), no path of this source or build tree in any file, and the
# extracted tz52 and tz52sim run with nothing of the build tree in reach (also
# without the -dev package); another architecture's under qemu-user, on that
# architecture's loader and libraries (qemu -L /, no binfmt).
# The zip: its layout under one top-level folder, Windows line ends in its
# text files, every command of tz52.exe in README-windows.txt, the driver's
# exports and imports, the warning at the top of README-windows.txt, and
# tz52.exe info under Wine (where wine32 cannot run, the 64-bit build's
# tz52.exe, from WIN64_BUILD, in the same layout under wine64).
# DEB_ARCHES names the architectures instead (default: this machine's and
# every other one DIST has packages for).
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

# ---- the Debian packages -------------------------------------------------------
packages=(libtz52drv1 libtz52drv-dev tz52drv-tools)
native_arch=$(dpkg --print-architecture)
if [ -n "${DEB_ARCHES:-}" ]; then
  read -ra arches <<<"$DEB_ARCHES"
else
  arches=("$native_arch")
  while IFS= read -r other; do
    [ "$other" = "$native_arch" ] || arches+=("$other")
  done < <(find "$dist" -maxdepth 1 -name "libtz52drv1_${version}_*.deb" | sed 's/.*_\([^_]*\)\.deb$/\1/' | sort)
fi

# check_debs ARCH: every check of the three packages of ARCH, named
# deb.ARCH.NAME.
check_debs() {
  arch=$1
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH -a"$arch" 2>/dev/null)
  libdir=usr/lib/$multiarch
  # How a program of ARCH runs here, and what `file` says of its ELF files.
  case $arch in
    "$native_arch") emulator=() ;;
    arm64) emulator=(qemu-aarch64 -L /) ;;
    armhf) emulator=(qemu-arm -L /) ;;
    *) emulator=(false) ;;
  esac
  case $arch in
    amd64) elf_kind='ELF 64-bit LSB .*, x86-64,' ;;
    arm64) elf_kind='ELF 64-bit LSB .*, ARM aarch64,' ;;
    armhf) elf_kind='ELF 32-bit LSB .*, ARM, EABI5' ;;
    i386) elf_kind='ELF 32-bit LSB .*, Intel 80386,' ;;
    *) elf_kind="no known ELF kind for $arch" ;;
  esac
  doc_files() { echo "usr/share/doc/$1/copyright usr/share/doc/$1/changelog.gz"; }
  # Every file and link each package holds, and nothing else: a file in the
  # wrong package is missing from one list and extra in another.
  declare -A package_files=(
    [libtz52drv1]="$libdir/libtz52drv.so.1 $libdir/libtz52drv.so.$version $(doc_files libtz52drv1)"
    [libtz52drv-dev]="$libdir/libtz52drv.so usr/include/tz52drv/driver_api.h $(doc_files libtz52drv-dev)"
    [tz52drv-tools]="usr/bin/tz52 usr/bin/tz52sim $libdir/tz52drv/libzolvar.so
      usr/share/man/man1/tz52.1.gz usr/share/man/man1/tz52sim.1.gz
      usr/share/bash-completion/completions/tz52 usr/share/bash-completion/completions/tz52sim
      usr/share/doc/tz52drv-tools/README.md usr/share/doc/tz52drv-tools/CHANGELOG.md
      $(for guide in commissioning monitor bridge api console architecture performance; do
          echo usr/share/doc/tz52drv-tools/docs/$guide.md; done)
      $(for page in backup banner events line login point points traffic; do
          echo usr/share/doc/tz52drv-tools/docs/console-$page.png; done)
      usr/share/doc/tz52drv-tools/examples/line1.conf usr/share/doc/tz52drv-tools/examples/plant-points.txt
      $(doc_files tz52drv-tools)
      usr/lib/systemd/system/tz52-bridge@.service"
  )
  # Control fields each package must have, as FIELD=TEXT;... (the field contains TEXT).
  declare -A package_fields=(
    [libtz52drv1]="Section=libs"
    [libtz52drv-dev]="Section=libdevel;Depends=libtz52drv1 (= $version)"
    [tz52drv-tools]="Section=misc;Depends=libtz52drv1 (= $version);Recommends=bash-completion"
  )
  root=$work/$arch/root          # the three packages, extracted together
  no_dev=$work/$arch/root-no-dev # all but libtz52drv-dev
  mkdir -p "$root" "$no_dev"
  all_there=1
  for package in "${packages[@]}"; do
    deb=$dist/${package}_${version}_$arch.deb
    if [ ! -f "$deb" ]; then
      record failed "deb.$arch.$package.exists" "no $deb"
      all_there=0
      continue
    fi
    dpkg-deb -x "$deb" "$root"
    [ "$package" = libtz52drv-dev ] || dpkg-deb -x "$deb" "$no_dev"

    lintian_has_no_errors() {
      local out
      out=$(lintian "$1" 2>&1 | grep -v 'running with root privileges')
      echo "$out"
      ! grep -q '^E: ' <<<"$out"
    }
    check "deb.$arch.$package.lintian_reports_no_error" lintian_has_no_errors "$deb"

    installs_its_files() {  # installs_its_files DEB PACKAGE
      local want have
      want=$(tr -s ' \n' '\n\n' <<<"${package_files[$2]}" | sed '/^$/d' | LC_ALL=C sort)
      have=$(dpkg-deb -c "$1" | grep -v '^d' | awk '{print $6}' | sed 's|^\./||' | LC_ALL=C sort)
      [ "$want" = "$have" ] && return 0
      diff <(echo "$want") <(echo "$have") | sed -n 's/^< /missing: /p; s/^> /not its own: /p'
      return 1
    }
    check "deb.$arch.$package.installs_its_files" installs_its_files "$deb" "$package"

    # The control file and every ELF file the package holds are of ARCH (a
    # cross build that picked up a file of the build machine is caught here).
    is_of_its_architecture() {  # is_of_its_architecture DEB PACKAGE
      local bad=0 field file kind
      field=$(dpkg-deb -f "$1" Architecture)
      [ "$field" = "$arch" ] || { echo "Architecture: $field"; bad=1; }
      while IFS= read -r file; do
        kind=$(file -b "$file")
        [[ $kind == ELF* ]] || continue
        grep -qE "$elf_kind" <<<"$kind" || { echo "${file#"$work/"}: $kind"; bad=1; }
        # armhf: the hard-float ABI, which armel lacks.
        if [ "$arch" = armhf ] && ! readelf -h "$file" | grep -q 'hard-float ABI'; then
          echo "${file#"$work/"}: not hard-float"; bad=1
        fi
      done < <(dpkg-deb -x "$1" "$work/$arch/one-$2" && find "$work/$arch/one-$2" -type f)
      return $bad
    }
    check "deb.$arch.$package.architecture" is_of_its_architecture "$deb" "$package"

    has_its_relations() {  # has_its_relations DEB PACKAGE
      local bad=0 pair pairs field text value depends
      IFS=';' read -ra pairs <<<"${package_fields[$2]}"
      for pair in "${pairs[@]}"; do
        field=${pair%%=*} text=${pair#*=}
        value=$(dpkg-deb -f "$1" "$field")
        [[ $value == *"$text"* ]] || { echo "$field: \"$value\" lacks \"$text\""; bad=1; }
      done
      # dpkg-shlibdeps saw the programs' and the library's own libraries (of
      # the package's architecture: the tools' C++ library among them), and
      # nothing made the library need the tools (whose stand-in it links).
      depends=$(dpkg-deb -f "$1" Depends)
      [ "$2" = libtz52drv-dev ] || [[ $depends == *libc6* ]] || { echo "Depends: \"$depends\" lacks libc6"; bad=1; }
      [ "$2" != tz52drv-tools ] || [[ $depends == *libstdc++6* ]] || { echo "Depends: \"$depends\" lacks libstdc++6"; bad=1; }
      [[ $depends != *tz52drv-tools* && $depends != *zolvar* ]] || { echo "Depends: \"$depends\""; bad=1; }
      return $bad
    }
    check "deb.$arch.$package.relations" has_its_relations "$deb" "$package"

    # The tools' maintainer scripts look after the bridge's unit as Debian's
    # systemd helpers do; each is there, executable and valid sh.
    if [ "$package" = tz52drv-tools ]; then
      has_its_maintainer_scripts() {  # has_its_maintainer_scripts DEB
        local bad=0 control=$work/$arch/control-tools script text why
        dpkg-deb -e "$1" "$control" || return 1
        for script in postinst prerm postrm; do
          [ -x "$control/$script" ] || { echo "no executable $script"; bad=1; continue; }
          sh -n "$control/$script" || { echo "$script is not valid sh"; bad=1; }
        done
        while IFS='|' read -r script text why; do
          grep -qF -- "$text" "$control/$script" 2>/dev/null || { echo "$script lacks \"$text\" ($why)"; bad=1; }
        done <<'ROWS'
postinst|systemctl --system daemon-reload|systemd sees the unit file installed or changed
postinst|deb-systemd-invoke try-restart|an upgrade restarts the bridges that run
prerm|deb-systemd-invoke stop|no bridge runs on after a removal
postrm|systemctl --system daemon-reload|systemd forgets the removed unit file
postrm|deb-systemd-helper purge|a purge drops the enablement state
ROWS
        return $bad
      }
      check "deb.$arch.$package.maintainer_scripts" has_its_maintainer_scripts "$deb"
    fi
  done

  if [ $all_there = 1 ]; then
    library_is_versioned() {
      local bad=0 shlibs
      [ "$(readelf -d "$root/$libdir/libtz52drv.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')" = libtz52drv.so.1 ] ||
        { echo "the library's SONAME is not libtz52drv.so.1"; bad=1; }
      # Programs built against it get "libtz52drv1 (>= version)".
      shlibs=$(dpkg-deb --ctrl-tarfile "$dist/libtz52drv1_${version}_$arch.deb" | tar -xOf - ./shlibs 2>&1)
      [ "$shlibs" = "libtz52drv 1 libtz52drv1 (>= $version)" ] || { echo "shlibs: $shlibs"; bad=1; }
      return $bad
    }
    check deb.$arch.library_soname_and_shlibs library_is_versioned

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
    check deb.$arch.no_build_tree_path has_no_build_tree_path

    # The extracted programs, from a folder outside both trees, with a bare
    # environment: nothing but what the packages hold is in reach.
    in_root() { (cd / && env -i PATH=/usr/bin:/bin "${emulator[@]}" "$@"); }
    version_is_this_release() {
      local out
      out=$(in_root "$root/usr/bin/tz52" --version) || { echo "$out"; return 1; }
      echo "$out"
      [[ $out == "tz52 $version"* ]]
    }
    check deb.$arch.tz52_version version_is_this_release
    info_loads_the_installed_library() {  # info_loads_the_installed_library ROOT
      local out
      out=$(in_root "$1/usr/bin/tz52" info) || { echo "$out"; return 1; }
      echo "$out"
      grep -qE '^ *Driver name +"KORVEL, "' <<<"$out" &&
        grep -E '^ *Library ' <<<"$out" | grep -qF "$1/usr/bin/../${libdir#usr/}/libtz52drv.so.1"
    }
    check deb.$arch.tz52_info info_loads_the_installed_library "$root"
    # A machine with the library and the tools, but no development package.
    check deb.$arch.tz52_info_without_dev info_loads_the_installed_library "$no_dev"
    check deb.$arch.tz52sim_help in_root "$root/usr/bin/tz52sim" --help

    # The README and the guides, as installed: every link to a file of ours
    # leads to a file the package holds (a guide moved or left out breaks one).
    documents_links_resolve() {
      local bad=0 doc target
      while IFS= read -r doc; do
        while IFS= read -r target; do
          target=${target%%#*}
          [ -z "$target" ] && continue
          [ -e "$(dirname "$doc")/$target" ] || { echo "${doc#"$root"/}: no $target"; bad=1; }
        done < <(grep -oE '\]\([^)]+\)' "$doc" | sed 's/^](//; s/)$//' | grep -vE '^[a-z]+:')
      done < <(find "$root/usr/share/doc/tz52drv-tools" -name '*.md')
      return $bad
    }
    check deb.$arch.document_links_resolve documents_links_resolve

    # The examples, as the installed tz52 reads them: every key of the
    # configuration is an option of tz52 bridge, every point an address the
    # driver takes, and every point allow-write names is in the points file.
    examples_fit_the_bridge() {
      local bad=0 examples=$root/usr/share/doc/tz52drv-tools/examples help key points allowed point
      help=$(in_root "$root/usr/bin/tz52" bridge --help) || { echo "$help"; return 1; }
      while IFS= read -r key; do
        grep -qE -- "--$key([ ,=]|$)" <<<"$help" || { echo "line1.conf: $key is no option of tz52 bridge"; bad=1; }
      done < <(sed -n 's/^\([a-z-]*\) *=.*/\1/p' "$examples/line1.conf")
      points=$(sed 's/#.*//' "$examples/plant-points.txt" | awk 'NF {print $1}')
      # shellcheck disable=SC2086
      in_root "$root/usr/bin/tz52" check $points >/dev/null || { echo "plant-points.txt: an address is refused"; bad=1; }
      allowed=$(sed -n 's/^allow-write *= *\([^#]*\).*/\1/p' "$examples/line1.conf" | tr ', ' '\n\n')
      for point in $allowed; do
        grep -qx "$point" <<<"$points" || { echo "line1.conf: allow-write names $point, not in plant-points.txt"; bad=1; }
      done
      # The whole configuration as the bridge reads it, its points file where
      # the package put it.
      local checked
      sed "s|^points *=.*|points = $examples/plant-points.txt|" "$examples/line1.conf" >"$work/line1.conf"
      checked=$(in_root "$root/usr/bin/tz52" bridge --config "$work/line1.conf" --check 2>&1) ||
        { echo "line1.conf: tz52 bridge --check refuses it: $checked"; bad=1; }
      return $bad
    }
    check deb.$arch.examples_fit_the_bridge examples_fit_the_bridge
  fi
}

for arch in "${arches[@]}"; do check_debs "$arch"; done

# ---- the Windows zip ------------------------------------------------------------
zip=$dist/tz52drv-${version}-win32.zip
if [ ! -f "$zip" ]; then
  record skipped zip "no $zip (see make package)"
else
  top=tz52drv-$version-win32
  unzipped=$work/zip
  mkdir -p "$unzipped" && unzip -q "$zip" -d "$unzipped"
  holds_the_layout() {
    local missing=0 file
    for file in driver/tz52drv.dll driver/driver_api.h tools/tz52.exe tools/tz52drv.dll tools/ZOLVAR.dll \
      README-windows.txt CHANGELOG.md; do
      [ -f "$unzipped/$top/$file" ] || { echo "missing: $top/$file"; missing=1; }
    done
    # One folder, so unpacking never scatters files where the zip is opened.
    if unzip -Z1 "$zip" | grep -v "^$top/"; then echo "outside $top/"; missing=1; fi
    [ ! -e "$unzipped/$top/driver/ZOLVAR.dll" ] || { echo "driver/ZOLVAR.dll would go over the host's own"; missing=1; }
    head -5 "$unzipped/$top/README-windows.txt" | grep -q 'Do NOT copy tools\\ZOLVAR.dll' ||
      { echo "README-windows.txt does not start with the ZOLVAR.dll warning"; missing=1; }
    file -b "$unzipped/$top/driver/tz52drv.dll" | grep -q 'Intel 80386' || { echo "driver/tz52drv.dll is not 32-bit"; missing=1; }
    return $missing
  }
  check zip.layout holds_the_layout

  # Every text file with Windows line ends (Notepad shows a file with bare
  # LFs as one line); which files are text, `file` says.
  text_files_have_crlf() {
    local bad=0 file lines
    while IFS= read -r file; do
      [ "$(file -b --mime-encoding "$file")" = binary ] && continue
      lines=$(grep -c -v $'\r$' "$file")
      [ "$lines" = 0 ] || { echo "${file#"$unzipped/"}: $lines lines without CR"; bad=1; }
    done < <(find "$unzipped" -type f)
    return $bad
  }
  check zip.text_files_have_crlf text_files_have_crlf

  # README-windows.txt shows every command tz52.exe has: the command table's
  # rows, less the ones the Windows build leaves out (#if TZ52_WITH_...).
  readme_names_every_command() {
    local missing=0 command commands
    commands=$(awk '/^#if TZ52_WITH_/ {skip = 1} /^#endif/ {skip = 0}
      /kTable = \{/ {table = 1} table && !skip && match($0, /^ *\{"[a-z]+", /) {
        name = substr($0, RSTART, RLENGTH); gsub(/[ {",]/, "", name); print name }' \
      "$source_dir/tools/tz52/command_table.cpp")
    [ -n "$commands" ] || { echo "no commands found in tools/tz52/command_table.cpp"; return 1; }
    for command in $commands; do
      grep -qE "tz52 $command( |$)" "$unzipped/$top/README-windows.txt" ||
        { echo "README-windows.txt does not show tz52 $command"; missing=1; }
    done
    return $missing
  }
  check zip.readme_names_every_command readme_names_every_command
  objdump=i686-w64-mingw32-objdump
  check zip.dll_exports_only_qmxmain bash "$source_dir/tests/win32/check_dll_image.sh" exports $objdump \
    "$unzipped/$top/driver/tz52drv.dll" QmxMain
  version_resource_is_this_release() {
    i686-w64-mingw32-windres -i "$unzipped/$top/driver/tz52drv.dll" -O rc | grep -F "VALUE \"FileVersion\", \"$version\""
  }
  check zip.dll_version_resource_is_this_release version_resource_is_this_release
  check zip.dll_imports_only_kernel32_msvcrt_zolvar bash "$source_dir/tests/win32/check_dll_image.sh" imports \
    $objdump "$unzipped/$top/driver/tz52drv.dll" KERNEL32.dll msvcrt.dll ZOLVAR.dll

  # tz52.exe info in the zip's layout. wine_env.sh picks wine32 or wine64 by
  # the tz52drv.dll beside the Wine prefix it keeps in that folder.
  wine_dir=$work/wine-run
  mkdir -p "$wine_dir"
  if why32=$(bash "$source_dir/tests/win32/wine_env.sh" probe win32); then
    cp -r "$unzipped/$top/tools" "$wine_dir/" && cp "$unzipped/$top/driver/tz52drv.dll" "$wine_dir/"
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
