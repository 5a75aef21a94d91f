#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for a given time each and prints a
# table: executions, executions per second, crashes found.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]      (default 60 s; targets: image_file, fast9, ...)
#
# Builds the libFuzzer binaries with clang (ASan + UBSan) in $FUZZ_BUILD_DIR
# (default build/fuzz). Each target starts from its committed seed corpus
# (tests/fuzz/corpus/<name>, only read) and the inputs of earlier runs in
# $FUZZ_BUILD_DIR/work/<name>, where new ones go too; a crashing input is kept in
# $FUZZ_BUILD_DIR/artifacts/<run>/<name>/ with the target's log beside it. libFuzzer
# stops a target at its first crash. Exit status 1 when any target crashed.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-60}
[ $# -gt 0 ] && shift
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in tests/fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name#fuzz_}")
  done
fi

# FUZZ_NO_BUILD=1 runs the binaries already in the build directory as they are.
if [ "${FUZZ_NO_BUILD:-0}" != 1 ]; then
  if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCASTELLAN_FUZZ=ON -DCASTELLAN_BUILD_BENCH=OFF
  fi
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
fi

binary_of() {
  local found
  found=$(find "$build" -type f -name "fuzz_$1" -perm -u+x | head -n 1)
  [ -n "$found" ] || { echo "no binary for fuzz target $1" >&2; exit 2; }
  echo "$found"
}

stat_of() {  # stat_of LOG NAME: a value of libFuzzer's final statistics
  sed -n "s/^stat::$2: *//p" "$1" | tail -n 1
}

run_id=$(date +%Y%m%d-%H%M%S)
failed=0
rows=()
for name in "${targets[@]}"; do
  exe=$(binary_of "$name")
  work="$build/work/$name"
  artifacts="$build/artifacts/$run_id/$name"
  mkdir -p "$work" "$artifacts"
  log="$artifacts/fuzz.log"
  echo "== $name: ${seconds}s" >&2
  status=0
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
  "$exe" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
         -artifact_prefix="$artifacts/" "$work" "tests/fuzz/corpus/$name" > "$log" 2>&1 || status=$?
  runs=$(stat_of "$log" number_of_executed_units)
  rate=$(stat_of "$log" average_exec_per_sec)
  crashes=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
            -o -name 'oom-*' \) | wc -l)
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "   $name stopped with status $status; see $log" >&2
    grep -m 3 -E 'ERROR|SUMMARY|fuzz check failed|Test unit written' "$log" >&2 || true
  fi
  rows+=("$(printf '%-16s %12s %10s %8s' "$name" "${runs:-?}" "${rate:-?}" "$crashes")")
done

printf '%-16s %12s %10s %8s\n' target executions "exec/s" crashes
printf '%s\n' "${rows[@]}"
exit "$failed"
