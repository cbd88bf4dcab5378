"""A TCP proxy on 127.0.0.1 that stands for a network between a client and the
simulated host: every chunk waits `delay` seconds in each direction (chunks keep their
order and may overlap in flight, as on a wire), and the first bytes of a new connection
wait one round trip more, for the TCP handshake the proxy cannot delay itself (the
kernel accepts it at once). It counts connections and the bytes of each direction, so
a benchmark reads what one run cost on the wire.

    proxy = DelayProxy(target_port, delay=0.02)   # listening on 127.0.0.1:proxy.port
    proxy.reset(); ...run a client...; proxy.counts()
    proxy.stop()
"""
import collections
import queue
import socket
import threading
import time

IDLE_SECONDS = 60.0  # a connection silent this long in both directions is closed
CHUNK = 65536


class DelayProxy:
    def __init__(self, target_port, delay, target_host="127.0.0.1"):
        self.target = (target_host, target_port)
        self.delay = delay
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.reset()
        threading.Thread(target=self._accept, name="delay-proxy", daemon=True).start()

    def reset(self):
        with self.lock:
            self.totals = collections.Counter()

    def counts(self):
        """{"connections", "to_server", "to_client"} since the last reset (bytes)."""
        with self.lock:
            return {k: self.totals[k] for k in ("connections", "to_server", "to_client")}

    def stop(self):
        self.stopping.set()
        self.listener.close()

    def _add(self, key, n):
        with self.lock:
            self.totals[key] += n

    def _accept(self):
        while not self.stopping.is_set():
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._add("connections", 1)
            threading.Thread(target=self._connect, args=(client,), daemon=True).start()

    def _connect(self, client):
        try:
            server = socket.create_connection(self.target, timeout=10)
        except OSError:
            client.close()
            return
        for s in (client, server):
            s.settimeout(IDLE_SECONDS)
        done = threading.Barrier(2, action=lambda: (client.close(), server.close()))
        # The client's first bytes also carry the TCP handshake's round trip.
        self._direction(client, server, "to_server", 2 * self.delay, done)
        self._direction(server, client, "to_client", 0.0, done)

    def _direction(self, src, dst, key, first_extra, done):
        chunks = queue.Queue()

        def read():
            while True:
                try:
                    data = src.recv(CHUNK)
                except OSError:
                    data = b""
                chunks.put((time.monotonic(), data))
                if not data:
                    return

        def write():
            extra = first_extra
            while True:
                stamp, data = chunks.get()
                wait = stamp + self.delay + extra - time.monotonic()
                extra = 0.0
                if wait > 0:
                    time.sleep(wait)
                try:
                    if not data:
                        dst.shutdown(socket.SHUT_WR)
                        break
                    dst.sendall(data)
                    self._add(key, len(data))
                except OSError:
                    break
            try:
                done.wait(IDLE_SECONDS)
            except threading.BrokenBarrierError:  # the other direction never ended
                src.close()
                dst.close()

        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=write, daemon=True).start()
