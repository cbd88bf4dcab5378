#!/usr/bin/env python3
"""Vantrel.dll in the COM surrogate (dllhost.exe), installed as INSTALL.txt describes.

usage: surrogate_test.py DLL CLIENT

In a Wine prefix of its own (the registration test expects the AppID key exactly as
registration leaves it, and the surrogate outlives its client): registers the DLL,
adds INSTALL.txt's two entries, runs CLIENT (surrogate_client.cpp), then ends the
prefix's processes, the surrogate among them.

Two differences from INSTALL.txt, both for the x64 DLL this machine can run: the
entries name win64, and DllSurrogate names the 64-bit dllhost.exe. Empty, it makes
Wine start the 32-bit SysWOW64\dllhost.exe for a 64-bit client, as a 32-bit DLL
needs, and no 32-bit program runs here.
"""
import os
import subprocess
import sys

import winetools
from winetools import wine, winpath

APPID = "{7804C496-5DB9-4A54-84E6-9E839B897F5D}"
LIBID = "{188F8685-6FF8-48AE-A85B-C84266A3F634}"


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    dll, client = argv[1], argv[2]
    prefix = os.path.join(winetools.BINARY_DIR, "wineprefix-surrogate")
    os.environ["WINEPREFIX"] = prefix
    try:
        wine("regsvr32", "/s", winpath(dll), check=True)
        wine("reg", "add", "HKCR\\AppID\\" + APPID, "/v", "DllSurrogate", "/t", "REG_SZ",
             "/d", "C:\\windows\\system32\\dllhost.exe", "/f", check=True)
        # The standard marshaler looks the type library up under the neutral locale.
        wine("reg", "add", "HKCR\\TypeLib\\%s\\1.0\\0\\win64" % LIBID, "/ve", "/d", winpath(dll), "/f",
             check=True)
        proc = wine(winpath(client), timeout=240)
        sys.stdout.write(proc.stdout)
        sys.stderr.write(proc.stderr)
        return proc.returncode
    finally:
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=dict(os.environ), timeout=60, check=False)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except winetools.Failure as e:
        print("FAIL:", e)
        sys.exit(1)
