"""Helpers for the Python drivers of the Wine tests: running Windows programs in the
build directory's Wine prefix, reading the registry back, placing files atomically.
Under 32-bit Wine (the i686 build, VANTREL_WINE32=1) the programs run through
scripts/wine32-run.sh, inside the session the test runs in."""
import os
import re
import shutil
import subprocess
import tempfile

SOURCE_DIR = os.environ.get("VANTREL_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY_DIR = os.environ.get("VANTREL_BINARY_DIR", "")
WINE32 = os.environ.get("VANTREL_WINE32") == "1"
WINE_RUN = os.environ.get("VANTREL_WINE_RUN") or os.path.join(SOURCE_DIR, "scripts", "wine-run.sh")


class Failure(Exception):
    pass


def winpath(path):
    """The Windows name of a Unix path (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, timeout=90, check=False):
    """Runs a Windows program under Wine; returns the completed process (text output)."""
    proc = subprocess.run([WINE_RUN, BINARY_DIR] + [str(a) for a in args], capture_output=True,
                          text=True, errors="replace", timeout=timeout)
    if check and proc.returncode != 0:
        raise Failure("%s failed with %d:\n%s\n%s" % (" ".join(map(str, args)), proc.returncode,
                                                     proc.stdout, proc.stderr))
    return proc


def keep_wineserver(seconds=10):
    """Keeps the prefix's wine server running between the many short Wine programs a
    driver starts (each would otherwise start and stop one: seconds instead of a
    fraction of one). It ends by itself `seconds` after the last program.

    The server and the helper processes Wine starts with it inherit the standard handles
    of the program that started them: started here with no pipes attached, they never
    keep a later wine() call waiting for its output to close.

    Under 32-bit Wine the test's session has done this already, for its whole length."""
    if WINE32:
        return
    subprocess.run([WINE_RUN, BINARY_DIR, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    env = dict(os.environ, WINEPREFIX=os.environ.get("WINEPREFIX", os.path.join(BINARY_DIR, "wineprefix")))
    subprocess.run(["/usr/lib/wine/wineserver", "-p%d" % seconds], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


def reg_query(key):
    """The subtree below key as {relative key path: {value name: data}}, '' being the
    key itself and '' the default value; None when the key does not exist."""
    proc = wine("reg", "query", key, "/s")
    if proc.returncode != 0:
        return None
    tree = {}
    current = None
    prefix = key.rstrip("\\").lower()
    for line in proc.stdout.splitlines():
        line = line.rstrip("\r")
        if not line.strip():
            continue
        if not line.startswith(" "):
            full = line.strip()
            low = full.lower()
            if low.startswith("hkcr"):
                low = "hkey_classes_root" + low[4:]
            p = prefix
            if p.startswith("hkcr"):
                p = "hkey_classes_root" + p[4:]
            if not low.startswith(p):
                raise Failure("unexpected key in reg output: %r" % full)
            current = full[len(p):].lstrip("\\")
            tree.setdefault(current, {})
            continue
        m = re.match(r"^\s+(.*?)\s{4}(REG_\w+)\s{4}(.*)$", line) or re.match(r"^\s+(.*?)\s{4}(REG_\w+)\s*$", line)
        if not m or current is None:
            raise Failure("unexpected line in reg output: %r" % line)
        name = m.group(1)
        data = m.group(3) if m.lastindex >= 3 else ""
        if name == "(Default)":
            name = ""
            if data == "(value not set)":
                continue
        tree[current][name] = data
    return tree


def place_atomically(src, dst):
    """Copies src to dst so that a concurrent reader sees the old or the new file whole."""
    directory = os.path.dirname(dst)
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=".tmp-")
    os.close(fd)
    try:
        shutil.copyfile(src, tmp)
        os.replace(tmp, dst)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def place_client_certificates(cert_dir, dll_dir):
    """Puts the xen3 client files next to the DLL, as a user installs them."""
    for name in ("xencert.pem", "certChain.pem", "key.pem"):
        place_atomically(os.path.join(cert_dir, name), os.path.join(dll_dir, name))


def parse_output(text):
    """'key=value' lines of a client script as a list of (key, value)."""
    pairs = []
    for line in text.splitlines():
        line = line.rstrip("\r")
        if "=" in line:
            k, v = line.split("=", 1)
            pairs.append((k.strip(), v))
    return pairs
