"""A simulated host started by a test or benchmark of its own: free ports on 127.0.0.1,
the READY line read for them, and a lifetime after which it stops by itself. Like
xensim.py running a command, stop() fails (AssertionError) when XenAPI sessions were left
live, unless allow_live_sessions was given."""
import json
import os
import socket
import subprocess
import sys

XENSIM = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "xensim.py")
sys.path.insert(0, os.path.dirname(XENSIM))
import xensim  # noqa: E402

PROFILES = ["current", "legacy"]


class SimHost:
    def __init__(self, certs, profile=None, lifetime=280, extra=(), allow_live_sessions=False):
        self.allow_live_sessions = allow_live_sessions
        args = [sys.executable, XENSIM, "--certs", certs, "--lifetime", str(lifetime)] + list(extra)
        if profile:
            args += ["--profile", profile]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        for line in self.proc.stdout:
            if line.startswith("READY "):
                self.ports = json.loads(line[6:])
                return
        self.proc.wait(10)
        raise RuntimeError("simulated host did not start")

    def control(self, request):
        with socket.create_connection(("127.0.0.1", self.ports["control"]), timeout=10) as s:
            s.sendall((json.dumps(request) + "\n").encode())
            answer = json.loads(s.makefile().readline())
        if not answer.get("ok"):
            raise RuntimeError(answer)
        return answer

    def sessions(self):
        """The XenAPI server's session report: {"live", "sessions", "logins", "logouts",
        "left_at_reset", ...}, as it stands now."""
        return self.control({"target": "xenapi", "cmd": "sessions"})

    def wait_no_sessions(self, wait=5):
        """The session report once no session is live, or as it stands after `wait` seconds
        (a log-out on its way arrives in that time)."""
        last = []

        def report():
            last.append(self.sessions())
            return last[-1]

        xensim.live_sessions(report, wait)
        return last[-1]

    def stop(self):
        left = []
        try:
            if not self.allow_live_sessions and "xenapi" in self.ports and self.proc.poll() is None:
                left = xensim.live_sessions(self.sessions)
        finally:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc.stdout.close()
        if left:
            raise AssertionError("xensim: %d XenAPI session(s) left live: %s" % (len(left), ", ".join(left)))
