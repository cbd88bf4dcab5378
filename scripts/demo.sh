#!/usr/bin/env bash
# The main job: sets the machine up, builds the x86_64 DLLs, starts the simulated Xen
# host (XenAPI on 443, the xen3 agent on 6936, both on 127.0.0.1), registers Vantrel.dll
# and Brenmo.dll in the build's Wine prefix, runs a VBScript session and two Brenmo
# checks, and stops the simulated host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=$PWD/build/win64
mkdir -p "$build"
printf 'Building the Windows x86_64 DLLs (first run about 4 minutes; log: %s)... ' "$build/demo-build.log"
start=$SECONDS
if ! { cmake --preset win64 && cmake --build --preset win64 -j"$(nproc)" --target Vantrel Brenmo; } \
    >"$build/demo-build.log" 2>&1; then
  echo "failed. The whole log:"; cat "$build/demo-build.log"; exit 1
fi
echo "done in $((SECONDS - start))s"
exec python3 sim/xensim.py --profile current --certs "$build/sim-certs" --xenapi-port 443 --xen3-port 6936 \
  --client-certs-to "$build/automation" --lifetime 300 -- python3 scripts/demo.py "$build"
