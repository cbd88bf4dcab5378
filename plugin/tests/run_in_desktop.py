#!/usr/bin/env python3
"""Runs a GoogleTest program under Wine inside a Wine virtual desktop, so that window
frames and captions are drawn (there is no window manager on the test display), and
turns the program's XML report into an exit code (the desktop launcher does not pass
the program's own exit code on).

usage: run_in_desktop.py BUILD_DIR PROGRAM [--expect-file PATH ...] [-- ARGS...]
"""
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(HERE, "..", "..", "scripts", "wine-run.sh")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main(argv):
    build, program = argv[0], argv[1]
    rest = argv[2:]
    expected = []
    while rest and rest[0] == "--expect-file":
        expected.append(rest[1])
        rest = rest[2:]
    if rest and rest[0] == "--":
        rest = rest[1:]
    for path in expected:
        if os.path.exists(path):
            os.remove(path)
    with tempfile.TemporaryDirectory(dir=build) as tmp:
        report = os.path.join(tmp, "report.xml")
        desktop = "brenmo%d" % os.getpid()
        command = [WINE_RUN, build, "explorer", "/desktop=%s,1024x768" % desktop, windows_path(program)] + rest + [
            "--gtest_output=xml:" + windows_path(report)]
        subprocess.run(command, check=False)
        if not os.path.exists(report):
            print("run_in_desktop: the program wrote no report", file=sys.stderr)
            return 1
        suites = ET.parse(report).getroot()
        tests = int(suites.get("tests", "0"))
        failures = int(suites.get("failures", "0")) + int(suites.get("errors", "0"))
        for case in suites.iter("testcase"):
            for failure in case.findall("failure"):
                print("FAILED %s.%s: %s" % (case.get("classname"), case.get("name"), failure.get("message")))
    missing = [p for p in expected if not os.path.exists(p)]
    for path in missing:
        print("run_in_desktop: %s was not written" % path, file=sys.stderr)
    if tests == 0:
        print("run_in_desktop: no test ran", file=sys.stderr)
        return 1
    return 1 if failures or missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
