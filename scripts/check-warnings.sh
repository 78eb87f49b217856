#!/usr/bin/env bash
# Builds the whole tree with warnings as errors at every optimisation level
# the presets leave out, with g++ and with mingw-w64 (the virtual-devices
# build: library, bench, kit, command and tests): some warnings come only
# from the optimiser's view of inlined code, at one level and not another.
# The presets and CI cover g++ at -O0 (sanitizers), -O1 (mutants) and -O2,
# mingw-w64 at -O2 and -O3.
#
# Usage: scripts/check-warnings.sh [LEVEL ...]   (default: -O0 -O1 -O3 -Os)
# Needs g++, mingw-w64, cmake and ninja; each build goes to build/warn-*.
set -euo pipefail
cd "$(dirname "$0")/.."

LEVELS=("$@")
[[ ${#LEVELS[@]} -gt 0 ]] || LEVELS=(-O0 -O1 -O3 -Os)
JOBS=${JOBS:-2}
failed=()

build() { # name, level, extra cmake arguments...
  local name=$1 level=$2
  shift 2
  local dir=build/warn-$name${level}
  echo "=== $name $level ($dir)"
  if cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Check -DKAZMIR_WERROR=ON \
      "-DCMAKE_CXX_FLAGS_CHECK=$level" "-DCMAKE_C_FLAGS_CHECK=$level" -DKAZMIR_BUILD_BENCHMARKS=OFF "$@" >/dev/null &&
    cmake --build "$dir" -j "$JOBS" -- -k 0 >"$dir.log" 2>&1; then
    echo "    clean"
  else
    grep -E "error|warning" "$dir.log" | head -20 || true
    failed+=("$name $level")
  fi
}

for level in "${LEVELS[@]}"; do
  build gcc "$level"
  build mingw "$level" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DKAZMIR_VIRTUAL_DEVICES=ON \
    -DKAZMIR_BUILD_SIMULATOR=ON -DKAZMIR_BUILD_CLI=ON -DKAZMIR_BUILD_TESTS=ON
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "check-warnings: not clean: ${failed[*]}" >&2
  exit 1
fi
echo "check-warnings: clean at ${LEVELS[*]} with g++ and mingw-w64"
