#!/usr/bin/env python3
"""Tests of the simulated XenAPI server over real HTTPS on 127.0.0.1, read with the
standard library's own XML-RPC client (an independent reader of what the server writes)."""

import base64
import http.client
import json
import os
import subprocess
import ssl
import sys
import threading
import time
import unittest
import xmlrpc.client
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from support import SIM, certs_dir  # noqa: E402,F401
import inventory  # noqa: E402
import xenapi_server as xs  # noqa: E402


INVENTORY = {
    "host": {"name": "h", "description": "d", "product_version": "6.0.2", "memory_mib": 65536,
             "free_memory_mib": 1024, "cpu_utilisation": [0.5, 0.25],
             "pifs": [{"read_kbs": 1.0, "write_kbs": 2.0}]},
    "member": {"name": "m", "memory_mib": 16384, "free_memory_mib": 4096, "cpu_utilisation": [0.75],
               "pifs": [{"device": "bond0", "read_kbs": 3.0, "write_kbs": 4.0}]},
    "vms": [
        {"uuid": "00000000-0000-4000-8000-000000000001", "name": "run", "power_state": "Running",
         "vcpus": 2, "vcpu_utilisation": [0.5, 0.5], "memory_mib": 8192, "memory_free_mib": 2048,
         "vifs": [{"read_kbs": 1.0, "write_kbs": 1.0}], "vbds": [{"read_kbs": 2048.0, "write_kbs": 0.0}]},
        {"uuid": "00000000-0000-4000-8000-000000000005", "name": "paused", "power_state": "Paused",
         "vcpus": 1, "vcpu_utilisation": [0.5], "guest_tools": False, "vifs": [{"read_kbs": 8.0, "write_kbs": 8.0}]},
        {"uuid": "00000000-0000-4000-8000-000000000006", "name": "susp", "power_state": "Suspended"},
        {"uuid": "00000000-0000-4000-8000-000000000002", "name": "off", "power_state": "Halted"},
        {"uuid": "00000000-0000-4000-8000-000000000003", "name": "tpl", "is_a_template": True},
        {"uuid": "00000000-0000-4000-8000-000000000004", "name": "dom0", "is_control_domain": True,
         "power_state": "Running"},
    ],
    "transition_seconds": 0.3,
}


class Host:
    def __init__(self):
        self.inventory = inventory.Inventory(INVENTORY)


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        certs = certs_dir()
        cls.host = Host()
        cls.server = xs.XenApiServer(cls.host, os.path.join(certs, "server.pem"),
                                     os.path.join(certs, "server-key.pem"))
        cls.port = cls.server.start("127.0.0.1", 0)
        cls.member_error = cls.server.start_member("127.0.0.2", cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.server.reset()
        self.host.inventory = inventory.Inventory(INVENTORY)
        self.api = self.proxy()
        self.session = self.ok(self.api.session.login_with_password("root", "xenroot"))

    def proxy(self, address="127.0.0.1"):
        return xmlrpc.client.ServerProxy("https://%s:%d/" % (address, self.port),
                                         context=ssl._create_unverified_context())

    def use(self, profile):
        self.assertEqual(self.server.control({"cmd": "set_profile", "profile": profile}), {"ok": True})

    def raw(self, body, method="POST", path="/", headers=None, address="127.0.0.1"):
        """Sends one request and returns (status, response bytes)."""
        conn = http.client.HTTPSConnection(address, self.port, timeout=10,
                                           context=ssl._create_unverified_context())
        try:
            conn.request(method, path, body, headers if headers is not None else {"Content-Type": "text/xml"})
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def rrd(self, query, accept="text/xml", address="127.0.0.1", session=None):
        """GET /rrd_updates with the test's session; returns (status, body)."""
        sid = self.session if session is None else session
        return self.raw(None, "GET", "/rrd_updates?session_id=%s&%s" % (sid, query), {"Accept": accept}, address)

    def export(self, query="start=-10&interval=5&cf=AVERAGE&host=true", address="127.0.0.1"):
        """The XML export parsed: (meta element, legend, rows [(t, [texts])])."""
        status, body = self.rrd(query, address=address)
        self.assertEqual(status, 200, body)
        self.assertEqual(body.count(b"\n"), 0)  # one line, declaration included
        root = ET.fromstring(body)
        meta = root.find("meta")
        legend = [e.text for e in meta.find("legend")]
        rows = [(int(r.find("t").text), [v.text for v in r.findall("v")]) for r in root.find("data")]
        return meta, legend, rows

    def ok(self, result):
        self.assertEqual(result["Status"], "Success", result)
        return result["Value"]

    def failure(self, result):
        self.assertEqual(result["Status"], "Failure", result)
        return result["ErrorDescription"]

    def vm(self, name):
        for ref in self.ok(self.api.VM.get_all(self.session)):
            if self.ok(self.api.VM.get_record(self.session, ref))["name_label"] == name:
                return ref
        self.fail("no VM " + name)

    def test_wire_conventions(self):
        s = self.session
        self.assertTrue(s.startswith("OpaqueRef:"))
        host = self.ok(self.api.session.get_this_host(s, s))
        record = self.ok(self.api.host.get_record(s, host))
        self.assertEqual(record["software_version"]["product_version"], "6.0.2")
        self.assertEqual(len(record["host_CPUs"]), 2)
        total = self.ok(self.api.host_metrics.get_memory_total(s, record["metrics"]))
        self.assertEqual(total, str(65536 << 20))  # 64-bit ints are strings
        # Strings are bare values, the way the real server writes them.
        status, body = self.raw(xmlrpc.client.dumps((s, s), "session.get_this_host"))
        self.assertEqual(status, 200)
        self.assertIn(b"<value>OpaqueRef:", body)
        # References are stable for one object.
        self.assertEqual(self.ok(self.api.VM.get_all(s)), self.ok(self.api.VM.get_all(s)))

    def test_vm_records_metrics_and_null_guest_metrics(self):
        self.use("legacy")
        s = self.session
        run = self.ok(self.api.VM.get_record(s, self.vm("run")))
        self.assertEqual(run["memory_static_max"], str(8192 << 20))
        self.assertTrue(run["allowed_operations"])
        metrics = self.ok(self.api.VM_metrics.get_record(s, run["metrics"]))
        self.assertEqual(sorted(metrics["VCPUs_utilisation"]), ["0", "1"])
        guest = self.ok(self.api.VM_guest_metrics.get_record(s, run["guest_metrics"]))
        self.assertEqual(list(guest["memory"]), ["free", "total"])
        off = self.ok(self.api.VM.get_record(s, self.vm("off")))
        self.assertEqual(off["guest_metrics"], xs.NULL_REF)
        self.assertEqual(self.failure(self.api.VM_guest_metrics.get_record(s, xs.NULL_REF))[0], "HANDLE_INVALID")
        flags = [(self.ok(self.api.VM.get_is_a_template(s, r)), self.ok(self.api.VM.get_is_control_domain(s, r)))
                 for r in self.ok(self.api.VM.get_all(s))]
        self.assertEqual(flags.count((True, False)), 1)
        self.assertEqual(flags.count((False, True)), 1)

    def test_power_operations_change_state_and_refuse_what_xenapi_refuses(self):
        self.use("legacy")  # returns at once; the state follows
        s = self.session
        off = self.vm("off")
        self.ok(self.api.VM.start(s, off, False, False))
        self.assertEqual(self.ok(self.api.VM.get_record(s, off))["allowed_operations"], [])
        err = self.failure(self.api.VM.clean_shutdown(s, off))
        self.assertEqual(err[0], "OPERATION_NOT_ALLOWED")
        time.sleep(0.4)
        self.assertEqual(self.ok(self.api.VM.get_power_state(s, off)), "Running")
        self.assertEqual(self.failure(self.api.VM.start(s, off, False, False)),
                         ["VM_BAD_POWER_STATE", off, "halted", "running"])
        self.assertEqual(self.failure(self.api.VM.start(s, off, False))[0], "MESSAGE_PARAMETER_COUNT_MISMATCH")
        self.assertEqual(self.failure(self.api.VM.start(s, self.vm("tpl"), False, False))[0],
                         "OPERATION_NOT_ALLOWED")

    def test_fault_modes(self):
        s = self.session
        call = xmlrpc.client.dumps((s,), "VM.get_all")
        self.server.control({"cmd": "fault", "mode": "http_error", "status": 503, "method": "VM.get_all", "count": 1})
        self.assertEqual(self.raw(call)[0], 503)
        self.assertEqual(self.raw(call)[0], 200)  # count 1: gone
        self.server.control({"cmd": "fault", "mode": "not_xmlrpc", "count": 1})
        self.assertIn(b"<html>", self.raw(call)[1])
        self.server.control({"cmd": "fault", "mode": "xmlrpc_fault", "count": 1})
        with self.assertRaises(xmlrpc.client.Fault):
            self.api.VM.get_all(s)
        self.server.control({"cmd": "fault", "mode": "error", "count": 1})
        self.assertEqual(self.failure(self.api.VM.get_all(s))[0], "SIM_UNKNOWN_ERROR")
        self.server.control({"cmd": "fault", "mode": "drop", "count": 1})
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            self.raw(call)
        calls = self.server.control({"cmd": "calls"})
        self.assertEqual(calls["methods"].count("VM.get_all"), calls["count"] - 1)  # and the login

    def test_stop_does_not_wait_for_a_hanging_connection(self):
        certs = certs_dir()
        server = xs.XenApiServer(self.host, os.path.join(certs, "server.pem"), os.path.join(certs, "server-key.pem"))
        port = server.start("127.0.0.1", 0)
        server.control({"cmd": "fault", "mode": "hang", "seconds": 30})
        errors = []

        def client():
            try:
                conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=20,
                                                   context=ssl._create_unverified_context())
                conn.request("POST", "/", xmlrpc.client.dumps(("x",), "VM.get_all"))
                conn.getresponse().read()
            except Exception as exc:  # the connection is closed without an answer
                errors.append(exc)

        t = threading.Thread(target=client)
        t.start()
        deadline = time.monotonic() + 5
        while server.control({"cmd": "calls"})["count"] == 0 and time.monotonic() < deadline:
            time.sleep(0.02)
        started = time.monotonic()
        server.stop()
        t.join(10)
        self.assertFalse(t.is_alive())
        self.assertLess(time.monotonic() - started, 10)
        self.assertTrue(errors)


if __name__ == "__main__":
    unittest.main()
