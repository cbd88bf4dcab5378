#!/usr/bin/env python3
"""check_xenvm driven as a monitoring host runs it, against simulated hosts of its own
(127.0.0.1): both protocols, and each XenAPI profile the simulated host offers.

CHECK_XENVM names the built command; VANTREL_SOURCE_DIR and VANTREL_BINARY_DIR come from
the test registration."""
import base64
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE = os.environ.get("VANTREL_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
BINARY = os.environ.get("VANTREL_BINARY_DIR") or os.path.join(SOURCE, "build", "native")
COMMAND = os.environ.get("CHECK_XENVM") or os.path.join(BINARY, "cli", "check_xenvm")
CERTS = os.path.join(BINARY, "sim-certs")
PASSWORD = "xenroot"

sys.path.insert(0, os.path.join(SOURCE, "sim", "testing"))
from simhost import PROFILES, SimHost  # noqa: E402

# One performance-data item: label=value[UOM];[warn];[crit];[min];[max]
# (the fields after the value may be left off from the right).
PERF_ITEM = re.compile(r"^([a-z_]+)=(-?[0-9]+(?:\.[0-9]+)?)(%|)(?:;([^;]*)(?:;([^;]*)(?:;([^;]*)(?:;([^;]*))?)?)?)?$")


class SilentServer:
    """Accepts connections on 127.0.0.1 and never says a word."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        try:
            while True:
                self.held.append(self.sock.accept()[0])
        except OSError:
            pass

    def stop(self):
        self.sock.close()
        for c in self.held:
            c.close()


def run(args, password=PASSWORD, env_extra=None, timeout=60):
    env = {k: v for k, v in os.environ.items() if k != "XEN_PASSWORD"}
    if password is not None:
        env["XEN_PASSWORD"] = password
    env.update(env_extra or {})
    p = subprocess.run([COMMAND] + args, capture_output=True, text=True, env=env, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def parse_perfdata(text):
    """{label: (value, uom, warn, crit, min, max)} of the first line's performance data."""
    first = text.splitlines()[0]
    assert "|" in first, first
    items = {}
    for item in first.split("|", 1)[1].split():
        m = PERF_ITEM.match(item)
        assert m, "not performance data: %r in %r" % (item, first)
        items[m.group(1)] = (float(m.group(2)), m.group(3), m.group(4), m.group(5), m.group(6), m.group(7))
    return items


class Backends:
    """The command's options for each back end under test: (name, sim, options)."""

    @classmethod
    def setUpClass(cls):
        subprocess.run([os.path.join(SOURCE, "sim", "make_certs.sh"), CERTS], check=True)
        cls.sims = []
        cls.backends = []
        for profile in PROFILES:
            sim = SimHost(CERTS, profile)
            cls.sims.append(sim)
            cls.backends.append(("xenapi-%s" % (profile or "default"), sim,
                                 ["-H", "127.0.0.1", "-p", str(sim.ports["xenapi"]), "-u", "root"]))
        sim = cls.sims[0]
        cls.backends.append(("xen3", sim, ["-H", "127.0.0.1", "-P", "3", "-p", str(sim.ports["xen3"]),
                                           "--certs", CERTS, "-u", "root"]))

    @classmethod
    def tearDownClass(cls):
        # Every host is stopped, even after one fails for sessions it was left with.
        errors = []
        for sim in cls.sims:
            try:
                sim.stop()
            except Exception as exc:
                errors.append(exc)
        if errors:
            raise AssertionError("; ".join(str(e) for e in errors))

    def check(self, options, args, expect_code, **kw):
        code, out, err = run(options + args, **kw)
        self.assertEqual(err, "", "something on standard error")
        self.assertNotIn("receive", out.lower())  # the xen3 receiver's trace lines
        self.assertEqual(code, expect_code, out)
        return out


class CheckTest(Backends, unittest.TestCase):
    def test_sentences_and_exit_codes(self):
        for name, sim, o in self.backends:
            with self.subTest(backend=name):
                out = self.check(o, ["-m", "web01"], 0)
                self.assertTrue(out.startswith("XEN OK - Virtual machine (web01) is UP | "), out)
                out = self.check(o, ["-m", "mail01", "-s", "SUSPENDED"], 0)
                self.assertTrue(out.startswith("XEN OK - Virtual machine (mail01) is SUSPENDED | "), out)
                out = self.check(o, ["-m", "build01"], 2)
                self.assertTrue(out.startswith(
                    "XEN CRITICAL - Virtual machine (build01) is in a DOWN state while it should be UP | "), out)
                out = self.check(o, ["-m", "web1"], 2)
                self.assertEqual(out, "XEN CRITICAL - Can't get the state of this (web1) virtual machine, "
                                      "it's not listed as a known one\n")
                out = self.check(o, ["-m", "WEB01"], 2)  # names compare exactly
                self.assertIn("it's not listed as a known one", out)
                out = self.check(o, [], 0)
                self.assertTrue(out.startswith("XEN OK - 4 registered virtual machine(s) on this server | "), out)
                if name == "xenapi-legacy":  # no bulk reads: a VM deleted as the list is read is left out
                    sim.control({"target": "xenapi", "cmd": "fault", "mode": "error", "method": "VM.get_record",
                                 "count": 1, "description": ["HANDLE_INVALID", "VM", "OpaqueRef:gone"]})
                    try:
                        out = self.check(o, [], 0)
                    finally:
                        sim.control({"target": "xenapi", "cmd": "clear_faults"})
                    self.assertTrue(out.startswith("XEN OK - 3 registered virtual machine(s) on this server | "), out)
                # Also where the server has no lookup by name: the VM found in the list has
                # its figures all the same.
                unknown = {"target": "xenapi", "cmd": "fault", "mode": "error", "method": "VM.get_by_name_label",
                           "description": ["MESSAGE_METHOD_UNKNOWN", "VM.get_by_name_label"]}
                for fault in [None] if name == "xen3" else [None, unknown]:
                    if fault:
                        sim.control(fault)
                    try:
                        out = self.check(o, ["-m", "web01", "-v"], 0)
                    finally:
                        sim.control({"target": "xenapi", "cmd": "clear_faults"})
                    lines = out.splitlines()
                    self.assertEqual(len(lines), 3, out)
                    self.assertTrue(lines[1].startswith("Host xenhost01 "), out)
                    self.assertTrue(lines[2].startswith("VM web01: UP, 2 vCPUs, 2048 MiB, cpu "), out)
                    self.assertIn("cpu", parse_perfdata(out))

    def test_no_virtual_machines_is_critical(self):
        for sim in self.sims:
            inventory = json.load(open(os.path.join(SOURCE, "sim", "inventory.json")))
            inventory["vms"] = [vm for vm in inventory["vms"] if vm.get("is_control_domain")]
            sim.control({"cmd": "load", "inventory": inventory})
        try:
            for name, sim, o in self.backends:
                with self.subTest(backend=name):
                    out = self.check(o, ["-m", "web01"], 2)
                    self.assertTrue(out.startswith(
                        "XEN CRITICAL - No registered virtual machines on this server | "), out)
                    self.assertEqual(parse_perfdata(out)["vms"][0], 0)
        finally:
            for sim in self.sims:
                sim.control({"cmd": "reset"})

    def test_one_vm_check_reads_that_vm_alone(self):
        # A template named as a VM (listed first), and a pool of 1,000 other VMs or none.
        with open(os.path.join(SOURCE, "sim", "inventory.json")) as f:
            base = json.load(f)
        base["vms"].insert(0, {"uuid": "00000000-0000-4000-9000-000000000009", "name": "web01",
                               "is_a_template": True})
        others = [{"uuid": "00000000-0000-4000-8000-%012d" % i, "name": "pool%d" % i, "power_state": "Running",
                   "vcpus": 1, "vcpu_utilisation": [0.1], "memory_mib": 512, "memory_free_mib": 128}
                  for i in range(1000)]
        try:
            for name, sim, o in self.backends[:len(self.sims)]:
                with self.subTest(backend=name):
                    used = {}  # (VM, pool size): (requests, TLS connections)
                    for n in (1000, 0):
                        sim.control({"cmd": "load", "inventory": dict(base, vms=base["vms"] + others[:n])})
                        for args, expect in ((["-m", "db01"], "XEN OK - Virtual machine (db01) is UP | "),
                                             (["-m", "web01", "-v"], "\nVM web01: UP, 2 vCPUs, 2048 MiB, cpu ")):
                            vm = args[1]  # web01: the VM, not the template
                            sim.control({"target": "xenapi", "cmd": "clear_calls"})
                            self.assertIn(expect, self.check(o, args, 0))
                            calls = sim.control({"target": "xenapi", "cmd": "calls"})
                            used[vm, n] = (calls["count"], calls["connections"]["master"])
                            self.assertEqual(sim.wait_no_sessions()["live"], 0)
                    for vm in ("db01", "web01"):
                        if name == "xenapi-current":  # -v (web01) reads the host's memory total too
                            self.assertLessEqual(used[vm, 1000][0], 6 if vm == "db01" else 7, used)
                            self.assertEqual(used[vm, 1000][1], 1, used)  # the log-out's too
                        else:  # the metric calls: as many whatever the pool's size
                            self.assertEqual(used[vm, 0], used[vm, 1000], used)
                    sim.control({"target": "xenapi", "cmd": "clear_calls"})
                    out = self.check(o, [], 0)  # the template is no VM of the count
                    self.assertTrue(out.startswith("XEN OK - 4 registered virtual machine(s)"), out)
                    # The count reads the list once, on one connection, and no VM's metrics.
                    calls = sim.control({"target": "xenapi", "cmd": "calls"})
                    self.assertEqual(calls["connections"]["master"], 1, calls)
                    self.assertFalse([m for m in calls["methods"] if m.startswith("VM_")], calls)
                    if name == "xenapi-current":
                        self.assertEqual(calls["methods"].count("VM.get_all_records_where"), 1, calls)
                    self.assertEqual(sim.wait_no_sessions()["live"], 0)
        finally:
            for sim in self.sims:
                sim.control({"cmd": "reset"})

    def test_kept_connection_in_a_pool(self):
        sim, o = self.sims[0], self.backends[0][2]  # the current profile
        web01 = next(vm["uuid"] for vm in json.load(open(os.path.join(SOURCE, "sim", "inventory.json")))["vms"]
                     if vm["name"] == "web01" and not vm.get("is_a_template"))
        try:
            # The host's memory in the -v line is the server's figure whether the check
            # reads one VM or all of them (the export rounds it to five digits).
            hosts = [re.search(r"\d+ CPUs, \d+ MiB", self.check(o, args, 0).splitlines()[1]).group(0)
                     for args in (["-v"], ["-m", "web01", "-v"])]
            self.assertEqual(hosts[0], hosts[1])
            # The VM on the member: its figures from the member's export, and the master's
            # kept connection still carries the log-out.
            sim.control({"target": "xenapi", "cmd": "move_vm", "uuid": web01, "host": "member"})
            sim.control({"target": "xenapi", "cmd": "clear_calls"})
            self.check(o, ["-m", "web01"], 0)
            calls = sim.control({"target": "xenapi", "cmd": "calls"})
            self.assertEqual(calls["connections"], {"master": 1, "member": 1, "ipv6": 0}, calls)
            # ... and the member's export carries that VM's columns alone.
            member_exports = [m for m, where in zip(calls["methods"], calls["listeners"])
                              if where == "member" and m.startswith("GET /rrd_updates")]
            self.assertTrue(member_exports, calls)
            self.assertTrue(all("vm_uuid=" + web01 in m for m in member_exports), member_exports)
            # Named by the member, whose login sends the check to the master: the VM's
            # figures still come from the member, one connection to each host.
            sim.control({"target": "xenapi", "cmd": "clear_calls"})
            out = self.check(["-H", "127.0.0.2"] + o[2:], ["-m", "web01", "-v"], 0)
            calls = sim.control({"target": "xenapi", "cmd": "calls"})
            self.assertTrue(out.splitlines()[1].startswith("Host member02 "), out)
            self.assertEqual(calls["connections"], {"master": 1, "member": 1, "ipv6": 0}, calls)
            self.assertEqual([m.split("?")[0] for m, where in zip(calls["methods"], calls["listeners"])
                              if where == "member"],
                             ["session.login_with_password", "GET /rrd_updates"], calls)
            # A toolstack restart during the name lookup, and the server drops the new login
            # it has read: the login is not sent again (it may have been carried out), so
            # the check fails and no session is left.
            sim.control({"target": "xenapi", "cmd": "clear_calls"})
            sim.control({"target": "xenapi", "cmd": "fault", "mode": "delay", "method": "VM.get_by_name_label",
                         "seconds": 1.5, "count": 1})

            def restart():
                end = time.monotonic() + 10
                while time.monotonic() < end and "VM.get_by_name_label" not in \
                        sim.control({"target": "xenapi", "cmd": "calls"})["methods"]:
                    time.sleep(0.02)
                sim.control({"target": "xenapi", "cmd": "forget_sessions"})
                sim.control({"target": "xenapi", "cmd": "fault", "mode": "drop",
                             "method": "session.login_with_password", "count": 1})
            t = threading.Thread(target=restart)
            t.start()
            out = self.check(o, ["-m", "web01"], 3)
            t.join()
            methods = sim.control({"target": "xenapi", "cmd": "calls"})["methods"]
            self.assertEqual(methods.count("session.login_with_password"), 2, (out, methods))
        finally:
            sim.control({"cmd": "reset"})
            sim.control({"target": "xenapi", "cmd": "move_vm", "uuid": web01, "host": "master"})
        self.assertEqual(sim.wait_no_sessions()["live"], 0)

    def test_performance_data(self):
        sources = {"xenapi-current": "metrics export", "xenapi-legacy": "metric calls", "xen3": "agent"}
        for name, sim, o in self.backends:
            with self.subTest(backend=name):
                out = self.check(o, ["-m", "web01", "-v", "-w", "cpu=90,network=~:500", "-c", "memory=@99:100"], 0)
                vm = parse_perfdata(out)
                self.assertEqual(list(vm), ["cpu", "memory", "network_kibps", "disk_kibps"])
                self.assertEqual(vm["cpu"][1:], ("%", "90", "", "0", "100"))
                self.assertEqual(vm["memory"][1:], ("%", "", "@99:100", "0", "100"))
                self.assertEqual(vm["network_kibps"][1:], ("", "~:500", "", "0", None))
                self.assertEqual(vm["disk_kibps"][1:], ("", "", "", "0", None))
                # web01 is loaded in every figure: two vCPUs near 30 %, 1.5 of 2 GiB in
                # use, 15 KiB/s on its interface and 60 KiB/s on its disk.
                self.assertTrue(20 < vm["cpu"][0] < 40, vm)
                self.assertTrue(60 < vm["memory"][0] < 90, vm)
                self.assertTrue(vm["network_kibps"][0] > 0 and vm["disk_kibps"][0] > 0, vm)
                self.assertIn(", cpu %.1f%% (%s)" % (vm["cpu"][0], sources[name]), out.splitlines()[2])
                # The host's figures are labelled as the host's; XenAPI measures no host
                # disk figure, so there is none.
                host = parse_perfdata(self.check(o, [], 0))
                disk = ["host_disk_kibps"] if name == "xen3" else []
                self.assertEqual(list(host), ["host_cpu", "host_memory", "host_network_kibps"] + disk +
                                 ["vms", "running"])
                self.assertEqual(host["host_cpu"][1:], ("%", "", "", "0", "100"))
                self.assertEqual(host["vms"], (4, "", "", "", "0", None))
                self.assertEqual(host["running"], (2, "", "", "", "0", None))
                self.assertTrue(host["host_cpu"][0] > 0 and host["host_memory"][0] > 0 and
                                host["host_network_kibps"][0] > 0, host)
        # A VM without guest tools has no measured memory figure (XenAPI; the agent
        # measures it itself).
        with open(os.path.join(SOURCE, "sim", "inventory.json")) as f:
            inventory = json.load(f)
        for vm in inventory["vms"]:
            if vm["name"] == "web01":
                vm["guest_tools"] = False
        for name, sim, o in self.backends[:-1]:
            with self.subTest(backend=name, guest_tools=False):
                sim.control({"cmd": "load", "inventory": inventory})
                try:
                    out = self.check(o, ["-m", "web01", "-v", "-c", "memory=1"], 0)
                finally:
                    sim.control({"cmd": "reset"})
                self.assertEqual(list(parse_perfdata(out)), ["cpu", "network_kibps", "disk_kibps"])
                self.assertIn("is UP, memory not measured | ", out)
                self.assertIn(", memory not measured, ", out.splitlines()[2])

    def test_thresholds(self):
        name, sim, o = self.backends[0]
        vm = ["-m", "web01"]
        cases = [  # (options, exit code, text after the sentence)
            (["-w", "cpu=1"], 1, ", cpu "),
            (["-c", "cpu=1"], 2, ", cpu "),
            (["-w", "cpu=~:100", "-c", "cpu=@0:100"], 2, "(critical @0:100)"),
            (["-w", "memory=1", "-c", "cpu=1"], 2, "(warning 1)"),  # the worst wins, both noted
            (["-w", "cpu=10:,memory=10:100,network=~:100000,disk=0:"], 0, " | "),
            (["-w", "disk=@0:1"], 0, " | "),
            (["-w", "network=@1:"], 1, ", network "),
        ]
        for args, code, text in cases:
            with self.subTest(args=args):
                out = self.check(o, vm + args, code)
                self.assertIn(text, out.splitlines()[0])
                self.assertIn("Virtual machine (web01) is UP", out)
        out = self.check(o, ["-m", "build01", "-w", "cpu=~:100"], 2)  # a state mismatch stays CRITICAL
        self.assertIn("is in a DOWN state while it should be UP", out)
        out = self.check(o, ["-w", "cpu=1"], 1)  # inventory against the host's figures
        self.assertTrue(out.startswith("XEN WARNING - 4 registered virtual machine(s) on this server, cpu "), out)
        for bad in ["cpu", "cpu=", "cpu=20:10", "cpu=abc", "load=10", "cpu=1,cpu=2", "cpu=1,"]:
            with self.subTest(bad=bad):
                out = self.check(o, vm + ["-w", bad], 3)
                self.assertTrue(out.startswith("XEN UNKNOWN - "), out)
                self.assertIn("Usage: check_xenvm", out)

    def test_parameter_string(self):
        for name, sim, o in self.backends:
            with self.subTest(backend=name):
                xvr = "3" if name == "xen3" else "4"
                port = ["-p", str(sim.ports["xen3" if xvr == "3" else "xenapi"])]
                certs = ["--certs", CERTS] if xvr == "3" else []
                pwd = base64.b64encode(PASSWORD.encode()).decode()
                param = "#VSTP=XEN#USR=root#PWD=%s#XVR=%s#VMN=web01#VMS=UP#" % (pwd, xvr)
                # The string's password, also when XEN_PASSWORD says otherwise.
                out = self.check(["-H", "127.0.0.1"] + port + certs + ["--parameter", param], [], 0, password="wrong")
                self.assertTrue(out.startswith("XEN OK - Virtual machine (web01) is UP | "), out)
                # Keys in any case and order, no final "#", an empty VM name counts the VMs;
                # a state given as an option wins over the string's.
                param = "#vmn=#usr=root#xvr=%s#pwd=%s" % (xvr, pwd)
                out = self.check(["-H", "127.0.0.1"] + port + certs + ["--parameter", param], [], 0, password=None)
                self.assertTrue(out.startswith("XEN OK - 4 registered virtual machine(s)"), out)
                param = "#USR=root#PWD=%s#XVR=%s#VMN=mail01#VMS=UP#" % (pwd, xvr)
                self.check(["-H", "127.0.0.1"] + port + certs + ["--parameter", param], [], 2, password=None)
                self.check(["-H", "127.0.0.1"] + port + certs + ["--parameter", param, "-s", "SUSPENDED"], [], 0,
                           password=None)

    def test_windows_password_in_the_parameter_string(self):
        # The Windows check keeps the password's Windows-1252 bytes in Base64: XenAPI gets
        # them as UTF-8, the xen3 agent the same bytes. A password file stays UTF-8.
        secret = "P\u00e4ss\u20ac"
        pwd = base64.b64encode(secret.encode("cp1252")).decode()
        sim = self.sims[0]
        sim.control({"target": "xenapi", "cmd": "set_credentials", "username": "root", "password": secret})
        sim.control({"target": "xen3", "cmd": "set_credentials", "username": "root",
                     "password": secret.encode("cp1252").decode("latin-1")})  # the agent reads Latin-1
        with tempfile.NamedTemporaryFile("w", encoding="utf-8", delete=False) as f:
            f.write(secret + "\n")
        try:
            for xvr, port in (("4", sim.ports["xenapi"]), ("3", sim.ports["xen3"])):
                with self.subTest(xvr=xvr):
                    param = "#VSTP=XEN#USR=root#PWD=%s#XVR=%s#VMN=web01#VMS=UP#" % (pwd, xvr)
                    self.check(["-H", "127.0.0.1", "-p", str(port), "--certs", CERTS, "--parameter", param], [], 0,
                               password=None)
            self.check(self.backends[0][2] + ["--password-file", f.name, "-m", "web01"], [], 0, password=None)
        finally:
            os.unlink(f.name)
            for target in ("xenapi", "xen3"):
                sim.control({"target": target, "cmd": "set_credentials", "username": None, "password": None})

    def test_only_known_states(self):
        o = ["-H", "127.0.0.9", "-u", "root", "-m", "web01"]  # refused before any connection
        for args in (["-s", "RUNNING"], ["-s", "up"], ["-P", "3", "-s", "Running"],
                     ["--parameter", "#USR=root#PWD=eA==#XVR=4#VMN=web01#VMS=STARTING#"]):
            with self.subTest(args=args):
                out = self.check(o, args, 3)
                self.assertRegex(out, r"^XEN UNKNOWN - unknown state '[A-Za-z]+': "
                                      r"the state is one of UP, DOWN, PAUSED, SUSPENDED\nUsage: ")

    def test_failures_are_unknown_with_the_connectors_message(self):
        xenapi = self.backends[0][2]
        xen3 = self.backends[-1][2]
        self.assertEqual(self.check(xenapi, ["-m", "web01"], 3, password="wrong"),
                         "XEN UNKNOWN - Wrong user or password\n")
        self.assertEqual(self.check(xen3, ["-m", "web01"], 3, password="wrong"),
                         "XEN UNKNOWN - Connection to server lost\n")
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        port = str(closed.getsockname()[1])  # bound, not listening: connections are refused
        try:
            # The host and port named, then the system's reason (through libcurl for XenAPI).
            for proto in ("4", "3"):
                out = self.check(["-H", "127.0.0.1", "-P", proto, "-p", port, "--certs", CERTS, "-u", "root"], [], 3)
                self.assertEqual(out, "XEN UNKNOWN - Cannot connect to 127.0.0.1 port %s: Connection refused\n" % port)
        finally:
            closed.close()
        # xen3 without client certificates fails before any traffic.
        empty = tempfile.mkdtemp()
        out = self.check(xen3 + ["--certs", empty], [], 3)
        self.assertTrue(out.startswith("XEN UNKNOWN - "), out)
        os.rmdir(empty)

    def test_deadline_against_a_silent_server(self):
        silent = SilentServer()
        try:
            for proto in ["4", "3"]:
                with self.subTest(protocol=proto):
                    out = self.check(["-H", "127.0.0.1", "-P", proto, "-p", str(silent.port), "--certs", CERTS,
                                      "-u", "root", "-t", "3"], [], 3, timeout=30)
                    # XenAPI: the request ends before the deadline (the log-out's time is
                    # kept), with the transport's words; xen3: at the deadline.
                    self.assertTrue(out.startswith("XEN UNKNOWN - timed out after 3 s while opening the session"), out)
        finally:
            silent.stop()

    def test_deadline_logs_out_first(self):
        sim = self.sims[0]  # current: the figures come from the export, which hangs here
        sim.control({"target": "xenapi", "cmd": "fault", "mode": "hang", "method": "GET /rrd_updates"})
        try:
            before = sim.sessions()
            out = self.check(self.backends[0][2], ["-m", "web01", "-t", "4"], 3)
            self.assertTrue(out.startswith("XEN UNKNOWN - timed out after 4 s while "), out)
            after = sim.sessions()
            self.assertGreater(after["logins"], before["logins"])
            self.assertEqual(after["live"], 0, after)
            # A login the server answers after the check's work time, before its end: the
            # session it made is logged out.
            sim.control({"target": "xenapi", "cmd": "clear_faults"})
            sim.control({"target": "xenapi", "cmd": "fault", "mode": "delay", "method": "session.login_with_password",
                         "seconds": 2.5})
            out = self.check(self.backends[0][2], ["-m", "web01", "-t", "4"], 3)
            self.assertTrue(out.startswith("XEN UNKNOWN - timed out after 4 s while opening the session"), out)
            after = sim.sessions()
            self.assertEqual(after["live"], 0, after)
        finally:
            sim.control({"target": "xenapi", "cmd": "clear_faults"})

    def test_signals_log_out_within_a_second(self):
        # The signal comes while a request is stuck (the export, which hangs), some time
        # after the request began: it ends at once, and the log-out fits in the second
        # the check has.
        sim = self.sims[0]
        sim.control({"target": "xenapi", "cmd": "fault", "mode": "hang", "method": "GET /rrd_updates"})
        try:
            for sig, name in ((signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT")):
                with self.subTest(signal=name):
                    env = dict(os.environ, XEN_PASSWORD=PASSWORD)
                    known = {s["ref"] for s in sim.sessions()["sessions"]}
                    sim.control({"target": "xenapi", "cmd": "clear_calls"})
                    p = subprocess.Popen([COMMAND] + self.backends[0][2] + ["-m", "web01", "-t", "30"],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
                    try:
                        for _ in range(400):
                            calls = sim.control({"target": "xenapi", "cmd": "calls"})["methods"]
                            if any(c.startswith("GET /rrd_updates") for c in calls):
                                break
                            time.sleep(0.02)
                        time.sleep(0.3)
                        new = [s for s in sim.sessions()["sessions"] if s["ref"] not in known]
                        # The server counts the check's sessions by its originator.
                        self.assertEqual([s["originator"] for s in new], ["check_xenvm"])
                        p.send_signal(sig)
                        out, err = p.communicate(timeout=20)
                    finally:
                        p.kill()
                    self.assertEqual((p.returncode, err), (3, ""), out)
                    self.assertTrue(out.startswith("XEN UNKNOWN - terminated by %s while " % name), out)
                    self.assertEqual([s for s in sim.sessions()["sessions"] if s["ref"] not in known], [])
        finally:
            sim.control({"target": "xenapi", "cmd": "clear_faults"})

    def test_ca_file_and_pin(self):
        name, sim, o = self.backends[0]
        ca = os.path.join(CERTS, "xenapi-ca.pem")
        with open(os.path.join(CERTS, "xenapi-pin.txt")) as f:
            pin = f.read().strip()
        scratch = tempfile.mkdtemp()
        try:
            # An unrelated CA, while the host's CA is where the default store looks.
            other = os.path.join(scratch, "other-ca.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                            os.path.join(scratch, "other-key.pem"), "-out", other, "-days", "2", "-subj",
                            "/CN=Unrelated CA"], check=True, capture_output=True)
            store_dir = os.path.join(scratch, "store")
            os.mkdir(store_dir)
            shutil.copy(ca, store_dir)
            subprocess.run(["openssl", "rehash", store_dir], check=True, capture_output=True)
            store = {"SSL_CERT_FILE": ca, "SSL_CERT_DIR": store_dir, "CURL_CA_BUNDLE": ca}
            wrong_pin = "sha256//" + base64.b64encode(hashlib.sha256(b"another key").digest()).decode()
            for args, code in ((["--ca-file", ca], 0), (["--pin", pin], 0), (["--ca-file", ca, "--pin", pin], 0),
                               (["--ca-file", other], 3), (["--pin", wrong_pin], 3),
                               (["--ca-file", ca, "--pin", wrong_pin], 3)):
                with self.subTest(args=args):
                    sim.control({"target": "xenapi", "cmd": "clear_calls"})
                    out = self.check(o, ["-m", "web01"] + args, code, env_extra=store)
                    if code == 0:
                        self.assertTrue(out.startswith("XEN OK - Virtual machine (web01) is UP"), out)
                    else:
                        # The TLS library's reason, and not a byte of the log-in sent.
                        self.assertRegex(out, r"^XEN UNKNOWN - .*(certificate|public key)", out)
                        self.assertEqual(sim.control({"target": "xenapi", "cmd": "calls"})["count"], 0)
        finally:
            subprocess.run(["rm", "-rf", scratch])
        out = self.check(o, ["--ca-file", "/nonexistent/ca.pem"], 3)
        self.assertTrue(out.startswith("XEN UNKNOWN - cannot read the CA file /nonexistent/ca.pem"), out)
        out = self.check(o, ["--pin", "/etc/ssl/private/key.pem"], 3)  # never a file name for the TLS library
        self.assertTrue(out.startswith("XEN UNKNOWN - invalid --pin"), out)

    def test_no_password_on_the_command_line(self):
        silent = SilentServer()
        secret = "s3cret-Pa55"
        with tempfile.NamedTemporaryFile("w", suffix=".pw", delete=False) as f:
            f.write(secret + "\nsecond line\n")
        encoded = base64.b64encode(secret.encode()).decode()
        try:
            for args in (["--password-file", f.name], ["--parameter", "#USR=root#PWD=%s#XVR=4#" % encoded]):
                env = {k: v for k, v in os.environ.items() if k != "XEN_PASSWORD"}
                p = subprocess.Popen([COMMAND, "-H", "127.0.0.1", "-p", str(silent.port), "-u", "root",
                                      "-t", "3"] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
                try:
                    time.sleep(0.5)
                    with open("/proc/%d/cmdline" % p.pid, "rb") as c:
                        cmdline = c.read()
                finally:
                    out, err = p.communicate(timeout=30)
                self.assertIn(b"-H\x00127.0.0.1", cmdline)
                self.assertNotIn(secret.encode(), cmdline)
                self.assertNotIn(encoded.encode(), cmdline)
                self.assertEqual((p.returncode, err), (3, b""), out)
                self.assertTrue(out.startswith(b"XEN UNKNOWN - timed out after 3 s while opening the session"), out)
            out = self.check(["-H", "127.0.0.1", "--password", secret, "-u", "root"], [], 3)
            self.assertIn("not taken on the command line", out)
        finally:
            os.unlink(f.name)
            silent.stop()
        # The file's first line is the password.
        with tempfile.NamedTemporaryFile("w", delete=False) as f:
            f.write(PASSWORD + "\nignored\n")
        try:
            self.check(self.backends[0][2] + ["--password-file", f.name, "-m", "web01"], [], 0, password="wrong")
        finally:
            os.unlink(f.name)

    @unittest.skipUnless(os.geteuid() == 0, "needs the default ports 443 and 6936")
    def test_autodetect(self):
        # Other builds on this machine may hold the ports for a while.
        for attempt in range(30):
            try:
                sim = SimHost(CERTS, extra=["--xenapi-port", "443", "--xen3-port", "6936"])
                break
            except RuntimeError:
                time.sleep(2)
        else:
            self.skipTest("ports 443 and 6936 stayed busy")
        try:
            empty = tempfile.mkdtemp()
            for certs in (CERTS, empty):  # the agent, and without certificates XenAPI
                with self.subTest(certs=certs):
                    out = self.check(["-H", "127.0.0.1", "-P", "auto", "--certs", certs, "-u", "root",
                                      "-m", "web01", "-v"], [], 0)
                    self.assertTrue(out.startswith("XEN OK - Virtual machine (web01) is UP | "), out)
                    # the agent reports Xen's version, XenAPI the product's
                    self.assertIn("(Xen 4.1.2)" if certs == CERTS else "(Xen 6.0.2)", out)
            os.rmdir(empty)
        finally:
            sim.stop()

    @unittest.skipUnless(os.path.exists("/usr/bin/dpkg-deb"), "needs dpkg")
    def test_debian_package(self):
        scratch = tempfile.mkdtemp()
        try:
            deb = subprocess.run([os.path.join(SOURCE, "cli", "package-deb.sh"), COMMAND, scratch],
                                 capture_output=True, text=True, check=True).stdout.strip()
            fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Depends"], capture_output=True,
                                    text=True, check=True).stdout
            self.assertIn("Package: check-xenvm", fields)
            for dep in ("libcurl4", "libssl3", "libxml2"):
                self.assertIn(dep, fields)
            # Installed into a scratch root with an admin directory of its own; the
            # libraries it depends on are the machine's.
            root = os.path.join(scratch, "root")
            admin = os.path.join(root, "var", "lib", "dpkg")
            for d in ("updates", "info"):
                os.makedirs(os.path.join(admin, d))
            for f in ("status", "available"):
                open(os.path.join(admin, f), "w").close()
            subprocess.run(["dpkg", "--root=" + root, "--admindir=" + admin, "--force-depends",
                            "--force-not-root", "--log=/dev/null", "-i", deb], capture_output=True, check=True)
            installed = os.path.join(root, "usr", "lib", "nagios", "plugins", "check_xenvm")
            man = subprocess.run(["zcat", os.path.join(root, "usr", "share", "man", "man1", "check_xenvm.1.gz")],
                                 capture_output=True, text=True, check=True).stdout
            self.assertTrue(man.startswith(".TH CHECK_XENVM 1"), man[:40])
            name, sim, o = self.backends[0]
            p = subprocess.run([installed] + o + ["-m", "web01"], capture_output=True, text=True,
                               env=dict(os.environ, XEN_PASSWORD=PASSWORD), timeout=60)
            self.assertEqual((p.returncode, p.stderr), (0, ""), p.stdout)
            self.assertTrue(p.stdout.startswith("XEN OK - Virtual machine (web01) is UP | "), p.stdout)
        finally:
            subprocess.run(["rm", "-rf", scratch])

    def test_usage(self):
        code, out, err = run(["-h"])
        self.assertEqual((code, err), (0, ""))
        self.assertIn("Usage: check_xenvm -H HOST", out)
        self.assertIn("check_xenvm -H xenhost01 -P 3 -u root", out)  # an example for each protocol
        self.assertIn("XEN_PASSWORD=secret check_xenvm -H xenhost01 -u root -m web01", out)
        code, out, err = run(["--version"])
        self.assertEqual((code, err), (0, ""))
        self.assertRegex(out, r"^check_xenvm [0-9.]+\n$")
        for args in ([], ["-H", "h"], ["-H", "h", "-u", "root", "-P", "5"], ["-H", "h", "-u", "root", "-t", "0"], ["-H", "h", "-u", "root", "-t", "2"],
                     ["-H", "h", "-u", "root", "-p", "70000"], ["-H", "h", "-u", "root", "--bogus"],
                     ["-H", "h", "-u", "root", "-m"], ["-H", "h", "-u", "root", "extra"],
                     ["-H", "h", "-u", "root", "-P", "3", "--ca-file", "x"],
                     ["-H", "h", "-u", "root", "-P", "auto", "--pin", "sha256//x"]):
            with self.subTest(args=args):
                code, out, err = run(args)
                self.assertEqual((code, err), (3, ""))
                self.assertTrue(out.startswith("XEN UNKNOWN - "), out)
        code, out, err = run(["-H", "h", "-u", "root"], password=None)
        self.assertEqual(code, 3)
        self.assertIn("no password", out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
