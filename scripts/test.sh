#!/usr/bin/env bash
# Runs every test: prepares the machine (scripts/setup.sh), then builds each preset and
# runs its tests: native, Windows x86_64 under Wine, Windows i686 (the shipped DLLs) under
# 32-bit Wine in an emulated i386 userland (label wine32, a lean set), AddressSanitizer+UBSan,
# ThreadSanitizer, and a bounded fuzzing run of the xen3 frame readers and the XenAPI
# metrics export reader.
# usage: scripts/test.sh [PRESET...]      (default: all of them)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
# The compiler cache (ccache, see CMakePresets.json) serves every clone of the repository:
# paths below the clone are taken relative to it.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native win64 win32 native-asan native-tsan fuzz)

passed=0 failed=0 failures=()
record() { # name rc
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("$1"); fi
}

# From a ctest log: its test count and the names of its failed tests, one per line.
ctest_total() { grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n1 | sed -E 's/.* out of ([0-9]+).*/\1/'; }
# (Only the FAILED list: the list of tests that did not run, skipped ones, looks alike.)
ctest_failed() {
  awk '/^The following tests FAILED:/ { f = 1; next }
       f && /^[[:space:]]+[0-9]+ - / { sub(/^[[:space:]]+[0-9]+ - /, ""); sub(/ .*/, ""); print; next }
       { f = 0 }' "$1"
}

flaky=() flaky_logs=() failed_logs=()
run_ctest() { # preset
  local log="build/$1/ctest.log"
  ctest --preset "$1" -j"$jobs" --timeout 300 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local total first="" again=""
  total=$(ctest_total "$log")
  if [ -z "$total" ]; then
    [ "$rc" -ne 0 ] && record "$1 (ctest)" "$rc"
    return
  fi
  first=$(ctest_failed "$log")
  if [ -n "$first" ]; then
    # A failed test runs once more, alone. One that passes then counts as passed and is
    # named at the end as passing only the second time; one that fails again is a failure.
    ctest --preset "$1" --rerun-failed -j1 --timeout 300 2>&1 | tee "$log.again"
    if [ -n "$(ctest_total "$log.again")" ]; then again=$(ctest_failed "$log.again"); else again=$first; fi
    for t in $first; do grep -qx "$t" <<<"$again" || flaky+=("$1: $t"); done
    [ "$(wc -l <<<"$first")" -gt "$(grep -c . <<<"$again")" ] && flaky_logs+=("$log")
  fi
  local nfail=0
  [ -n "$again" ] && nfail=$(wc -l <<<"$again")
  passed=$((passed + total - nfail)); failed=$((failed + nfail))
  [ "$nfail" -gt 0 ] && failures+=("$1: $(tr '\n' ' ' <<<"$again")") && failed_logs+=("$log.again")
}

for preset in "${presets[@]}"; do
  echo "=== $preset"
  if [ "$preset" = fuzz ]; then
    scripts/fuzz.sh "$root/build/fuzz" 45; record "fuzz (xen3 frames, XenAPI metrics export)" $?
    continue
  fi
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j"$jobs"; then
    record "$preset (build)" 1
    continue
  fi
  run_ctest "$preset"
done

# Only the end of a run may be seen (a CI page shows its last lines): repeat there the
# failed assertions of the tests that failed this run, from their second run (alone, so
# that no passing test's output comes first), a few lines each preset.
assertions() { grep -E -A3 '(: Failure$|^\[  FAILED  \] [A-Za-z_0-9]+\.[A-Za-z_0-9]+ \(|Traceback|^FAIL:|AssertionError)' "$1"; }
for log in "${flaky_logs[@]}"; do
  echo "--- $(basename "$(dirname "$log")"): assertions of the first run (some passed on the second)"
  assertions "$log" | head -n 12
done
for log in "${failed_logs[@]}"; do
  echo "--- $(basename "$(dirname "$log")"): failed assertions"
  assertions "$log" | head -n 24
done
echo
for f in "${flaky[@]}"; do echo "PASSED ONLY ON A SECOND RUN: $f"; done
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
