#!/usr/bin/env bash
# Runs the end-to-end suite and the fault suite under valgrind's memcheck:
# every test case in its own process (as under CTest, since the library keeps
# process-wide state), two at a time; any memcheck error or definite leak,
# like any test failure, fails the case.
#   scripts/ci-valgrind.sh [e2e] [faults]       (default: both)
# Build: build/hard (RelWithDebInfo). Fault runs wait longer for restarting
# boards, as the library runs many times slower under memcheck.
set -euo pipefail
cd "$(dirname "$0")/.."
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(e2e faults)

cmake -S . -B build/hard -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAZMIR_WERROR=ON >/dev/null
targets=()
for suite in "${suites[@]}"; do targets+=(--target "test_$suite"); done
cmake --build build/hard -j2 "${targets[@]}"

export KZM_FAULTS_RESTART_DELAY_MS=${KZM_FAULTS_RESTART_DELAY_MS:-200}
export LOGDIR=build/hard/valgrind
rm -rf "$LOGDIR"
mkdir -p "$LOGDIR"

run_case() { # binary case-name
  local log="$LOGDIR/${2//\//_}.log"
  if valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
       --show-leak-kinds=definite --num-callers=30 --quiet "$1" --gtest_filter="$2" >"$log" 2>&1; then
    echo "PASS $2"
  else
    echo "FAIL $2 (exit $?)"
    grep -E -A25 "^==[0-9]+== [^ ]|Failure" "$log" | head -60
  fi
}
export -f run_case

summary=$(mktemp)
for suite in "${suites[@]}"; do
  bin=build/hard/tests/test_$suite
  start=$(date +%s)
  cases=$("$bin" --gtest_list_tests | awk '/^[^ ]/{s=$1} /^  /{print s $1}')
  echo "=== memcheck: test_$suite, $(echo "$cases" | wc -l) cases"
  echo "$cases" | xargs -P2 -I{} bash -c 'run_case "$0" "$1"' "$bin" {} | tee -a "$summary" | grep -v '^PASS' || true
  echo "=== test_$suite under memcheck: $(( $(date +%s) - start )) s"
done
passed=$(grep -c '^PASS' "$summary" || true)
failed=$(grep -c '^FAIL' "$summary" || true)
rm -f "$summary"
echo "memcheck: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
