#!/usr/bin/env python3
"""The plug-in end to end: the monitoring host program (and the VBScript host) run
checks against the simulated Xen host through the real connector, on both protocols.

Runs beside sim/xensim.py (started with "-- sim_e2e.py ..."), which serves the fixed
ports 443 and 6936 that the plug-in's factory uses, and copies the xen3 client files
next to the connector's DLL.

  sim_e2e.py checks BUILD_DIR HOST_EXE [VBS_FILE]
  sim_e2e.py gui BUILD_DIR GUI_EXE

"checks" runs the cases below and reports every mismatch (under 32-bit Wine those that
go through the connector: each protocol's states and refused login, the VBScript host); "gui" runs the window test
of the list button against the simulated host (in a Wine desktop).
"""
import base64
import copy
import json
import os
import socket
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("VANTREL_SOURCE_DIR", os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "automation", "tests"))
# Under 32-bit Wine (emulated, slow) the checks are the ones through the connector.
from winetools import WINE32, WINE_RUN, winpath  # noqa: E402
INVENTORY = os.path.join(SOURCE, "sim", "inventory.json")


class Control:
    """The simulator's control port: one JSON object per line each way."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.file = self.sock.makefile("rw")

    def __call__(self, request):
        self.file.write(json.dumps(request) + "\n")
        self.file.flush()
        reply = json.loads(self.file.readline())
        if not reply.get("ok"):
            raise RuntimeError("control %r: %r" % (request, reply))
        return reply


def b64(text):
    return base64.b64encode(text.encode("latin-1")).decode("ascii")


def listed_vms(inventory):
    return [vm["name"] for vm in inventory["vms"]
            if not vm.get("is_a_template") and not vm.get("is_control_domain")]


class Runner:
    def __init__(self, build, host_exe, vbs):
        self.build, self.host_exe, self.vbs = build, host_exe, vbs
        self.failures = []
        self.count = 0

    def run_host(self, host, parameter, timeout="30"):
        command = [WINE_RUN, self.build, self.host_exe, "--host", host, "--timeout", timeout,
                   "--parameter", parameter]
        return self._parse(subprocess.run(command, capture_output=True, timeout=120))

    def run_vbs(self, host, parameter):
        command = [WINE_RUN, self.build, "cscript", "//nologo", winpath(self.vbs), host, parameter, "30"]
        return self._parse(subprocess.run(command, capture_output=True, timeout=120))

    @staticmethod
    def _parse(done):
        values = {}
        for line in done.stdout.decode("utf-8", "replace").splitlines():
            key, sep, value = line.strip("\r").partition("=")
            if sep and key in ("ck_docheck", "ck_result", "ck_parameter"):
                values[key] = value
        return values.get("ck_docheck"), values.get("ck_result"), done.returncode

    def expect(self, name, got, passed, result=None, prefix=None, suffix=None):
        self.count += 1
        ok_passed, ok_result, code = got
        problems = []
        if ok_passed != ("True" if passed else "False"):
            problems.append("ck_docheck %r" % ok_passed)
        if result is not None and ok_result != result:
            problems.append("ck_result %r, expected %r" % (ok_result, result))
        if prefix is not None and not (ok_result or "").startswith(prefix):
            problems.append("ck_result %r does not start with %r" % (ok_result, prefix))
        if suffix is not None and not (ok_result or "").endswith(suffix):
            problems.append("ck_result %r does not end with %r" % (ok_result, suffix))
        if code != (0 if passed else 1):
            problems.append("exit code %r" % code)
        print("%s %s: %s" % ("FAIL" if problems else "ok  ", name, ok_result), flush=True)
        if problems:
            self.failures.append("%s: %s" % (name, "; ".join(problems)))


def checks(build, host_exe, vbs):
    control = Control(int(os.environ["VANTREL_SIM_CONTROL_PORT"]))
    # The agent pushes figures often, so that statuses are known after the check's pause.
    control({"target": "xen3", "cmd": "set_push_interval", "seconds": 0.5})
    with open(INVENTORY) as f:
        inventory = json.load(f)
    creds = inventory.get("credentials", {"user": "root", "password": "xenroot"})
    user, password = creds["user"], creds["password"]
    names = listed_vms(inventory)
    by_name = {vm["name"]: vm for vm in inventory["vms"]}
    state = {"Running": "UP", "Halted": "DOWN", "Suspended": "SUSPENDED", "Paused": "PAUSED"}
    running = next(n for n in names if by_name[n]["power_state"] == "Running")
    halted = next(n for n in names if by_name[n]["power_state"] == "Halted")

    def param(xvr, vm, vms="UP", pwd=None, usr=None):
        return "#VSTP=XEN#USR=%s#PWD=%s#XVR=%s#VMN=%s#VMS=%s#" % (
            usr if usr is not None else user, b64(pwd if pwd is not None else password), xvr, vm, vms)

    # A refused login: the xen4 back end names it; a xen3 agent that refuses the sign-on
    # leaves a session without channels, whose creation then fails as a lost connection.
    refused = {"3": "ERR: Connection to server lost(at  180)", "4": "ERR: Wrong user or password(at  180)"}

    r = Runner(build, host_exe, vbs)
    for xvr in ("3", "4"):
        tag = "xen%s" % xvr
        r.expect(tag + " inventory", r.run_host("127.0.0.1", param(xvr, "")), True,
                 "%d registered virtual machine(s) on this server" % len(names))
        r.expect(tag + " expected state", r.run_host("127.0.0.1", param(xvr, running)), True,
                 "Virtual machine (%s) is UP" % running)
        r.expect(tag + " other state", r.run_host("127.0.0.1", param(xvr, halted)), False,
                 "Virtual machine (%s) is in a %s state while it should be UP"
                 % (halted, state[by_name[halted]["power_state"]]))
        r.expect(tag + " name in another case", r.run_host("127.0.0.1", param(xvr, running.upper())), False,
                 "Can't get the state of this (%s) virtual machine, it's not listed as a known one" % running.upper())
        r.expect(tag + " wrong password", r.run_host("127.0.0.1", param(xvr, running, pwd=password + "x")), False,
                 refused[xvr])
        if WINE32:
            continue  # what follows is the plug-in's own parsing, the same in 32 bits
        # 127.0.0.2 is the simulated pool member; nothing listens on 127.0.0.9
        r.expect(tag + " unreachable host", r.run_host("127.0.0.9", param(xvr, running)), False,
                 prefix="ERR: ", suffix="(at  180)")

        # Parameter strings as a host may store them.
        lower = "#vstp=XEN#usr=%s#pwd=%s#xvr=%s#vmn=%s#vms=UP" % (user, b64(password), xvr, running)
        r.expect(tag + " lower-case keys, no final #", r.run_host("127.0.0.1", lower), True,
                 "Virtual machine (%s) is UP" % running)
        r.expect(tag + " # inside a value", r.run_host("127.0.0.1", param(xvr, running[:2] + "#" + running[2:])),
                 False, "Can't get the state of this (%s) virtual machine, it's not listed as a known one" % running[:2])
        r.expect(tag + " no PWD", r.run_host("127.0.0.1", "#USR=%s#XVR=%s#VMN=%s#VMS=UP#" % (user, xvr, running)),
                 False, refused[xvr])

        # A password holding "#" survives in its Base64 form.
        hashed = copy.deepcopy(inventory)
        hashed["credentials"] = {"user": user, "password": "pa#ss=w0rd#"}
        control({"cmd": "load", "inventory": hashed})
        r.expect(tag + " password with #", r.run_host("127.0.0.1", param(xvr, running, pwd="pa#ss=w0rd#")), True,
                 "Virtual machine (%s) is UP" % running)

        empty = copy.deepcopy(inventory)
        empty["vms"] = [vm for vm in empty["vms"] if vm.get("is_a_template") or vm.get("is_control_domain")]
        control({"cmd": "load", "inventory": empty})
        for vm in ("", running):
            r.expect(tag + " no VMs (%r)" % vm, r.run_host("127.0.0.1", param(xvr, vm)), False,
                     "No registered virtual machines on this server")
        control({"cmd": "reset"})
        control({"target": "xen3", "cmd": "set_push_interval", "seconds": 0.5})

    # Without XVR the check speaks the xen4 protocol.
    if not WINE32:
        r.expect("no XVR", r.run_host("127.0.0.1", "#USR=%s#PWD=%s#VMN=%s#VMS=UP#" % (user, b64(password), running)),
                 True, "Virtual machine (%s) is UP" % running)
    if vbs:
        r.expect("VBScript host", r.run_vbs("127.0.0.1", param("4", running)), True,
                 "Virtual machine (%s) is UP" % running)
        r.expect("VBScript host, wrong password", r.run_vbs("127.0.0.1", param("4", running, pwd="nope")), False,
                 "ERR: Wrong user or password(at  180)")

    for failure in r.failures:
        print("FAILED " + failure)
    print("%d of %d cases passed" % (r.count - len(r.failures), r.count))
    return 1 if r.failures else 0


def gui(build, gui_exe):
    with open(INVENTORY) as f:
        inventory = json.load(f)
    creds = inventory.get("credentials", {"user": "root", "password": "xenroot"})
    env = dict(os.environ, BRENMO_SIM_USER=creds["user"], BRENMO_SIM_PASSWORD=creds["password"],
               BRENMO_SIM_VMS=",".join(listed_vms(inventory)))
    command = [sys.executable, os.path.join(HERE, "run_in_desktop.py"), build, gui_exe, "--",
               "--gtest_filter=*SimulatedHost*"]
    return subprocess.run(command, env=env).returncode


def main(argv):
    if len(argv) >= 3 and argv[0] == "checks":
        return checks(argv[1], argv[2], argv[3] if len(argv) > 3 else None)
    if len(argv) == 3 and argv[0] == "gui":
        return gui(argv[1], argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
