#!/usr/bin/env python3
"""Tests of the simulated xen3 agent: its notation reader and writer, and the agent over
real TLS connections on 127.0.0.1 with the test PKI made by make_certs.sh."""

import base64
import os
import socket
import ssl
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from support import SIM, certs_dir  # noqa: E402,F401
import inventory  # noqa: E402
import xen3_agent as xa  # noqa: E402


class NotationTest(unittest.TestCase):
    def test_escapes_round_trip(self):
        text = b'a "quoted" \\ back\\slash\nline'
        frame = xa.message([xa.element("reason", text)])
        node = xa.parse_list(frame)
        self.assertEqual(node.name, b"msg")
        self.assertEqual(node.value("reason"), text)

    def test_backslash_before_other_byte_stays(self):
        node = xa.parse_list(b'("msg" ("k" "a\\nb"))')
        self.assertEqual(node.value("k"), b"a\\nb")

    def test_nested_lists_and_runs(self):
        node = xa.parse_list(b'junk ("msg" ("payload" ("attr" ("vm" ("uuid" "1")) ("vm" ("uuid" "2")))))')
        attr = node.find("payload").find("attr")
        self.assertEqual([vm.value("uuid") for vm in attr.all(b"vm")], [b"1", b"2"])

    def test_malformed_input_raises(self):
        for bad in (b'("msg" x)', b'("msg" ("k" "open', b"no list at all", b'("msg" ("k" "v")'):
            with self.assertRaises(xa.NotationError, msg=bad):
                xa.parse_list(bad)

    def test_frame_end_inside_quotes_is_not_a_frame_end(self):
        buffer = b'("msg" ("k" "a\n\nb"))\n\n("next"'
        frame, rest = xa.split_frame(buffer)
        self.assertEqual(frame, b'("msg" ("k" "a\n\nb"))\n\n')
        self.assertEqual(rest, b'("next"')
        self.assertIsNone(xa.split_frame(b'("msg" ("k" "v"))\n'))


class Host:
    def __init__(self, data=None):
        path = os.path.join(SIM, "inventory.json")
        self.inventory = inventory.Inventory(data) if data else inventory.Inventory.load(path)


class AgentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = certs_dir()

    def setUp(self):
        self.host = Host()
        self.host.inventory.transition_seconds = 0
        c = self.certs
        self.agent = xa.Xen3Agent(self.host, os.path.join(c, "server.pem"), os.path.join(c, "server-key.pem"),
                                  os.path.join(c, "ca.pem"))
        self.port = self.agent.start("127.0.0.1", 0)
        self.client = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        self.client.check_hostname = False
        self.client.verify_mode = ssl.CERT_NONE
        self.client.load_cert_chain(os.path.join(c, "xencert.pem"), os.path.join(c, "key.pem"))
        self.sid = "11111111-2222-4333-8444-555555555555"

    def tearDown(self):
        self.agent.stop()

    # helpers
    def connect(self, context=None):
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        return (context or self.client).wrap_socket(raw)

    def read_frame(self, sock, limit=1 << 20):
        buffer = b""
        while True:
            found = xa.split_frame(buffer)
            if found:
                return found[0]
            chunk = sock.recv(65536)
            if not chunk:
                return buffer or None
            buffer += chunk
            if len(buffer) > limit:
                return buffer

    def request(self, cmd, payload=(), sid=None, keep=False):
        items = [xa.element("cmd", cmd)]
        if payload is not None:
            items.append(xa.lst("payload", [xa.element(k, v) for k, v in payload]))
        items += [xa.element("session_id", self.sid if sid is None else sid), xa.element("sync", 1)]
        sock = self.connect()
        sock.sendall(xa.message(items))
        frame = self.read_frame(sock)
        if keep:
            return frame, sock
        sock.close()
        return frame

    def sign_on(self, minor=4, user="root", password="xenroot"):
        frame = self.request("sign_on_main", [("major_version", 2), ("minor_version", minor),
                                              ("username", user), ("password", password)])
        return xa.parse_list(frame)

    # tests
    def test_sign_on_24_and_records_raw_bytes(self):
        reply = self.sign_on()
        self.assertEqual(reply.value("status"), b"SUCCESS")
        self.assertIsNone(reply.find("payload"))
        recorded = self.agent.control({"cmd": "requests"})["requests"]
        self.assertEqual(len(recorded), 1)
        raw = base64.b64decode(recorded[0]["raw"])
        self.assertTrue(raw.startswith(b'("msg" ("cmd" "sign_on_main")'))
        self.assertTrue(raw.endswith(b'("sync" "1"))\n\n'))
        self.assertEqual(recorded[0]["cmd"], "sign_on_main")

    def test_wrong_credentials_refused(self):
        reply = self.sign_on(password="wrong")
        self.assertEqual(reply.value("status"), b"FAILURE")
        self.assertIsNotNone(reply.value("reason"))
        self.agent.control({"cmd": "set_credentials", "username": "u", "password": "p"})
        self.assertEqual(self.sign_on(user="u", password="p").value("status"), b"SUCCESS")

    def test_version_23_negotiation(self):
        self.agent.control({"cmd": "set_version", "minor": 3, "config_in_reply": True})
        refused = self.sign_on(4)
        self.assertEqual(refused.value("status"), b"FAILURE")
        self.assertEqual(refused.find("payload").value("minor_version"), b"3")
        accepted = self.sign_on(3)
        self.assertEqual(accepted.value("status"), b"SUCCESS")
        self.assertIsNotNone(accepted.find("payload").find("attr").find("mh"))
        self.agent.control({"cmd": "set_version", "minor": 3, "offer": False})
        self.assertIsNone(self.sign_on(4).find("payload"))

    def test_requests_need_a_signed_on_session(self):
        reply = xa.parse_list(self.request("mh_getcfg", None))
        self.assertEqual(reply.value("status"), b"FAILURE")
        self.sign_on()
        reply = xa.parse_list(self.request("mh_getcfg", None))
        attr = reply.find("payload").find("attr")
        guests = attr.all(b"vm")
        self.assertEqual(len(guests), len(self.host.inventory.guests()))
        self.assertEqual(attr.find("mh").value("memory"), b"32768")

    def test_client_without_certificate_is_rejected(self):
        bare = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        bare.check_hostname = False
        bare.verify_mode = ssl.CERT_NONE
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        with self.assertRaises((ssl.SSLError, OSError)):
            sock = bare.wrap_socket(raw)
            raw = sock
            sock.sendall(b'("msg" ("cmd" "mh_getcfg"))\n\n')
            if not sock.recv(100):
                raise OSError("closed")
        raw.close()
        self.assertEqual(self.agent.control({"cmd": "requests"})["requests"], [])

    def test_vm_commands_change_state_and_refuse(self):
        self.sign_on()
        web = self.host.inventory.guests()[0]
        uuid = web.uuid
        ok = xa.parse_list(self.request("vm_shutdown", [("uuid", uuid)]))
        self.assertEqual(ok.value("status"), b"SUCCESS")
        self.assertEqual(self.host.inventory.power_state(web), "Halted")
        refused = xa.parse_list(self.request("vm_shutdown", [("uuid", uuid)]))
        self.assertEqual(refused.value("status"), b"FAILURE")
        self.assertIn(b"DOWN", refused.value("reason"))
        started = xa.parse_list(self.request("vm_startup", [("uuid", uuid), ("start_force", 1)]))
        self.assertEqual(started.value("status"), b"SUCCESS")
        self.assertEqual(self.host.inventory.power_state(web), "Running")

    def test_back_channel_pushes_changing_figures(self):
        self.sign_on()
        self.agent.control({"cmd": "set_push_interval", "seconds": 0.05})
        frame, sock = self.request("sign_on_back", [("force", "true"), ("username", "root"),
                                                    ("password", "xenroot"), ("data_interval", 5)], keep=True)
        self.assertEqual(xa.parse_list(frame).value("status"), b"SUCCESS")
        sock.settimeout(5)
        first = xa.parse_list(self.read_frame(sock))
        self.assertEqual(first.value("cmd"), b"XS_DATA_SUMMARY")
        data = first.find("payload").find("data")
        self.assertEqual(len(data.all(b"vm")), len(self.host.inventory.guests()))
        times = {data.find("mh").value("time")}
        for _ in range(3):
            times.add(xa.parse_list(self.read_frame(sock)).find("payload").find("data").find("mh").value("time"))
        self.assertGreater(len(times), 1)
        sock.close()
        deadline = time.time() + 5
        while time.time() < deadline:
            channels = self.agent.control({"cmd": "status"})["back_channels"]
            if not channels[0]["open"]:
                break
            time.sleep(0.05)
        self.assertEqual(channels[0]["closed_by"], "client")

    def test_push_faults(self):
        self.sign_on()
        self.agent.control({"cmd": "set_push_interval", "seconds": 0.05})
        self.agent.control({"cmd": "fault", "mode": "other_push", "count": 1})
        self.agent.control({"cmd": "fault", "mode": "malformed_push", "count": 1})
        frame, sock = self.request("sign_on_back", [("force", "true"), ("username", "root"),
                                                    ("password", "xenroot"), ("data_interval", 1)], keep=True)
        sock.settimeout(5)
        self.assertEqual(xa.parse_list(self.read_frame(sock)).value("cmd"), b"XS_EVENT")
        with self.assertRaises(xa.NotationError):
            xa.parse_list(self.read_frame(sock))
        self.assertEqual(xa.parse_list(self.read_frame(sock)).value("cmd"), b"XS_DATA_SUMMARY")
        self.agent.control({"cmd": "fault", "mode": "close_back", "count": 1})
        deadline = time.time() + 5
        frame = b"x"
        while frame and time.time() < deadline:
            frame = self.read_frame(sock)
        self.assertFalse(frame)
        sock.close()

    def test_descriptions_with_blank_lines_travel_in_one_frame(self):
        self.sign_on()
        web = self.host.inventory.guests()[0]
        text = 'rack 3\n\n"spare" \\ unit\n\n'
        self.assertTrue(self.agent.control({"cmd": "set_description", "description": text})["ok"])
        self.assertTrue(self.agent.control({"cmd": "set_description", "uuid": web.uuid, "description": text})["ok"])
        self.assertFalse(self.agent.control({"cmd": "set_description", "uuid": "nope", "description": text})["ok"])
        attr = xa.parse_list(self.request("mh_getcfg", None)).find("payload").find("attr")
        self.assertEqual(attr.find("mh").text("description"), text)
        self.assertEqual(attr.all(b"vm")[0].text("description"), text)

        self.agent.control({"cmd": "set_push_interval", "seconds": 3600})
        self.agent.control({"cmd": "fault", "mode": "blank_line_push", "count": 1})
        frame, sock = self.request("sign_on_back", [("force", "true"), ("username", "root"),
                                                    ("password", "xenroot"), ("data_interval", 1)], keep=True)
        sock.settimeout(5)
        self.agent.control({"cmd": "push_now"})
        data = b""
        while data.count(b"\n\n") < 4:  # two in the event's text, one after each frame
            data += sock.recv(65536)
        event, rest = xa.split_frame(data)
        self.assertEqual(xa.parse_list(event).find("payload").text("description"), xa.BLANK_LINE_TEXT)
        self.assertEqual(xa.parse_list(rest).value("cmd"), b"XS_DATA_SUMMARY")
        sock.close()

    def test_reply_faults_apply_to_the_next_n_of_a_command(self):
        self.sign_on()
        self.agent.control({"cmd": "fault", "mode": "refuse_no_reason", "command": "mh_getcfg", "count": 1})
        self.agent.control({"cmd": "fault", "mode": "not_msg", "command": "mh_shutdown"})
        refused = xa.parse_list(self.request("mh_getcfg", None))
        self.assertEqual(refused.value("status"), b"FAILURE")
        self.assertIsNone(refused.find("reason"))
        self.assertEqual(xa.parse_list(self.request("mh_getcfg", None)).value("status"), b"SUCCESS")
        for _ in range(2):
            self.assertEqual(xa.parse_list(self.request("mh_shutdown", [("type", "halt")])).name, b"reply")
        self.agent.control({"cmd": "fault", "mode": "close", "command": "mh_getcfg", "count": 1})
        self.assertIsNone(self.request("mh_getcfg", None))

    def test_silence_holds_the_connection(self):
        self.sign_on()
        self.agent.control({"cmd": "fault", "mode": "silence", "count": 1})
        sock = self.connect()
        sock.sendall(b'("msg" ("cmd" "mh_getcfg")("session_id" "%s")("sync" "1"))\n\n' % self.sid.encode())
        sock.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            sock.recv(100)
        sock.close()

    def test_endless_frame_never_ends(self):
        self.sign_on()
        self.agent.control({"cmd": "fault", "mode": "endless", "count": 1})
        sock = self.connect()
        sock.sendall(b'("msg" ("cmd" "mh_getcfg")("session_id" "%s")("sync" "1"))\n\n' % self.sid.encode())
        data = bytearray()
        while len(data) < (4 << 20):
            chunk = sock.recv(65536)
            self.assertTrue(chunk, "the endless frame stopped early")
            data += chunk
        self.assertTrue(data.startswith(b'("msg" '))
        self.assertNotIn(b"\n\n", data)
        sock.close()


if __name__ == "__main__":
    unittest.main()
