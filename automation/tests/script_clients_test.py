#!/usr/bin/env python3
"""VBScript and JScript clients of the registered Vantrel.dll against the simulated host.

usage: script_clients_test.py SCENARIO DLL
  xen4            mode 3 on the simulator's XenAPI port
  xen3            mode 2 on the simulator's agent port
  xen4-nonascii   mode 3: a password and names outside ASCII, as ANSI text of the client
  autodetect      mode 1; a simulator serves both protocols on 6936 and 443
  autodetect-xen4 mode 1; a simulator serves only XenAPI, on 443
  autodetect-none mode 1; nothing answers on 6936 or 443

xen4 and xen3 run under sim/xensim.py (they read VANTREL_SIM_*). The autodetect
scenarios need the fixed ports, which other test runs on this machine may hold for a
while: they wait until the ports are free and start their own simulator. The client
certificate files are put next to the DLL first, as a user installs them. Each client
prints key=value lines; this driver compares them with the simulator's inventory.
"""
import contextlib
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

from winetools import Failure, keep_wineserver, parse_output, place_client_certificates, wine, winpath

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENTS = os.path.join(HERE, "clients")
CONNECTOR_FAILURE = "&H80043000"
INVALID_ARG = ("&H5|", "&H80070057|")  # VBScript maps E_INVALIDARG to its error 5 for some calls


def sim_control(request):
    port = int(os.environ["VANTREL_SIM_CONTROL_PORT"])
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        f = s.makefile("rw")
        f.write(json.dumps(request) + "\n")
        f.flush()
        reply = json.loads(f.readline())
    if not reply.get("ok"):
        raise Failure("simulator refused %r: %r" % (request, reply))
    return reply


FIXED_PORTS = (6936, 443)


def port_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def wait_for_fixed_ports(deadline):
    while not all(port_free(p) for p in FIXED_PORTS):
        if time.time() > deadline:
            raise Failure("ports %s stayed in use" % (FIXED_PORTS,))
        time.sleep(1)


@contextlib.contextmanager
def fixed_port_sim(extra_args, deadline):
    """A simulator on the fixed ports, started once they are free; its ports and
    certificates are published in the environment as xensim.py does for a command."""
    source = os.environ["VANTREL_SOURCE_DIR"]
    certs = os.path.join(os.environ["VANTREL_BINARY_DIR"], "sim-certs")
    while True:
        wait_for_fixed_ports(deadline)
        with tempfile.TemporaryDirectory() as tmp:
            ports_file = os.path.join(tmp, "ports.json")
            proc = subprocess.Popen([sys.executable, os.path.join(source, "sim", "xensim.py"), "--certs", certs,
                                     "--lifetime", "280", "--quiet", "--ports-file", ports_file] + extra_args,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            while proc.poll() is None and not os.path.exists(ports_file):
                time.sleep(0.1)
            if proc.poll() is not None:  # lost the race for a port: wait again
                if time.time() > deadline:
                    raise Failure("could not start the simulator on %s" % (FIXED_PORTS,))
                continue
            time.sleep(0.2)  # the file is complete once its writer is done
            with open(ports_file) as f:
                ports = json.load(f)
            os.environ.update(VANTREL_SIM_XENAPI_PORT=str(ports.get("xenapi") or 0),
                              VANTREL_SIM_XEN3_PORT=str(ports.get("xen3") or 0),
                              VANTREL_SIM_CONTROL_PORT=str(ports["control"]), VANTREL_SIM_CERTS=certs)
            try:
                yield
            finally:
                proc.terminate()
                proc.wait(timeout=30)
            return


def inventory():
    path = os.path.join(os.environ["VANTREL_SOURCE_DIR"], "sim", "inventory.json")
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class Checker:
    def __init__(self, name, output):
        self.name = name
        self.pairs = parse_output(output)
        self.values = {}
        for k, v in self.pairs:
            self.values.setdefault(k, v)
        self.problems = []
        self.output = output

    def all(self, key):
        return [v for k, v in self.pairs if k == key]

    def get(self, key):
        return self.values.get(key)

    def expect(self, key, predicate, what):
        value = self.get(key)
        ok = False
        try:
            ok = value is not None and predicate(value)
        except (ValueError, TypeError):
            ok = False
        if not ok:
            self.problems.append("%s: %s=%r, expected %s" % (self.name, key, value, what))

    def equal(self, key, expected):
        self.expect(key, lambda v: v == expected, repr(expected))

    def number(self, key):
        self.expect(key, lambda v: float(v) == float(v), "a number")


def run_client(script, *args):
    proc = wine("cscript", "//nologo", winpath(os.path.join(CLIENTS, script)), *args, timeout=240)
    return proc.stdout + proc.stderr


def check_session_client(c, protocol, mode, port, vb):
    inv = inventory()
    host = inv["host"]
    vms = [v for v in inv["vms"] if not v.get("is_a_template") and not v.get("is_control_domain")]
    names = [v["name"] for v in vms]

    if c.get("Done") != "yes":
        c.problems.append("%s did not run to its end:\n%s" % (c.name, c.output))
    c.equal("DefaultMode", "2,6936,5")
    for key in ("Mode0", "Mode4") if vb else ("Mode4",):
        c.expect(key, lambda v: v.startswith(INVALID_ARG), "E_INVALIDARG")
    if vb:
        c.equal("ModeAfterRefusal", "2,6936")
        c.equal("Mode3Port", "443")
        c.equal("Mode1Port", "-1")
    c.equal("Settings", "%d,%s,1" % (mode, port if port != "-" else "-1"))

    # xen4 refuses the login; a refused xen3 sign-on leaves a session without a
    # back channel, so filling its list reports the lost connection.
    wrong = "Wrong user or password" if protocol == "xen4" else "Connection to server lost"
    if vb:
        c.equal("WrongPassword", "%s|%s|Vantrel.XenFactory.1" % (CONNECTOR_FAILURE, wrong))
    else:
        c.equal("WrongPassword", "%s|%s" % (CONNECTOR_FAILURE, wrong))

    c.equal("ServerName", host["name"])
    c.equal("ServerDescription", host["description"])
    c.equal("XenVersion", host["product_version"] if protocol == "xen4" else host["xen_version"])
    c.equal("Status", "On")
    c.equal("NumCpus", str(len(host["cpu_utilisation"])))
    for key in ("Memory", "CpuUsage", "MemoryUsage", "DiskIO", "NetworkIO"):
        c.number(key)

    c.equal("Count", str(len(vms)))
    listed = [line.split("|")[0] for line in c.all("VM")]
    if listed != names:
        c.problems.append("%s: enumeration gave %r, expected %r" % (c.name, listed, names))
    for line in c.all("VM"):
        fields = line.split("|")
        vm = next((v for v in vms if v["name"] == fields[0]), None)
        if vm and fields[2] != vm["description"]:
            c.problems.append("%s: %s has description %r" % (c.name, fields[0], fields[2]))
    if not vb:
        c.equal("Names", ",".join(names))
        c.equal("DefaultMember", names[-1])
    else:
        c.equal("SameList", "True")
        c.equal("SameItem", "True")
        c.equal("Last", names[-1])
        c.equal("ItemPastEnd", "&H80004005||")
    c.equal("First", names[0])
    c.expect("Item0", lambda v: v.startswith(INVALID_ARG), "E_INVALIDARG")

    c.expect("Target", lambda v: v.startswith("build01|"), "build01")
    if protocol == "xen4":
        c.equal("AfterStart", "STARTING")  # the transitional state, at once
    c.equal("Refreshed", "UP")  # the state the server reports after the start
    c.expect("StartRunning", lambda v: v.startswith(CONNECTOR_FAILURE + "|") and len(v) > len(CONNECTOR_FAILURE) + 2,
             "a refusal with the server's reason")
    c.equal("KeptName", "build01")
    c.equal("KeptStart", "%s|no session%s" % (CONNECTOR_FAILURE, "|" if vb else ""))
    if vb:
        c.equal("ClosedName", host["name"])
        if protocol == "xen3":
            c.equal("UpdateAfterClose", "%s|Connection to server lost|" % CONNECTOR_FAILURE)
        else:
            c.equal("UpdateAfterClose", "no error")  # a closed xen4 session still counts as connected


def check_non_ascii(port):
    """The password "Grüße" and the names "Büro-Server" and "Küche" through the DLL: the
    client types and reads them in its ANSI code page (1252 here), the wire carries
    UTF-8."""
    inv = inventory()
    inv["credentials"] = {"user": "root", "password": "Gr\u00fc\u00dfe"}
    inv["host"]["name"] = "B\u00fcro-Server"
    inv["vms"][0]["name"] = "K\u00fcche"
    sim_control({"cmd": "reset"})
    sim_control({"cmd": "load", "inventory": inv})
    c = Checker("xen4-nonascii", run_client("non_ascii.vbs", "3", port, "root"))
    problems = []
    codes = lambda text: ",".join(str(b) for b in text.encode("cp1252"))
    if c.get("Done") != "yes":
        problems.append("non_ascii.vbs did not run to its end:\n%s" % c.output)
    c.equal("Connect", "ok")
    c.equal("ServerName", codes("B\u00fcro-Server"))
    if not c.all("VM") or c.all("VM")[0] != codes("K\u00fcche"):
        problems.append("first VM name codes %r, expected %r" % (c.all("VM")[:1], codes("K\u00fcche")))
    sim_control({"cmd": "reset"})
    return problems + c.problems


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    scenario, dll = argv[1], os.path.abspath(argv[2])
    keep_wineserver()
    problems = []

    deadline = time.time() + 200
    if scenario == "autodetect-none":
        # Nothing answers: the failure reported is that of the xen4 attempt, the same as
        # a xen4 session on port 443 gives.
        # Another build's server may come up on the ports meanwhile: then measure again.
        for _ in range(5):
            wait_for_fixed_ports(deadline)
            auto = Checker("autodetect", run_client("connect_only.vbs", "1", "-", "root", "xenroot"))
            xen4 = Checker("xen4 on 443", run_client("connect_only.vbs", "3", "443", "root", "xenroot"))
            failed = all((c.get("Connect") or "").startswith(CONNECTOR_FAILURE) for c in (auto, xen4))
            if failed and all(port_free(p) for p in FIXED_PORTS):
                break
            time.sleep(2)
        auto.expect("Connect", lambda v: v.startswith(CONNECTOR_FAILURE + "|") and v.endswith("|Vantrel.XenFactory.1"),
                    "a connector failure from the factory")
        if auto.get("Connect") != xen4.get("Connect"):
            problems.append("autodetect reported %r, the xen4 attempt alone %r" % (auto.get("Connect"), xen4.get("Connect")))
        problems += auto.problems + xen4.problems
    else:
        if scenario == "xen4-nonascii":
            problems += check_non_ascii(os.environ["VANTREL_SIM_XENAPI_PORT"])
            for p in problems:
                print("FAIL:", p)
            if not problems:
                print("%s: clients behaved as expected" % scenario)
            return 1 if problems else 0
        if scenario == "xen4":
            protocol, mode, port, sim = "xen4", 3, os.environ["VANTREL_SIM_XENAPI_PORT"], None
        elif scenario == "xen3":
            protocol, mode, port, sim = "xen3", 2, os.environ["VANTREL_SIM_XEN3_PORT"], None
        elif scenario == "autodetect":
            # The xen3 attempt comes first and succeeds.
            protocol, mode, port, sim = "xen3", 1, "-", ["--xen3-port", "6936", "--xenapi-port", "443"]
        elif scenario == "autodetect-xen4":
            # No agent: the xen4 attempt on 443.
            protocol, mode, port, sim = "xen4", 1, "-", ["--only", "xenapi", "--xenapi-port", "443"]
        else:
            sys.stderr.write(__doc__)
            return 2
        with fixed_port_sim(sim, deadline) if sim else contextlib.nullcontext():
            place_client_certificates(os.environ["VANTREL_SIM_CERTS"], os.path.dirname(dll))
            for script, vb in (("session_client.vbs", True), ("session_client.js", False)):
                sim_control({"cmd": "reset"})
                c = Checker("%s %s" % (scenario, script),
                            run_client(script, str(mode), port, "root", "xenroot", "build01"))
                check_session_client(c, protocol, mode, port, vb)
                problems += c.problems

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("%s: clients behaved as expected" % scenario)
    return 1 if problems else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except Failure as e:
        print("FAIL:", e)
        sys.exit(1)
