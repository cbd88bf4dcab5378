#!/usr/bin/env python3
"""Checks a built in-process server DLL with objdump: it imports only system DLLs (the
C++ runtime, pthreads, OpenSSL, libcurl and libxml2 are linked in statically), it
exports exactly DllCanUnloadNow, DllGetClassObject, DllRegisterServer and
DllUnregisterServer by name with the ordinals 1 to 4, and no test hook (a function
named ...ForTesting) was linked into it.

usage: check_dll.py OBJDUMP DLL
Exit status 0 when both hold; otherwise the problems are printed and the status is 1.
"""
import re
import subprocess
import sys

EXPECTED_EXPORTS = {
    1: "DllCanUnloadNow",
    2: "DllGetClassObject",
    3: "DllRegisterServer",
    4: "DllUnregisterServer",
}

# DLLs that come with every Windows installation.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll",
    "iphlpapi.dll", "kernel32.dll", "msvcrt.dll", "mswsock.dll", "normaliz.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "secur32.dll", "shell32.dll", "shlwapi.dll",
    "ucrtbase.dll", "user32.dll", "userenv.dll", "version.dll", "wldap32.dll", "ws2_32.dll",
    "wsock32.dll",
}


def imported_dlls(dump):
    return [m.group(1) for m in re.finditer(r"^\s*DLL Name:\s*(\S+)\s*$", dump, re.M)]


def exports(dump):
    """{ordinal: name} from the export table of objdump -p."""
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return {}
    result = {}
    for line in table[1].splitlines()[1:]:
        m = re.match(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
        if not m:
            if line.strip():
                continue
            break
        result[int(m.group(1))] = m.group(2)
    return result


def ordinal_base(dump):
    m = re.search(r"^Ordinal Base\s+(\d+)", dump, re.M)
    return int(m.group(1)) if m else 0


def check(dump):
    problems = []
    dlls = imported_dlls(dump)
    if not dlls:
        problems.append("no imported DLL found (is this a PE file?)")
    for dll in dlls:
        name = dll.lower()
        if name not in SYSTEM_DLLS and not name.startswith("api-ms-win-"):
            problems.append("imports a non-system DLL: %s" % dll)
    table = exports(dump)
    base = ordinal_base(dump)
    # objdump lists the name table with indexes relative to the ordinal base.
    by_ordinal = {index + base: name for index, name in table.items()}
    if by_ordinal != EXPECTED_EXPORTS:
        problems.append("exports %s, expected %s" % (sorted(by_ordinal.items()), sorted(EXPECTED_EXPORTS.items())))
    return problems


def test_hooks(symbols):
    """The problems the symbol table (objdump -t) shows: test hooks, or no table to read."""
    if "DllGetClassObject" not in symbols:
        return ["no symbol table to look for test hooks in (stripped?)"]
    hooks = sorted(set(re.findall(r"\S*ForTesting\S*", symbols)))
    return ["test hook linked into the DLL: %s" % h for h in hooks]


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    dump = subprocess.run([argv[1], "-p", argv[2]], check=True, capture_output=True, text=True).stdout
    symbols = subprocess.run([argv[1], "-t", argv[2]], check=True, capture_output=True, text=True).stdout
    problems = check(dump) + test_hooks(symbols)
    for p in problems:
        print("%s: %s" % (argv[2], p))
    if not problems:
        print("%s: imports %s; exports %s" % (argv[2], ", ".join(imported_dlls(dump)),
                                             ", ".join("%s @%d" % (n, o) for o, n in sorted(EXPECTED_EXPORTS.items()))))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
