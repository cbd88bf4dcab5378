#!/usr/bin/env bash
# Runs the xen4 benchmark beside a simulated host of its own.
# usage: bench/xen4/run.sh BUILD_DIR OUT.md [VM-COUNTS...]
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
shift 2
here=$(cd "$(dirname "$0")/../.." && pwd)
exec python3 "$here/sim/xensim.py" --only xenapi --certs "$build/sim-certs" --lifetime 3600 -- \
  "$build/bench/xen4/xen4_bench" "$out" "$@"
