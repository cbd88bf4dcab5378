#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UBSan) and runs each for
# a bounded time: the xen3 frame readers and the XenAPI metrics export reader.
# usage: scripts/fuzz.sh BUILD_DIR [SECONDS]   (default 60 seconds per target)
# Exits non-zero when a fuzzer finds a crash, a leak or a sanitizer report; the offending
# input is then left in the target's folder under BUILD_DIR.
set -euo pipefail
build=${1:?usage: scripts/fuzz.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
source_dir=$(cd "$(dirname "$0")/.." && pwd)

targets=(  # name  folder  dictionary
  "xen3_message_fuzz xen3/message/fuzz xs.dict"
  "xen4_rrd_fuzz xen4/rrd/fuzz xport.dict"
)

cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DVANTREL_FUZZ=ON >/dev/null
for t in "${targets[@]}"; do
  read -r name dir dict <<<"$t"
  cmake --build "$build" --target "$name" -j2
  out="$build/$dir"
  mkdir -p "$out/corpus"
  # new inputs go to the working corpus in the build; the committed seeds are only read
  (cd "$out" && "./$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
     -dict="$source_dir/$dir/$dict" -print_final_stats=1 "$out/corpus" "$source_dir/$dir/corpus")
done
