#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine with the Wine prefix of a build directory.
# usage: wine-run.sh BUILD_DIR PROGRAM [ARGS...]
# The prefix is created once (guarded by a lock, since tests run in parallel) and reused.
set -euo pipefail
build=$1; shift
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/.vantrel-ready" ]; then
  mkdir -p "$WINEPREFIX"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.vantrel-ready" ]; then
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w || true
    touch "$WINEPREFIX/.vantrel-ready"
  fi
  flock -u 9
fi
# Keep one wine server running between the many short programs a test starts, started
# here with no pipes attached: a server started by the program itself would inherit the
# program's output pipes and keep whoever reads them waiting after the program ended.
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 || true
exec "$WINE" "$@"
