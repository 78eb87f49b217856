#!/usr/bin/env bash
# Builds the whole project under AddressSanitizer with UndefinedBehaviorSanitizer
# (preset asan) and under ThreadSanitizer (preset tsan) and runs every test
# under each; any sanitizer report fails the test that caused it.
#   scripts/ci-sanitizers.sh [asan] [tsan]      (default: both)
# Benchmarks are not built in these presets; everything else is run.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(asan tsan)

# Reports are fatal and end the process with a non-zero code. No report is
# suppressed: none of them has been a false positive so far.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for preset in "${presets[@]}"; do
  start=$(date +%s)
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  echo "=== $preset: tests"
  # Python cannot load a sanitized library without preloading the sanitizer
  # runtime; the binding is tested in the plain build.
  ctest --preset "$preset" -j2 --timeout 900 -LE python
  echo "=== $preset: done in $(( $(date +%s) - start )) s"
done
