#!/usr/bin/env bash
# Runs every benchmark and writes bench/RESULTS.md (with the machine's facts and the
# date) and bench/scaling.png (time against VM count). Takes 20 to 30 minutes.
#
#   bench/run.sh [--quick]      --quick: fewer sessions in the soak, VM counts up to 100
#
# Benchmarks, each beside a simulated host of its own:
#   xen3 parser     parse + read a data summary of 1,000 guests; write every request kind
#   xen3 session    creation, Update and Close with 1, 100, 1,000 guests vs. the protocol floor
#   xen4 session    Connect, a refresh pass and Close with 1, 100, 1,000 VMs vs. the floor
#   check_xenvm     one whole check of one VM at 1, 100, 1,000 VMs on both protocols vs. a
#                   careful Python xmlrpc.client script doing the same check, straight and
#                   through a proxy adding 20 ms each way; requests, TLS connections and
#                   bytes received per check
#   soak            sessions created and closed in one process, natively and through the
#                   DLL under Wine: resident memory, threads and handles before and after
#   check_xenvm soak  1,000 checks (OK, CRITICAL, unknown VM, deadline): sessions left on
#                   the server, the check's peak RSS, the simulated host's RSS
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=0
[ "${1:-}" = --quick ] && quick=1
counts="1 100 1000"; soak3=10000; soak4=2000; soakwine=1000; soakcli=1000
if [ $quick = 1 ]; then counts="1 100"; soak3=500; soak4=100; soakwine=50; soakcli=200; fi

bash scripts/setup.sh >/dev/null
build=$root/build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build "$build" -j"$(nproc)" --target xen3_parser_bench xen3_bench xen4_bench soak_native check_xenvm >/dev/null
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j"$(nproc)" --target Vantrel soak_com >/dev/null
win=$root/build/win64

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "xen3 parser..."
"$build/bench/xen3_parser/xen3_parser_bench" --markdown "$out/parser.md" >/dev/null
echo "xen3 session..."
bench/xen3/run.sh "$build" "$out/xen3.md" $counts >/dev/null
echo "xen4 session..."
bench/xen4/run.sh "$build" "$out/xen4.md" $counts >/dev/null
echo "check_xenvm..."
bench/cli/run.sh "$build" "$out/cli.md" $counts 2>/dev/null
echo "check_xenvm soak..."
python3 bench/cli/soak.py "$build" "$out/cli_soak.md" $soakcli 2>/dev/null || echo "  the soak missed a target or stopped early (written up)"

sim() { python3 sim/xensim.py --certs "$build/sim-certs" --lifetime 7200 "$@"; }
echo "soak, native..."
soak_dir=$(dirname "$build/bench/soak/soak_native")
sim --client-certs-to "$soak_dir" -- sh -c \
  "'$build/bench/soak/soak_native' 2 $soak3 127.0.0.1 \$VANTREL_SIM_XEN3_PORT root xenroot" > "$out/soak_native3.txt"
sim -- sh -c \
  "'$build/bench/soak/soak_native' 3 $soak4 127.0.0.1 \$VANTREL_SIM_XENAPI_PORT root xenroot" > "$out/soak_native4.txt"
echo "soak, through the DLL under Wine..."
"$root/scripts/wine-run.sh" "$win" regsvr32 /s "Z:$(echo "$win/automation/Vantrel.dll" | tr / '\\')"
for mode in 2 3; do
  sim --client-certs-to "$win/automation" -- sh -c \
    "port=\$( [ $mode = 2 ] && echo \$VANTREL_SIM_XEN3_PORT || echo \$VANTREL_SIM_XENAPI_PORT );
     '$root/scripts/wine-run.sh' '$win' '$win/bench/soak/soak_com.exe' $mode $soakwine 127.0.0.1 \$port root xenroot" \
    | tr -d '\r' | grep '^sessions=' > "$out/soak_wine$mode.txt"
done

python3 bench/report.py "$out" bench/RESULTS.md bench/scaling.png
{ echo; cat "$out/cli.md"; echo; cat "$out/cli_soak.md" || echo "The check_xenvm soak wrote no results."; } >> bench/RESULTS.md
echo "bench/RESULTS.md and bench/scaling.png written"
