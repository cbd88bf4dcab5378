#!/usr/bin/env python3
"""The simulated Xen host: one inventory answered over both protocols.

  * XenAPI (XML-RPC over HTTPS)                      sim/xenapi_server.py, XenApiServer
  * the xen3 agent (list notation over TLS, client    sim/xen3_agent.py,   Xen3Agent
    certificates signed by the test CA)
  * a control port (plain TCP on 127.0.0.1, one JSON object per line in, one per line
    out) through which tests choose fault modes, read recorded requests, and replace
    or inspect the inventory.

Every listener binds 127.0.0.1, except the XenAPI pool member's, which binds 127.0.0.2
(also loopback) on the XenAPI port, and with --ipv6 a second listener of the XenAPI master
on [::1] (same port); the whole process stops by itself after --lifetime seconds.

Usage:
  xensim.py [--profile current|legacy] [--inventory FILE] [--certs DIR] [--xenapi-port N] [--xen3-port N]
            [--control-port N] [--ports-file FILE] [--lifetime S] [--ipv6] [--allow-live-sessions]
            [--client-certs-to DIR ...] [--only xenapi|xen3] [-- COMMAND ARGS...]

--profile defaults to VANTREL_SIM_PROFILE when set (so that a simulator a test starts
itself answers like the one it runs beside), else current. Port 0 (the default) picks a
free port. Once listening it prints one line
"READY {json}" with the ports on standard output (and writes the same JSON to
--ports-file), with "profile" and "member" (the pool member's address, or null and
"member_error" when it could not be bound) and "ipv6" ("::1", or null: without --ipv6,
or with "ipv6_error" when [::1] could not be bound). With a COMMAND it runs it with these
variables set, then stops:
  VANTREL_SIM_XENAPI_PORT, VANTREL_SIM_XEN3_PORT, VANTREL_SIM_CONTROL_PORT,
  VANTREL_SIM_CERTS (directory holding ca.pem, xencert.pem, certChain.pem, key.pem and
  the XenAPI listeners' xenapi-ca.pem, xenapi-server.pem, xenapi-pin.txt),
  VANTREL_SIM_PROFILE, VANTREL_SIM_MEMBER_ADDRESS (empty without a member),
  VANTREL_SIM_IPV6 ("::1", empty when the master does not listen there)
and exits with the command's exit code; but when XenAPI sessions are still live 5 s
after the command ended (or were live at a "reset" and never logged out), it prints
  xensim: N XenAPI session(s) left live: ORIGINATOR/USER, ...
to standard error and exits non-zero even if the command passed (not with
--allow-live-sessions).

Control commands (JSON lines), answered with {"ok": true, ...} or {"ok": false, "error": "..."}:
  {"cmd": "ping"}
  {"cmd": "load", "inventory": {...}}        replace the inventory of both protocols
  {"cmd": "reset"}                            back to the inventory file
  {"cmd": "power_state", "uuid": "..."}       -> {"ok": true, "power_state": "Running"}
  {"cmd": "set_transition", "seconds": 0.5}
  {"target": "xenapi" | "xen3", ...}          handed to that server's control(dict)
"""

import argparse
import json
import os
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import inventory as inventory_mod  # noqa: E402


class Host:
    """Holds the shared inventory; servers read it through host.inventory at each call."""

    def __init__(self, path):
        self.path = path
        self.inventory = inventory_mod.Inventory.load(path)
        self.servers = {}

    def control(self, request):
        target = request.get("target")
        if target:
            server = self.servers.get(target)
            if server is None:
                return {"ok": False, "error": "no server %r" % target}
            return server.control(request)
        cmd = request.get("cmd")
        if cmd == "ping":
            return {"ok": True}
        if cmd == "load":
            self.inventory = inventory_mod.Inventory(request["inventory"])
            return {"ok": True}
        if cmd == "reset":
            self.inventory = inventory_mod.Inventory.load(self.path)
            for server in self.servers.values():
                if hasattr(server, "reset"):
                    server.reset()
            return {"ok": True}
        if cmd == "power_state":
            vm = self.inventory.find(request["uuid"])
            if vm is None:
                return {"ok": False, "error": "no such VM"}
            return {"ok": True, "power_state": self.inventory.power_state(vm)}
        if cmd == "set_transition":
            self.inventory.transition_seconds = float(request["seconds"])
            return {"ok": True}
        return {"ok": False, "error": "unknown command %r" % cmd}


class ControlHandler(socketserver.StreamRequestHandler):
    def handle(self):
        for line in self.rfile:
            line = line.strip()
            if not line:
                continue
            try:
                reply = self.server.host.control(json.loads(line))
            except Exception as exc:  # a bad control line must not stop the simulator
                reply = {"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}
            self.wfile.write((json.dumps(reply) + "\n").encode())
            self.wfile.flush()


class ControlServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def ensure_certs(directory):
    subprocess.run([os.path.join(HERE, "make_certs.sh"), directory], check=True)


def live_sessions(report, wait=5.0):
    """["originator/user", ...] of the XenAPI sessions still live once a log-out that may
    be on its way has had `wait` seconds to arrive, and of those live at a reset and never
    logged out. report() gives the XenAPI server's answer to {"cmd": "sessions"}."""
    deadline = time.monotonic() + wait
    while True:
        answer = report()
        if (not answer["sessions"] and not answer["left_at_reset"]) or time.monotonic() >= deadline:
            break
        time.sleep(0.05)
    return (["%s/%s" % (s["originator"] or "-", s["user"]) for s in answer["sessions"]] +
            ["%s/%s (at a reset)" % (s["originator"] or "-", s["user"]) for s in answer["left_at_reset"]])


def copy_client_certs(certs, target):
    os.makedirs(target, exist_ok=True)
    for name in ("xencert.pem", "certChain.pem", "key.pem"):
        with open(os.path.join(certs, name), "rb") as src, open(os.path.join(target, name), "wb") as dst:
            dst.write(src.read())


def main(argv):
    if "--" in argv:
        cut = argv.index("--")
        argv, command = argv[:cut], argv[cut + 1:]
    else:
        command = []
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    # A simulator a test starts itself answers like the one the test runs beside.
    inherited = os.environ.get("VANTREL_SIM_PROFILE")
    parser.add_argument("--profile", choices=("current", "legacy"),
                        default=inherited if inherited in ("current", "legacy") else "current",
                        help="how the XenAPI server answers: as current servers (default, or"
                             " VANTREL_SIM_PROFILE) or older ones")
    parser.add_argument("--inventory", default=os.path.join(HERE, "inventory.json"))
    parser.add_argument("--certs", default=os.path.join(os.getcwd(), "sim-certs"))
    parser.add_argument("--xenapi-port", type=int, default=0)
    parser.add_argument("--xen3-port", type=int, default=0)
    parser.add_argument("--control-port", type=int, default=0)
    parser.add_argument("--ports-file")
    parser.add_argument("--lifetime", type=float, default=900.0)
    parser.add_argument("--client-certs-to", action="append", default=[])
    parser.add_argument("--only", choices=("xenapi", "xen3"))
    parser.add_argument("--quiet", action="store_true")
    parser.add_argument("--ipv6", action="store_true", help="the XenAPI master also listens on [::1]")
    parser.add_argument("--allow-live-sessions", action="store_true",
                        help="do not fail when the command leaves XenAPI sessions live")
    args = parser.parse_args(argv)

    certs = os.path.abspath(args.certs)
    ensure_certs(certs)
    for target in args.client_certs_to:
        copy_client_certs(certs, target)

    host = Host(args.inventory)
    ports = {}
    extra = {"profile": args.profile}
    if args.only in (None, "xenapi"):
        try:
            from xenapi_server import XenApiServer
        except ImportError:
            XenApiServer = None
        if XenApiServer is not None:
            server = XenApiServer(host, os.path.join(certs, "xenapi-server.pem"),
                                  os.path.join(certs, "xenapi-server-key.pem"), profile=args.profile)
            ports["xenapi"] = server.start("127.0.0.1", args.xenapi_port)
            error = server.start_member(host.inventory.member_address(), ports["xenapi"])
            extra["member"] = None if error else host.inventory.member_address()
            if error:
                extra["member_error"] = error
            extra["ipv6"] = None
            if args.ipv6:
                error = server.start_ipv6(ports["xenapi"])
                extra["ipv6"] = None if error else "::1"
                if error:
                    extra["ipv6_error"] = error
            host.servers["xenapi"] = server
    if args.only in (None, "xen3"):
        try:
            from xen3_agent import Xen3Agent
        except ImportError:
            Xen3Agent = None
        if Xen3Agent is not None:
            agent = Xen3Agent(host, os.path.join(certs, "server.pem"), os.path.join(certs, "server-key.pem"),
                              os.path.join(certs, "ca.pem"))
            ports["xen3"] = agent.start("127.0.0.1", args.xen3_port)
            host.servers["xen3"] = agent

    control = ControlServer(("127.0.0.1", args.control_port), ControlHandler)
    control.host = host
    ports["control"] = control.server_address[1]
    threading.Thread(target=control.serve_forever, daemon=True).start()

    info = dict(ports, certs=certs, **extra)
    if args.ports_file:
        with open(args.ports_file + ".tmp", "w") as f:
            json.dump(info, f)
        os.replace(args.ports_file + ".tmp", args.ports_file)
    print("READY " + json.dumps(info), flush=True)

    def stop_all():
        control.shutdown()
        for server in host.servers.values():
            try:
                server.stop()
            except Exception:
                pass

    deadline = time.monotonic() + args.lifetime
    if command:
        env = dict(os.environ)
        env["VANTREL_SIM_XENAPI_PORT"] = str(ports.get("xenapi", 0))
        env["VANTREL_SIM_XEN3_PORT"] = str(ports.get("xen3", 0))
        env["VANTREL_SIM_CONTROL_PORT"] = str(ports["control"])
        env["VANTREL_SIM_CERTS"] = certs
        env["VANTREL_SIM_PROFILE"] = args.profile
        env["VANTREL_SIM_MEMBER_ADDRESS"] = extra.get("member") or ""
        env["VANTREL_SIM_IPV6"] = extra.get("ipv6") or ""
        child = subprocess.Popen(command, env=env)
        try:
            code = child.wait(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
            print("xensim: command still running after %.0f s, stopped" % args.lifetime, file=sys.stderr)
            code = 124
        xenapi = host.servers.get("xenapi")
        left = live_sessions(xenapi.sessions_report) if xenapi is not None else []
        stop_all()
        if left and not args.allow_live_sessions:
            print("xensim: %d XenAPI session(s) left live: %s" % (len(left), ", ".join(left)), file=sys.stderr)
            code = code or 1
        return code

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait(max(0.0, deadline - time.monotonic()))
    stop_all()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
