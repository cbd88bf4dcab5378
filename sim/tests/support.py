"""What the simulator's tests share: the simulator's folder on the import path, and the
test PKI made by make_certs.sh in the build directory (or the temporary directory)."""
import os
import subprocess
import sys
import tempfile

SIM = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if SIM not in sys.path:
    sys.path.insert(0, SIM)


def certs_dir():
    base = os.environ.get("VANTREL_BINARY_DIR") or tempfile.gettempdir()
    path = os.path.join(base, "sim-certs")
    subprocess.run([os.path.join(SIM, "make_certs.sh"), path], check=True)
    return path
