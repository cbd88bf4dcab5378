#!/usr/bin/env python3
"""Registration of Vantrel.dll in the build's Wine prefix.

usage: registration_test.py DLL

regsvr32 writes exactly the keys and values of the registration table and registers the
type library (under the key of the DLL's platform, win32 or win64); the ProgIDs then
create working factories; regsvr32 /u removes our keys and the type library but keeps the
AppID and CLSID parent keys (and foreign entries in them); registering again gives
exactly the same keys. The DLL is left registered.
"""
import os
import sys

from winetools import WINE32, Failure, keep_wineserver, parse_output, reg_query, wine, winpath

CLSID = "{8C3693EB-8534-46B8-8192-E418853647E5}"
APPID = "{7804C496-5DB9-4A54-84E6-9E839B897F5D}"
LIBID = "{188F8685-6FF8-48AE-A85B-C84266A3F634}"
IIDS = {
    "IXenFactory": "{1084E297-2913-4685-A6A0-AC25430573C4}",
    "IXenSession": "{2238790A-8256-482A-AC2D-8ECF0914B9B6}",
    "IXenVMList": "{D3319FA2-2675-407E-93BB-877B01E851CB}",
    "IXenVM": "{CC880416-7240-43F6-A23F-A0BD05C3DB23}",
}
FOREIGN_CLSID = "{0F0E0D0C-0B0A-4909-8807-060504030201}"
PLATFORM = "win32" if WINE32 else "win64"


def expected_keys(module):
    """Top-level key -> its whole subtree as reg_query returns it."""
    return {
        "HKCR\\AppID\\" + APPID: {"": {"": "Vantrel"}},
        "HKCR\\AppID\\Vantrel.DLL": {"": {"AppID": APPID}},
        "HKCR\\Vantrel.XenFactory.1": {
            "": {"": "XenFactory Class"},
            "CLSID": {"": CLSID},
        },
        "HKCR\\Vantrel.XenFactory": {
            "": {"": "XenFactory Class"},
            "CLSID": {"": CLSID},
            "CurVer": {"": "Vantrel.XenFactory.1"},
        },
        "HKCR\\CLSID\\" + CLSID: {
            "": {"": "XenFactory Class", "AppID": APPID},
            "ProgID": {"": "Vantrel.XenFactory.1"},
            "VersionIndependentProgID": {"": "Vantrel.XenFactory"},
            "Programmable": {},
            "InprocServer32": {"": module, "ThreadingModel": "Apartment"},
            "TypeLib": {"": LIBID},
        },
    }


def regsvr32(dll, unregister=False):
    args = ["regsvr32", "/s"] + (["/u"] if unregister else []) + [winpath(dll)]
    proc = wine(*args)
    if proc.returncode != 0:
        raise Failure("%s returned %d: %s %s" % (" ".join(args), proc.returncode, proc.stdout, proc.stderr))


def check_registered(dll, problems, when):
    module = winpath(dll)
    for key, subtree in expected_keys(module).items():
        got = reg_query(key)
        if got is None:
            problems.append("%s: %s missing" % (when, key))
        elif {k.lower(): v for k, v in got.items()} != {k.lower(): v for k, v in subtree.items()}:
            problems.append("%s: %s is\n  %r\nexpected\n  %r" % (when, key, got, subtree))
    lib = reg_query("HKCR\\TypeLib\\" + LIBID)
    if lib is None:
        problems.append("%s: type library not registered" % when)
    else:
        lower = {k.lower(): v for k, v in lib.items()}
        if lower.get("1.0", {}).get("") != "Vantrel 1.0 Type Library":
            problems.append("%s: type library name %r" % (when, lower.get("1.0")))
        # one path, under the key of the DLL's platform: win32 for the i686 build
        paths = {k: v.get("", "").lower() for k, v in lower.items() if k.startswith("1.0\\409\\win")}
        expected = {"1.0\\409\\" + PLATFORM: module.lower()}
        if paths != expected:
            problems.append("%s: type library paths %r, expected %r" % (when, paths, expected))
    for name, iid in IIDS.items():
        itf = reg_query("HKCR\\Interface\\" + iid)
        if itf is None or itf.get("", {}).get("") != name:
            problems.append("%s: interface %s not registered as %s: %r" % (when, iid, name, itf))


def check_progids(problems):
    script = os.path.join(os.environ["VANTREL_BINARY_DIR"], "automation", "tests", "progid_check.vbs")
    with open(script, "w", newline="\r\n") as f:
        f.write('For Each id In Array("Vantrel.XenFactory", "Vantrel.XenFactory.1")\n'
                '  Set f = CreateObject(id)\n'
                '  WScript.Echo id & "=" & f.ConnectionMode & "," & f.Port & "," & f.RefreshingDelay\n'
                'Next\n')
    proc = wine("cscript", "//nologo", winpath(script))
    got = dict(parse_output(proc.stdout))
    for progid in ("Vantrel.XenFactory", "Vantrel.XenFactory.1"):
        if got.get(progid) != "2,6936,5":
            problems.append("ProgID %s does not give a working factory: %r %s" % (progid, got, proc.stderr[-500:]))


def check(dll, problems):
    # A foreign class beside ours must survive our unregistration.
    wine("reg", "add", "HKCR\\CLSID\\" + FOREIGN_CLSID, "/ve", "/d", "Foreign", "/f")

    regsvr32(dll)
    check_registered(dll, problems, "after registration")
    check_progids(problems)

    regsvr32(dll, unregister=True)
    for key in expected_keys(winpath(dll)):
        if reg_query(key) is not None:
            problems.append("after unregistration: %s still there" % key)
    if reg_query("HKCR\\TypeLib\\" + LIBID) is not None:
        problems.append("after unregistration: type library still registered")
    for name, iid in IIDS.items():
        if reg_query("HKCR\\Interface\\" + iid) is not None:
            problems.append("after unregistration: interface %s still registered" % name)
    for parent in ("HKCR\\AppID", "HKCR\\CLSID", "HKCR\\CLSID\\" + FOREIGN_CLSID):
        if wine("reg", "query", parent).returncode != 0:
            problems.append("after unregistration: %s was removed" % parent)
    # A second unregistration finds nothing to remove and still succeeds.
    regsvr32(dll, unregister=True)

    # Registering again (twice, over the old keys) is clean.
    regsvr32(dll)
    regsvr32(dll)
    check_registered(dll, problems, "after re-registration")
    wine("reg", "delete", "HKCR\\CLSID\\" + FOREIGN_CLSID, "/f")


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    dll = os.path.abspath(argv[1])
    problems = []
    keep_wineserver()
    try:
        check(dll, problems)
    except Failure as e:  # a step that could not go on: report it after what was found before
        problems.append(str(e))

    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("registration, unregistration and re-registration as expected")
    return 1 if problems else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except Failure as e:
        print("FAIL:", e)
        sys.exit(1)
