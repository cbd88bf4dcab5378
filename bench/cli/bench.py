#!/usr/bin/env python3
"""Wall time of one check_xenvm run (a whole process: start, connect, figures, close)
against the simulated host with 1, 100 and 1,000 VMs, on XenAPI (each profile the
simulated host offers) and xen3, beside xmlrpc_check.py, the same check with Python's own
XML-RPC client on a kept-alive connection, measured in the same run.

usage: bench.py CHECK_XENVM OUT.md [VM-COUNTS...]   (needs VANTREL_BINARY_DIR's sim-certs)"""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "sim", "testing"))
from simhost import PROFILES, SimHost  # noqa: E402


def inventory(n):
    vms = [{"uuid": "00000000-0000-4000-8000-%012d" % (i + 1), "name": "vm%d" % i, "power_state": "Running",
            "vcpus": 2, "vcpu_utilisation": [0.2, 0.4], "memory_mib": 4096, "memory_free_mib": 1024,
            "vifs": [{"read_kbs": 1.0, "write_kbs": 1.0}], "vbds": [{"read_kbs": 5.0, "write_kbs": 5.0}]}
           for i in range(n)]
    vms += [{"uuid": "00000000-0000-4000-9000-000000000001", "name": "template", "is_a_template": True},
            {"uuid": "00000000-0000-4000-9000-000000000002", "name": "dom0", "is_control_domain": True}]
    return {"host": {"name": "benchhost", "description": "bench", "product_version": "6.0.2",
                     "memory_mib": 262144, "free_memory_mib": 65536,
                     "cpu_utilisation": [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8],
                     "pifs": [{"read_kbs": 1.0, "write_kbs": 2.0}, {"read_kbs": 3.0, "write_kbs": 4.0}]},
            "vms": vms}


def best(args, reps):
    """Best wall time of reps runs; each run must report OK."""
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        p = subprocess.run(args, capture_output=True, text=True, env=dict(os.environ, XEN_PASSWORD="xenroot"))
        times.append(time.perf_counter() - start)
        if p.returncode != 0 or not p.stdout.startswith("XEN OK - Virtual machine"):
            raise RuntimeError("%s: %d %s %s" % (args[0], p.returncode, p.stdout, p.stderr))
    return min(times)


def main():
    command, out = sys.argv[1], sys.argv[2]
    counts = [int(c) for c in sys.argv[3:]] or [1, 100, 1000]
    certs = os.path.join(os.environ.get("VANTREL_BINARY_DIR", os.path.join(SOURCE, "build", "native")), "sim-certs")
    subprocess.run([os.path.join(SOURCE, "sim", "make_certs.sh"), certs], check=True)
    profiles = PROFILES
    rows = []
    for profile in profiles:
        sim = SimHost(certs, profile, lifetime=7200)
        try:
            for n in counts:
                sim.control({"cmd": "load", "inventory": inventory(n)})
                reps = 5 if n <= 100 else 2
                vm = "vm%d" % (n - 1)  # the last VM of the list
                xenapi = [command, "-H", "127.0.0.1", "-p", str(sim.ports["xenapi"]), "-u", "root", "-m", vm, "-t", "300"]
                script = [sys.executable, os.path.join(HERE, "xmlrpc_check.py"), "127.0.0.1",
                          str(sim.ports["xenapi"]), "root", vm]
                t_cli, t_py = best(xenapi, reps), best(script, reps)
                rows.append((n, reps, "XenAPI" + (" (%s)" % profile if profile else ""), t_cli, t_py))
                if profile == profiles[0]:
                    xen3 = [command, "-H", "127.0.0.1", "-P", "3", "-p", str(sim.ports["xen3"]), "--certs", certs,
                            "-u", "root", "-m", vm, "-t", "300"]
                    rows.append((n, reps, "xen3", best(xen3, reps), None))
                print("%d VMs done" % n, file=sys.stderr)
        finally:
            sim.stop()
    missed = ["%s at %d VMs" % (proto, n) for n, _, proto, t_cli, t_py in rows if t_py is not None and t_cli >= t_py]
    with open(out, "w") as f:
        f.write("## check_xenvm (Linux monitoring plug-in)\n\n")
        f.write("Wall time of one whole check (process start, connect, figures, close) asking for the last VM "
                "of the list, best of the repetitions, by `bench/cli/run.sh`; beside it `bench/cli/xmlrpc_check.py`, "
                "the same check written with Python's own `xmlrpc.client` on one kept-alive HTTPS connection, in "
                "the same run. xen3 has no such script (nothing but this command speaks it). Target: faster "
                "than the script at every size.\n\n")
        f.write("| VMs | reps | protocol | check_xenvm (s) | Python xmlrpc.client (s) | ratio |\n")
        f.write("|---:|---:|---|---:|---:|---:|\n")
        for n, reps, proto, t_cli, t_py in rows:
            py = "%.3f" % t_py if t_py is not None else "-"
            ratio = "%.2f" % (t_cli / t_py) if t_py is not None else "-"
            f.write("| %d | %d | %s | %.3f | %s | %s |\n" % (n, reps, proto, t_cli, py, ratio))
        f.write("\nResult: %s.\n" % ("target met at every size" if not missed else
                                      "target missed for " + ", ".join(missed)))

if __name__ == "__main__":
    main()
