#!/usr/bin/env bash
# The main job: sets the machine up, builds the x86_64 DLLs, starts the simulated Xen
# host (XenAPI on 443, the xen3 agent on 6936, both on 127.0.0.1), registers Vantrel.dll
# and Brenmo.dll in the build's Wine prefix, runs a VBScript session and two Brenmo
# checks, and stops the simulated host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
echo "Building the Windows x86_64 DLLs..."
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j"$(nproc)" --target Vantrel Brenmo >/dev/null
build=$PWD/build/win64
exec python3 sim/xensim.py --profile current --certs "$build/sim-certs" --xenapi-port 443 --xen3-port 6936 \
  --client-certs-to "$build/automation" --lifetime 300 -- python3 scripts/demo.py "$build"
