#!/usr/bin/env bash
# Runs a Windows program under Wine without a display and without dialogs;
# the emulator of the cross builds' tests.
#   wine-run.sh [--prefix=DIR] program.exe [arguments]
# The prefix is $WINEPREFIX when set, else DIR, else ~/.wine. It is created on
# first use. One Wine server serves a whole test run: started here when none
# is running, it stays for a minute after the last program ends. Wine's own
# services are started with it, detached from every output, so that they
# never hold a test program's output open after the program has ended.
set -euo pipefail
prefix=
case "${1:-}" in --prefix=*) prefix=${1#--prefix=}; shift ;; esac
export WINEPREFIX=${WINEPREFIX:-${prefix:-$HOME/.wine}}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installation prompts.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1 9>&- || true
    wineserver -w 9>&-
  fi
  # 0: a new server was started; 2: one is running already. (Nothing Wine
  # starts may inherit the lock, or it would hold it as long as it runs.)
  if wineserver -p60 </dev/null >/dev/null 2>&1 9>&-; then
    wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
