#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, ASan and UBSan) and runs
# each for a bounded time on its seed corpus (image_digits and image_check
# start from the image reader's seeds too), two at a time; prints the
# executions.
#   scripts/ci-fuzz.sh [seconds per target]      (default 60)
# New inputs go to build/fuzz/work/<target>; crashes to build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2 --target fuzz_image_reader fuzz_image_digits fuzz_exports fuzz_image_check

# Seed folders: the digit paths start from the reader's seeds, the check
# from its own and the reader's.
seeds() {
  case $1 in
    image_digits) echo fuzz/corpus/image_reader ;;
    image_check) echo fuzz/corpus/image_check fuzz/corpus/image_reader ;;
    *) echo "fuzz/corpus/$1" ;;
  esac
}

mkdir -p build/fuzz/artifacts

# One target for its time; what it found and how far it got, in its summary.
fuzz_one() {
  local target=$1 work=build/fuzz/work/$1 log=build/fuzz/$1.log
  mkdir -p "$work"
  echo "=== fuzz_$target: ${seconds} s"
  local status=0
  if ! build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/$target- \
        "$work" $(seeds "$target") >"$log" 2>&1; then
    status=1
    echo "fuzz_$target FAILED:"
    grep -E -A30 "ERROR|runtime error|fuzz_exports:|fuzz_image_reader:|fuzz_image_digits:|fuzz_image_check:|deadly signal" "$log" | head -80
  fi
  local execs rate cov
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -E "^#[0-9]+.*(DONE|cov:)" "$log" | tail -1 | sed -n 's/.*cov: \([0-9]*\).*ft: \([0-9]*\).*/cov \1, features \2/p')
  echo "fuzz_$target: ${execs:-?} executions (${rate:-?}/s), ${cov:-coverage not reported}, corpus $(ls "$work" | wc -l) new + $(find $(seeds "$target") -type f | wc -l) seeds"
  return $status
}

# Each target is one process on one core: two at a time, one per core.
status=0
for pair in "image_reader image_digits" "exports image_check"; do
  pids=()
  for target in $pair; do
    fuzz_one "$target" >"build/fuzz/$target.summary" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || status=1
  done
  for target in $pair; do
    cat "build/fuzz/$target.summary"
  done
done
exit $status
