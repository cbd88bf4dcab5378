#!/usr/bin/env python3
"""Checks a built in-process server DLL (Vantrel.dll, Brenmo.dll) with binutils:

- it imports only system DLLs (the C++ runtime, pthreads, OpenSSL, libcurl and libxml2
  are linked in statically);
- it exports exactly DllCanUnloadNow, DllGetClassObject, DllRegisterServer and
  DllUnregisterServer by name with the ordinals 1 to 4;
- no test hook (a function named ...ForTesting, or a friend test peer ...TestPeer of a
  class) was linked into it;
- as shipped (a copy stripped of its debug information the way scripts/release.sh strips
  it), it holds no path of the build machine: none of the folders named with
  --machine-path (source, build, dependency cache, home) and no absolute path beginning
  with a top-level folder of this machine's file system (/root, /home, /tmp, /usr, /etc,
  ...), in narrow or in wide text;
- OpenSSL, where it is linked in, names only admin-only Windows folders as its
  OPENSSLDIR, ENGINESDIR and MODULESDIR (well-formed absolute paths under
  C:\\Program Files): it looks for openssl.cnf, engines and modules there, and a
  folder a user can create (a Unix path is one on the current drive) must never be one.

usage: check_dll.py [--strip STRIP] [--machine-path DIR]... OBJDUMP DLL
Without --strip the file is checked as it is. Exit status 0 when everything holds;
otherwise the problems are printed and the status is 1.
"""
import argparse
import ntpath
import os
import re
import shutil
import subprocess
import sys
import tempfile

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

# Where OpenSSL may look: folders only administrators can write to.
ADMIN_ONLY_ROOT = "c:\\program files\\"


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
    hooks = sorted(set(re.findall(r"\S*(?:ForTesting|TestPeer)\S*", symbols)))
    return ["test hook linked into the DLL: %s" % h for h in hooks]


def texts(data):
    """The printable runs of at least four characters, narrow and wide (UTF-16LE)."""
    narrow = [m.group().decode("ascii") for m in re.finditer(rb"[\x20-\x7e]{4,}", data)]
    wide = [m.group().decode("utf-16-le") for m in re.finditer(rb"(?:[\x20-\x7e]\x00){4,}", data)]
    return narrow + wide


def machine_paths(strings, folders, roots):
    """Problems: texts naming one of the folders, or an absolute path under one of the
    machine's top-level folders."""
    problems = set()
    wanted = [f.rstrip("/") for f in folders if f and f.rstrip("/")]
    root_path = re.compile(r"(?<![\w.~-])/(?:%s)(?=/|\\|\"|'|\s|$)" % "|".join(re.escape(r) for r in roots))
    for text in strings:
        unix = text.replace("\\", "/")
        folder = next((f for f in wanted if f in unix), None)
        if folder:
            problems.add("holds a path of the build machine (%s): %r" % (folder, text))
        elif root_path.search(text) or root_path.search(unix):
            problems.add("holds an absolute path of this machine's file system: %r" % text)
    return sorted(problems)


def admin_only(path):
    """True for a well-formed absolute Windows path inside the admin-only root."""
    if not re.match(r"^[A-Za-z]:[\\/]", path) or ":" in path[2:]:
        return False
    normal = ntpath.normpath(path).lower() + "\\"
    return normal.startswith(ADMIN_ONLY_ROOT)


def openssl_folders(strings):
    """Problems with the folders OpenSSL was built to look in."""
    found = {}
    for text in strings:
        m = re.match(r'^(OPENSSLDIR|ENGINESDIR|MODULESDIR): "(.*)"$', text)
        if m:
            found.setdefault(m.group(1), set()).add(m.group(2))
    if not found:
        if any(re.match(r"^OpenSSL \d", t) for t in strings):
            return ["OpenSSL is linked in, but its folders (OPENSSLDIR: ...) were not found"]
        return []  # no OpenSSL in this DLL
    problems = []
    for name in ("OPENSSLDIR", "ENGINESDIR", "MODULESDIR"):
        for path in sorted(found.get(name, {"(missing)"})):
            if not admin_only(path):
                problems.append("OpenSSL's %s is %r, not a folder under C:\\Program Files" % (name, path))
    return problems


def shipped_copy(strip, dll, folder):
    """The DLL as scripts/release.sh ships it: debug information stripped."""
    copy = os.path.join(folder, os.path.basename(dll))
    shutil.copyfile(dll, copy)
    subprocess.run([strip, "--strip-debug", copy], check=True)
    return copy


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--strip", help="binutils strip, to check the DLL as shipped")
    parser.add_argument("--machine-path", action="append", default=[], help="a folder of the build machine")
    parser.add_argument("objdump")
    parser.add_argument("dll")
    args = parser.parse_args(argv[1:])
    dump = subprocess.run([args.objdump, "-p", args.dll], check=True, capture_output=True, text=True).stdout
    symbols = subprocess.run([args.objdump, "-t", args.dll], check=True, capture_output=True, text=True).stdout
    problems = check(dump) + test_hooks(symbols)
    with tempfile.TemporaryDirectory() as scratch:
        shipped = shipped_copy(args.strip, args.dll, scratch) if args.strip else args.dll
        with open(shipped, "rb") as f:
            strings = texts(f.read())
    roots = sorted(e for e in os.listdir("/") if os.path.isdir(os.path.join("/", e)))
    problems += machine_paths(strings, args.machine_path, roots) + openssl_folders(strings)
    for p in problems:
        print("%s: %s" % (args.dll, p))
    if not problems:
        print("%s: imports %s; exports %s; no path of this machine%s" % (
            args.dll, ", ".join(imported_dlls(dump)),
            ", ".join("%s @%d" % (n, o) for o, n in sorted(EXPECTED_EXPORTS.items())),
            " (checked as stripped for shipping)" if args.strip else ""))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
