#!/usr/bin/env python3
"""Checks the compiled help file: it is a CHM file, holds the three pages with what
they are there to explain, and context number 10 (the configuration window's) names
the window's page.

usage: check_help.py Tolvix.chm
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

PAGES = {
    "/frmmain.htm": ["Hostname", "Username", "Password", "Xen version", "Virtual machine", "must be", "Timeout",
                     "ERROR: 60", "keeps its parameter string exactly as it was"],
    "/parameter.htm": ["#VSTP=XEN#USR=", "PWD", "XVR", "VMN", "VMS"],
    "/check.htm": ["is in a DOWN state while it should be UP", "not listed as a known one",
                   "registered virtual machine(s) on this server", "never passes"],
}
WINDOW_CONTEXT = 10


def extract(tool, chm, name, folder):
    target = os.path.join(folder, name.strip("/").replace("#", "_"))
    subprocess.run([tool, "extract", chm, name, target], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.exists(target):
        raise SystemExit("check_help: %s is not in the help file" % name)
    with open(target, "rb") as f:
        return f.read()


def main(argv):
    chm = argv[0]
    tool = shutil.which("chmls")
    if not tool:
        print("check_help: chmls (package fp-utils) is needed")
        return 1
    with open(chm, "rb") as f:
        if f.read(4) != b"ITSF":
            print("check_help: %s is not a compiled help file" % chm)
            return 1
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        for page, words in PAGES.items():
            text = " ".join(extract(tool, chm, page, folder).decode("utf-8").split())
            problems += ["%s lacks %r" % (page, w) for w in words if w not in text]
        extract(tool, chm, "/Tolvix.hhc", folder)
        # #IVB: the byte size of what follows, then (context number, offset in #STRINGS) pairs.
        ivb = extract(tool, chm, "/#IVB", folder)
        strings = extract(tool, chm, "/#STRINGS", folder)
        size = struct.unpack_from("<I", ivb, 0)[0]
        pairs = [struct.unpack_from("<II", ivb, 4 + 8 * i) for i in range(size // 8)]
        topics = {number: strings[offset:strings.index(b"\0", offset)].decode("utf-8") for number, offset in pairs}
        if topics.get(WINDOW_CONTEXT) not in ("/frmmain.htm", "frmmain.htm"):
            problems.append("context %d names %r, not the window's page" % (WINDOW_CONTEXT, topics.get(WINDOW_CONTEXT)))
    for p in problems:
        print("check_help: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
