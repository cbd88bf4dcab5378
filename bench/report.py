#!/usr/bin/env python3
"""Collects the benchmark outputs into bench/RESULTS.md and plots the scaling of the
session benchmarks with the VM count (gnuplot, PNG).

usage: report.py OUTPUT_DIR RESULTS.md scaling.png"""
import datetime
import os
import platform
import re
import subprocess
import sys

src, results, png = sys.argv[1:4]


def read(name):
    path = os.path.join(src, name)
    return open(path).read().strip() if os.path.exists(path) else "(not run)"


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return "%s, %d cores, %.0f GiB, Linux %s; Wine %s" % (
        cpu, os.cpu_count(), mem_kib / 2**20, platform.release(),
        subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip())


def table_rows(markdown):
    """(vm count, phase, seconds) from a markdown table with 'VMs'/'guests', phase and time columns."""
    rows, header = [], None
    for line in markdown.splitlines():
        if not line.startswith("|"):
            continue
        cells = [c.strip() for c in line.strip("|").split("|")]
        if header is None:
            header = [c.lower() for c in cells]
            continue
        if set(cells[0]) <= set("-: "):
            continue
        try:
            count = int(cells[0].replace(",", ""))
        except ValueError:
            continue
        phase_col = next((i for i, h in enumerate(header) if "phase" in h or "operation" in h), 1)
        time_col = next((i for i, h in enumerate(header) if h.startswith("time")), None)
        if time_col is None:
            continue
        try:
            seconds = float(re.sub(r"[^0-9.eE+-]", "", cells[time_col]))
        except ValueError:
            continue
        rows.append((count, cells[phase_col], seconds))
    return rows


def soak(name):
    """The soak's result line; the program's other output (trace lines) is left out."""
    lines = [l for l in read(name).splitlines() if l.startswith("sessions=")]
    return lines[-1] if lines else "(not run)"


def plot(series):
    data = []
    for label, rows in series:
        phases = {}
        for count, phase, seconds in rows:
            phases.setdefault(phase, []).append((count, seconds))
        for phase, points in phases.items():
            if len(points) < 2:
                continue
            path = os.path.join(src, re.sub(r"\W+", "_", label + "_" + phase) + ".dat")
            with open(path, "w") as f:
                for count, seconds in sorted(points):
                    f.write("%d %g\n" % (count, max(seconds, 1e-4)))
            data.append((path, "%s: %s" % (label, phase)))
    if not data:
        return False
    script = ['set terminal png size 900,600', 'set output "%s"' % png,
              'set title "Session cost against VM count (simulated host on 127.0.0.1)"',
              'set logscale xy', 'set xlabel "VMs"', 'set ylabel "seconds"', 'set key left top', 'set grid',
              'plot ' + ", ".join('"%s" using 1:2 with linespoints title "%s"' % d for d in data)]
    subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)
    return True


xen3, xen4 = read("xen3.md"), read("xen4.md")
plotted = plot([("xen3", table_rows(xen3)), ("xen4", table_rows(xen4))])
now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
text = f"""# Benchmark results

Measured {now} on {machine()}, by `bench/run.sh`. Every server is the simulated host
(`sim/`, Python) on 127.0.0.1, so the figures measure the client and the protocol's
cost on this machine, not a real Xen host. Targets: xen3 parser at 100 MB/s or more;
session phases within 1.2 of the protocol floor (a minimal client making the same
connections and exchanges against the same server).

## xen3 frame parser

{read("parser.md")}

## xen3 sessions

{xen3}

## xen4 sessions

{xen4}

{"![scaling](scaling.png)" if plotted else ""}

## Soak

Sessions created, updated and closed one after the other in one process; figures before
the first and after the last (after one warm-up session), and through the DLL the working
set after every tenth of the sessions. Nothing may grow.

| Where | Result |
|---|---|
| native, xen3 | `{soak("soak_native3.txt")}` |
| native, xen4 | `{soak("soak_native4.txt")}` |
| through Vantrel.dll under Wine, xen3 | `{soak("soak_wine2.txt")}` |
| through Vantrel.dll under Wine, xen4 | `{soak("soak_wine3.txt")}` |
"""
with open(results, "w") as f:
    f.write(text)
