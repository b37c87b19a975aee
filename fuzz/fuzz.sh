#!/usr/bin/env bash
# Helper of `make test-fuzz`.
#   fuzz.sh check              says why libFuzzer targets cannot be built here
#                              (exit 1), or nothing (exit 0)
#   fuzz.sh run BUILD SECONDS  runs every *_fuzz executable in BUILD/fuzz for
#                              SECONDS over its corpus fuzz/corpus/NAME/
#   fuzz.sh keep BUILD NAME    merges what the last run of NAME found into its
#                              committed corpus, keeping only inputs that add
#                              coverage
# New inputs go to BUILD/fuzz/runs/NAME/ and crashes to BUILD/fuzz/artifacts/,
# so a run leaves the checkout clean.
set -u
cd "$(dirname "$0")/.."

check() {
  local tool
  for tool in clang clang++; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed"; return 1; }
  done
  local probe
  probe=$(mktemp -d) || { echo "cannot make a temporary directory"; return 1; }
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    > "$probe/probe.cpp"
  if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
       >/dev/null 2>&1; then
    rm -rf "$probe"
    echo "clang cannot link a libFuzzer target (its fuzzer and sanitizer runtimes are missing)"
    return 1
  fi
  rm -rf "$probe"
}

run() {
  local build=$1 seconds=$2 status=0 found=0 target name scratch log
  mkdir -p "$build/fuzz/runs" "$build/fuzz/artifacts"
  for target in $(find "$build/fuzz" -maxdepth 1 -type f -perm -u+x -name '*_fuzz' | sort); do
    found=1
    name=$(basename "$target")
    scratch="$build/fuzz/runs/$name"
    log="$build/fuzz/runs/$name.log"
    rm -rf "$scratch" && mkdir -p "$scratch" "fuzz/corpus/$name"
    echo "fuzz: $name for ${seconds}s"
    if "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
         -artifact_prefix="$build/fuzz/artifacts/$name-" "$scratch" "fuzz/corpus/$name" \
         >"$log" 2>&1; then
      grep -E '^(stat::number_of_executed_units|Done )' "$log" | sed 's/^/  /'
      echo "  new inputs: $(find "$scratch" -type f | wc -l) in $scratch"
      [ -z "${FUZZ_RESULTS:-}" ] || echo "passed fuzz.$name" >>"$FUZZ_RESULTS"
    else
      tail -n 40 "$log"
      echo "fuzz: $name failed; the input is in $build/fuzz/artifacts/, the log in $log" >&2
      [ -z "${FUZZ_RESULTS:-}" ] || echo "failed fuzz.$name" >>"$FUZZ_RESULTS"
      status=1
    fi
  done
  if [ "$found" = 0 ]; then
    echo "fuzz: no *_fuzz executable in $build/fuzz" >&2
    return 1
  fi
  return "$status"
}

keep() {
  local build=$1 name=$2 merged
  merged=$(mktemp -d) || return 1
  "$build/fuzz/$name" -merge=1 "$merged" "fuzz/corpus/$name" "$build/fuzz/runs/$name" \
    >/dev/null 2>&1 || { rm -rf "$merged"; echo "fuzz: merge of $name failed" >&2; return 1; }
  rm -rf "fuzz/corpus/$name" && mv "$merged" "fuzz/corpus/$name" && chmod 755 "fuzz/corpus/$name"
  echo "fuzz: fuzz/corpus/$name now holds $(find "fuzz/corpus/$name" -type f | wc -l) inputs"
}

case "${1:-}" in
  check) check ;;
  run) [ $# = 3 ] || { echo "usage: $0 run BUILD SECONDS" >&2; exit 2; }; run "$2" "$3" ;;
  keep) [ $# = 3 ] || { echo "usage: $0 keep BUILD NAME" >&2; exit 2; }; keep "$2" "$3" ;;
  *) echo "usage: $0 check | run BUILD SECONDS | keep BUILD NAME" >&2; exit 2 ;;
esac
