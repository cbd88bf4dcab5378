#!/usr/bin/env python3
"""Tests of the simulated XenAPI server over real HTTPS on 127.0.0.1, read with the
standard library's own XML-RPC client (an independent reader of what the server writes)."""

import base64
import hashlib
import http.client
import json
import os
import socket
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
sys.path.insert(0, os.path.join(SIM, "testing"))
from simhost import SimHost  # noqa: E402
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
        cls.server = xs.XenApiServer(cls.host, os.path.join(certs, "xenapi-server.pem"),
                                     os.path.join(certs, "xenapi-server-key.pem"))
        cls.port = cls.server.start("127.0.0.1", 0)
        cls.member_error = cls.server.start_member("127.0.0.2", cls.port)
        cls.ipv6_error = cls.server.start_ipv6(cls.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.server.reset()
        self.server.left_at_reset.clear()  # each test's own session is left live by design
        self.host.inventory = inventory.Inventory(INVENTORY)
        self.api = self.proxy()
        self.session = self.ok(self.api.session.login_with_password("root", "xenroot"))

    def proxy(self, address="127.0.0.1"):
        proxy = xmlrpc.client.ServerProxy("https://%s:%d/" % (address, self.port),
                                          context=ssl._create_unverified_context())
        self.addCleanup(proxy("close"))  # its kept-alive connection
        return proxy

    def sessions(self):
        return self.server.control({"cmd": "sessions"})

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

    # -- what differs between the profiles ------------------------------------------------
    def test_legacy_writes_string_tags_and_offers_bulk_reads_only_when_switched_on(self):
        s = self.session
        call = xmlrpc.client.dumps((s,), "VM.get_all_records")
        status, body = self.raw(call)
        self.assertIn(b"<value>OpaqueRef:", body)
        records = self.ok(self.api.VM.get_all_records(s))
        self.assertEqual(sorted(records), sorted(self.ok(self.api.VM.get_all(s))))
        run = self.vm("run")
        self.assertEqual(records[run], self.ok(self.api.VM.get_record(s, run)))
        self.use("legacy")
        self.assertEqual(self.failure(self.api.VM_metrics.get_all_records(s)),
                         ["MESSAGE_METHOD_UNKNOWN", "VM_metrics.get_all_records"])
        self.server.control({"cmd": "set_bulk", "enabled": True})
        guests = self.ok(self.api.VM_guest_metrics.get_all_records(s))
        refs = {r["guest_metrics"] for r in records.values()} - {xs.NULL_REF}
        self.assertEqual(set(guests), refs)  # only the VMs that have guest metrics
        status, body = self.raw(xmlrpc.client.dumps((s, s), "session.get_this_host"))
        self.assertIn(b"<value><string>OpaqueRef:", body)
        self.assertEqual(self.raw(None, "GET", "/rrd_updates?session_id=%s&start=-10" % s, {})[0], 404)

    def test_removed_messages_come_after_the_count_and_session_checks(self):
        s = self.session
        vif = self.ok(self.api.VM.get_record(s, self.vm("run")))["VIFs"][0]
        self.assertEqual(self.failure(self.api.VIF.get_metrics(s)),
                         ["MESSAGE_PARAMETER_COUNT_MISMATCH", "VIF.get_metrics", "1", "0"])
        self.assertEqual(self.failure(self.api.VIF.get_metrics("OpaqueRef:nobody", vif))[0], "SESSION_INVALID")
        for call in (lambda: self.api.VIF.get_metrics(s, vif), lambda: self.api.VIF_metrics.get_all(s),
                     lambda: self.api.host_metrics.get_memory_free(s, "OpaqueRef:x"),
                     lambda: self.api.PIF_metrics.get_io_read_kbs(s, "OpaqueRef:x"),
                     lambda: self.api.VM_metrics.get_VCPUs_utilisation(s, "OpaqueRef:x"),
                     lambda: self.api.VM_guest_metrics.get_memory(s, "OpaqueRef:x")):
            self.assertEqual(self.failure(call()), ["MESSAGE_REMOVED"])
        metrics = self.ok(self.api.VIF.get_record(s, vif))["metrics"]
        self.assertEqual(self.ok(self.api.VIF_metrics.get_uuid(s, metrics)), metrics[len("OpaqueRef:"):])
        self.use("legacy")
        self.assertEqual(self.ok(self.api.VIF.get_metrics(s, vif)), metrics)
        self.assertEqual(self.failure(self.api.VIF_metrics.get_all(s))[0], "MESSAGE_METHOD_UNKNOWN")

    def test_current_records_keep_the_removed_fields_with_dead_values(self):
        s = self.session
        self.server.control({"cmd": "freeze_figures", "at": 5000})
        host = self.ok(self.api.host.get_record(s, self.ok(self.api.session.get_this_host(s, s))))
        self.assertEqual(self.ok(self.api.host_cpu.get_utilisation(s, host["host_CPUs"][0])), 0.0)
        pif = self.ok(self.api.PIF_metrics.get_record(s, self.ok(self.api.PIF.get_metrics(s, host["PIFs"][0]))))
        self.assertEqual((pif["io_read_kbs"], pif["io_write_kbs"]), (0.0, 0.0))
        free = self.server.control({"cmd": "figures"})["host"]["memory_free"]
        self.assertEqual(self.ok(self.api.host_metrics.get_record(s, host["metrics"]))["memory_free"], str(free))
        run = self.ok(self.api.VM.get_record(s, self.vm("run")))
        self.assertEqual(self.ok(self.api.VM_metrics.get_record(s, run["metrics"]))["VCPUs_utilisation"],
                         {"0": 0.0, "1": 0.0})
        self.assertEqual(self.ok(self.api.VM_guest_metrics.get_record(s, run["guest_metrics"]))["memory"], {})

    def test_vm_start_takes_exactly_four_parameters_and_returns_when_done(self):
        s, off = self.session, self.vm("off")
        self.assertEqual(self.failure(self.api.VM.start(s, off, False)),
                         ["MESSAGE_PARAMETER_COUNT_MISMATCH", "VM.start", "3", "2"])
        self.assertEqual(self.ok(self.api.VM.start(s, off, False, False)), "")
        record = self.ok(self.api.VM.get_record(s, off))
        self.assertEqual(record["power_state"], "Running")
        self.assertEqual(record["resident_on"], self.ok(self.api.session.get_this_host(s, s)))

    def test_host_reboot_needs_the_host_disabled_and_enable_exists(self):
        s = self.session
        host = self.ok(self.api.session.get_this_host(s, s))
        self.assertEqual(self.failure(self.api.host.reboot(s, host)), ["HOST_NOT_DISABLED", host])
        self.ok(self.api.host.disable(s, host))
        self.assertFalse(self.ok(self.api.host.get_record(s, host))["enabled"])
        self.ok(self.api.host.enable(s, host))
        self.assertEqual(self.failure(self.api.host.shutdown(s, host))[0], "HOST_NOT_DISABLED")
        self.assertEqual(self.server.control({"cmd": "status"})["host_events"], ["disable", "enable"])

    def test_utf8_names_and_credentials(self):
        data = json.loads(json.dumps(INVENTORY))
        data["vms"][0]["name"] = "Büro-Server"
        data["credentials"] = {"user": "root", "password": "Grüße"}
        self.host.inventory = inventory.Inventory(data)
        self.assertEqual(self.failure(self.api.session.login_with_password("root", "Gr?\u00dfe"))[0],
                         "SESSION_AUTHENTICATION_FAILED")
        s = self.ok(self.api.session.login_with_password("root", "Grüße"))
        status, body = self.raw(xmlrpc.client.dumps((s, self.vm("Büro-Server")), "VM.get_record"))
        self.assertIn("<value>Büro-Server</value>".encode("utf-8"), body)

    # -- the RRD export -------------------------------------------------------------------
    def test_rrd_updates_needs_a_session_and_start(self):
        self.assertEqual(self.rrd("start=-10", session="OpaqueRef:nobody")[0], 401)
        self.assertEqual(self.raw(None, "GET", "/rrd_updates?start=-10", {})[0], 401)
        self.assertEqual(self.rrd("interval=5")[0], 400)
        self.assertEqual(self.rrd("start=-10&cf=LAST")[0], 500)
        cookie = {"Cookie": "session_id=" + self.session, "Accept": "text/xml"}
        self.assertEqual(self.raw(None, "GET", "/rrd_updates?start=-10", cookie)[0], 200)
        basic = {"Authorization": "Basic " + base64.b64encode(b"root:xenroot").decode()}
        self.assertEqual(self.raw(None, "GET", "/rrd_updates?start=-10", basic)[0], 200)

    def test_rrd_updates_xml_export(self):
        self.server.control({"cmd": "freeze_figures", "at": 5000})
        meta, legend, rows = self.export()
        self.assertEqual(int(meta.find("step").text), 5)
        self.assertEqual(int(meta.find("columns").text), len(legend))
        self.assertEqual(int(meta.find("rows").text), len(rows))
        times = [t for t, _ in rows]
        self.assertEqual(times, sorted(times, reverse=True))
        self.assertEqual(int(meta.find("end").text), times[0])
        self.assertTrue(all(t % 5 == 0 for t in times))
        self.assertEqual(int(meta.find("start").text), times[-1] + 5)  # floor(start/step)*step + step
        uuids = {e.split(":")[2] for e in legend if e.split(":")[1] == "vm"}
        # Running and paused VMs (the control domain too); halted, suspended and templates absent.
        self.assertEqual(uuids, {"00000000-0000-4000-8000-000000000001", "00000000-0000-4000-8000-000000000005",
                                 "00000000-0000-4000-8000-000000000004"})
        figures = self.server.control({"cmd": "figures"})["rrd"]
        column = {e: i for i, e in enumerate(legend)}
        run = "AVERAGE:vm:00000000-0000-4000-8000-000000000001:"
        newest = rows[0][1]
        self.assertEqual(newest[column[run + "memory"]], "8.5899e+09")  # %0.5g
        self.assertEqual(newest[column[run + "vbd_xvda_write"]], "0.0")
        self.assertEqual(newest[column[run + "vbd_xvda_read"]], "2.0972e+06")  # B/s
        self.assertEqual(newest[column[run + "vbd_xvda_io_throughput_read"]], "2")  # MiB/s
        self.assertEqual(float(newest[column[run + "memory_internal_free"]]),
                         figures["vms"]["00000000-0000-4000-8000-000000000001"]["memory_internal_free"])
        self.assertNotIn("AVERAGE:vm:00000000-0000-4000-8000-000000000005:memory_internal_free", column)  # no tools
        self.assertEqual(newest[column["AVERAGE:vm:00000000-0000-4000-8000-000000000005:vif_0_rx"]], "0.0")
        host = [e for e in legend if ":host:" in e]
        self.assertEqual(legend[:len(host)], host)  # the host's columns first
        for entry, i in column.items():
            _, kind, obj, name = entry.split(":")
            self.assertEqual(float(newest[i]), figures["host" if kind == "host" else "vms"][obj][name], entry)
        self.assertNotEqual(self.export()[1], legend)  # no fixed order
        self.assertEqual(sorted(self.export()[1]), sorted(legend))

    def test_rrd_updates_json_when_accept_allows_any_type(self):
        for accept in ("*/*", "application/json"):
            status, body = self.rrd("start=-10&host=true", accept)
            self.assertEqual(status, 200)
            doc = json.loads(body)
            self.assertEqual(int(doc["meta"]["columns"]), len(doc["meta"]["legend"]))
            self.assertTrue(all(len(r["values"]) == len(doc["meta"]["legend"]) for r in doc["data"]))
        self.assertTrue(self.rrd("start=-10", "text/xml")[1].startswith(b"<?xml"))

    def test_rrd_nan_and_number_formats(self):
        column = "vm:00000000-0000-4000-8000-000000000001:cpu0"
        self.server.control({"cmd": "rrd_nan", "columns": [column]})
        self.server.control({"cmd": "rrd_number_format", "format": "%0.4f"})
        _, legend, rows = self.export()
        i = legend.index("AVERAGE:" + column)
        self.assertEqual({values[i] for _, values in rows}, {"NaN"})
        memory = legend.index("AVERAGE:vm:00000000-0000-4000-8000-000000000001:memory")
        self.assertEqual(rows[0][1][memory], "8589934592.0000")
        self.assertIsNone(self.server.control({"cmd": "figures"})["rrd"]["vms"][column.split(":")[1]]["cpu0"])

    def test_rrd_absent_leaves_a_running_vm_out(self):
        uuid_ = "00000000-0000-4000-8000-000000000001"
        self.server.control({"cmd": "rrd_absent", "uuids": [uuid_]})
        self.assertFalse([e for e in self.export()[1] if uuid_ in e])
        self.server.control({"cmd": "rrd_absent", "uuids": []})
        self.assertTrue([e for e in self.export()[1] if uuid_ in e])

    def test_rrd_updates_archives_and_filters(self):
        meta, legend, rows = self.export("start=-3600&cf=MAX")
        self.assertEqual(meta.find("step").text, "60")
        self.assertTrue(legend and all(e.startswith("MAX:vm:") for e in legend))  # no host=true: no host columns
        meta, legend, _ = self.export("start=-10&vm_uuid=none&host=true")
        self.assertTrue(legend and all(":host:" in e for e in legend))
        self.assertEqual(self.export("start=%d" % (time.time() + 3600))[2], [])

    def test_faults_reach_the_export(self):
        self.server.control({"cmd": "fault", "mode": "broken_xml", "method": "GET /rrd_updates", "count": 1})
        self.server.control({"cmd": "fault", "mode": "http_error", "status": 503, "method": "GET /rrd_updates",
                             "count": 1})
        status, body = self.rrd("start=-10")
        self.assertEqual(status, 200)
        with self.assertRaises(ET.ParseError):
            ET.fromstring(body)
        self.assertEqual(self.rrd("start=-10")[0], 503)
        self.assertEqual(self.rrd("start=-10")[0], 200)
        self.assertEqual(self.ok(self.api.VM.get_all(self.session)), self.ok(self.api.VM.get_all(self.session)))

    # -- the pool member, and VMs that vanish or move ---------------------------------------
    def test_pool_member_redirects_logins_and_exports_its_own_vms(self):
        self.assertIsNone(self.member_error)
        member = self.proxy("127.0.0.2")
        self.assertEqual(self.failure(member.session.login_with_password("root", "xenroot")),
                         ["HOST_IS_SLAVE", "127.0.0.1"])
        s = self.session
        hosts = self.ok(self.api.host.get_all_records(s))
        self.assertEqual(sorted(h["address"] for h in hosts.values()), ["127.0.0.1", "127.0.0.2"])
        member_ref = [r for r, h in hosts.items() if h["address"] == "127.0.0.2"][0]
        uuid = "00000000-0000-4000-8000-000000000001"
        self.assertEqual(self.server.control({"cmd": "move_vm", "uuid": uuid, "host": "member"}), {"ok": True})
        self.assertEqual(self.ok(self.api.VM.get_record(s, self.vm("run")))["resident_on"], member_ref)
        self.assertEqual(self.ok(self.api.host.get_record(s, member_ref))["resident_VMs"], [self.vm("run")])
        _, legend, _ = self.export(address="127.0.0.2")  # the master's session works there
        self.assertIn("AVERAGE:host:%s:pif_bond0_rx" % hosts[member_ref]["uuid"], legend)
        self.assertEqual({e.split(":")[2] for e in legend if ":vm:" in e}, {uuid})
        self.assertNotIn(uuid, "".join(self.export()[1]))
        calls = self.server.control({"cmd": "calls"})
        self.assertEqual(calls["listeners"][calls["methods"].index("session.login_with_password", 1)], "member")
        self.assertIn("GET /rrd_updates?session_id=%s&start=-10&interval=5&cf=AVERAGE&host=true" % s,
                      calls["methods"])

    def test_deleted_vm_answers_handle_invalid(self):
        s, ref = self.session, self.vm("run")
        metrics = self.ok(self.api.VM.get_record(s, ref))["metrics"]
        self.assertEqual(self.server.control({"cmd": "delete_vm", "uuid": "00000000-0000-4000-8000-000000000001"}),
                         {"ok": True})
        self.assertEqual(self.failure(self.api.VM.get_record(s, ref)), ["HANDLE_INVALID", "VM", ref])
        self.assertEqual(self.failure(self.api.VM_metrics.get_record(s, metrics)),
                         ["HANDLE_INVALID", "VM_metrics", metrics])
        self.assertNotIn(ref, self.ok(self.api.VM.get_all(s)))

    def test_simulator_reports_profile_and_member(self):
        proc = subprocess.run([sys.executable, os.path.join(SIM, "xensim.py"), "--certs", certs_dir(),
                               "--only", "xenapi", "--profile", "legacy", "--lifetime", "20", "--",
                               sys.executable, "-c", "import os; print(os.environ['VANTREL_SIM_PROFILE'],"
                               " os.environ['VANTREL_SIM_MEMBER_ADDRESS'])"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        ready, env = proc.stdout.splitlines()[:2]
        info = json.loads(ready[len("READY "):])
        self.assertEqual((info["profile"], info["member"]), ("legacy", "127.0.0.2"))
        self.assertEqual(env, "legacy 127.0.0.2")

    # -- sessions, restarts, the pool's hosts -----------------------------------------------
    def test_sessions_are_accounted_with_originator_user_and_listener(self):
        api, s = self.api, self.session
        with_originator = self.ok(api.session.login_with_password("root", "xenroot", "1.0", "probe"))
        self.ok(api.session.login_with_password("root", "xenroot", "1.0"))
        self.failure(api.session.login_with_password("root", "wrong"))
        self.failure(self.proxy("127.0.0.2").session.login_with_password("root", "xenroot"))  # HOST_IS_SLAVE
        self.ok(api.session.logout(s))
        self.assertEqual(self.failure(api.session.logout(s)), ["SESSION_INVALID", s])
        report = self.sessions()
        self.assertEqual((report["live"], report["logins"], report["logouts"], report["refused_logins"]), (2, 3, 1, 2))
        self.assertIn({"ref": with_originator, "originator": "probe", "user": "root", "listener": "master"},
                      report["sessions"])
        self.server.control({"cmd": "login_params", "max": 3})
        self.assertEqual(self.failure(api.session.login_with_password("root", "xenroot", "1.0", "probe")),
                         ["MESSAGE_PARAMETER_COUNT_MISMATCH", "session.login_with_password", "3", "4"])
        self.ok(api.session.login_with_password("root", "xenroot", "1.0"))
        self.server.control({"cmd": "login_params", "max": 4})
        self.ok(api.session.login_with_password("root", "xenroot", "1.0", "probe"))

    def test_session_limit_destroys_the_least_recently_used_sessions_of_a_group(self):
        def login(*extra):
            return self.ok(self.server.dispatch("session.login_with_password", ("root", "xenroot") + extra))

        named = login("1.0", "probe")
        anonymous = [self.session] + [login() for _ in range(399)]
        self.ok(self.api.VM.get_all(anonymous[0]))  # used: now the most recent of its group
        newest = login()
        live = {s["ref"] for s in self.sessions()["sessions"]}
        self.assertEqual(self.failure(self.api.VM.get_all(anonymous[1])), ["SESSION_INVALID", anonymous[1]])
        self.assertEqual(live, set(anonymous[:1] + anonymous[2:] + [named, newest]))
        self.assertEqual(self.sessions()["destroyed_by_limit"], 1)

    def test_forgotten_sessions_are_invalid_while_object_references_stay(self):
        old, vm = self.session, self.vm("run")
        self.server.control({"cmd": "forget_sessions"})
        self.assertEqual(self.failure(self.api.VM.get_record(old, vm)), ["SESSION_INVALID", old])
        self.assertEqual(self.rrd("start=-10", session=old)[0], 401)
        self.session = self.ok(self.api.session.login_with_password("root", "xenroot"))
        self.assertEqual(self.ok(self.api.VM.get_record(self.session, vm))["name_label"], "run")
        self.assertEqual(self.sessions()["live"], 1)

    def test_swapped_master_sends_logins_to_the_member_and_hosts_keep_their_records(self):
        hosts = self.ok(self.api.host.get_all_records(self.session))
        by_address = {h["address"]: ref for ref, h in hosts.items()}
        self.assertEqual(self.server.control({"cmd": "swap_master"})["master"], "member")
        self.assertEqual(self.failure(self.api.VM.get_all(self.session)), ["HOST_IS_SLAVE", "127.0.0.2"])
        self.assertEqual(self.failure(self.api.session.login_with_password("root", "xenroot")),
                         ["HOST_IS_SLAVE", "127.0.0.2"])
        member = self.proxy("127.0.0.2")
        s = self.ok(member.session.login_with_password("root", "xenroot"))
        self.assertEqual(self.ok(member.session.get_this_host(s, s)), by_address["127.0.0.2"])
        self.assertEqual(self.ok(member.host.get_all_records(s)), hosts)
        self.assertEqual(self.sessions()["sessions"][0]["listener"], "member")
        self.server.control({"cmd": "master_address", "address": "::1"})
        self.assertEqual(self.ok(member.host.get_address(s, by_address["127.0.0.2"])), "::1")
        self.assertEqual(self.failure(self.api.session.login_with_password("root", "xenroot")),
                         ["HOST_IS_SLAVE", "::1"])
        self.server.reset()
        self.session = self.ok(self.api.session.login_with_password("root", "xenroot"))
        self.assertEqual(self.ok(self.api.session.get_this_host(self.session, self.session)),
                         by_address["127.0.0.1"])

    def test_master_address_is_carried_as_given(self):
        for text in ("::1", "[::1]"):
            self.server.control({"cmd": "master_address", "address": text})
            self.assertEqual(self.failure(self.proxy("127.0.0.2").session.login_with_password("root", "xenroot")),
                             ["HOST_IS_SLAVE", text])
            this = self.ok(self.api.session.get_this_host(self.session, self.session))
            self.assertEqual(self.ok(self.api.host.get_address(self.session, this)), text)

    def test_reset_remembers_live_sessions_until_a_request_names_them(self):
        s, vm = self.session, self.vm("run")
        told = self.ok(self.api.session.login_with_password("root", "xenroot"))
        leaked = self.ok(self.api.session.login_with_password("root", "xenroot", "1.0", "leaky"))
        self.server.reset()
        self.assertEqual(self.sessions()["live"], 0)
        self.assertEqual(self.failure(self.api.session.logout(s)), ["SESSION_INVALID", s])  # a late log-out
        self.assertEqual(self.failure(self.api.VM.get_record(told, vm)), ["SESSION_INVALID", told])
        self.assertEqual([x["ref"] for x in self.sessions()["left_at_reset"]], [leaked])

    def test_a_logout_received_ends_the_session_whatever_the_fault_does_to_the_answer(self):
        self.server.control({"cmd": "fault", "mode": "drop", "method": "session.logout"})
        with self.assertRaises((http.client.HTTPException, ConnectionError)):
            self.api.session.logout(self.session)
        self.assertEqual(self.sessions()["live"], 0)

    def test_member_host_record_is_its_own(self):
        s = self.session
        records = self.ok(self.api.host.get_all_records(s))
        self.assertEqual(sorted(records), sorted(self.ok(self.api.host.get_all(s))))
        master = self.ok(self.api.session.get_this_host(s, s))
        member = [r for r in records if r != master][0]
        self.assertEqual(records[master]["address"], "127.0.0.1")
        for ref, name, address, cpus, memory in ((master, "h", "127.0.0.1", 2, 65536 << 20),
                                                 (member, "m", "127.0.0.2", 1, 16384 << 20)):
            record = self.ok(self.api.host.get_record(s, ref))
            getters = (self.api.host.get_name_label, self.api.host.get_hostname, self.api.host.get_address)
            self.assertEqual([self.ok(get(s, ref)) for get in getters] + [record["hostname"]],
                             [name, name, address, name])
            self.assertEqual(len(record["host_CPUs"]), cpus)
            metrics = self.ok(self.api.host_metrics.get_record(s, record["metrics"]))
            self.assertEqual(metrics["memory_total"], str(memory))
            pif = self.ok(self.api.PIF.get_record(s, record["PIFs"][0]))
            self.assertEqual(pif["host"], ref)
        self.assertEqual(self.ok(self.api.PIF.get_record(s, records[member]["PIFs"][0]))["device"], "bond0")

    def test_host_actions_act_on_the_host_given(self):
        s = self.session
        member = [r for r, h in self.ok(self.api.host.get_all_records(s)).items() if h["name_label"] == "m"][0]
        self.ok(self.api.host.disable(s, member))
        self.ok(self.api.host.reboot(s, member))
        records = self.ok(self.api.host.get_all_records(s))
        self.assertEqual({h["name_label"]: h["enabled"] for h in records.values()}, {"h": True, "m": False})
        self.ok(self.api.host.enable(s, member))
        self.assertTrue(self.ok(self.api.host.get_record(s, member))["enabled"])
        self.assertEqual(self.server.control({"cmd": "host_actions"})["actions"],
                         [{"method": "host." + m, "host": "m"} for m in ("disable", "reboot", "enable")])
        self.server.control({"cmd": "clear_calls"})
        self.assertEqual(self.server.control({"cmd": "host_actions"})["actions"], [])

    def test_hang_holds_a_request_until_the_faults_are_cleared(self):
        self.server.control({"cmd": "fault", "mode": "hang", "method": "GET /rrd_updates", "listener": "member",
                             "count": 1})
        self.server.control({"cmd": "fault", "mode": "delay", "seconds": 0.1, "method": "GET /rrd_updates",
                             "listener": "master", "count": 1})
        self.assertEqual(self.rrd("start=-10")[0], 200)  # late, but answered
        outcome = []
        t = threading.Thread(target=lambda: outcome.append(self._try(self.rrd, "start=-10", address="127.0.0.2")))
        t.start()
        t.join(1.0)
        self.assertTrue(t.is_alive())  # held without an answer
        self.server.control({"cmd": "clear_faults"})
        t.join(10)
        self.assertFalse(t.is_alive())
        self.assertIsInstance(outcome[0], Exception)  # closed without an answer
        self.assertEqual(self.rrd("start=-10", address="127.0.0.2")[0], 200)  # count 1: used up

    @staticmethod
    def _try(call, *args, **kwargs):
        try:
            return call(*args, **kwargs)
        except Exception as exc:
            return exc

    def test_tls_verifies_with_the_test_ca_on_every_name_of_the_pool(self):
        certs = certs_dir()
        context = ssl.create_default_context(cafile=os.path.join(certs, "xenapi-ca.pem"))
        names = [("127.0.0.1", "127.0.0.1"), ("127.0.0.1", "localhost"), ("127.0.0.1", "xenhost01"),
                 ("127.0.0.2", "127.0.0.2"), ("127.0.0.2", "member02")]
        if self.ipv6_error is None:
            names.append(("::1", "::1"))
        for address, name in names:
            with socket.create_connection((address, self.port), timeout=10) as raw, \
                    context.wrap_socket(raw, server_hostname=name) as tls:
                self.assertEqual(tls.version(), "TLSv1.2")
                self.assertIn(tls.cipher()[0], ("ECDHE-RSA-AES256-GCM-SHA384", "ECDHE-RSA-AES128-GCM-SHA256"))
                der = tls.getpeercert(binary_form=True)
        with self.assertRaises(ssl.SSLCertVerificationError):
            with socket.create_connection(("127.0.0.1", self.port), timeout=10) as raw:
                context.wrap_socket(raw, server_hostname="elsewhere").close()
        # The pin names the served certificate's key.
        pem = ssl.DER_cert_to_PEM_cert(der).encode()
        key = subprocess.run(["openssl", "x509", "-noout", "-pubkey"], input=pem, capture_output=True,
                             check=True).stdout
        spki = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=key, capture_output=True,
                              check=True).stdout
        with open(os.path.join(certs, "xenapi-pin.txt")) as f:
            self.assertEqual(f.read().strip(), "sha256//" + base64.b64encode(hashlib.sha256(spki).digest()).decode())
        self.assertEqual(self.server.control({"cmd": "calls"})["connections"]["ipv6"], 0 if self.ipv6_error else 1)

    # -- large pools ---------------------------------------------------------------------
    def test_get_all_records_where_filters_with_the_expression_language(self):
        self.host.inventory = inventory.Inventory.load(os.path.join(SIM, "inventory.json"))
        s, inv = self.session, self.host.inventory
        guests = self.ok(self.api.VM.get_all_records_where(
            s, 'field "is_a_template"="false" and field "is_control_domain"="false" and field "is_a_snapshot"="false"'))
        self.assertEqual(sorted(r["name_label"] for r in guests.values()), sorted(vm.name for vm in inv.guests()))
        self.assertEqual(len(guests), 4)
        others = self.ok(self.api.VM.get_all_records_where(
            s, 'not (field "is_a_template"="false" and field "is_control_domain"="false")'))
        self.assertEqual(len(others) + len(guests), len(inv.vms))
        snapshot = [r for r in others.values() if r["is_a_snapshot"]]
        self.assertEqual(len(snapshot), 1)
        self.assertEqual(guests[snapshot[0]["snapshot_of"]]["snapshots"], [self.vm(snapshot[0]["name_label"])])
        everything = len(inv.vms)
        for expression, count in (('field "name__label"="web01"', 1),
                                  ('"db01"=field "name__label" or true', everything),
                                  ("not true and false", everything), ("true or false and false", 0),
                                  ('field "is_a_template"="False"', 0)):
            self.assertEqual(len(self.ok(self.api.VM.get_all_records_where(s, expression))), count, expression)
        for expression in ("", 'field "is_a_template"', "(true", "true true", "True", 'field "nonsense"="1"'):
            self.assertEqual(self.failure(self.api.VM.get_all_records_where(s, expression))[0], "INTERNAL_ERROR")
        self.use("legacy")
        self.assertEqual(self.failure(self.api.VM.get_all_records_where(s, "true"))[0], "MESSAGE_METHOD_UNKNOWN")
        self.server.control({"cmd": "set_bulk", "enabled": True})
        self.assertEqual(len(self.ok(self.api.VM.get_all_records_where(s, "true"))), len(inv.vms))

    def test_names_the_export_filter_and_connections_of_a_large_pool(self):
        s = self.session
        data = json.loads(json.dumps(INVENTORY))
        data["vms"][3]["name"] = data["vms"][4]["name"] = "same"  # a halted VM and a template
        self.host.inventory = inventory.Inventory(data)
        records = self.ok(self.api.VM.get_all_records(s))
        same = [ref for ref, r in records.items() if r["name_label"] == "same"]
        self.assertEqual(len(same), 2)
        self.assertEqual(sorted(self.ok(self.api.VM.get_by_name_label(s, "same"))), sorted(same))
        self.assertEqual(self.ok(self.api.VM.get_by_name_label(s, "nobody")), [])
        self.use("legacy")
        self.assertEqual(sorted(self.ok(self.api.VM.get_by_name_label(s, "same"))), sorted(same))
        self.use("current")
        run = "00000000-0000-4000-8000-000000000001"
        _, legend, _ = self.export("start=-10&host=true&vm_uuid=" + run)
        self.assertEqual({e.split(":")[2] for e in legend if ":vm:" in e}, {run})
        self.assertTrue(any(":host:" in e for e in legend))
        self.server.control({"cmd": "clear_calls"})
        self.rrd("start=-10", address="127.0.0.2")
        self.ok(self.proxy().VM.get_all(s))
        self.assertEqual(self.server.control({"cmd": "calls"})["connections"], {"master": 1, "member": 1, "ipv6": 0})

    def test_a_connection_carries_requests_until_the_client_or_a_fault_ends_it(self):
        call = xmlrpc.client.dumps((self.session,), "VM.get_all").encode()
        self.server.control({"cmd": "clear_calls"})
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=10,
                                           context=ssl._create_unverified_context())
        try:
            for _ in range(3):
                conn.request("POST", "/", call, {"Content-Type": "text/xml"})
                resp = conn.getresponse()
                self.assertIsNone(resp.getheader("Connection"))
                resp.read()
            conn.request("GET", "/rrd_updates?start=-10&session_id=" + self.session)
            conn.getresponse().read()
            self.server.control({"cmd": "fault", "mode": "error", "count": 1})
            conn.request("POST", "/", call, {"Content-Type": "text/xml"})
            resp = conn.getresponse()
            self.assertEqual(resp.getheader("Connection"), "close")
            resp.read()
            conn.request("POST", "/", call, {"Content-Type": "text/xml", "Connection": "close"})
            self.assertEqual(conn.getresponse().getheader("Connection"), "close")
        finally:
            conn.close()
        status = self.server.control({"cmd": "status"})
        self.assertEqual((status["requests"], status["tls_connections"]), (6, 2))
        self.assertEqual(self.server.control({"cmd": "calls"})["connections"]["master"], 2)

    def test_launcher_fails_a_command_that_leaves_sessions_live(self):
        leak = ("import os, ssl, xmlrpc.client\n"
                "print(os.environ['VANTREL_SIM_IPV6'])\n"
                "host = '[::1]' if os.environ['VANTREL_SIM_IPV6'] else '127.0.0.1'\n"
                "api = xmlrpc.client.ServerProxy('https://%s:%s/' % (host, os.environ['VANTREL_SIM_XENAPI_PORT']),"
                " context=ssl._create_unverified_context())\n"
                "api.session.login_with_password('root', 'xenroot', '1.0', 'leaky')\n")
        for extra in ([], ["--allow-live-sessions"]):
            proc = subprocess.run([sys.executable, os.path.join(SIM, "xensim.py"), "--certs", certs_dir(),
                                   "--only", "xenapi", "--ipv6", "--lifetime", "30"] + extra +
                                  ["--", sys.executable, "-c", leak], capture_output=True, text=True, timeout=60)
            ready, env = proc.stdout.splitlines()[:2]
            info = json.loads(ready[len("READY "):])
            self.assertEqual(env, info["ipv6"] or "")
            self.assertEqual(info["ipv6"] is None, "ipv6_error" in info)
            if extra:
                self.assertEqual((proc.returncode, proc.stderr), (0, ""))
            else:
                self.assertNotEqual(proc.returncode, 0)
                self.assertIn("xensim: 1 XenAPI session(s) left live: leaky/root", proc.stderr)
        sim = SimHost(certs_dir(), lifetime=30, extra=["--only", "xenapi"])  # what tests start themselves
        proxy = xmlrpc.client.ServerProxy("https://127.0.0.1:%d/" % sim.ports["xenapi"],
                                          context=ssl._create_unverified_context())
        proxy.session.login_with_password("root", "xenroot", "1.0", "leaky")
        with self.assertRaisesRegex(AssertionError, "1 XenAPI session.* leaky/root"):
            sim.stop()

    def test_stop_does_not_wait_for_a_hanging_connection(self):
        certs = certs_dir()
        server = xs.XenApiServer(self.host, os.path.join(certs, "xenapi-server.pem"),
                                 os.path.join(certs, "xenapi-server-key.pem"))
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
