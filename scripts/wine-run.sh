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
# Keep one wine server running between the many short programs a test starts.
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 || true

# The first program of a wine server session also starts Wine's system processes
# (services, device and desktop hosts), which inherit its standard handles and outlive
# it. Were those the caller's pipes, whoever reads them (ctest, a test driver) would wait
# for the system processes to end long after the program has. So the program writes to
# files, and their contents follow once it has ended.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$out" "$out.err"' EXIT
set +e
"$WINE" "$@" >"$out" 2>"$out.err" </dev/null
rc=$?
set -e
cat "$out"
cat "$out.err" >&2
exit $rc
