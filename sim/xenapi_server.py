#!/usr/bin/env python3
"""The simulated XenAPI server: XML-RPC over HTTPS on 127.0.0.1, a pool member's
listener on 127.0.0.2 with the same port, and optionally the master's on [::1] too. TLS
as current servers: TLS 1.2 only, two ECDHE-RSA AES-GCM ciphers in the server's order,
P-384; the certificate is the one given (xensim.py: xenapi-server.pem, signed by the
test CA).

A connection stays open between requests (HTTP/1.1 keep-alive) until the client closes
it, asks to with "Connection: close", or leaves it idle for 30 s; an answer shaped by a
fault closes it. The server serves the inventory of the host it belongs to, read through
host.inventory at every call (so it can be replaced while the server runs), with
XenAPI's wire conventions:

  * every call except session.login_with_password takes the session reference first;
  * results are {"Status": "Success", "Value": v}; API errors are
    {"Status": "Failure", "ErrorDescription": [name, params...]}, never XML-RPC faults;
  * 64-bit integers (memory in bytes, VCPU counts) are decimal strings, references are
    "OpaqueRef:" + a UUID (stable for an object: derived from the inventory's names and
    uuids), and "OpaqueRef:NULL" is the null reference (a VM without guest tools or a
    halted VM has no guest metrics).

Two profiles (sim/README.md has the details):
  * "current" answers as today's servers: MESSAGE_REMOVED for the removed metrics
    messages (after the parameter count, which does not count the session, and the
    session check), their records' dead values (0.0, {}), host_cpu utilisation 0.0,
    GET /rrd_updates with the live figures, bulk *.get_all_records reads, VM.start and
    VM.resume with exactly (session, vm, start_paused, force), power operations that
    return once done, strings and ints as bare <value>text</value>;
  * "legacy" answers as older servers: the per-object metrics calls with live figures,
    no /rrd_updates (404), bulk reads only after set_bulk, power operations that return
    at once while the state follows after transition_seconds, <string> values.

Objects: the pool master (the inventory's "host") and, when the inventory has one, the
member, each with software_version, host_CPUs, PIFs with metrics, host_metrics in
bytes, an address and a hostname; all VMs of the inventory including templates,
snapshots and the control domain, resident on the master or the member while Running
or Paused; VM_metrics; VM_guest_metrics; VIFs and VBDs with records and metrics. The
listener of the host that is not the pool's master answers every XML-RPC call with
HOST_IS_SLAVE [master address]; each listener serves /rrd_updates for its own host and
VMs; sessions are pool-wide and live on the master. Listeners are named by their host:
"master" (127.0.0.1 and [::1]) and "member" (127.0.0.2), whichever is the pool's master.

Sessions: login_with_password(user, password[, version[, originator]]) opens one, logout
or forget_sessions ends it (a logout the server received ends it even when a fault then
withholds or replaces the answer). Beyond 400 live root sessions naming no originator (500 per
originator, 500 per other user) the least recently used of that group are destroyed
silently, as real servers do.

Power operations (VM.start, VM.resume, VM.clean_shutdown, VM.suspend, VM.clean_reboot,
VM.pause, VM.unpause) go through the inventory's state machine: while one runs, the VM's
allowed_operations is empty and another operation is refused with OPERATION_NOT_ALLOWED;
an operation the state does not allow gets VM_BAD_POWER_STATE [vm, expected, actual].
Other errors: SESSION_AUTHENTICATION_FAILED [user, message], SESSION_INVALID [session]
(also after logout), HANDLE_INVALID [class, ref] (also for a deleted VM's objects),
MESSAGE_METHOD_UNKNOWN [method], MESSAGE_PARAMETER_COUNT_MISMATCH [method, expected,
received], HOST_NOT_DISABLED [host] for a reboot or shut-down of an enabled host.

Control (the dict handed to control(); "target": "xenapi" is ignored here):
  {"cmd": "fault", "mode": M, "method": NAME, "listener": L, "count": N, ...}
        add a fault. method: only calls of that method, or "GET /rrd_updates" for the
        export (omitted: every request, GETs included); listener: "master" or "member"
        (omitted: both); count: only the next N matching requests, then it clears itself
        (omitted: until cleared). Modes (on the export, broken_xml cuts the export off
        half-way; the others answer as they do for a call):
          drop          the connection is closed without an answer
          delay         the normal answer, after "seconds" (default 1)
          hang          the request is read and never answered: the connection stays
                        open until clear_faults, reset or stop() (or "seconds", when
                        given, have passed), then it is closed
          http_error    HTTP status "status" (default 500) with a text body
          not_xmlrpc    HTTP 200 with "body" (default an HTML page): not a method response
          broken_xml    HTTP 200 with a truncated XML document
          xmlrpc_fault  an XML-RPC <fault> (faultCode "code", default 1; faultString
                        "text", default "simulated fault")
          error         a Failure whose ErrorDescription is "description" (default
                        ["SIM_UNKNOWN_ERROR", "simulated"]: an unknown error name)
          wrong_type    a Success whose Value is an array, whatever the call returns
          no_status     a struct without "Status"
  {"cmd": "clear_faults"}
  {"cmd": "calls"}           -> {"count": N, "methods": [...], "listeners": [...],
                                 "connections": {"master": n, "member": n, "ipv6": n}}:
                                every request in order (a GET as "GET /path?query"), which
                                listener ("master" or "member") took it, and the TLS
                                connections each listener established ("ipv6": those of
                                the master's made over [::1], counted in "master" too);
                                with "bodies": true also {"bodies": [...]}: the request
                                texts, kept while "record_bodies" is on
  {"cmd": "record_bodies", "enabled": bool}
  {"cmd": "clear_calls"}     also clears host_actions and the connection counts
  {"cmd": "sessions"}        -> {"live": N, "sessions": [{"ref", "originator", "user",
                                 "listener"}...] (least recently used first), "logins",
                                 "logouts", "refused_logins", "destroyed_by_limit",
                                 "forgotten", "left_at_reset": [...]}: sessions live at a
                                 reset and not logged out since
  {"cmd": "login_params", "max": 2 | 3 | 4}    how many parameters a login may have
                                (older servers take fewer; more answer
                                MESSAGE_PARAMETER_COUNT_MISMATCH)
  {"cmd": "forget_sessions"}  a toolstack restart: every session is forgotten
  {"cmd": "swap_master"}     -> {"master": "member" | "master"}: the other host becomes the
                                pool's master (sessions forgotten); reset restores
  {"cmd": "master_address", "address": TEXT | null}   the master's host.address and every
                                HOST_IS_SLAVE carry TEXT as given (null: the inventory's)
  {"cmd": "host_actions"}    -> {"actions": [{"method": "host.reboot", "host": NAME}...]}:
                                host.disable/enable/reboot/shutdown that took effect
  {"cmd": "set_credentials", "username": U, "password": P}   (null: the inventory's)
  {"cmd": "set_legacy_signatures", "enabled": bool}   VM.start/VM.resume without force
  {"cmd": "freeze_figures", "at": T}       figures as at time T (null: live figures)
  {"cmd": "figures"}         -> the figures as served now (exact while frozen):
        {"host": {"memory_total", "memory_free" (bytes), "cpu_utilisation": [...],
                  "pifs": [[read, write], ...]},
         "vms": {uuid: {"power_state", "vcpu_utilisation": [...], "memory_free_kib",
                        "memory_total_kib", "vifs": [[r, w]...], "vbds": [[r, w]...]}}}
  {"cmd": "vm_ref", "uuid": U} -> {"ref": "OpaqueRef:..."}
                                plus "rrd": the newest export row of each host, as written
  {"cmd": "set_profile", "profile": "current" | "legacy"}
  {"cmd": "set_bulk", "enabled": bool}     legacy: whether the bulk reads exist
  {"cmd": "delete_vm", "uuid": U}          the VM and its parts vanish
  {"cmd": "move_vm", "uuid": U, "host": "member" | "master"}
  {"cmd": "rrd_nan", "columns": ["vm:UUID:cpu0", ...]}   these read NaN ([] clears)
  {"cmd": "rrd_absent", "uuids": [UUID, ...]}   those VMs are missing from every export
                                though they run ([] clears)
  {"cmd": "rrd_number_format", "format": "%0.5g" | "%0.4f" | "%0.15g"}
  {"cmd": "vm_ref", "uuid": U} -> {"ref": "OpaqueRef:..."}
  {"cmd": "status"}          -> {"sessions", "connections" (TCP, every listener, since the
                                 reset), "requests" and "tls_connections" (both listeners,
                                 since clear_calls, as "calls" counts them), "host_enabled",
                                 "host_events" (the member's prefixed "member:"), "profile"}
  {"cmd": "reset"}           everything back to the start (the first profile, the master
                                as master); live sessions are forgotten and kept in
                                "left_at_reset" until a request names one (its client then
                                knows it is gone)

Standalone: python3 sim/xenapi_server.py --port N [--profile P] [--certs DIR] [--inventory FILE]
"""

import argparse
import base64
import collections
import http.cookies
import json
import os
import random
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid
import xmlrpc.client
import xmlrpc.server
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import inventory as inventory_mod  # noqa: E402

NULL_REF = "OpaqueRef:NULL"
_NAMESPACE = uuid.UUID("6c1f5c1e-3d0e-4a53-9a43-5e1d2b7c9f10")
MIB = 1 << 20

FAULT_MODES = ("drop", "delay", "hang", "http_error", "not_xmlrpc", "broken_xml", "xmlrpc_fault",
               "error", "wrong_type", "no_status")
MAX_REQUEST_BYTES = 16 << 20
PROFILES = ("current", "legacy")
NUMBER_FORMATS = ("%0.5g", "%0.4f", "%0.15g")  # the export's styles across server versions
RRD_ARCHIVES = ((5, 120), (60, 120), (3600, 168), (86400, 366))  # step (s), rows
RRD_CFS = ("AVERAGE", "MIN", "MAX")
SESSIONS_ANONYMOUS = 400   # root sessions naming no originator, all together
SESSIONS_PER_GROUP = 500   # root sessions of one originator; sessions of one other user
# The TLS of current servers: TLS 1.2 only, these ciphers in the server's order, P-384.
TLS_CIPHERS = "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256"
TLS_CURVE = "secp384r1"


def _ref(kind, key):
    return "OpaqueRef:" + str(uuid.uuid5(_NAMESPACE, "%s/%s" % (kind, key)))


class DateTime:
    """A dateTime.iso8601 value (the server stamps metrics records with one)."""

    def __init__(self, when):
        self.text = time.strftime("%Y%m%dT%H:%M:%SZ", time.gmtime(when))


# -- XML-RPC writing, as the real server does it -----------------------------------------
def _marshal(value, out, bare=True):
    """bare: strings and 64-bit ints as <value>text</value> (current servers); otherwise
    inside <string> (older servers)."""
    text = "<value>%s</value>" if bare else "<value><string>%s</string></value>"
    if isinstance(value, bool):
        out.append("<value><boolean>%d</boolean></value>" % int(value))
    elif isinstance(value, int):
        out.append(text % ("%d" % value))  # XenAPI ints are strings
    elif isinstance(value, float):
        out.append("<value><double>%r</double></value>" % value)
    elif isinstance(value, str):
        out.append(text % escape(value))
    elif isinstance(value, DateTime):
        out.append("<value><dateTime.iso8601>%s</dateTime.iso8601></value>" % value.text)
    elif isinstance(value, (list, tuple)):
        out.append("<value><array><data>")
        for item in value:
            _marshal(item, out, bare)
        out.append("</data></array></value>")
    elif isinstance(value, dict):
        out.append("<value><struct>")
        for key, item in value.items():
            out.append("<member><name>%s</name>" % escape(str(key)))
            _marshal(item, out, bare)
            out.append("</member>")
        out.append("</struct></value>")
    else:
        raise TypeError("cannot marshal %r" % (value,))


def method_response(value, bare=True):
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n<methodResponse><params><param>']
    _marshal(value, out, bare)
    out.append("</param></params></methodResponse>\n")
    return "".join(out).encode("utf-8")


def fault_response(code, text):
    return ('<?xml version="1.0"?>\n<methodResponse><fault><value><struct>'
            "<member><name>faultCode</name><value><int>%d</int></value></member>"
            "<member><name>faultString</name><value><string>%s</string></value></member>"
            "</struct></value></fault></methodResponse>\n" % (int(code), escape(text))).encode("utf-8")


def success(value):
    return {"Status": "Success", "Value": value}


class ApiError(Exception):
    def __init__(self, *description):
        super().__init__(description[0])
        self.description = [str(d) for d in description]


def host_uuid(host):
    return str(uuid.uuid5(_NAMESPACE, "host-uuid/" + host.get("name", "")))


# -- the filter expressions of *.get_all_records_where ----------------------------------------
# The server's language: value "=" value, where a value is "text" or field "name"; and,
# or (one precedence, from the left); not (binding looser than both: "not a and b" is
# "not (a and b)"); true; false; parentheses. Fields are the database's names of the
# record's fields (name_label is "name__label"); every value is text, booleans "true" and
# "false"; comparison is exact.
_FILTER_TOKENS = ("=", "(", ")", "true", "false", "field", "and", "or", "not")


def _filter_tokens(text):
    tokens, i = [], 0
    while i < len(text):
        c = text[i]
        if c in " \t\n":
            i += 1
        elif c == '"':
            end = text.find('"', i + 1)
            if end < 0:
                raise ValueError("unterminated text")
            tokens.append(("text", text[i + 1:end]))
            i = end + 1
        else:
            for word in _FILTER_TOKENS:
                if text.startswith(word, i):
                    tokens.append((word, None))
                    i += len(word)
                    break
            else:
                raise ValueError("unexpected %r" % text[i:i + 10])
    return tokens


def parse_filter(text):
    """A predicate over {field: text} for an expression, or ValueError naming it."""
    pos, tokens = [0], []

    def peek():
        return tokens[pos[0]][0] if pos[0] < len(tokens) else None

    def take(kind):
        if peek() != kind:
            raise ValueError("expected %s" % kind)
        pos[0] += 1
        return tokens[pos[0] - 1][1]

    def value():
        if peek() == "field":
            pos[0] += 1
            name = take("text")
            return lambda fields: _field(fields, name)
        literal = take("text")
        return lambda fields: literal

    def primary():
        kind = peek()
        if kind in ("true", "false"):
            pos[0] += 1
            return lambda fields, v=kind == "true": v
        if kind == "not":
            pos[0] += 1
            inner = chain()
            return lambda fields: not inner(fields)
        if kind == "(":
            pos[0] += 1
            inner = chain()
            take(")")
            return inner
        left = value()
        take("=")
        right = value()
        return lambda fields: left(fields) == right(fields)

    def chain():
        expr = primary()
        while peek() in ("and", "or"):
            op = tokens[pos[0]][0]
            pos[0] += 1
            a, b = expr, primary()
            expr = (lambda f, a=a, b=b: a(f) and b(f)) if op == "and" else (lambda f, a=a, b=b: a(f) or b(f))
        return expr

    try:
        if not isinstance(text, str):
            raise ValueError("not text")
        tokens.extend(_filter_tokens(text))
        expr = chain()
        if pos[0] != len(tokens):
            raise ValueError("unexpected %s" % peek())
    except ValueError as exc:
        raise ValueError("Expression error in %r: %s" % (text, exc)) from None
    return expr


def _field(fields, name):
    if name not in fields:
        raise ApiError("INTERNAL_ERROR", "Field %r: no such field" % name)
    return fields[name]


def _filter_fields(record):
    """{database field name: text} of an API record."""
    fields = {}
    for key, value in record.items():
        if key in ("name_label", "name_description"):
            key = "name__" + key[len("name_"):]
        if isinstance(value, bool):
            value = "true" if value else "false"
        fields[key] = value if isinstance(value, str) else str(value)
    return fields


# -- the object index of one inventory -----------------------------------------------------
class _HostEntry:
    """One host of the pool: its inventory data, role and the references of its parts."""

    def __init__(self, role, data, objects):
        name = data.get("name", "host")
        self.role, self.data = role, data
        self.ref = _ref("host", name)
        self.uuid = host_uuid(data)
        self.metrics = _ref("host_metrics", name)
        objects[self.ref] = ("host", self)
        objects[self.metrics] = ("host_metrics", self)
        self.cpus, self.pifs, self.pif_metrics = [], [], []
        for i in range(len(data.get("cpu_utilisation", []))):
            ref = _ref("host_cpu", "%s/%d" % (name, i))
            self.cpus.append(ref)
            objects[ref] = ("host_cpu", (self, i))
        for i in range(len(data.get("pifs", []))):
            ref, metrics = _ref("PIF", "%s/%d" % (name, i)), _ref("PIF_metrics", "%s/%d" % (name, i))
            self.pifs.append(ref)
            self.pif_metrics.append(metrics)
            objects[ref] = ("PIF", (self, i))
            objects[metrics] = ("PIF_metrics", (self, i))


class _Index:
    """References of every object of one inventory (as it is at one version), and what
    each stands for."""

    def __init__(self, inv):
        self.inventory = inv
        self.version = inv.version
        self.objects = {}
        self.hosts = {"master": _HostEntry("master", inv.host, self.objects)}
        if inv.member is not None:
            self.hosts["member"] = _HostEntry("member", inv.member, self.objects)
        self.host_ref = self.hosts["master"].ref
        self.vms = []
        self.vm_by_uuid = {}
        self.vm_parts = {}  # vm uuid -> refs of its metrics, guest metrics, VIFs, VBDs
        for vm in inv.vms:
            ref = _ref("VM", vm.uuid)
            self.vms.append(ref)
            self.vm_by_uuid[vm.uuid] = ref
            self.objects[ref] = ("VM", vm)
            parts = {"ref": ref, "metrics": _ref("VM_metrics", vm.uuid),
                     "guest_metrics": _ref("VM_guest_metrics", vm.uuid), "VIFs": [], "VBDs": [],
                     "VIF_metrics": [], "VBD_metrics": []}
            self.objects[parts["metrics"]] = ("VM_metrics", vm)
            self.objects[parts["guest_metrics"]] = ("VM_guest_metrics", vm)
            for kind in ("VIF", "VBD"):
                for i in range(len(vm.data.get(kind.lower() + "s", []))):
                    key = "%s/%d" % (vm.uuid, i)
                    dev, metrics = _ref(kind, key), _ref(kind + "_metrics", key)
                    parts[kind + "s"].append(dev)
                    parts[kind + "_metrics"].append(metrics)
                    self.objects[dev] = (kind, (vm, i, metrics))
                    self.objects[metrics] = (kind + "_metrics", (vm, i))
            self.vm_parts[vm.uuid] = parts
        self.snapshots = {}  # vm uuid -> refs of its snapshots, in the inventory's order
        for vm in inv.vms:
            if vm.snapshot_of:
                self.snapshots.setdefault(vm.snapshot_of, []).append(self.vm_by_uuid[vm.uuid])

    def lookup(self, cls, ref):
        entry = self.objects.get(ref)
        if entry is None or entry[0] != cls:
            raise ApiError("HANDLE_INVALID", cls, ref)
        return entry[1]

    def host_of(self, vm, state):
        """The host a VM is resident on, or None while it has no domain."""
        if state not in ("Running", "Paused"):
            return None
        return self.hosts.get(vm.data.get("resident_on", "master"), self.hosts["master"])


class _Fault:
    def __init__(self, request, release):
        self.mode = request["mode"]
        self.method = request.get("method")
        self.listener = request.get("listener")  # "master", "member" or None: both
        count = request.get("count")
        self.remaining = None if count is None else int(count)
        self.options = dict(request)
        self.release = release  # set when the faults are cleared: hanging requests end

    def matches(self, method, listener):
        return ((self.method is None or self.method == method)
                and (self.listener is None or self.listener == listener))


class _Session:
    """One live session: who logged in, naming which originator, on which listener."""

    def __init__(self, ref, user, originator, listener):
        self.ref, self.user, self.originator, self.listener = ref, user, originator, listener

    def describe(self):
        return {"ref": self.ref, "originator": self.originator, "user": self.user, "listener": self.listener}

    def group(self):
        """The group the server's session limit counts this session in, and its limit:
        root logins naming no originator share one group of 400; root logins naming one
        have a group of 500 per originator; any other user a group of 500 per user."""
        if self.user not in ("", "root"):
            return ("user", self.user), SESSIONS_PER_GROUP
        if self.originator:
            return ("originator", self.originator), SESSIONS_PER_GROUP
        return ("anonymous",), SESSIONS_ANONYMOUS


# -- HTTP side ----------------------------------------------------------------------------
class _Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"
    rpc_paths = ()  # every path
    timeout = 30

    def log_message(self, *args):
        pass

    def parse_request(self):
        if self.server.api.stopping.is_set():  # a kept-alive connection outliving stop()
            self.close_connection = True
            return False
        return super().parse_request()

    def _send(self, status, body, content_type="text/xml", close=False):
        """One answer. The connection stays open for the client's next request (HTTP/1.1
        keep-alive, up to `timeout` idle seconds) unless the client asked to close it or
        close is given (a fault's answer, a request that could not be read)."""
        self.close_connection = self.close_connection or close
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def do_POST(self):
        api, role = self.server.api, self.server.role
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if length < 0 or length > MAX_REQUEST_BYTES:
            self._send(413, b"request too large\n", "text/plain", close=True)
            return
        data = self.rfile.read(length)
        try:
            params, method = xmlrpc.client.loads(data, use_builtin_types=True)
        except Exception as exc:  # not an XML-RPC call: what the real server does below the API
            api.record("<malformed>", None, role)
            self._send(200, fault_response(-32700, "parse error: %s" % exc))
            return
        api.record(method, data, role)
        fault = api.take_fault(method, role)
        if fault is not None and fault.mode == "delay":
            api.stopping.wait(float(fault.options.get("seconds", 1.0)))
        elif fault is not None:
            if method == "session.logout" and params:
                api.end_session(params[0])  # received: it ends, whatever becomes of the answer
            self._fault(fault)
            return
        self._send(200, api.response(api.dispatch(method, params, role)))

    def do_GET(self):
        api, role = self.server.api, self.server.role
        api.record("GET " + self.path, None, role)
        path, _, query = self.path.partition("?")
        if path != "/rrd_updates" or api.profile != "current":
            self._send(404, b"Not found\n", "text/plain")
            return
        fault = api.take_fault("GET " + path, role)
        if fault is not None and fault.mode == "delay":
            api.stopping.wait(float(fault.options.get("seconds", 1.0)))
        elif fault is not None and fault.mode != "broken_xml":
            self._fault(fault)
            return
        status, body, content_type = api.rrd_updates(role, query, self.headers)
        if fault is not None:  # broken_xml: the export cut off half-way
            body = body[:len(body) // 2]
        self._send(status, body, content_type, close=fault is not None)

    def _fault(self, fault):
        api = self.server.api
        mode, opts = fault.mode, fault.options
        self.close_connection = True  # a faulty answer ends its connection
        if mode == "drop":
            return
        if mode == "hang":
            api.hang(fault)
            return
        if mode == "http_error":
            self._send(int(opts.get("status", 500)), b"Internal Server Error\n", "text/plain")
        elif mode == "not_xmlrpc":
            body = opts.get("body", "<html><body><h1>Not XML-RPC</h1></body></html>\n")
            self._send(200, body.encode("utf-8"), "text/html")
        elif mode == "broken_xml":
            self._send(200, b'<?xml version="1.0"?>\n<methodResponse><params><param><value><struct><member>')
        elif mode == "xmlrpc_fault":
            self._send(200, fault_response(opts.get("code", 1), opts.get("text", "simulated fault")))
        elif mode == "error":
            description = opts.get("description", ["SIM_UNKNOWN_ERROR", "simulated"])
            self._send(200, api.response({"Status": "Failure", "ErrorDescription": list(description)}))
        elif mode == "wrong_type":
            self._send(200, api.response(success(["unexpected", "array"])))
        elif mode == "no_status":
            self._send(200, api.response({"Value": ""}))


class _Server(socketserver.ThreadingMixIn, xmlrpc.server.SimpleXMLRPCServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address, api, role="master", ipv6=False):
        self.api = api
        # The host the listener belongs to: "master" (127.0.0.1, and [::1] with ipv6) or
        # "member" (127.0.0.2). Which of them is the pool's master is api.master_role.
        self.role = role
        self.ipv6 = ipv6
        if ipv6:
            self.address_family = socket.AF_INET6
        super().__init__(address, requestHandler=_Handler, logRequests=False, allow_none=False)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so that a client
        # that never completes it holds up nobody else.
        self.api.count_connection()
        request.settimeout(30.0)
        try:
            tls = self.api.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        self.api.count_tls_connection(self.role, self.ipv6)
        try:
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # a client that went away mid-request is not the server's problem


# -- the server object --------------------------------------------------------------------
class XenApiServer:
    def __init__(self, host, server_cert, server_key, profile="current"):
        if profile not in PROFILES:
            raise ValueError("unknown profile %r" % profile)
        self.initial_profile = profile
        self.member_server = None
        self.ipv6_server = None
        self.host = host
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = self.context.maximum_version = ssl.TLSVersion.TLSv1_2
        self.context.set_ciphers(TLS_CIPHERS)
        self.context.options |= ssl.OP_CIPHER_SERVER_PREFERENCE
        self.context.set_ecdh_curve(TLS_CURVE)
        self.context.load_cert_chain(server_cert, server_key)
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.release = threading.Event()
        self.server = None
        self._index = None
        self.left_at_reset = collections.OrderedDict()  # ref -> _Session, kept across resets
        self.sessions = collections.OrderedDict()  # ref -> _Session, least recently used first
        self.reset()

    def reset(self):
        with self.lock:
            self._clear_faults()
            self.calls = []
            self.listeners = []
            self.bodies = []
            self.record_bodies = False
            self.call_count = 0
            # Sessions live at a reset were never logged out: remembered (until a request
            # names one) so that the launcher reports them like sessions still live.
            self.left_at_reset.update(self.sessions)
            self.sessions = collections.OrderedDict()
            self.session_counts = dict.fromkeys(("logins", "logouts", "refused_logins",
                                                 "destroyed_by_limit", "forgotten"), 0)
            self.login_max = 4      # parameters session.login_with_password accepts
            self.master_role = "master"
            self.address_override = {}  # host role -> the address its record shows
            self.credentials = None
            self.legacy_signatures = False
            self.frozen_at = None
            self.connections = 0
            self.tls_connections = dict.fromkeys(("master", "member", "ipv6"), 0)
            self.disabled = set()   # refs of the hosts disabled by host.disable
            self.host_events = []
            self.host_actions = []
            self.profile = self.initial_profile
            self.bulk = False       # legacy: whether the *.get_all_records calls exist
            self.nan_columns = set()
            self.absent_vms = set()  # running VMs the export leaves out
            self.number_format = "%0.5g"
            self.rrd_requests = 0

    def start(self, host="127.0.0.1", port=0):
        self.stopping.clear()
        self.server = _Server((host, port), self)
        threading.Thread(target=self.server.serve_forever, args=(0.05,), name="xenapi-server",
                         daemon=True).start()
        return self.server.server_address[1]

    def start_member(self, address, port):
        """The pool member's listener, on address with the master's port. Returns None, or
        why it could not be bound (the master goes on without it)."""
        self.member_server, error = self._listen((address, port), "member")
        return error

    def start_ipv6(self, port, address="::1"):
        """A second listener of the master on [address]:port. Returns None, or why it could
        not be bound."""
        self.ipv6_server, error = self._listen((address, port), "master", ipv6=True)
        return error

    def _listen(self, address, role, ipv6=False):
        try:
            server = _Server(address, self, role, ipv6)
        except OSError as exc:
            return None, "%s:%d: %s" % (address[0], address[1], exc)
        threading.Thread(target=server.serve_forever, args=(0.05,), name="xenapi-" + role,
                         daemon=True).start()
        return server, None

    def stop(self):
        self.stopping.set()  # releases hanging connections
        for name in ("ipv6_server", "member_server", "server"):
            server = getattr(self, name)
            if server is not None:
                server.shutdown()
                server.server_close()
                setattr(self, name, None)

    # -- bookkeeping ---------------------------------------------------------------------
    def count_connection(self):
        with self.lock:
            self.connections += 1

    def count_tls_connection(self, role, ipv6):
        with self.lock:
            self.tls_connections[role] += 1
            if ipv6:
                self.tls_connections["ipv6"] += 1

    def record(self, method, body=None, listener="master"):
        with self.lock:
            self.call_count += 1
            if len(self.calls) < 1000000:
                self.calls.append(method)
                self.listeners.append(listener)
                if self.record_bodies and body is not None:
                    self.bodies.append(body.decode("utf-8", "replace"))

    def take_fault(self, method, listener):
        with self.lock:
            for fault in self.faults:
                if not fault.matches(method, listener):
                    continue
                if fault.remaining is not None:
                    fault.remaining -= 1
                    if fault.remaining <= 0:
                        self.faults.remove(fault)
                return fault
        return None

    def _clear_faults(self):
        """Called with the lock held: no fault any more, and hanging requests end."""
        self.faults = []
        self.release.set()
        self.release = threading.Event()

    def hang(self, fault):
        """Holds a request without an answer until the faults are cleared, the server
        stops, or the fault's "seconds" (when given) have passed."""
        seconds = fault.options.get("seconds")
        deadline = None if seconds is None else time.monotonic() + float(seconds)
        while not self.stopping.is_set() and not fault.release.is_set():
            left = 0.1 if deadline is None else min(0.1, deadline - time.monotonic())
            if left <= 0:
                return
            fault.release.wait(left)

    def index(self):
        inv = self.host.inventory
        with self.lock:
            if self._index is None or self._index.inventory is not inv or self._index.version != inv.version:
                self._index = _Index(inv)
            return self._index

    def figures_now(self):
        return self.frozen_at

    def response(self, value):
        return method_response(value, bare=self.profile == "current")

    # -- sessions ------------------------------------------------------------------------
    def _open_session(self, user, originator, listener):
        ref = "OpaqueRef:" + str(uuid.uuid4())
        session = _Session(ref, user, originator, listener)
        with self.lock:
            self.sessions[ref] = session
            self.session_counts["logins"] += 1
            # Beyond its group's limit the server silently destroys the group's least
            # recently used sessions, whoever holds them.
            group, limit = session.group()
            members = [s.ref for s in self.sessions.values() if s.group()[0] == group]
            for old in members[:max(0, len(members) - limit)]:
                del self.sessions[old]
                self.session_counts["destroyed_by_limit"] += 1
        return ref

    def end_session(self, ref):
        """A log-out: True when it ended a live session."""
        if not isinstance(ref, str):
            return False
        with self.lock:
            if self.sessions.pop(ref, None) is not None:
                self.session_counts["logouts"] += 1
                return True
            # A log-out arriving after a reset still shows the client did log out.
            self.left_at_reset.pop(ref, None)
            return False

    def sessions_report(self):
        with self.lock:
            return {"ok": True, "live": len(self.sessions),
                    "sessions": [s.describe() for s in self.sessions.values()],
                    "left_at_reset": [s.describe() for s in self.left_at_reset.values()],
                    **self.session_counts}

    def master_address(self, idx=None):
        """The address of the pool's master as its host record and HOST_IS_SLAVE give it."""
        idx = idx or self.index()
        with self.lock:
            role = self.master_role
        entry = idx.hosts.get(role, idx.hosts["master"])
        return self._host_address(entry)

    def _host_address(self, entry):
        with self.lock:
            override = self.address_override.get(entry.role)
        return override if override is not None else entry.data.get("address", "")

    # -- control -------------------------------------------------------------------------
    def control(self, request):
        cmd = request.get("cmd")
        if cmd == "fault":
            if request.get("mode") not in FAULT_MODES:
                return {"ok": False, "error": "unknown fault mode %r" % request.get("mode")}
            if request.get("listener") not in (None, "master", "member"):
                return {"ok": False, "error": "listener must be master or member"}
            with self.lock:
                self.faults.append(_Fault(request, self.release))
            return {"ok": True}
        if cmd == "clear_faults":
            with self.lock:
                self._clear_faults()
            return {"ok": True}
        if cmd == "calls":
            with self.lock:
                reply = {"ok": True, "count": self.call_count, "methods": list(self.calls),
                         "listeners": list(self.listeners), "connections": dict(self.tls_connections)}
                if request.get("bodies"):
                    reply["bodies"] = list(self.bodies)
                return reply
        if cmd == "record_bodies":
            with self.lock:
                self.record_bodies = bool(request.get("enabled", True))
            return {"ok": True}
        if cmd == "clear_calls":
            with self.lock:
                self.calls = []
                self.listeners = []
                self.bodies = []
                self.call_count = 0
                self.host_actions = []
                self.tls_connections = dict.fromkeys(self.tls_connections, 0)
            return {"ok": True}
        if cmd == "sessions":
            return self.sessions_report()
        if cmd == "login_params":
            if request.get("max") not in (2, 3, 4):
                return {"ok": False, "error": "max must be 2, 3 or 4"}
            with self.lock:
                self.login_max = int(request["max"])
            return {"ok": True}
        if cmd == "forget_sessions":
            with self.lock:
                self.session_counts["forgotten"] += len(self.sessions)
                self.sessions.clear()
            return {"ok": True}
        if cmd == "swap_master":
            if self.member_server is None or "member" not in self.index().hosts:
                return {"ok": False, "error": "no pool member to become the master"}
            with self.lock:
                self.master_role = "member" if self.master_role == "master" else "master"
                self.session_counts["forgotten"] += len(self.sessions)
                self.sessions.clear()
                return {"ok": True, "master": self.master_role}
        if cmd == "master_address":
            address = request.get("address")
            if address is not None and not isinstance(address, str):
                return {"ok": False, "error": "address must be text or null"}
            with self.lock:
                if address is None:
                    self.address_override.pop(self.master_role, None)
                else:
                    self.address_override[self.master_role] = address
            return {"ok": True}
        if cmd == "host_actions":
            with self.lock:
                return {"ok": True, "actions": list(self.host_actions)}
        if cmd == "set_credentials":
            user, password = request.get("username"), request.get("password")
            with self.lock:
                self.credentials = None if user is None and password is None else (user, password)
            return {"ok": True}
        if cmd == "set_legacy_signatures":
            with self.lock:
                self.legacy_signatures = bool(request.get("enabled", True))
            return {"ok": True}
        if cmd == "set_profile":
            if request.get("profile") not in PROFILES:
                return {"ok": False, "error": "unknown profile %r" % request.get("profile")}
            with self.lock:
                self.profile = request["profile"]
            return {"ok": True}
        if cmd == "set_bulk":
            with self.lock:
                self.bulk = bool(request.get("enabled", True))
            return {"ok": True}
        if cmd == "delete_vm":
            if not self.host.inventory.delete(request.get("uuid")):
                return {"ok": False, "error": "no such VM"}
            return {"ok": True}
        if cmd == "move_vm":
            if request.get("host") not in ("master", "member"):
                return {"ok": False, "error": "host must be master or member"}
            if not self.host.inventory.move(request.get("uuid"), request["host"]):
                return {"ok": False, "error": "no such VM"}
            return {"ok": True}
        if cmd == "rrd_nan":
            columns = request.get("columns") or []
            with self.lock:
                self.nan_columns = set(str(c) for c in columns)
            return {"ok": True}
        if cmd == "rrd_absent":
            with self.lock:
                self.absent_vms = set(str(u) for u in request.get("uuids") or [])
            return {"ok": True}
        if cmd == "rrd_number_format":
            if request.get("format") not in NUMBER_FORMATS:
                return {"ok": False, "error": "format must be one of %s" % ", ".join(NUMBER_FORMATS)}
            with self.lock:
                self.number_format = request["format"]
            return {"ok": True}
        if cmd == "freeze_figures":
            at = request.get("at")
            with self.lock:
                self.frozen_at = None if at is None else float(at)
            return {"ok": True}
        if cmd == "figures":
            return {"ok": True, **self.figures()}
        if cmd == "vm_ref":
            ref = self.index().vm_by_uuid.get(request.get("uuid"))
            if ref is None:
                return {"ok": False, "error": "no such VM"}
            return {"ok": True, "ref": ref}
        if cmd == "status":
            idx = self.index()
            with self.lock:
                return {"ok": True, "sessions": len(self.sessions), "connections": self.connections,
                        "requests": self.call_count, "tls_connections": sum(
                            n for role, n in self.tls_connections.items() if role != "ipv6"),
                        "host_enabled": idx.host_ref not in self.disabled, "host_events": list(self.host_events),
                        "profile": self.profile}
        if cmd == "reset":
            self.reset()
            return {"ok": True}
        return {"ok": False, "error": "unknown command %r" % cmd}

    def figures(self):
        inv, now = self.host.inventory, self.figures_now()
        host = inv.host
        vms = {}
        for vm in inv.vms:
            vms[vm.uuid] = {
                "power_state": inv.power_state(vm),
                "vcpu_utilisation": inv.vm_vcpu_utilisation(vm, now),
                "memory_free_kib": inv.vm_memory_free_mib(vm, now) * 1024,
                "memory_total_kib": vm.memory_mib * 1024,
                "vifs": [[v["read_kbs"], v["write_kbs"]] for v in vm.vifs],
                "vbds": [[v["read_kbs"], v["write_kbs"]] for v in vm.vbds],
            }
        rrd = {"host": {}, "vms": {}}
        idx = self.index()
        t = self._last_update(5)
        nan, frozen, fmt = self._export_settings()
        for entry in idx.hosts.values():
            for obj in self._rrd_objects(idx, entry, "all", True):
                written = {name: self._format(v, fmt) for name, v in self._row(obj, t, nan, frozen).items()}
                rrd["host" if obj[0] == "host" else "vms"][obj[1]] = {
                    name: None if text == "NaN" else float(text) for name, text in written.items()}
        return {"host": {"memory_total": host.get("memory_mib", 0) * MIB,
                         "memory_free": inv.host_free_memory_mib(now) * MIB,
                         "cpu_utilisation": inv.host_cpu_utilisation(now),
                         "pifs": [[p["read_kbs"], p["write_kbs"]] for p in host.get("pifs", [])]},
                "vms": vms, "rrd": rrd}

    # -- the RRD export (GET /rrd_updates) ------------------------------------------------
    @staticmethod
    def _last_update(step):
        return int(time.time() // step) * step

    def _export_settings(self):
        with self.lock:
            return set(self.nan_columns), self.frozen_at, self.number_format

    @staticmethod
    def _format(value, fmt):
        if value != value:
            return "NaN"
        if value in (float("inf"), float("-inf")):
            return "Infinity" if value > 0 else "-Infinity"
        if value == 0:
            return "0.0"
        return fmt % value

    @staticmethod
    def _row(obj, t, nan, frozen):
        """{name: value} of one export object in the row at time t."""
        kind, obj_uuid, names, figures, started = obj
        if t < started:
            return {name: float("nan") for name in names}
        values = figures(frozen if frozen is not None else float(t))
        if nan:
            for name in names:
                if "%s:%s:%s" % (kind, obj_uuid, name) in nan:
                    values[name] = float("nan")
        return values

    def _rrd_objects(self, idx, entry, vm_filter, with_host):
        """[(kind, uuid, [names], figures(now) -> {name: value}, started_at)]: the objects
        the export of entry's host holds."""
        inv = idx.inventory
        objects = []
        with self.lock:
            absent = set(self.absent_vms)
        if with_host:
            h = entry.data
            pifs = h.get("pifs", [])

            def host_figures(now, h=h, pifs=pifs):
                cpus = inv.host_cpu_utilisation(now, h)
                v = {"cpu%d" % i: u for i, u in enumerate(cpus)}
                if cpus:
                    v["cpu_avg"] = sum(cpus) / len(cpus)
                v["memory_total_kib"] = h.get("memory_mib", 0) * 1024.0
                v["memory_free_kib"] = inv.host_free_memory_mib(now, h) * 1024.0
                for pif in pifs:
                    v["pif_%s_rx" % pif["device"]] = pif.get("read_kbs", 0.0) * 1024.0
                    v["pif_%s_tx" % pif["device"]] = pif.get("write_kbs", 0.0) * 1024.0
                v["pif_aggr_rx"] = sum(p.get("read_kbs", 0.0) for p in pifs) * 1024.0
                v["pif_aggr_tx"] = sum(p.get("write_kbs", 0.0) for p in pifs) * 1024.0
                v["loadavg"] = 0.42            # sources a client does not use
                v["agent_free_memory_kib"] = 187392.0
                return v

            objects.append(("host", entry.uuid, list(host_figures(0.0)), host_figures, 0.0))
        for vm in inv.vms:
            state = inv.power_state(vm)
            if idx.host_of(vm, state) is not entry or vm_filter == "none":
                continue
            if (vm_filter != "all" and vm.uuid != vm_filter) or vm.uuid in absent:
                continue

            cpu_names = ["cpu%d" % i for i in range(len(vm.vcpu_utilisation))]
            vif_names = [("vif_%d_rx" % i, "vif_%d_tx" % i, vif) for i, vif in enumerate(vm.vifs)]
            vbd_names = [tuple("vbd_%s_%s" % (vbd["device"], n) for n in
                               ("read", "write", "io_throughput_read", "io_throughput_write",
                                "io_throughput_total")) + (vbd,) for vbd in vm.vbds]

            def vm_figures(now, vm=vm, running=state == "Running", cpu_names=cpu_names,
                           vif_names=vif_names, vbd_names=vbd_names):
                load = inv.vm_vcpu_load(vm, now) if running else [0.0] * len(cpu_names)
                on = 1.0 if running else 0.0  # a paused VM moves no data
                v = dict(zip(cpu_names, load))
                if load:
                    v["cpu_usage"] = sum(load) / len(load)
                v["memory"] = v["memory_target"] = float(vm.memory_mib * MIB)
                if vm.guest_tools:
                    v["memory_internal_free"] = inv.vm_memory_free_mib(vm, now) * 1024.0
                for rx, tx, vif in vif_names:
                    v[rx] = on * vif.get("read_kbs", 0.0) * 1024.0
                    v[tx] = on * vif.get("write_kbs", 0.0) * 1024.0
                for read, write, t_read, t_write, t_total, vbd in vbd_names:
                    r, w = on * vbd.get("read_kbs", 0.0), on * vbd.get("write_kbs", 0.0)
                    v[read], v[write] = r * 1024.0, w * 1024.0
                    v[t_read], v[t_write], v[t_total] = r / 1024.0, w / 1024.0, (r + w) / 1024.0
                return v

            objects.append(("vm", vm.uuid, list(vm_figures(0.0)), vm_figures,
                            float(vm.data.get("started_at", 0.0))))
        return objects

    def _rrd_session_ok(self, params, headers):
        sid = params.get("session_id", [None])[0]
        if not sid:
            cookie = http.cookies.SimpleCookie()
            try:
                cookie.load(headers.get("Cookie", ""))
            except http.cookies.CookieError:
                pass
            sid = cookie["session_id"].value if "session_id" in cookie else None
        with self.lock:
            if sid and sid in self.sessions:
                self.sessions.move_to_end(sid)
                return True
            self.left_at_reset.pop(sid, None)
            creds = self.credentials
        auth = headers.get("Authorization", "")
        if auth.lower().startswith("basic "):
            try:
                user, _, password = base64.b64decode(auth[6:].strip()).decode("utf-8").partition(":")
            except (ValueError, UnicodeDecodeError):
                return False
            ok = (user, password) == creds if creds is not None else \
                self.host.inventory.check_credentials(user, password)
            with self.lock:  # the server logs in and out again for this one request
                for counter in ("logins", "logouts") if ok else ("refused_logins",):
                    self.session_counts[counter] += 1
            return ok
        return False

    def rrd_updates(self, role, query, headers):
        """(status, body, content type) of one GET /rrd_updates on role's listener."""
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
        if not self._rrd_session_ok(params, headers):
            return 401, b"Unauthorised\n", "text/plain"
        try:
            start = int(float(params["start"][0]))
            interval = int(float(params.get("interval", ["0"])[0] or 0))
        except (KeyError, ValueError, OverflowError):
            return 400, b"Bad request: start is required\n", "text/plain"
        cf = params.get("cf", [""])[0]
        if cf == "LAST":
            return 500, b"Internal error: no LAST archive\n", "text/plain"
        now = time.time()
        if start < 0:
            start = self._last_update(5) + start
        for step, rows in RRD_ARCHIVES:
            if step >= interval and step * rows >= now - start and (step > 5 or cf in ("", "AVERAGE")
                                                                   or cf not in RRD_CFS):
                break
        cfs = [cf] if cf in RRD_CFS else (["AVERAGE"] if step == 5 else list(RRD_CFS))
        end = self._last_update(step)
        first = max(-(-start // step) * step, end - (rows - 1) * step)
        times = list(range(end, first - 1, -step))
        meta_start = (start // step) * step + step
        idx = self.index()
        entry = idx.hosts.get(role)
        objects = [] if entry is None else self._rrd_objects(
            idx, entry, params.get("vm_uuid", ["all"])[0], params.get("host", [""])[0] == "true")
        with self.lock:
            self.rrd_requests += 1
            order = random.Random(self.rrd_requests)
        nan, frozen, fmt = self._export_settings()
        if objects and objects[0][0] == "host":
            hosts, vms = objects[:1], objects[1:]
        else:
            hosts, vms = [], objects
        order.shuffle(vms)
        legend, layout = [], []  # layout: per object, its names in the export's order
        for obj in hosts + vms:
            names = list(obj[2])
            order.shuffle(names)
            layout.append((obj, names))
            for c in cfs:
                legend.extend("%s:%s:%s:%s" % (c, obj[0], obj[1], name) for name in names)
        data = []
        for t in times:
            values = []
            for obj, names in layout:
                row = self._row(obj, t, nan, frozen)
                texts = [self._format(row[name], fmt) for name in names]
                values.extend(texts * len(cfs))  # the simulated MIN and MAX equal the AVERAGE
            data.append((t, values))
        accept = [a.split(";")[0].strip() for a in headers.get("Accept", "").split(",")]
        if "json" in params or "*/*" in accept or "application/json" in accept:
            doc = {"meta": {"start": str(meta_start), "step": str(step), "end": str(end),
                            "rows": str(len(data)), "columns": str(len(legend)), "legend": legend},
                   "data": [{"t": str(t), "values": values} for t, values in data]}
            return 200, json.dumps(doc, separators=(",", ":")).encode("utf-8"), "application/json"
        out = ['<?xml version="1.0" encoding="UTF-8"?><xport><meta><start>%d</start><step>%d</step>'
               "<end>%d</end><rows>%d</rows><columns>%d</columns><legend>"
               % (meta_start, step, end, len(data), len(legend))]
        out.extend("<entry>%s</entry>" % escape(e) for e in legend)
        out.append("</legend></meta><data>")
        for t, values in data:
            out.append("<row><t>%d</t>%s</row>" % (t, "".join("<v>%s</v>" % v for v in values)))
        out.append("</data></xport>")
        return 200, "".join(out).encode("utf-8"), "text/xml"

    # -- dispatch ------------------------------------------------------------------------
    def dispatch(self, method, params, listener="master"):
        result = self._dispatch(method, params, listener)
        if method == "session.login_with_password" and result["Status"] != "Success":
            with self.lock:
                self.session_counts["refused_logins"] += 1
        return result

    def _dispatch(self, method, params, listener):
        try:
            with self.lock:
                profile, bulk, master = self.profile, self.bulk, self.master_role
            current = profile == "current"
            if listener != master:
                # A pool member sends every client to the master.
                raise ApiError("HOST_IS_SLAVE", self.master_address())
            entry = _METHODS.get(method)
            if (entry is None or (not current and method in _REMOVED_ONLY)
                    or (not current and not bulk and method in _BULK)):
                raise ApiError("MESSAGE_METHOD_UNKNOWN", method)
            func, counts = entry
            if callable(counts):
                counts = counts(self)
            if len(params) not in counts:
                if current and method != "session.login_with_password":  # the session is not counted
                    raise ApiError("MESSAGE_PARAMETER_COUNT_MISMATCH", method, max(counts) - 1,
                                   max(0, len(params) - 1))
                raise ApiError("MESSAGE_PARAMETER_COUNT_MISMATCH", method, max(counts), len(params))
            if method == "session.login_with_password":
                return success(self.login(self.index(), listener, *params))
            if method == "session.logout":
                # also when the session is gone: the client did log out
                if not self.end_session(params[0]):
                    raise ApiError("SESSION_INVALID", params[0])
                return success("")
            self._check_session(params[0])
            if current and (method in _REMOVED or method in _REMOVED_ONLY):
                raise ApiError("MESSAGE_REMOVED")
            return success(func(self, self.index(), *params))
        except ApiError as exc:
            return {"Status": "Failure", "ErrorDescription": exc.description}

    def _check_session(self, ref):
        with self.lock:
            if not isinstance(ref, str) or ref not in self.sessions:
                if isinstance(ref, str):
                    self.left_at_reset.pop(ref, None)  # the client learns it is gone
                raise ApiError("SESSION_INVALID", ref)
            self.sessions.move_to_end(ref)  # most recently used

    def _current(self):
        with self.lock:
            return self.profile == "current"

    # -- calls (each gets the index, then the call's parameters) --------------------------
    def login(self, idx, listener, user, password, version=None, originator=""):
        with self.lock:
            creds = self.credentials
        ok = (user, password) == creds if creds is not None else idx.inventory.check_credentials(user, password)
        if not ok:
            raise ApiError("SESSION_AUTHENTICATION_FAILED", user,
                           "Authentication failure")
        return self._open_session(user, originator if isinstance(originator, str) else str(originator), listener)

    def get_this_host(self, idx, session, subject):
        if subject != session:
            raise ApiError("HANDLE_INVALID", "session", subject)
        with self.lock:
            role = self.master_role
        return idx.hosts.get(role, idx.hosts["master"]).ref  # sessions live on the master

    def host_get_all(self, idx, session):
        return [h.ref for h in idx.hosts.values()]

    def host_get_all_records(self, idx, session):
        return {h.ref: self._host_record(idx, h) for h in idx.hosts.values()}

    def host_get_record(self, idx, session, ref):
        return self._host_record(idx, idx.lookup("host", ref))

    def _host_record(self, idx, entry):
        host = entry.data
        software = {"hostname": host.get("hostname", ""), "date": "2012-01-01", "build_number": "sim"}
        if "product_version" in host or entry.role == "member":
            software["product_version"] = host.get("product_version", idx.inventory.host.get("product_version", ""))
        software["xen"] = host.get("xen_version", idx.inventory.host.get("xen_version", ""))
        with self.lock:
            enabled = entry.ref not in self.disabled
        inv = idx.inventory
        resident = [idx.vm_parts[vm.uuid]["ref"] for vm in inv.vms if idx.host_of(vm, inv.power_state(vm)) is entry]
        return {
            "uuid": entry.uuid,
            "name_label": host.get("name", ""),
            "name_description": host.get("description", ""),
            "enabled": enabled,
            "address": self._host_address(entry),
            "hostname": host.get("hostname", ""),
            "software_version": software,
            "other_config": {},
            "host_CPUs": list(entry.cpus),
            "PIFs": list(entry.pifs),
            "metrics": entry.metrics,
            "resident_VMs": resident,
            "API_version_major": 1,
            "API_version_minor": 9,
        }

    def host_get_address(self, idx, session, ref):
        return self._host_address(idx.lookup("host", ref))

    def host_get_hostname(self, idx, session, ref):
        return idx.lookup("host", ref).data.get("hostname", "")

    def host_get_name_label(self, idx, session, ref):
        return idx.lookup("host", ref).data.get("name", "")

    def host_enable(self, idx, session, ref):
        return self._host_power(idx, session, ref, "enable")

    @staticmethod
    def _event(entry, event):
        return event if entry.role == "master" else entry.role + ":" + event

    def host_metrics_record(self, idx, session, ref):
        entry = idx.lookup("host_metrics", ref)
        inv = idx.inventory
        return {
            "uuid": ref[len("OpaqueRef:"):],
            "memory_total": int(entry.data.get("memory_mib", 0)) * MIB,
            "memory_free": inv.host_free_memory_mib(self.figures_now(), entry.data) * MIB,
            "live": True,
            "last_updated": DateTime(time.time()),
            "other_config": {},
        }

    def host_memory_total(self, idx, session, ref):
        entry = idx.lookup("host_metrics", ref)
        return int(entry.data.get("memory_mib", 0)) * MIB

    def host_memory_free(self, idx, session, ref):
        entry = idx.lookup("host_metrics", ref)
        return idx.inventory.host_free_memory_mib(self.figures_now(), entry.data) * MIB

    def host_cpu_utilisation(self, idx, session, ref):
        entry, i = idx.lookup("host_cpu", ref)
        if self._current():
            return 0.0  # set when the host starts, never updated
        return float(idx.inventory.host_cpu_utilisation(self.figures_now(), entry.data)[i])

    def _host_power(self, idx, session, ref, event):
        """host.disable, enable, reboot, shutdown on the host named. A rebooted or shut-down
        host stays disabled until host.enable (its listener keeps answering)."""
        entry = idx.lookup("host", ref)
        with self.lock:
            if event == "disable":
                self.disabled.add(entry.ref)
            elif event == "enable":
                self.disabled.discard(entry.ref)
            elif entry.ref not in self.disabled:
                raise ApiError("HOST_NOT_DISABLED", ref)
            self.host_events.append(self._event(entry, event))
            self.host_actions.append({"method": "host." + event, "host": entry.data.get("name", "")})
        return ""

    def host_disable(self, idx, session, ref):
        return self._host_power(idx, session, ref, "disable")

    def host_reboot(self, idx, session, ref):
        return self._host_power(idx, session, ref, "reboot")

    def host_shutdown(self, idx, session, ref):
        return self._host_power(idx, session, ref, "shutdown")

    def pif_get_metrics(self, idx, session, ref):
        entry, i = idx.lookup("PIF", ref)
        return entry.pif_metrics[i]

    def pif_get_record(self, idx, session, ref):
        entry, i = idx.lookup("PIF", ref)
        pif = entry.data["pifs"][i]
        return {"uuid": ref[len("OpaqueRef:"):], "device": pif.get("device", ""), "host": entry.ref,
                "metrics": entry.pif_metrics[i], "physical": True, "currently_attached": True,
                "other_config": {}}

    def pif_metrics_record(self, idx, session, ref):
        entry, i = idx.lookup("PIF_metrics", ref)
        return self._io_record(ref, entry.data["pifs"][i], self._current())

    def _io_record(self, ref, data, dead=False):
        read, write = (0.0, 0.0) if dead else (float(data.get("read_kbs", 0.0)), float(data.get("write_kbs", 0.0)))
        return {"uuid": ref[len("OpaqueRef:"):], "io_read_kbs": read, "io_write_kbs": write,
                "last_updated": DateTime(time.time()), "other_config": {}}

    def vif_get_metrics(self, idx, session, ref):
        return idx.lookup("VIF", ref)[2]

    def vbd_get_metrics(self, idx, session, ref):
        return idx.lookup("VBD", ref)[2]

    def vif_get_record(self, idx, session, ref):
        vm, i, metrics = idx.lookup("VIF", ref)
        return {"uuid": ref[len("OpaqueRef:"):], "device": str(i), "VM": idx.vm_parts[vm.uuid]["ref"],
                "MAC": "02:00:00:00:%02x:%02x" % (i, sum(map(ord, vm.uuid)) % 256), "MTU": 1500,
                "metrics": metrics, "currently_attached": True, "other_config": {}}

    def vbd_get_record(self, idx, session, ref):
        vm, i, metrics = idx.lookup("VBD", ref)
        return {"uuid": ref[len("OpaqueRef:"):], "device": vm.vbds[i]["device"], "userdevice": str(i),
                "VM": idx.vm_parts[vm.uuid]["ref"], "type": "Disk", "mode": "RW", "metrics": metrics,
                "currently_attached": True, "other_config": {}}

    def vif_get_all_records(self, idx, session):
        return {ref: self.vif_get_record(idx, session, ref)
                for parts in idx.vm_parts.values() for ref in parts["VIFs"]}

    def vbd_get_all_records(self, idx, session):
        return {ref: self.vbd_get_record(idx, session, ref)
                for parts in idx.vm_parts.values() for ref in parts["VBDs"]}

    def vif_metrics_record(self, idx, session, ref):
        vm, i = idx.lookup("VIF_metrics", ref)
        return self._io_record(ref, vm.vifs[i])

    def vbd_metrics_record(self, idx, session, ref):
        vm, i = idx.lookup("VBD_metrics", ref)
        return self._io_record(ref, vm.vbds[i])

    def vif_metrics_uuid(self, idx, session, ref):
        idx.lookup("VIF_metrics", ref)
        return ref[len("OpaqueRef:"):]

    def vbd_metrics_uuid(self, idx, session, ref):
        idx.lookup("VBD_metrics", ref)
        return ref[len("OpaqueRef:"):]

    def vm_get_all(self, idx, session):
        return list(idx.vms)

    def vm_get_all_records(self, idx, session):
        return {ref: self.vm_get_record(idx, session, ref) for ref in idx.vms}

    def vm_get_all_records_where(self, idx, session, expression):
        try:
            test = parse_filter(expression)
        except ValueError as exc:
            raise ApiError("INTERNAL_ERROR", str(exc))
        records = self.vm_get_all_records(idx, session)
        return {ref: record for ref, record in records.items() if test(_filter_fields(record))}

    def vm_get_by_name_label(self, idx, session, name):
        return [ref for ref in idx.vms if idx.lookup("VM", ref).name == name]

    def vm_get_by_uuid(self, idx, session, vm_uuid):
        ref = idx.vm_by_uuid.get(vm_uuid)
        if ref is None:
            raise ApiError("UUID_INVALID", "VM", vm_uuid)
        return ref

    def vm_is_template(self, idx, session, ref):
        return bool(idx.lookup("VM", ref).is_a_template)

    def vm_is_control_domain(self, idx, session, ref):
        return bool(idx.lookup("VM", ref).is_control_domain)

    def vm_power_state(self, idx, session, ref):
        vm = idx.lookup("VM", ref)
        return idx.inventory.power_state(vm)

    def _guest_metrics_ref(self, idx, vm):
        if not vm.guest_tools or idx.inventory.power_state(vm) == "Halted":
            return NULL_REF
        return idx.vm_parts[vm.uuid]["guest_metrics"]

    def vm_get_record(self, idx, session, ref):
        vm = idx.lookup("VM", ref)
        inv = idx.inventory
        parts = idx.vm_parts[vm.uuid]
        memory = int(vm.memory_mib) * MIB
        state = inv.power_state(vm)
        resident = idx.host_of(vm, state)
        return {
            "uuid": vm.uuid,
            "allowed_operations": inv.allowed_operations(vm),
            "current_operations": {},
            "power_state": state,
            "name_label": vm.name,
            "name_description": vm.description,
            "user_version": 1,
            "is_a_template": bool(vm.is_a_template),
            "is_control_domain": bool(vm.is_control_domain),
            "is_a_snapshot": bool(vm.is_a_snapshot),
            "snapshot_of": idx.vm_by_uuid.get(vm.snapshot_of, NULL_REF),
            "snapshots": list(idx.snapshots.get(vm.uuid, [])),
            "resident_on": resident.ref if resident is not None else NULL_REF,
            "memory_static_max": memory,
            "memory_dynamic_max": memory,
            "memory_dynamic_min": memory,
            "memory_static_min": min(memory, 256 * MIB),
            "memory_target": memory,
            "VCPUs_max": int(vm.vcpus),
            "VCPUs_at_startup": int(vm.vcpus),
            "VIFs": list(parts["VIFs"]),
            "VBDs": list(parts["VBDs"]),
            "metrics": parts["metrics"],
            "guest_metrics": self._guest_metrics_ref(idx, vm),
            "other_config": {},
            "platform": {"acpi": "1"},
            "tags": [],
        }

    def vm_metrics_record(self, idx, session, ref):
        vm = idx.lookup("VM_metrics", ref)
        if self._current():
            util = [0.0] * int(vm.vcpus)  # no longer updated
        else:
            util = idx.inventory.vm_vcpu_utilisation(vm, self.figures_now())
        return {
            "uuid": ref[len("OpaqueRef:"):],
            "memory_actual": int(vm.memory_mib) * MIB,
            "VCPUs_number": int(vm.vcpus),
            "VCPUs_utilisation": {str(i): float(u) for i, u in enumerate(util)},
            "last_updated": DateTime(time.time()),
        }

    def vm_metrics_all_records(self, idx, session):
        return {idx.vm_parts[vm.uuid]["metrics"]: self.vm_metrics_record(idx, session, idx.vm_parts[vm.uuid]["metrics"])
                for vm in idx.inventory.vms if vm.uuid in idx.vm_parts}

    def guest_metrics_record(self, idx, session, ref):
        vm = idx.lookup("VM_guest_metrics", ref)
        if self._guest_metrics_ref(idx, vm) == NULL_REF:
            raise ApiError("HANDLE_INVALID", "VM_guest_metrics", ref)
        if self._current():
            memory = {}  # the guest agent's memory figures are no longer kept
        else:
            free_kib = idx.inventory.vm_memory_free_mib(vm, self.figures_now()) * 1024
            memory = {"free": str(free_kib), "total": str(int(vm.memory_mib) * 1024)}
        return {
            "uuid": ref[len("OpaqueRef:"):],
            "os_version": {"name": "Simulated Linux", "distro": "sim"},
            "PV_drivers_version": {"major": "6", "minor": "0"},
            "memory": memory,
            "networks": {"0/ip": "10.0.0.2"},
            "last_updated": DateTime(time.time()),
        }

    def guest_metrics_all_records(self, idx, session):
        records = {}
        for vm in idx.inventory.vms:
            ref = self._guest_metrics_ref(idx, vm) if vm.uuid in idx.vm_parts else NULL_REF
            if ref != NULL_REF:
                records[ref] = self.guest_metrics_record(idx, session, ref)
        return records

    def _operate(self, idx, ref, operation):
        vm = idx.lookup("VM", ref)
        if not vm.is_guest():
            raise ApiError("OPERATION_NOT_ALLOWED", "%s is a %s" % (ref, "control domain" if vm.is_control_domain
                                                                   else "snapshot" if vm.is_a_snapshot else "template"))
        try:
            done = idx.inventory.operate(vm, operation)
        except inventory_mod.OperationRefused as exc:
            if exc.code == "VM_BAD_POWER_STATE":
                raise ApiError("VM_BAD_POWER_STATE", ref, exc.expected, exc.actual)
            raise ApiError("OPERATION_NOT_ALLOWED", "Another operation is in progress on VM %s" % ref)
        if self._current():
            # Synchronous: the call returns once the VM is in its new state.
            self.stopping.wait(max(0.0, done - time.time()))
            idx.inventory.power_state(vm)
        return ""

    def vm_start(self, idx, session, ref, start_paused, *force):
        return self._operate(idx, ref, "start")

    def vm_resume(self, idx, session, ref, start_paused, *force):
        return self._operate(idx, ref, "resume")

    def vm_clean_shutdown(self, idx, session, ref):
        return self._operate(idx, ref, "clean_shutdown")

    def vm_suspend(self, idx, session, ref):
        return self._operate(idx, ref, "suspend")

    def vm_clean_reboot(self, idx, session, ref):
        return self._operate(idx, ref, "clean_reboot")

    def vm_pause(self, idx, session, ref):
        return self._operate(idx, ref, "pause")

    def vm_unpause(self, idx, session, ref):
        return self._operate(idx, ref, "unpause")


def _start_counts(server):
    return (3,) if server.legacy_signatures else (4,)


def _removed(server, idx, *params):
    raise AssertionError("a removed message is never run")


# method -> (function, accepted parameter counts including the session)
_METHODS = {
    "session.login_with_password": (None, lambda server: tuple(range(2, server.login_max + 1))),
    "session.logout": (None, (1,)),
    "session.get_this_host": (XenApiServer.get_this_host, (2,)),
    "host.get_all": (XenApiServer.host_get_all, (1,)),
    "host.get_all_records": (XenApiServer.host_get_all_records, (1,)),
    "host.get_record": (XenApiServer.host_get_record, (2,)),
    "host.get_address": (XenApiServer.host_get_address, (2,)),
    "host.get_hostname": (XenApiServer.host_get_hostname, (2,)),
    "host.get_name_label": (XenApiServer.host_get_name_label, (2,)),
    "host.disable": (XenApiServer.host_disable, (2,)),
    "host.enable": (XenApiServer.host_enable, (2,)),
    "host.reboot": (XenApiServer.host_reboot, (2,)),
    "host.shutdown": (XenApiServer.host_shutdown, (2,)),
    "host_metrics.get_record": (XenApiServer.host_metrics_record, (2,)),
    "host_metrics.get_memory_total": (XenApiServer.host_memory_total, (2,)),
    "host_metrics.get_memory_free": (XenApiServer.host_memory_free, (2,)),
    "host_cpu.get_utilisation": (XenApiServer.host_cpu_utilisation, (2,)),
    "PIF.get_metrics": (XenApiServer.pif_get_metrics, (2,)),
    "PIF.get_record": (XenApiServer.pif_get_record, (2,)),
    "PIF_metrics.get_record": (XenApiServer.pif_metrics_record, (2,)),
    "VIF.get_metrics": (XenApiServer.vif_get_metrics, (2,)),
    "VIF.get_record": (XenApiServer.vif_get_record, (2,)),
    "VIF.get_all_records": (XenApiServer.vif_get_all_records, (1,)),
    "VIF_metrics.get_record": (XenApiServer.vif_metrics_record, (2,)),
    "VIF_metrics.get_uuid": (XenApiServer.vif_metrics_uuid, (2,)),
    "VBD.get_metrics": (XenApiServer.vbd_get_metrics, (2,)),
    "VBD.get_record": (XenApiServer.vbd_get_record, (2,)),
    "VBD.get_all_records": (XenApiServer.vbd_get_all_records, (1,)),
    "VBD_metrics.get_record": (XenApiServer.vbd_metrics_record, (2,)),
    "VBD_metrics.get_uuid": (XenApiServer.vbd_metrics_uuid, (2,)),
    "VM.get_all": (XenApiServer.vm_get_all, (1,)),
    "VM.get_all_records": (XenApiServer.vm_get_all_records, (1,)),
    "VM.get_all_records_where": (XenApiServer.vm_get_all_records_where, (2,)),
    "VM.get_by_name_label": (XenApiServer.vm_get_by_name_label, (2,)),
    "VM.get_by_uuid": (XenApiServer.vm_get_by_uuid, (2,)),
    "VM.get_is_a_template": (XenApiServer.vm_is_template, (2,)),
    "VM.get_is_control_domain": (XenApiServer.vm_is_control_domain, (2,)),
    "VM.get_power_state": (XenApiServer.vm_power_state, (2,)),
    "VM.get_record": (XenApiServer.vm_get_record, (2,)),
    "VM_metrics.get_record": (XenApiServer.vm_metrics_record, (2,)),
    "VM_metrics.get_all_records": (XenApiServer.vm_metrics_all_records, (1,)),
    "VM_guest_metrics.get_record": (XenApiServer.guest_metrics_record, (2,)),
    "VM_guest_metrics.get_all_records": (XenApiServer.guest_metrics_all_records, (1,)),
    "VM.start": (XenApiServer.vm_start, _start_counts),
    "VM.resume": (XenApiServer.vm_resume, _start_counts),
    "VM.clean_shutdown": (XenApiServer.vm_clean_shutdown, (2,)),
    "VM.suspend": (XenApiServer.vm_suspend, (2,)),
    "VM.clean_reboot": (XenApiServer.vm_clean_reboot, (2,)),
    "VM.pause": (XenApiServer.vm_pause, (2,)),
    "VM.unpause": (XenApiServer.vm_unpause, (2,)),
}

# Messages current servers still list but no longer run (MESSAGE_REMOVED once the
# parameter count and the session passed); older servers run them.
_REMOVED = {"host_metrics.get_memory_free", "VIF.get_metrics", "VBD.get_metrics",
            "VIF_metrics.get_record", "VBD_metrics.get_record"}
# Removed messages the older servers simulated here never had either.
_REMOVED_ONLY = set()
for _cls in ("VIF_metrics", "VBD_metrics"):
    for _msg, _count in (("get_all", 1), ("get_all_records", 1), ("get_by_uuid", 2),
                         ("get_io_read_kbs", 2), ("get_io_write_kbs", 2)):
        _REMOVED_ONLY.add("%s.%s" % (_cls, _msg))
        _METHODS["%s.%s" % (_cls, _msg)] = (_removed, (_count,))
for _name in ("PIF_metrics.get_io_read_kbs", "PIF_metrics.get_io_write_kbs",
              "VM_metrics.get_VCPUs_utilisation", "VM_guest_metrics.get_memory"):
    _REMOVED_ONLY.add(_name)
    _METHODS[_name] = (_removed, (2,))
# Bulk reads: answered by current servers; older ones only with set_bulk.
_BULK = {"VM.get_all_records", "VM.get_all_records_where", "VM_metrics.get_all_records",
         "VM_guest_metrics.get_all_records", "VIF.get_all_records", "VBD.get_all_records"}


class _StandaloneHost:
    def __init__(self, path):
        self.inventory = inventory_mod.Inventory.load(path)


def main(argv):
    parser = argparse.ArgumentParser(description="Simulated XenAPI server (HTTPS on 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--certs", help="certificate directory (made with make_certs.sh if needed)")
    parser.add_argument("--inventory", default=os.path.join(HERE, "inventory.json"))
    parser.add_argument("--lifetime", type=float, default=3600.0)
    parser.add_argument("--profile", choices=PROFILES, default="current")
    args = parser.parse_args(argv)
    certs = args.certs or tempfile.mkdtemp(prefix="xenapi-certs-")
    subprocess.run([os.path.join(HERE, "make_certs.sh"), certs], check=True)
    server = XenApiServer(_StandaloneHost(args.inventory), os.path.join(certs, "xenapi-server.pem"),
                          os.path.join(certs, "xenapi-server-key.pem"), profile=args.profile)
    port = server.start("127.0.0.1", args.port)
    error = server.start_member(server.host.inventory.member_address(), port)
    print("READY %d" % port + ("" if error is None else " (no pool member: %s)" % error), flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait(args.lifetime)
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
