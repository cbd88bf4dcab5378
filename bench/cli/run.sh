#!/usr/bin/env bash
# Runs the check_xenvm benchmark (its own simulated hosts).
# usage: bench/cli/run.sh BUILD_DIR OUT.md [VM-COUNTS...]
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
shift 2
VANTREL_BINARY_DIR=$build exec python3 "$(dirname "$0")/bench.py" "$build/cli/check_xenvm" "$out" "$@"
