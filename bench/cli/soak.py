#!/usr/bin/env python3
"""Soak of check_xenvm: 1,000 whole checks against one simulated host (current profile),
several at a time, in blocks of 100 that mix the outcomes a monitoring engine sees:
OK, CRITICAL (a VM in the wrong state), CRITICAL (a VM that does not exist) and UNKNOWN
at the deadline (the host's metrics export hangs, -t 4). Afterwards no session may be live
on the server, and memory must be flat: the check's peak RSS per run (the first 100 runs
against the last 100) and the simulated host's RSS (after a warm-up against the end).

usage: soak.py CHECK_XENVM OUT.md [RUNS]   (needs VANTREL_BINARY_DIR's sim-certs)"""
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


def one_check(args, env):
    """(exit code, output, peak RSS in KiB) of one check_xenvm process."""
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    out = p.stdout.read().decode(errors="replace")
    p.stdout.close()
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    return p.returncode, out, usage.ru_maxrss


def main():
    command, out_path = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    certs = os.path.join(os.environ.get("VANTREL_BINARY_DIR", os.path.join(SOURCE, "build", "native")), "sim-certs")
    subprocess.run([os.path.join(SOURCE, "sim", "make_certs.sh"), certs], check=True)
    env = dict(os.environ, XEN_PASSWORD="xenroot")
    sim = SimHost(certs, "current", lifetime=3600, allow_live_sessions=True)  # counted here
    base = [command, "-H", "127.0.0.1", "-p", str(sim.ports["xenapi"]), "-u", "root"]
    results = []  # (index, kind, code, peak RSS) in the order of the runs
    misses = []
    try:
        for _ in range(10):  # warm-up: the simulated host's caches and threads
            one_check(base + ["-m", "web01"], env)
        sim_before = rss_kib(sim.proc.pid)
        start = time.monotonic()
        index = 0
        while index < runs:
            for kind, count, args, code, text in MIX:
                count = min(count, runs - index)
                if count <= 0:
                    break
                if kind == "deadline":
                    sim.control({"target": "xenapi", "cmd": "fault", "mode": "hang", "method": "GET /rrd_updates"})
                workers = count if kind == "deadline" else PARALLEL
                with ThreadPoolExecutor(workers) as pool:
                    done = list(pool.map(lambda _: one_check(base + args, env), range(count)))
                if kind == "deadline":
                    sim.control({"target": "xenapi", "cmd": "clear_faults"})
                for got, output, peak in done:
                    first_line = output.splitlines()[0] if output else ""
                    if got != code or text not in first_line:
                        misses.append("%s: exit %d, %r" % (kind, got, output.strip()))
                    results.append((index, kind, got, peak))
                    index += 1
        seconds = time.monotonic() - start
        time.sleep(1)  # log-outs on their way arrive
        sessions = sim.control({"target": "xenapi", "cmd": "sessions"})
        sim_after = rss_kib(sim.proc.pid)
    finally:
        sim.stop()

    first = [r[3] for r in results[:BLOCK]]
    last = [r[3] for r in results[-BLOCK:]]
    by_kind = {}
    for _, kind, _, peak in results:
        by_kind.setdefault(kind, []).append(peak)
    growth = statistics.mean(last) - statistics.mean(first)
    flat = abs(growth) <= 256 and sim_after - sim_before <= 2048
    ok = not misses and sessions["live"] == 0 and flat
    with open(out_path, "w") as f:
        f.write("## check_xenvm soak\n\n")
        f.write("%d whole checks by `bench/cli/soak.sh` against one simulated host (current profile), %d at a "
                "time, in blocks of 100: 40 OK, 20 CRITICAL (VM in the wrong state), 20 CRITICAL (unknown VM), "
                "20 UNKNOWN at the deadline (the metrics export hangs, `-t 4`, all 20 at once). Targets: every "
                "outcome as expected, no live session on the server at the end, the check's peak RSS flat "
                "(mean of the last 100 runs within 256 KiB of the first 100) and the simulated host's RSS "
                "within 2 MiB.\n\n" % (len(results), PARALLEL))
        f.write("| What | Result |\n|---|---|\n")
        f.write("| runs, wall time | %d in %.0f s |\n" % (len(results), seconds))
        f.write("| unexpected outcomes | %d |\n" % len(misses))
        f.write("| sessions on the server at the end | live %d (logins %s, logouts %s) |\n"
                % (sessions["live"], sessions.get("logins", "?"), sessions.get("logouts", "?")))
        f.write("| check peak RSS, first 100 runs | mean %.0f KiB, max %d KiB |\n"
                % (statistics.mean(first), max(first)))
        f.write("| check peak RSS, last 100 runs | mean %.0f KiB, max %d KiB |\n"
                % (statistics.mean(last), max(last)))
        for kind, peaks in by_kind.items():
            f.write("| check peak RSS, %s runs | mean %.0f KiB |\n" % (kind, statistics.mean(peaks)))
        f.write("| simulated host RSS, after warm-up / at the end | %d / %d KiB |\n" % (sim_before, sim_after))
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
