#!/usr/bin/env bash
# Runs the xen3 benchmark beside a simulated host of its own.
# usage: bench/xen3/run.sh BUILD_DIR OUT.md [GUEST-COUNTS...]
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
shift 2
here=$(cd "$(dirname "$0")/../.." && pwd)
exec python3 "$here/sim/xensim.py" --only xen3 --certs "$build/sim-certs" --lifetime 3600 -- \
  "$build/bench/xen3/xen3_bench" "$out" "$@"
