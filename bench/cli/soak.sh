#!/usr/bin/env bash
# Runs the check_xenvm soak (1,000 checks against a simulated host of its own).
# usage: bench/cli/soak.sh BUILD_DIR OUT.md [RUNS]
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
shift 2
VANTREL_BINARY_DIR=$build exec python3 "$(dirname "$0")/soak.py" "$build/cli/check_xenvm" "$out" "$@"
