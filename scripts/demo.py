#!/usr/bin/env python3
"""Runs beside the simulated host (see scripts/demo.sh): registers both DLLs under Wine,
runs the VBScript demo session and two Brenmo checks, and prints what they print."""
import base64
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1]
wine_run = [os.path.join(ROOT, "scripts", "wine-run.sh"), build]


def wine(*args, check=True):
    result = subprocess.run(wine_run + list(args), capture_output=True, text=True)
    if check and result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        raise SystemExit("%s failed" % args[0])
    # The xen3 frame receiver's diagnostic trace goes to the console too; the demo
    # shows only what the scripts print.
    lines = result.stdout.replace("\r\n", "\n").split("\n")
    trace = ("Successful receive", "timeout receive", "Receive error: ")
    return "\n".join(l for l in lines if not l.startswith(trace))


def winpath(path):
    return "Z:" + path.replace("/", "\\")


vantrel = os.path.join(build, "automation", "Vantrel.dll")
brenmo = os.path.join(build, "plugin", "Brenmo.dll")
print("Registering Vantrel.dll and Brenmo.dll in the Wine prefix of %s" % build)
wine("regsvr32", "/s", winpath(vantrel))
wine("regsvr32", "/s", winpath(brenmo))

print(wine("cscript", "//nologo", winpath(os.path.join(ROOT, "examples", "demo.vbs")),
           "/host:127.0.0.1", "/user:root", "/password:xenroot", "/vm:build01"))

print("Brenmo checks")
print("=============")
host_vbs = winpath(os.path.join(ROOT, "examples", "brenmo_host.vbs"))
password = base64.b64encode(b"xenroot").decode()
for vm, state, protocol in (("web01", "UP", "4"), ("mail01", "UP", "3")):
    parameter = "#VSTP=XEN#USR=root#PWD=%s#XVR=%s#VMN=%s#VMS=%s#" % (password, protocol, vm, state)
    print("Is %s %s? (Xen %s.x)  parameter %s" % (vm, state, protocol, parameter))
    out = wine("cscript", "//nologo", host_vbs, "127.0.0.1", parameter, "30", check=False)
    for line in out.strip().splitlines():
        print("  " + line)
print()
print("Stopping the simulated host.")
