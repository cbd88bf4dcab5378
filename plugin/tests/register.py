#!/usr/bin/env python3
"""Registers in-process servers in the build's Wine prefix (regsvr32 /s) and checks
that each answers: usage: register.py BUILD_DIR DLL... ; exit code 1 when one fails."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "automation", "tests"))
from winetools import WINE_RUN, winpath  # noqa: E402


def main(argv):
    build, dlls = argv[0], argv[1:]
    failed = False
    for dll in dlls:
        path = winpath(dll)
        code = subprocess.run([WINE_RUN, build, "regsvr32", "/s", path]).returncode
        print("regsvr32 %s: %s" % (path, "ok" if code == 0 else "exit code %d" % code))
        failed = failed or code != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
