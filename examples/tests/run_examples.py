#!/usr/bin/env python3
"""Runs every example client of Vantrel under Wine against the simulated host and checks
what it prints, so that none of them rots.

usage: run_examples.py VANTREL_DLL LIST_VMS_EXE   (beside sim/xensim.py, Vantrel registered)
"""
import json
import os
import socket
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "automation", "tests"))
import winetools  # noqa: E402

EXAMPLES = os.path.dirname(HERE)
DLL, LIST_VMS = sys.argv[1], sys.argv[2]
XENAPI = os.environ.get("VANTREL_SIM_XENAPI_PORT", "0")
XEN3 = os.environ.get("VANTREL_SIM_XEN3_PORT", "0")
CONTROL = int(os.environ.get("VANTREL_SIM_CONTROL_PORT", "0"))
CREDS = ["/host:127.0.0.1", "/user:root", "/password:xenroot"]


def control(request):
    with socket.create_connection(("127.0.0.1", CONTROL)) as s:
        s.sendall((json.dumps(request) + "\n").encode())
        return json.loads(s.makefile().readline())


def cscript(name, *args):
    proc = winetools.wine("cscript", "//nologo", winetools.winpath(os.path.join(EXAMPLES, name)), *args,
                          timeout=120)
    return proc.returncode, proc.stdout.replace("\r\n", "\n")


class Examples(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        winetools.place_client_certificates(os.environ["VANTREL_SIM_CERTS"], os.path.dirname(DLL))
        winetools.keep_wineserver()

    def setUp(self):
        control({"cmd": "reset"})
        control({"cmd": "set_transition", "seconds": 0.5})

    def test_list_vms_over_both_protocols(self):
        for mode, port in (("3", XENAPI), ("2", XEN3)):
            rc, out = cscript("list_vms.vbs", *CREDS, "/mode:" + mode, "/port:" + port)
            self.assertEqual(0, rc, out)
            self.assertIn("Server       xenhost01 (Lab rack 3, dual socket)", out)
            self.assertIn("VMs          4", out)
            for name in ("web01", "db01", "build01", "mail01"):
                self.assertIn(name, out)
            self.assertNotIn("template", out)
            self.assertNotIn("Control domain", out)

    def test_list_vms_reports_a_refused_login(self):
        rc, out = cscript("list_vms.vbs", "/host:127.0.0.1", "/user:root", "/password:wrong", "/mode:3",
                          "/port:" + XENAPI)
        self.assertEqual(1, rc)
        self.assertIn("Cannot open a session (80043000): Wrong user or password", out)

    def test_power_operations_with_error_handling(self):
        common = CREDS + ["/mode:3", "/port:" + XENAPI]
        rc, out = cscript("power.vbs", *common, "/vm:build01", "/action:start", "/wait:12")
        self.assertEqual(0, rc, out)
        self.assertIn("build01 is STARTING", out)
        self.assertIn(": UP", out)
        rc, out = cscript("power.vbs", *common, "/vm:build01", "/action:start")
        self.assertEqual(1, rc, out)
        self.assertIn("start refused: VM_BAD_POWER_STATE", out)

    def test_watch_figures_with_update(self):
        rc, out = cscript("watch.js", *CREDS, "/mode:2", "/port:" + XEN3, "/rounds:2", "/every:2")
        self.assertEqual(0, rc, out)
        self.assertIn("round 2: host CPU", out)
        self.assertIn("web01", out)

    def test_cpp_client(self):
        proc = winetools.wine(LIST_VMS, "127.0.0.1", "root", "xenroot", "3", XENAPI, "mail01", "start", timeout=120)
        out = proc.stdout.replace("\r\n", "\n")
        self.assertEqual(3, proc.returncode, out)  # mail01 is suspended: Start is refused
        self.assertIn("Server xenhost01, Xen 6.0.2, 4 CPUs, 32768 MiB", out)
        self.assertIn("start mail01 refused: 0x80043000: VM_BAD_POWER_STATE", out)
        proc = winetools.wine(LIST_VMS, "127.0.0.1", "root", "xenroot", "3", XENAPI, "build01", "start", timeout=120)
        self.assertEqual(0, proc.returncode, proc.stdout)
        self.assertIn("start build01: now STARTING", proc.stdout)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=2)
