#!/usr/bin/env python3
"""Soak of check_xenvm: 1,000 whole checks against one simulated host (current profile),
several at a time, in blocks of 100 that mix the outcomes a monitoring engine sees:
OK, CRITICAL (a VM in the wrong state), CRITICAL (a VM that does not exist) and UNKNOWN
at the deadline (the host's metrics export hangs, -t 4). Afterwards no session may be live
on the server, and memory must be flat: the check's peak RSS per run (the first 100 runs
against the last 100) and the simulated host's RSS (after a warm-up against the end).

usage: soak.py BUILD_DIR OUT.md [RUNS]   (BUILD_DIR's cli/check_xenvm and sim-certs)
OUT.md is written even when the soak stops early, saying so."""
import io
import os
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "sim", "testing"))
from simhost import SimHost  # noqa: E402

BLOCK = 100
# Per block of 100: (kind, runs, arguments, exit code, text the first line holds).
MIX = [
    ("ok", 40, ["-m", "web01"], 0, "XEN OK - Virtual machine (web01) is UP"),
    ("state", 20, ["-m", "build01"], 2, "is in a DOWN state while it should be UP"),
    ("unknown vm", 20, ["-m", "nosuch"], 2, "it's not listed as a known one"),
    ("deadline", 20, ["-m", "web01", "-t", "4"], 3, "XEN UNKNOWN - timed out after 4 s while"),
]
PARALLEL = 4  # the checks that end quickly; the deadline runs of a block go all at once


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


# Starts the command from a small process of its own and reports its peak RSS. A process's
# peak as the kernel counts it includes the memory of the process it was forked from, up to
# its exec: measured as a direct child of this (growing) script, the check would seem to
# grow with it.
SPAWN = """import os, sys
pid = os.fork()
if pid == 0:
    os.dup2(1, 2)
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
sys.stderr.write("%d\\n" % usage.ru_maxrss)
sys.exit(os.waitstatus_to_exitcode(status))
"""


def one_check(args, env):
    """(exit code, output, peak RSS in KiB) of one check_xenvm process."""
    p = subprocess.run([sys.executable, "-S", "-c", SPAWN] + args, capture_output=True, env=env)
    return p.returncode, p.stdout.decode(errors="replace"), int(p.stderr.split()[-1])


def run_block(sim, base, env, limit):
    """One block of the mix (at most limit runs): [(kind, expected, (code, output, peak RSS))]."""
    done = []
    for kind, count, args, code, text in MIX:
        count = min(count, limit - len(done))
        if count <= 0:
            break
        if kind == "deadline":
            sim.control({"target": "xenapi", "cmd": "fault", "mode": "hang", "method": "GET /rrd_updates"})
        with ThreadPoolExecutor(count if kind == "deadline" else PARALLEL) as pool:
            got = list(pool.map(lambda _: one_check(base + args, env), range(count)))
        if kind == "deadline":
            sim.control({"target": "xenapi", "cmd": "clear_faults"})
        done += [(kind, (code, text), g) for g in got]
    # The host's log of every request is a test instrument that grows by design.
    sim.control({"target": "xenapi", "cmd": "clear_calls"})
    return done


def main():
    build, out_path = os.path.abspath(sys.argv[1]), sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    report = io.StringIO()
    report.write("## check_xenvm soak\n\n")
    try:
        return soak(os.path.join(build, "cli", "check_xenvm"), os.path.join(build, "sim-certs"), runs, report)
    except BaseException as exc:
        report.write("\nThe soak stopped early: %r.\n" % (exc,))
        raise
    finally:
        with open(out_path, "w") as f:
            f.write(report.getvalue())


def soak(command, certs, runs, f):
    subprocess.run([os.path.join(SOURCE, "sim", "make_certs.sh"), certs], check=True)
    env = dict(os.environ, XEN_PASSWORD="xenroot")
    sim = SimHost(certs, "current", lifetime=3600, allow_live_sessions=True)  # counted here
    base = [command, "-H", "127.0.0.1", "-p", str(sim.ports["xenapi"]), "-u", "root"]
    results = []  # (kind, code, peak RSS) in the order of the runs
    misses = []
    try:
        run_block(sim, base, env, BLOCK)  # warm-up: the simulated host's threads and caches
        logins_before = sim.sessions()["logins"]
        sim_before = rss_kib(sim.proc.pid)
        start = time.monotonic()
        block_rss = []  # the simulated host's RSS after each block
        while len(results) < runs:
            for kind, (code, text), (got, output, peak) in run_block(sim, base, env, runs - len(results)):
                first_line = output.splitlines()[0] if output else ""
                if got != code or text not in first_line:
                    misses.append("%s: exit %d, %r" % (kind, got, output.strip()))
                results.append((kind, got, peak))
            block_rss.append(rss_kib(sim.proc.pid))
        seconds = time.monotonic() - start
        sessions = sim.wait_no_sessions()  # log-outs on their way arrive
        sim_after = rss_kib(sim.proc.pid)
    finally:
        sim.stop()
    logins = sessions["logins"] - logins_before

    first = [r[2] for r in results[:BLOCK]]
    last = [r[2] for r in results[-BLOCK:]]
    by_kind = {}
    for kind, _, peak in results:
        by_kind.setdefault(kind, []).append(peak)
    growth = statistics.median(last) - statistics.median(first)
    flat = abs(growth) <= 512 and sim_after - sim_before <= 2048
    ok = not misses and sessions["live"] == 0 and flat
    f.write("%d whole checks by `bench/cli/soak.py` against one simulated host (current profile), after one "
            "warm-up block, %d at a time, in blocks of 100: 40 OK, 20 CRITICAL (VM in the wrong state), 20 CRITICAL (unknown VM), "
            "20 UNKNOWN at the deadline (the metrics export hangs, `-t 4`, all 20 at once). Targets: every "
            "outcome as expected, no live session on the server at the end, the check's peak RSS flat "
            "(median of the last 100 runs within 512 KiB of the first 100's) and the simulated host's RSS "
            "within 2 MiB (its log of requests, a test instrument, cleared after each block).\n\n"
            % (len(results), PARALLEL))
    f.write("| What | Result |\n|---|---|\n")
    f.write("| runs, wall time | %d in %.0f s |\n" % (len(results), seconds))
    f.write("| unexpected outcomes | %d |\n" % len(misses))
    f.write("| sessions on the server at the end | live %d (logins %d, logouts %d; %d logins in the measured "
            "runs) |\n" % (sessions["live"], sessions["logins"], sessions["logouts"], logins))
    f.write("| check peak RSS, first 100 runs | median %.0f KiB, max %d KiB |\n"
            % (statistics.median(first), max(first)))
    f.write("| check peak RSS, last 100 runs | median %.0f KiB, max %d KiB |\n"
            % (statistics.median(last), max(last)))
    f.write("| check peak RSS, median of each block of 100 | %s KiB |\n"
            % " ".join("%.0f" % statistics.median(r[2] for r in results[i:i + BLOCK])
                       for i in range(0, len(results), BLOCK)))
    f.write("| check peak RSS by outcome (median) | %s |\n"
            % ", ".join("%s %.0f KiB" % (kind, statistics.median(peaks)) for kind, peaks in by_kind.items()))
    f.write("| simulated host RSS, after the warm-up block / at the end | %d / %d KiB |\n"
            % (sim_before, sim_after))
    f.write("| simulated host RSS after each block | %s KiB |\n" % " ".join(str(r) for r in block_rss))
    f.write("\nResult: %s.\n" % ("targets met" if ok else "target missed"))
    if misses:
        f.write("\nUnexpected outcomes (first 10):\n\n")
        for m in misses[:10]:
            f.write("- `%s`\n" % m.replace("`", "'"))
    if sessions["live"]:
        f.write("\nSessions left live: %d, originators %s.\n"
                % (sessions["live"], sorted({s.get("originator") for s in sessions.get("sessions", [])})))
    print("soak: %d runs, %d unexpected, %d live sessions" % (len(results), len(misses), sessions["live"]),
          file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
