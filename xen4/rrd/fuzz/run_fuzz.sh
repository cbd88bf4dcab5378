#!/usr/bin/env bash
# Builds the metrics export reader's fuzz target with clang and runs it for a bounded
# time. usage: run_fuzz.sh BUILD_DIR [SECONDS]   (default 60 seconds)
# Exits non-zero when the fuzzer finds a crash, a leak or a sanitizer report; the
# offending input is then left in BUILD_DIR/xen4/rrd/fuzz/.
set -euo pipefail
build=${1:?usage: run_fuzz.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../.." && pwd)

cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DVANTREL_FUZZ=ON >/dev/null
cmake --build "$build" --target xen4_rrd_fuzz -j2

out="$build/xen4/rrd/fuzz"
mkdir -p "$out/corpus"
cd "$out"
exec ./xen4_rrd_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -dict="$here/xport.dict" -print_final_stats=1 "$out/corpus" "$here/corpus"
