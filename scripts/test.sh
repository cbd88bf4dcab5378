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

run_ctest() { # preset
  local log="build/$1/ctest.log"
  ctest --preset "$1" -j"$jobs" --timeout 300 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  # count the tests themselves from ctest's summary line
  local line total nfail
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    nfail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - nfail)); failed=$((failed + nfail))
    [ "$nfail" -gt 0 ] && failures+=("$1: $(grep -E '^\s+[0-9]+ - ' "$log" | sed -E 's/^\s+[0-9]+ - //' | tr '\n' ' ')")
  elif [ "$rc" -ne 0 ]; then
    record "$1 (ctest)" "$rc"
  fi
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

# Only the end of a run may be seen (a CI page shows its last lines): repeat the failed
# assertions of each failed preset there, a few lines each.
for preset in "${presets[@]}"; do
  log="build/$preset/ctest.log"
  [ -f "$log" ] && grep -q 'tests\? failed out of' "$log" && ! grep -q ' 0 tests failed' "$log" || continue
  echo "--- $preset: failed assertions"
  grep -E -A3 '(: Failure$|^\[  FAILED  \] [A-Za-z_0-9]+\.[A-Za-z_0-9]+ \(|Traceback|^FAIL:|AssertionError)' "$log" | head -n 24
done
echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
