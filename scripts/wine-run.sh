#!/usr/bin/env bash
# Runs a Windows program under Wine without a display and without dialogs;
# the emulator of the cross builds' tests.
#   wine-run.sh [--prefix=DIR] program.exe [arguments]
# The prefix is $WINEPREFIX when set, else DIR, else ~/.wine. It is created on
# first use (once, under a lock, so that parallel test runs do not race).
set -euo pipefail
prefix=
case "${1:-}" in --prefix=*) prefix=${1#--prefix=}; shift ;; esac
export WINEPREFIX=${WINEPREFIX:-${prefix:-$HOME/.wine}}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installation prompts.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# One server for a whole test run: it stays for a minute after the last
# program ends, so that each program does not pay for starting Wine's services.
wineserver -p60 </dev/null >/dev/null 2>&1 || true
exec wine "$@"
