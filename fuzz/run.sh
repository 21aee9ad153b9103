#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UBSan) and
# runs each for a bounded time, starting from its seed corpus in
# fuzz/corpus/<target>. Exits non-zero when any target crashes, leaks, trips
# a sanitizer or an assertion, or exceeds its time or memory limit.
#
#   fuzz/run.sh [seconds]      seconds per target: argument, else $FUZZ_SECONDS, else 60
#
# Environment: FUZZ_TARGETS (space-separated subset), FUZZ_BUILD_DIR (default
# build/fuzz). Inputs found along the way go to $FUZZ_BUILD_DIR/corpus, never
# into the seed corpus; a failing input is saved under
# $FUZZ_BUILD_DIR/artifacts and the log's tail is printed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
build=${FUZZ_BUILD_DIR:-$here/../build/fuzz}
targets=${FUZZ_TARGETS:-binaryStrToUInt32 dbg_set_mask dbg_init outputData}

case $seconds in
  ''|*[!0-9]*) echo "run.sh: seconds must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

failed=()
for target in $targets; do
  work=$build/corpus/$target
  artifacts=$build/artifacts/$target
  log=$build/$target.log
  mkdir -p "$work" "$artifacts"
  echo "=== fuzz_$target for $seconds s"
  status=0
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" "$here/corpus/$target" >"$log" 2>&1 || status=$?
  # Belt and braces: a report that did not change the exit status still fails.
  if [ "$status" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|Assertion .* failed' "$log"; then
    echo "fuzz_$target FAILED (exit status $status); log: $log"
    tail -n 40 "$log"
    failed+=("$target")
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  coverage=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 || true)
  echo "fuzz_$target: ${runs:-?} executions, ${coverage:-cov: ?}, corpus $(ls "$work" | wc -l) inputs"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "fuzzing passed: $targets"
