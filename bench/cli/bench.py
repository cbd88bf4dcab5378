#!/usr/bin/env python3
"""One check of one VM, as a monitoring server runs it (a whole check_xenvm process:
start, connect, figures, log-out), beside xmlrpc_check.py, the same check written
carefully with Python's own XML-RPC client, in paired runs against the simulated host
with 1, 100 and 1,000 VMs on each XenAPI profile, straight to the host and through
DelayProxy (20 ms each way). Per check it also reads what the check cost: requests and
TLS connections (the simulated host's request log) and bytes the client received
(counted by the proxy). xen3 is measured alone (nothing else speaks it).

usage: bench.py CHECK_XENVM OUT.md [VM-COUNTS...]   (needs VANTREL_BINARY_DIR's sim-certs)"""
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "sim", "testing"))
sys.path.insert(0, HERE)
from delay_proxy import DelayProxy  # noqa: E402
from simhost import PROFILES, SimHost  # noqa: E402

DELAY = 0.020          # one way, through the proxy
CAP = 20               # seconds: a check still running then is stopped by its own -t
BUDGET = 15.0          # seconds one client may spend on the repetitions of one row
TARGET_RATIO = 0.8
TARGET_REQUESTS = 6
TARGET_TLS = 2
TARGET_BYTES = 0.10    # bytes received, 1,000 VMs against 1 VM


def inventory(n):
    vms = [{"uuid": "00000000-0000-4000-8000-%012d" % (i + 1), "name": "vm%d" % i, "power_state": "Running",
            "vcpus": 2, "vcpu_utilisation": [0.2, 0.4], "memory_mib": 4096, "memory_free_mib": 1024,
            "vifs": [{"read_kbs": 1.0, "write_kbs": 1.0}], "vbds": [{"read_kbs": 5.0, "write_kbs": 5.0}]}
           for i in range(n)]
    # A template and the control domain; the template shares the checked VM's name.
    vms += [{"uuid": "00000000-0000-4000-9000-000000000001", "name": "vm%d" % (n - 1), "is_a_template": True},
            {"uuid": "00000000-0000-4000-9000-000000000002", "name": "dom0", "is_control_domain": True,
             "power_state": "Running"}]
    return {"host": {"name": "benchhost", "description": "bench", "product_version": "6.0.2",
                     "memory_mib": 262144, "free_memory_mib": 65536,
                     "cpu_utilisation": [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8],
                     "pifs": [{"read_kbs": 1.0, "write_kbs": 2.0}, {"read_kbs": 3.0, "write_kbs": 4.0}]},
            "vms": vms}


class Cost:
    """What one client's runs in one row took: wall times, and the cost of one check."""

    def __init__(self):
        self.times, self.capped, self.requests, self.tls, self.received = [], False, None, None, None

    def median(self):
        return statistics.median(self.times) if self.times else None


def run_once(args, sim, proxy, cost):
    """One whole check; its wall time, or None when the check reached the cap."""
    sim.control({"target": "xenapi", "cmd": "clear_calls"})
    if proxy:
        proxy.reset()
    start = time.perf_counter()
    p = subprocess.run(args, capture_output=True, text=True, timeout=CAP + 30,
                       env=dict(os.environ, XEN_PASSWORD="xenroot"))
    elapsed = time.perf_counter() - start
    calls = sim.control({"target": "xenapi", "cmd": "calls"})
    cost.requests = calls["count"]
    cost.tls = calls["connections"]["master"] + calls["connections"]["member"]
    if proxy:
        cost.received = proxy.counts()["to_client"]
    if p.returncode == 0 and p.stdout.startswith("XEN OK - Virtual machine"):
        return elapsed
    if p.stdout.startswith("XEN UNKNOWN - timed out"):  # its -t: the work ends a reserve before it
        return None
    raise RuntimeError("%s: %d %s %s" % (args[0], p.returncode, p.stdout, p.stderr))


def paired(commands, sim, proxy, reps):
    """Alternating runs of each command (the order swapped every pair), each client up to
    reps runs within BUDGET seconds, a client stopped at the cap not run again."""
    costs = [Cost() for _ in commands]
    for rep in range(reps):
        order = list(range(len(commands)))[::-1 if rep % 2 else 1]
        for i in order:
            cost = costs[i]
            if cost.capped or (rep and sum(cost.times) > BUDGET):
                continue
            t = run_once(commands[i], sim, proxy, cost)
            if t is None:
                cost.capped = True
            else:
                cost.times.append(t)
    return costs


def seconds(cost):
    if cost.capped and not cost.times:
        return "> %d" % CAP
    return "%.3f" % cost.median()


def main():
    command, out = sys.argv[1], sys.argv[2]
    counts = [int(c) for c in sys.argv[3:]] or [1, 100, 1000]
    certs = os.path.join(os.environ.get("VANTREL_BINARY_DIR", os.path.join(SOURCE, "build", "native")), "sim-certs")
    subprocess.run([os.path.join(SOURCE, "sim", "make_certs.sh"), certs], check=True)
    rows, xen3 = [], []
    for profile in PROFILES:
        sim = SimHost(certs, profile, lifetime=3600)
        try:
            for n in counts:
                sim.control({"cmd": "load", "inventory": inventory(n)})
                vm = "vm%d" % (n - 1)  # the last VM of the list
                for delay in (0.0, DELAY):
                    proxy = DelayProxy(sim.ports["xenapi"], delay) if delay else None
                    try:
                        port = str(proxy.port if proxy else sim.ports["xenapi"])
                        cli = [command, "-H", "127.0.0.1", "-p", port, "-u", "root", "-m", vm, "-t", str(CAP)]
                        script = [sys.executable, os.path.join(HERE, "xmlrpc_check.py"), "127.0.0.1", port, "root", vm]
                        c, py = paired([cli, script], sim, proxy, 5 if n <= 100 else 3)
                    finally:
                        if proxy:
                            proxy.stop()
                    rows.append((profile, n, delay, c, py))
                if profile == PROFILES[0]:
                    cost = Cost()
                    xen3.append((n, paired([[command, "-H", "127.0.0.1", "-P", "3", "-p", str(sim.ports["xen3"]),
                                              "--certs", certs, "-u", "root", "-m", vm, "-t", str(CAP)]],
                                            sim, None, 3)[0]))
                print("%s: %s done" % (profile, vms(n)), file=sys.stderr)
        finally:
            sim.stop()  # fails when a check left a session live
    write(out, rows, xen3, counts)


def vms(n):
    return "1 VM" if n == 1 else "{:,} VMs".format(n)


def write(out, rows, xen3, counts):
    missed = []
    with open(out, "w") as f:
        f.write("## check_xenvm (Linux monitoring plug-in)\n\n")
        f.write("One check of one VM as a monitoring server runs it: a whole `check_xenvm -m VM` process (start, "
                "connect, figures, log-out) asking for the last VM of the pool, whose name a template shares, "
                "beside `bench/cli/xmlrpc_check.py`, the same check written carefully with Python's own "
                "`xmlrpc.client` (one kept-alive HTTPS connection; `VM.get_by_name_label`, `VM.get_record` of "
                "each VM of that name, the metrics export filtered to that VM with `vm_uuid=`, or on older "
                "servers, which have no export, that VM's metrics calls; log-out). `bench/cli/run.sh` runs both "
                "against the simulated host (both XenAPI profiles) at each pool size, straight to the host and "
                "through `bench/cli/delay_proxy.py`, a TCP proxy on 127.0.0.1 adding %d ms each way (and one "
                "round trip more before a new connection's first bytes, for the TCP handshake), in paired runs "
                "(the two clients alternate, the order swapped every pair): up to 5 pairs (3 at 1,000 VMs), "
                "fewer when a client's runs of one row pass %d s, and a check still running after %d s is "
                "ended by its own `-t` and not run again. Times are medians; the ratio is check_xenvm's median "
                "over the script's. Per check: requests and TLS connections as the simulated host counted them "
                "(its request log; it keeps a connection open between requests, as real servers do), and bytes the "
                "client received (TLS included) as the proxy counted them.\n\n"
                % (DELAY * 1000, BUDGET, CAP))
        f.write("Targets: check_xenvm at most %.1f of the script's wall time in every row; per one-VM check at "
                "most %d requests and %d TLS connections at every pool size; bytes received per check within "
                "%d%% between 1 and 1,000 VMs.\n\n" % (TARGET_RATIO, TARGET_REQUESTS, TARGET_TLS, TARGET_BYTES * 100))
        f.write("| profile | VMs | added delay | runs (check_xenvm, script) | check_xenvm (s) "
                "| Python xmlrpc.client (s) | ratio |\n")
        f.write("|---|---:|---|---:|---:|---:|---:|\n")
        for profile, n, delay, c, py in rows:
            if c.capped:
                ratio, text = None, "> %.1f" % (CAP / py.median())
            else:
                ratio = c.median() / py.median()
                text = "%.2f" % ratio
            if ratio is None or ratio > TARGET_RATIO:
                missed.append("wall time (%s, %s, %s)" % (profile, vms(n), "delayed" if delay else "direct"))
            f.write("| %s | %d | %s | %d, %d | %s | %s | %s |\n" % (
                profile, n, "%d ms each way" % (delay * 1000) if delay else "none",
                len(c.times) + c.capped, len(py.times), seconds(c), seconds(py), text))
        f.write("\nWhat one check cost (the delayed runs):\n\n")
        f.write("| profile | VMs | check_xenvm requests | TLS connections | bytes received "
                "| script requests | TLS connections | bytes received |\n")
        f.write("|---|---:|---:|---:|---:|---:|---:|---:|\n")
        received = {}
        for profile, n, delay, c, py in rows:
            if not delay:
                continue
            stopped = " (stopped at %d s)" % CAP if c.capped else ""
            f.write("| %s | %d | %d%s | %d | %d%s | %d | %d | %d |\n" % (
                profile, n, c.requests, stopped, c.tls, c.received, stopped, py.requests, py.tls, py.received))
            if c.capped or c.requests > TARGET_REQUESTS:
                missed.append("requests (%s, %s)" % (profile, vms(n)))
            if c.capped or c.tls > TARGET_TLS:
                missed.append("TLS connections (%s, %s)" % (profile, vms(n)))
            received[profile, n] = None if c.capped else c.received
        for profile in PROFILES:
            low, high = received.get((profile, min(counts))), received.get((profile, max(counts)))
            if min(counts) == max(counts):
                continue
            if low is None or high is None or abs(high - low) > TARGET_BYTES * low:
                missed.append("bytes received (%s, %s against %s)" % (profile, vms(max(counts)), vms(min(counts))))
        if xen3:
            f.write("\nxen3 (the agent protocol; no script speaks it), straight to the agent, median of up to 3 "
                    "runs:\n\n")
            f.write("| VMs | check_xenvm (s) |\n|---:|---:|\n")
            for n, cost in xen3:
                f.write("| %d | %s |\n" % (n, seconds(cost)))
        f.write("\nResult: %s.\n" % ("every target met" if not missed else "targets missed: " + "; ".join(missed)))


if __name__ == "__main__":
    main()
