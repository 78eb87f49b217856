#!/usr/bin/env bash
# CI of the Windows builds (mingw-w64 cross build, programs run under Wine):
#   1. the production KAZMIR.dll (preset mingw-smoke): export/import check,
#      host smoke test with a stand-in KAZAPI.dll and Wine's Setup API, version
#      resource;
#   2. the virtual-devices build (preset mingw-virtual): export checks of
#      KAZMIR.dll and the bench's KAZAPI.dll, the whole test suite;
#   Each build's release archive is made and listed (production and bench
#   archives apart).
#   3. kazmir.exe programming samples/demo-firmware.hex into the default bench,
#      and a second run finding it there.
# Needs mingw-w64, wine (64-bit), cmake, ninja. Wine runs headless with a
# private prefix under build/ (created once; ~30 s) and no debug output.
set -euo pipefail
cd "$(dirname "$0")/.."

export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$PWD/build/wine-prefix}
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
JOBS=${JOBS:-2}
# Wine now and then fails to start a program at all (no output, a failure in
# a few milliseconds); such a test gets up to two more tries. A test that
# really fails fails every try.
WINE_RETRY=(--repeat until-pass:3)

started=$(date +%s)
step() { echo; echo "=== $* ($(date +%T), +$(($(date +%s) - started)) s)"; }
fail() { echo "ci-windows: $*" >&2; exit 1; }
# The build's .zip made by CPack, and its contents.
package() {
  rm -rf "$1/packages"
  (cd "$1" && cpack >/dev/null)
  for zip in "$1"/packages/*.zip; do echo "$zip:"; python3 -m zipfile -l "$zip"; done
}
# The Wine server (and Wine's services) started for this run end with it.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

step "Wine prefix $WINEPREFIX (headless)"
scripts/wine-run.sh cmd.exe /c echo Wine runs without a display | tr -d '\r'

step "Production KAZMIR.dll: build"
cmake --preset mingw-smoke >/dev/null
cmake --build --preset mingw-smoke -j "$JOBS"
step "Production KAZMIR.dll: exports, imports"
scripts/check-exports.sh dll build/win-prod/src/KAZMIR.dll production
step "Production KAZMIR.dll: host smoke test and version resource under Wine"
ctest --preset mingw-smoke -j "$JOBS" "${WINE_RETRY[@]}"
step "Production KAZMIR.dll: release archive"
package build/win-prod

step "Virtual-devices build: build"
cmake --preset mingw-virtual >/dev/null
cmake --build --preset mingw-virtual -j "$JOBS"
step "Virtual-devices build: exports, imports"
scripts/check-exports.sh dll build/win-virtual/bin/KAZMIR.dll virtual
scripts/check-exports.sh kazapi build/win-virtual/bin/KAZAPI.dll
step "Virtual-devices build: all tests under Wine"
ctest --preset mingw-virtual -j "$JOBS" "${WINE_RETRY[@]}"
step "Virtual-devices build: bench archive"
package build/win-virtual

step "kazmir.exe: program samples/demo-firmware.hex on the default bench"
state=build/win-virtual/cli-state
rm -rf "$state"
mkdir -p "$state"
export KAZMIR_STATE_DIR=$PWD/$state
scripts/wine-run.sh build/win-virtual/bin/kazmir.exe program samples/demo-firmware.hex | tr -d '\r' \
  || fail "kazmir.exe program failed"
# A new process finds the image in the bench's flash file.
scripts/wine-run.sh build/win-virtual/bin/kazmir.exe verify samples/demo-firmware.hex | tr -d '\r' \
  || fail "kazmir.exe verify after program failed"
[ -n "$(ls -A "$state")" ] || fail "the default bench kept no flash in $state"

step "Done: Windows builds checked in $(($(date +%s) - started)) s"
