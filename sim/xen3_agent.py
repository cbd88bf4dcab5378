#!/usr/bin/env python3
"""The simulated xen3 agent: the list-notation protocol over TLS with client certificates.

The agent listens on 127.0.0.1, runs TLS with the test CA's server certificate and
requires a client certificate signed by that CA. It serves the inventory of the host
it belongs to (read through host.inventory at every use, so it can be replaced while
the agent runs).

Wire format. Every message in both directions is one parenthesised list of quoted
texts followed by an empty line: ("msg" ("key" "value")("payload" ...)) + "\\n\\n".
Inside a quoted text a backslash escapes a backslash or a double quote; any other
backslash stands for itself. Numbers travel as quoted decimal text.

Channels. Every request arrives on a TLS connection of its own (main channel) and is
answered with one reply, after which the agent closes the connection. A connection
whose request is "sign_on_back" becomes the session's back channel: after the reply
the agent keeps it and pushes an "XS_DATA_SUMMARY" message on it one second after the
sign-on (or after the data interval, if shorter), then every data interval
(the request's "data_interval" in seconds, or the control override), until the client
closes it or a fault ends it.

Commands: sign_on_main (protocol 2.4 by default; configured for 2.3 it refuses 2.4
with a payload offering 2.3, with or without the configuration in the 2.3 reply),
sign_on_back, mh_getcfg, mh_shutdown ("reboot" | "halt"), sign_off_main, and the VM
commands vm_startup, vm_shutdown, vm_save, vm_restore, vm_reboot, vm_pause,
vm_unpause, which change the VM's power state through the inventory (refused with a
"reason" when the state does not allow them).

Control (the dict handed to control(); "target": "xen3" is ignored here):
  {"cmd": "fault", "mode": M, "command": C, "count": N}
        add a fault. command: only requests with that "cmd" (omitted: every request;
        push faults apply to pushes); count: only the next N matching requests or
        pushes (omitted: until cleared). Reply faults:
          refuse            FAILURE with a "reason"
          refuse_no_reason  FAILURE without "reason"
          no_status         a "msg" without "status"
          silence           no reply; the connection stays open until the client closes
          close             connection closed without a reply
          malformed         a frame that is not valid list notation
          not_msg           a valid frame whose list is named "reply", not "msg"
          fragmented        the reply trickles out in small pieces
          endless           a frame that never ends (no empty line), 64 MiB at most
        Connection fault (give no command): no_handshake, the TCP connection is accepted
          but no TLS is ever spoken on it.
        Push faults: malformed_push, not_msg_push, other_push (another "cmd"),
          lowercase_push ("xs_data_summary"), close_back (closes the back channel
          instead of pushing), endless_push, double_push (an "XS_EVENT" and the
          summary in one write, so that both arrive in one read), blank_line_push
          (the same, with a blank line inside a quoted text of the event).
  {"cmd": "set_description", "uuid": U, "description": D}
        the description of the VM U (no uuid: of the host) in the inventory; any
        text, blank lines and quotes included (the notation carries them in quotes)
  {"cmd": "clear_faults"}
  {"cmd": "requests"}        -> {"requests": [{"seq", "conn", "channel", "cmd", "raw"}]}
                                raw is the request's bytes (frame end included), base64
  {"cmd": "clear_requests"}
  {"cmd": "set_version", "minor": 4|3|..., "config_in_reply": bool, "offer": bool}
        minor: the only minor version accepted; offer: name it in the refusal's payload
  {"cmd": "set_credentials", "username": U, "password": P}
        the credentials both sign-ons accept (both null: the inventory's credentials)
  {"cmd": "set_push_interval", "seconds": S}                 null: the client's interval
  {"cmd": "freeze_figures", "at": T}        figures as at time T (null: live figures)
  {"cmd": "push_now"}                        push on every open back channel at once
  {"cmd": "close_back_channels"}
  {"cmd": "last_push"}        -> {"raw": base64 or null, "figures": {...} or null}
  {"cmd": "status"}           -> connection counters, back channels, sessions
  {"cmd": "reset"}            everything back to the start

Standalone: python3 sim/xen3_agent.py --port N [--certs DIR] [--inventory FILE]
"""

import argparse
import base64
import os
import select
import socket
import socketserver
import ssl
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import inventory as inventory_mod  # noqa: E402

FRAME_END = b"\n\n"
MAX_REQUEST = 1 << 20          # the largest request frame the agent accepts
ENDLESS_LIMIT = 64 << 20       # how much an endless frame sends at most
SILENCE_LIMIT = 120.0          # how long a silent connection is held at most
DEFAULT_INTERVAL = 5.0
FIRST_PUSH_DELAY = 1.0   # seconds from back-channel sign-on to the first summary

REPLY_FAULTS = ("refuse", "refuse_no_reason", "no_status", "silence", "close", "malformed",
                "not_msg", "fragmented", "endless")
CONNECTION_FAULTS = ("no_handshake",)
PUSH_FAULTS = ("malformed_push", "not_msg_push", "other_push", "lowercase_push", "close_back",
               "endless_push", "double_push", "blank_line_push")
BLANK_LINE_TEXT = "first paragraph\n\nsecond paragraph\n\n"  # the event of blank_line_push

VM_COMMANDS = {
    "vm_startup": "start",
    "vm_shutdown": "clean_shutdown",
    "vm_save": "suspend",
    "vm_restore": "resume",
    "vm_reboot": "clean_reboot",
    "vm_pause": "pause",
    "vm_unpause": "unpause",
}


# -- list notation ----------------------------------------------------------------------

class NotationError(Exception):
    pass


def _key(key):
    return key.encode("latin-1") if isinstance(key, str) else key


class Node:
    """One list: its name (the first quoted text) and its children (lists and texts)."""

    __slots__ = ("name", "children")

    def __init__(self, name=None):
        self.name = name
        self.children = []

    def find(self, key):
        key = _key(key)
        for child in self.children:
            if child.name == key:
                return child
        return None

    def all(self, key):
        key = _key(key)
        return [child for child in self.children if child.name == key]

    def value(self, key):
        node = self.find(key)
        if node is None or not node.children:
            return None
        return node.children[0].name

    def text(self, key):
        value = self.value(key)
        return None if value is None else value.decode("latin-1")

    def integer(self, key):
        value = self.value(key)
        if value is None:
            return None
        try:
            return int(value)
        except ValueError:
            return None


def _read_quoted(data, i):
    """data[i] follows an opening quote; returns (text, index after the closing quote)."""
    out = bytearray()
    n = len(data)
    while i < n:
        c = data[i]
        if c == 0x22:
            return bytes(out), i + 1
        if c == 0x5C and i + 1 < n and data[i + 1] in (0x5C, 0x22):
            out.append(data[i + 1])
            i += 2
            continue
        out.append(c)
        i += 1
    raise NotationError("frame ends inside a quoted text")


def parse_list(data):
    """The first top-level list of data as a Node. Bytes before it are skipped."""
    i = data.find(b"(")
    if i < 0:
        raise NotationError("no list in frame")
    i += 1
    root = Node()
    stack = [root]
    n = len(data)
    while stack:
        if i >= n:
            raise NotationError("frame ends inside a list")
        c = data[i]
        i += 1
        if c == 0x28:
            child = Node()
            stack[-1].children.append(child)
            stack.append(child)
        elif c == 0x29:
            stack.pop()
        elif c == 0x22:
            text, i = _read_quoted(data, i)
            top = stack[-1]
            if not top.name:
                top.name = text
            else:
                top.children.append(Node(text))
        elif c in b" \t\n\r\x0b\x0c":
            pass
        else:
            raise NotationError("unexpected byte %r" % bytes([c]))
    return root


def split_frame(buffer):
    """(frame, rest) when buffer holds a frame ending in an empty line outside quotes."""
    in_quotes = False
    i = 0
    n = len(buffer)
    while i < n:
        c = buffer[i]
        if in_quotes:
            if c == 0x5C and i + 1 < n and buffer[i + 1] in (0x5C, 0x22):
                i += 2
                continue
            if c == 0x22:
                in_quotes = False
        elif c == 0x22:
            in_quotes = True
        elif c == 0x0A and i + 1 < n and buffer[i + 1] == 0x0A:
            return bytes(buffer[:i + 2]), bytes(buffer[i + 2:])
        i += 1
    return None


def _bytes(value):
    if isinstance(value, bytes):
        return value
    if isinstance(value, bool):
        return b"true" if value else b"false"
    if isinstance(value, float):
        return repr(value).encode()
    return str(value).encode("latin-1")


def quote(value):
    return b'"' + _bytes(value).replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


def element(key, value):
    return b'("' + key.encode() + b'" ' + quote(value) + b")"


def lst(name, items):
    return b'("' + name.encode() + b'" ' + b"".join(items) + b")"


def fields(pairs):
    """Elements for the (key, value) pairs whose value is not None."""
    return [element(k, v) for k, v in pairs if v is not None]


def message(items):
    return lst("msg", items) + FRAME_END


# -- figures ----------------------------------------------------------------------------

def host_config_items(inv):
    host = inv.host
    mh = lst("mh", fields([
        ("signature", "xen3-agent-sim"),
        ("name", host.get("name")),
        ("id", host.get("id", "host-0")),
        ("time", time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime())),
        ("description", host.get("description")),
        ("memory", host.get("memory_mib")),
        ("num_cpus", len(host.get("cpu_utilisation", [])) or host.get("num_cpus")),
        ("free_memory", inv.host_free_memory_mib()),
        ("architecture", host.get("architecture")),
        ("xen_version", host.get("xen_version")),
    ]))
    guests = [lst("vm", fields([("name", vm.name), ("uuid", vm.uuid), ("description", vm.description)]))
              for vm in inv.guests()]
    return [lst("attr", [mh] + guests)]


def summary_figures(inv, now):
    """The figures of one XS_DATA_SUMMARY, as plain values (memory in MiB)."""
    host = inv.host
    cpus = inv.host_cpu_utilisation(now)
    mh = {
        "id": host.get("id", "host-0"),
        "time": "%.3f" % now,
        "xm_cpu_usage": round(sum(cpus) / len(cpus), 4) if cpus else 0.0,
        "bd_io": int(inventory_mod.wobble(host.get("disk_io", 0), 5, now)),
        "meminfo_free": inv.host_free_memory_mib(now),
        "if_io": int(inventory_mod.wobble(host.get("net_io", 0), 9, now)),
        "bd_total": host.get("disk_total_mib", 512000),
        "bd_free": host.get("disk_free_mib", 256000),
    }
    vms = []
    for vm in inv.guests():
        running = inv.vm_running(vm, now)
        vcpus = inv.vm_vcpu_utilisation(vm, now)
        vbd = sum(d.get("read_kbs", 0) + d.get("write_kbs", 0) for d in vm.vbds)
        vif = sum(d.get("read_kbs", 0) + d.get("write_kbs", 0) for d in vm.vifs)
        vms.append({
            "uuid": vm.uuid,
            "state": inventory_mod.XEN3_STATE[inv.power_state(vm, now)],
            "time": "%.3f" % now,
            "cpu_usage": round(sum(vcpus) / len(vcpus), 4) if vcpus else 0.0,
            "uptime_system": 3600.0 if running else 0.0,
            "uptime_idle": 1800.0 if running else 0.0,
            "vbd_io": int(inventory_mod.wobble(vbd, 13, now)) if running else 0,
            "meminfo_free": inv.vm_memory_free_mib(vm, now),
            "meminfo_total": vm.memory_mib,
            "vif_io": int(inventory_mod.wobble(vif, 17, now)) if running else 0,
            "num_vcpu": vm.vcpus,
        })
    return {"mh": mh, "vm": vms}


MH_KEYS = ("id", "time", "xm_cpu_usage", "bd_io", "meminfo_free", "if_io", "bd_total", "bd_free")
VM_KEYS = ("uuid", "state", "time", "cpu_usage", "uptime_system", "uptime_idle", "vbd_io",
           "meminfo_free", "meminfo_total", "vif_io", "num_vcpu")


def summary_message(figures, session_id, cmd="XS_DATA_SUMMARY"):
    mh = lst("mh", fields((k, figures["mh"][k]) for k in MH_KEYS))
    vms = [lst("vm", fields((k, vm[k]) for k in VM_KEYS)) for vm in figures["vm"]]
    return message([element("cmd", cmd), lst("payload", [lst("data", [mh] + vms)])]
                   + fields([("session_id", session_id)]))


# -- the agent --------------------------------------------------------------------------

class _Fault:
    def __init__(self, mode, command, count):
        self.mode = mode
        self.command = command
        self.remaining = count    # None: until cleared


class _BackChannel:
    def __init__(self, conn_id, sock, session_id, interval):
        self.conn_id = conn_id
        self.sock = sock
        self.session_id = session_id
        self.interval = interval
        self.open = True
        self.closed_by = None
        self.pushes = 0
        self.push_now = False
        self.close_now = False


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.server.agent._serve(self.request)


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128


class Xen3Agent:
    def __init__(self, host, server_cert, server_key, ca_file):
        self.host = host
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(server_cert, server_key)
        self.context.load_verify_locations(ca_file)
        self.context.verify_mode = ssl.CERT_REQUIRED
        self.lock = threading.Lock()
        self.server = None
        self.stopping = threading.Event()
        self.sockets = set()
        self.reset()

    # -- life ----------------------------------------------------------------------------
    def reset(self):
        with self.lock:
            self.faults = []
            self.requests = []
            self.minor = 4
            self.config_in_reply = False
            self.offer = True
            self.credentials = None
            self.push_interval = None
            self.frozen_at = None
            self.last_push = None
            self.sessions = {}
            self.tcp_connections = 0
            self.handshakes = 0
            self.handshake_failures = 0
            self.next_conn = 0
            channels = getattr(self, "back_channels", [])
            self.back_channels = []
        for channel in channels:
            channel.close_now = True

    def start(self, host="127.0.0.1", port=0):
        self.server = _Server((host, port), _Handler)
        self.server.agent = self
        threading.Thread(target=self.server.serve_forever, args=(0.05,), name="xen3-agent", daemon=True).start()
        return self.server.server_address[1]

    def stop(self):
        self.stopping.set()
        if self.server is not None:
            self.server.shutdown()
            self.server.server_close()
        with self.lock:
            sockets = list(self.sockets)
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    # -- control -------------------------------------------------------------------------
    def control(self, request):
        cmd = request.get("cmd")
        if cmd == "fault":
            mode = request.get("mode")
            if mode not in REPLY_FAULTS + PUSH_FAULTS + CONNECTION_FAULTS:
                return {"ok": False, "error": "unknown fault mode %r" % mode}
            count = request.get("count")
            with self.lock:
                self.faults.append(_Fault(mode, request.get("command"), None if count is None else int(count)))
            return {"ok": True}
        if cmd == "set_description":
            description = request.get("description")
            if not isinstance(description, str):
                return {"ok": False, "error": "description must be a text"}
            inv = self.host.inventory
            uuid = request.get("uuid")
            if uuid is None:
                inv.host["description"] = description
                return {"ok": True}
            vm = inv.find(uuid)
            if vm is None:
                return {"ok": False, "error": "no VM %r" % uuid}
            vm.data["description"] = description
            return {"ok": True}
        if cmd == "clear_faults":
            with self.lock:
                self.faults = []
            return {"ok": True}
        if cmd == "requests":
            with self.lock:
                return {"ok": True, "requests": [dict(r) for r in self.requests]}
        if cmd == "clear_requests":
            with self.lock:
                self.requests = []
            return {"ok": True}
        if cmd == "set_version":
            with self.lock:
                self.minor = int(request.get("minor", 4))
                self.config_in_reply = bool(request.get("config_in_reply", False))
                self.offer = bool(request.get("offer", True))
            return {"ok": True}
        if cmd == "set_credentials":
            with self.lock:
                user, password = request.get("username"), request.get("password")
                self.credentials = None if user is None and password is None else (user, password)
            return {"ok": True}
        if cmd == "set_push_interval":
            seconds = request.get("seconds")
            with self.lock:
                self.push_interval = None if seconds is None else float(seconds)
            return {"ok": True}
        if cmd == "freeze_figures":
            at = request.get("at")
            with self.lock:
                self.frozen_at = None if at is None else float(at)
            return {"ok": True}
        if cmd in ("push_now", "close_back_channels"):
            with self.lock:
                channels = [c for c in self.back_channels if c.open]
            for channel in channels:
                if cmd == "push_now":
                    channel.push_now = True
                else:
                    channel.close_now = True
            return {"ok": True, "channels": len(channels)}
        if cmd == "last_push":
            with self.lock:
                last = self.last_push
            if last is None:
                return {"ok": True, "raw": None, "figures": None}
            return {"ok": True, "raw": base64.b64encode(last[0]).decode(), "figures": last[1]}
        if cmd == "status":
            with self.lock:
                return {
                    "ok": True,
                    "tcp_connections": self.tcp_connections,
                    "handshakes": self.handshakes,
                    "handshake_failures": self.handshake_failures,
                    "back_channels": [{"conn": c.conn_id, "open": c.open, "closed_by": c.closed_by,
                                       "pushes": c.pushes, "interval": c.interval,
                                       "session_id": c.session_id} for c in self.back_channels],
                    "sessions": sorted(self.sessions),
                }
        if cmd == "reset":
            self.reset()
            return {"ok": True}
        return {"ok": False, "error": "unknown xen3 command %r" % cmd}

    def _take_fault(self, command, modes):
        with self.lock:
            for fault in self.faults:
                if fault.mode not in modes or fault.remaining == 0:
                    continue
                if fault.command is not None and fault.command != command:
                    continue
                if fault.remaining is not None:
                    fault.remaining -= 1
                return fault.mode
        return None

    # -- connections ---------------------------------------------------------------------
    def _serve(self, raw):
        with self.lock:
            self.tcp_connections += 1
            self.next_conn += 1
            conn_id = self.next_conn
            self.sockets.add(raw)
        try:
            raw.settimeout(10.0)
            # Replies and pushes go out at once, not after the peer's delayed ACK.
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self._take_fault(None, ("no_handshake",)):
                self._hold(raw)
                return
            try:
                sock = self.context.wrap_socket(raw, server_side=True)
            except (OSError, ssl.SSLError):
                with self.lock:
                    self.handshake_failures += 1
                return
            with self.lock:
                self.handshakes += 1
                self.sockets.add(sock)
            try:
                self._serve_tls(sock, conn_id)
            finally:
                with self.lock:
                    self.sockets.discard(sock)
                try:
                    sock.close()
                except OSError:
                    pass
        finally:
            with self.lock:
                self.sockets.discard(raw)
            try:
                raw.close()
            except OSError:
                pass

    def _read_frame(self, sock, timeout):
        buffer = b""
        deadline = time.monotonic() + timeout
        while True:
            found = split_frame(buffer)
            if found:
                return found[0]
            if len(buffer) > MAX_REQUEST:
                return None
            left = deadline - time.monotonic()
            if left <= 0 or self.stopping.is_set():
                return None
            sock.settimeout(min(left, 1.0))
            try:
                chunk = sock.recv(65536)
            except socket.timeout:
                continue
            except (OSError, ssl.SSLError):
                return None
            if not chunk:
                return None
            buffer += chunk

    def _record(self, conn_id, channel, frame, command):
        with self.lock:
            self.requests.append({"seq": len(self.requests), "conn": conn_id, "channel": channel,
                                  "cmd": command, "raw": base64.b64encode(frame).decode()})

    def _serve_tls(self, sock, conn_id):
        frame = self._read_frame(sock, 30.0)
        if frame is None:
            return
        try:
            request = parse_list(frame)
            command = request.text("cmd") if request.name == b"msg" else None
        except NotationError:
            request, command = None, None
        self._record(conn_id, "main", frame, command)
        fault = self._take_fault(command, REPLY_FAULTS)
        session_id = request.text("session_id") if request is not None else None
        if fault == "close":
            return
        if fault == "silence":
            self._hold(sock)
            return
        if fault == "endless":
            self._send_endless(sock, b'("msg" ("status" "SUCCESS")("reason" "')
            return
        if fault == "malformed":
            self._send(sock, b'("msg" ("status" "SUCCESS") oops)\n\n')
            return
        if fault == "not_msg":
            self._send(sock, lst("reply", fields([("status", "SUCCESS")])) + FRAME_END)
            return
        if request is None or request.name != b"msg" or command is None:
            self._send(sock, message(fields([("status", "FAILURE"), ("reason", "malformed request"),
                                             ("reason_code", 400)])))
            return
        if fault in ("refuse", "refuse_no_reason", "no_status"):
            items = {"refuse": [("status", "FAILURE"), ("reason", "%s refused by the agent" % command),
                                ("reason_code", 13)],
                     "refuse_no_reason": [("status", "FAILURE"), ("reason_code", 13)],
                     "no_status": [("action", command)]}[fault]
            self._send(sock, message(fields(items + [("session_id", session_id), ("sync", 1)])))
            return
        reply, back = self._dispatch(request, command, session_id)
        if fault == "fragmented":
            self._send_fragmented(sock, reply)
        else:
            self._send(sock, reply)
        if back is not None:
            self._run_back_channel(sock, conn_id, back)

    def _send(self, sock, data):
        try:
            sock.settimeout(10.0)
            sock.sendall(data)
            return True
        except (OSError, ssl.SSLError):
            return False

    def _send_fragmented(self, sock, data):
        for i in range(0, len(data), 7):
            if not self._send(sock, data[i:i + 7]):
                return
            time.sleep(0.002)

    def _send_endless(self, sock, head):
        if not self._send(sock, head):
            return
        chunk = b"A" * 65536
        sent = len(head)
        while sent < ENDLESS_LIMIT and not self.stopping.is_set():
            if not self._send(sock, chunk):
                return
            sent += len(chunk)

    def _hold(self, sock):
        """Keeps a connection open without a word until the peer closes it."""
        deadline = time.monotonic() + SILENCE_LIMIT
        while time.monotonic() < deadline and not self.stopping.is_set():
            sock.settimeout(0.2)
            try:
                if not sock.recv(4096):
                    return
            except socket.timeout:
                continue
            except (OSError, ssl.SSLError):
                return

    # -- requests ------------------------------------------------------------------------
    def _reply(self, session_id, status, reason=None, reason_code=None, payload=None):
        items = fields([("status", status), ("reason", reason), ("reason_code", reason_code)])
        if payload is not None:
            items.append(lst("payload", payload))
        return message(items + fields([("session_id", session_id), ("sync", 1)]))

    def _credentials_ok(self, payload):
        with self.lock:
            expected = self.credentials
        given = (payload.text("username"), payload.text("password")) if payload is not None else (None, None)
        if expected is None:
            return self.host.inventory.check_credentials(*given)
        return given == expected

    def _dispatch(self, request, command, session_id):
        """(reply bytes, back-channel settings or None)."""
        payload = request.find("payload")
        inv = self.host.inventory
        if command == "sign_on_main":
            if not session_id:
                return self._reply(session_id, "FAILURE", "missing session_id", 2), None
            if not self._credentials_ok(payload):
                return self._reply(session_id, "FAILURE", "authentication failed", 1), None
            major = payload.integer("major_version") if payload is not None else None
            minor = payload.integer("minor_version") if payload is not None else None
            with self.lock:
                accepted, config, offer = self.minor, self.config_in_reply, self.offer
            if major != 2 or minor != accepted:
                offered = [element("major_version", 2), element("minor_version", accepted)] if offer else None
                return self._reply(session_id, "FAILURE", "protocol version %s.%s not supported" % (major, minor),
                                   3, offered), None
            with self.lock:
                self.sessions[session_id] = minor
            return self._reply(session_id, "SUCCESS", payload=host_config_items(inv) if config else None), None
        with self.lock:
            known = session_id in self.sessions
        if not known:
            return self._reply(session_id, "FAILURE", "invalid session", 2), None
        if command == "sign_on_back":
            if not self._credentials_ok(payload):
                return self._reply(session_id, "FAILURE", "authentication failed", 1), None
            interval = payload.integer("data_interval") if payload is not None else None
            return self._reply(session_id, "SUCCESS"), (session_id, interval)
        if command == "mh_getcfg":
            return self._reply(session_id, "SUCCESS", payload=host_config_items(inv)), None
        if command == "mh_shutdown":
            kind = payload.text("type") if payload is not None else None
            if kind not in ("reboot", "halt"):
                return self._reply(session_id, "FAILURE", "unknown shutdown type", 5), None
            return self._reply(session_id, "SUCCESS"), None
        if command == "sign_off_main":
            with self.lock:
                self.sessions.pop(session_id, None)
            return self._reply(session_id, "SUCCESS"), None
        if command in VM_COMMANDS:
            uuid = payload.text("uuid") if payload is not None else None
            vm = inv.find(uuid) if uuid is not None else None
            if vm is None or not vm.is_guest():
                return self._reply(session_id, "FAILURE", "unknown VM %s" % uuid, 4), None
            try:
                inv.operate(vm, VM_COMMANDS[command])
            except inventory_mod.OperationRefused as exc:
                state = inventory_mod.XEN3_STATE.get(exc.actual.capitalize(), exc.actual)
                return self._reply(session_id, "FAILURE", "%s not allowed: VM is %s" % (command, state),
                                   6 if exc.code == "VM_BAD_POWER_STATE" else 7), None
            return self._reply(session_id, "SUCCESS"), None
        return self._reply(session_id, "FAILURE", "unknown command %s" % command, 8), None

    # -- back channel --------------------------------------------------------------------
    def _interval(self, channel):
        with self.lock:
            override = self.push_interval
        if override is not None:
            return max(override, 0.01)
        if channel.interval is None or channel.interval <= 0:
            return DEFAULT_INTERVAL
        return float(channel.interval)

    def _run_back_channel(self, sock, conn_id, settings):
        session_id, interval = settings
        channel = _BackChannel(conn_id, sock, session_id, interval)
        with self.lock:
            self.back_channels.append(channel)
        try:
            # Like the real agent, the first summary follows the sign-on soon (so that a
            # client sees figures within a few seconds), then one every data interval.
            next_push = time.monotonic() + min(self._interval(channel), FIRST_PUSH_DELAY)
            while not self.stopping.is_set():
                if channel.close_now:
                    channel.closed_by = "agent"
                    return
                now = time.monotonic()
                if channel.push_now or now >= next_push:
                    channel.push_now = False
                    if not self._push(channel):
                        return
                    next_push = time.monotonic() + self._interval(channel)
                    continue
                wait = min(0.05, max(0.0, next_push - now))
                if sock.pending() == 0:
                    readable, _, _ = select.select([sock], [], [], wait)
                    if not readable:
                        continue
                try:
                    sock.settimeout(0.0)
                    data = sock.recv(4096)
                except (ssl.SSLWantReadError, BlockingIOError):
                    continue
                except (OSError, ssl.SSLError):
                    data = b""
                if not data:
                    channel.closed_by = "client"
                    return
                self._record(conn_id, "back", data, None)
        finally:
            channel.open = False

    def _push(self, channel):
        with self.lock:
            frozen = self.frozen_at
        fault = self._take_fault("push", PUSH_FAULTS)
        if fault == "close_back":
            channel.closed_by = "agent"
            return False
        inv = self.host.inventory
        figures = summary_figures(inv, time.time() if frozen is None else frozen)
        if fault == "endless_push":
            self._send_endless(channel.sock, b'("msg" ("cmd" "XS_DATA_SUMMARY")("payload" ("data" ("mh" ("id" "')
            channel.closed_by = "agent"
            return False
        if fault == "malformed_push":
            data = b'("msg" ("cmd" "XS_DATA_SUMMARY") #garbage#)\n\n'
        elif fault == "not_msg_push":
            data = summary_message(figures, channel.session_id).replace(b'("msg"', b'("note"', 1)
        elif fault == "other_push":
            data = summary_message(figures, channel.session_id, cmd="XS_EVENT")
        elif fault == "double_push":
            data = (summary_message(figures, channel.session_id, cmd="XS_EVENT")
                    + summary_message(figures, channel.session_id))
        elif fault == "blank_line_push":
            event = message([element("cmd", "XS_EVENT"), lst("payload", [element("description", BLANK_LINE_TEXT)])]
                            + fields([("session_id", channel.session_id)]))
            data = event + summary_message(figures, channel.session_id)
        elif fault == "lowercase_push":
            data = summary_message(figures, channel.session_id, cmd="xs_data_summary")
        else:
            data = summary_message(figures, channel.session_id)
        if not self._send(channel.sock, data):
            channel.closed_by = channel.closed_by or "client"
            return False
        with self.lock:
            channel.pushes += 1
            if fault in (None, "lowercase_push", "double_push", "blank_line_push"):
                self.last_push = (data, figures)
        return True


# -- standalone -------------------------------------------------------------------------

class _StandaloneHost:
    def __init__(self, path):
        self.inventory = inventory_mod.Inventory.load(path)


def main(argv):
    parser = argparse.ArgumentParser(description="The simulated xen3 agent on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--certs", default=os.path.join(os.getcwd(), "sim-certs"),
                        help="test PKI directory (made with make_certs.sh when missing)")
    parser.add_argument("--inventory", default=os.path.join(HERE, "inventory.json"))
    parser.add_argument("--lifetime", type=float, default=3600.0)
    args = parser.parse_args(argv)
    import subprocess
    subprocess.run([os.path.join(HERE, "make_certs.sh"), args.certs], check=True)
    agent = Xen3Agent(_StandaloneHost(args.inventory), os.path.join(args.certs, "server.pem"),
                      os.path.join(args.certs, "server-key.pem"), os.path.join(args.certs, "ca.pem"))
    port = agent.start("127.0.0.1", args.port)
    print("xen3 agent listening on 127.0.0.1:%d (client files in %s)" % (port, args.certs), flush=True)
    try:
        time.sleep(args.lifetime)
    except KeyboardInterrupt:
        pass
    agent.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
