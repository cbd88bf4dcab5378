"""The simulated Xen host's inventory: one host and its VMs, shared by the XenAPI
server and the xen3 agent so that one simulated host answers both protocols.

The inventory file is JSON:

{
  "host": {
    "name": "xenhost01", "description": "...", "xen_version": "4.1.2",
    "product_version": "6.0.0", "architecture": "x86_64",
    "memory_mib": 32768, "free_memory_mib": 12288,
    "cpu_utilisation": [0.10, 0.30, 0.20, 0.40],      # one entry per host CPU, 0..1
    "pifs": [{"device": "eth0", "read_kbs": 120.0, "write_kbs": 80.0}],
    "disk_io": 350, "net_io": 200,                     # xen3 "bd_io" and "if_io"
    "address": "127.0.0.1",                            # the pool master's address
    "hostname": "xenhost01"                            # default: the name
  },
  "member": {"name": "member02", "address": "127.0.0.2", ...},  # optional: a pool member,
                                                       # with the host's figure fields
  "vms": [
    {"uuid": "...", "name": "web01", "description": "...",
     "power_state": "Running",                          # Halted, Paused, Running, Suspended
     "vcpus": 2, "vcpu_utilisation": [0.25, 0.35],
     "memory_mib": 2048, "memory_free_mib": 512,
     "vifs": [{"read_kbs": 10.0, "write_kbs": 5.0}],   # VIF devices "0", "1", ...
     "vbds": [{"device": "xvda", "read_kbs": 40.0, "write_kbs": 20.0}],  # device default xvda, xvdb...
     "resident_on": "master",                           # or "member" (while Running/Paused)
     "guest_tools": true,                               # false: no guest metrics
     "is_a_template": false, "is_control_domain": false,
     "is_a_snapshot": false, "snapshot_of": null}      # a snapshot: is_a_template and
  ],                                                    # is_a_snapshot true, snapshot_of
                                                        # the uuid of its VM
  "transition_seconds": 1.0,                            # how long a power operation takes
  "credentials": {"user": "root", "password": "xenroot"} # what both protocols accept
}

PIFs take a "device" (default eth0, eth1, ...). The XenAPI server's RRD export derives its
data sources from these same fields (see sim/README.md).

Figures vary slowly with time around the configured values (see `wobble`), so that a
client polling twice sees them move. Everything here is thread-safe.
"""

import copy
import json
import math
import threading
import time

POWER_STATES = ("Halted", "Paused", "Running", "Suspended")
# The state texts the xen3 agent reports for each power state.
XEN3_STATE = {"Halted": "DOWN", "Paused": "PAUSED", "Running": "UP", "Suspended": "SUSPENDED"}

# Power operations: name -> (states it is allowed in, resulting state).
OPERATIONS = {
    "start": (("Halted",), "Running"),
    "clean_shutdown": (("Running",), "Halted"),
    "suspend": (("Running",), "Suspended"),
    "resume": (("Suspended",), "Running"),
    "clean_reboot": (("Running",), "Running"),
    "pause": (("Running",), "Paused"),
    "unpause": (("Paused",), "Running"),
}


class OperationRefused(Exception):
    """A power operation the VM's state does not allow (or one already in progress)."""

    def __init__(self, code, vm, expected, actual):
        super().__init__(code)
        self.code = code            # "VM_BAD_POWER_STATE" or "OPERATION_NOT_ALLOWED"
        self.vm = vm
        self.expected = expected    # lower-case state the operation needs
        self.actual = actual        # lower-case state the VM is in


def wobble(value, seed, now=None, amplitude=0.1):
    """value moved by up to +-amplitude (relative), slowly over time."""
    now = time.time() if now is None else now
    return value * (1.0 + amplitude * math.sin(now / 3.0 + seed))


class Vm:
    def __init__(self, data):
        self.data = data
        self.busy_until = 0.0       # end of the power operation in progress
        self.pending_state = None

    def is_guest(self):
        """Neither a template, a snapshot nor the control domain: a VM that can run."""
        return not (self.data.get("is_a_template") or self.data.get("is_a_snapshot")
                    or self.data.get("is_control_domain"))

    def __getattr__(self, key):
        try:
            return self.data[key]
        except KeyError as exc:
            raise AttributeError(key) from exc


class Inventory:
    def __init__(self, data):
        self.lock = threading.RLock()
        self.data = copy.deepcopy(data)
        self.host = self.data["host"]
        self.host.setdefault("address", "127.0.0.1")
        self.member = self.data.get("member")
        if self.member is not None:
            self.member.setdefault("address", "127.0.0.2")
        for h in (self.host, self.member):
            if h is not None:
                h.setdefault("hostname", h.get("name", ""))
            for i, pif in enumerate((h or {}).get("pifs", [])):
                pif.setdefault("device", "eth%d" % i)
        self.version = 0            # bumped when a VM vanishes or moves
        self.transition_seconds = float(self.data.get("transition_seconds", 1.0))
        creds = self.data.get("credentials", {})
        self.user = creds.get("user", "root")
        self.password = creds.get("password", "xenroot")
        self.vms = []
        for vm in self.data.get("vms", []):
            vm.setdefault("description", "")
            vm.setdefault("power_state", "Halted")
            vm.setdefault("vcpus", 1)
            vm.setdefault("vcpu_utilisation", [0.1] * vm["vcpus"])
            vm.setdefault("memory_mib", 1024)
            vm.setdefault("memory_free_mib", 256)
            vm.setdefault("vifs", [])
            vm.setdefault("vbds", [])
            vm.setdefault("guest_tools", True)
            vm.setdefault("is_a_template", False)
            vm.setdefault("is_control_domain", False)
            vm.setdefault("is_a_snapshot", False)
            vm.setdefault("snapshot_of", None)
            vm.setdefault("resident_on", "master")
            for i, vbd in enumerate(vm["vbds"]):
                vbd.setdefault("device", "xvd" + chr(ord("a") + i % 26))
            self.vms.append(Vm(vm))

    @classmethod
    def load(cls, path):
        with open(path, encoding="utf-8") as f:
            return cls(json.load(f))

    def member_address(self):
        return (self.member or {}).get("address", "127.0.0.2")

    def check_credentials(self, user, password):
        return user == self.user and password == self.password

    # -- VMs ---------------------------------------------------------------------------
    def guests(self):
        """The VMs a client lists: neither templates, snapshots nor the control domain."""
        return [vm for vm in self.vms if vm.is_guest()]

    def find(self, uuid):
        for vm in self.vms:
            if vm.uuid == uuid:
                return vm
        return None

    def delete(self, uuid):
        """The VM leaves the inventory (as if destroyed behind the client's back)."""
        with self.lock:
            vm = self.find(uuid)
            if vm is None:
                return False
            # a new list: readers iterating the old one see it whole
            self.vms = [v for v in self.vms if v is not vm]
            self.version += 1
            return True

    def move(self, uuid, where):
        with self.lock:
            vm = self.find(uuid)
            if vm is None or where not in ("master", "member"):
                return False
            vm.data["resident_on"] = where
            self.version += 1
            return True

    def _settle(self, vm, now):
        if vm.pending_state is not None and now >= vm.busy_until:
            vm.data["power_state"] = vm.pending_state
            vm.pending_state = None

    def power_state(self, vm, now=None):
        with self.lock:
            self._settle(vm, time.time() if now is None else now)
            return vm.data["power_state"]

    def in_transition(self, vm, now=None):
        with self.lock:
            self._settle(vm, time.time() if now is None else now)
            return vm.pending_state is not None

    def allowed_operations(self, vm, now=None):
        """What XenAPI lists as allowed; empty while an operation is in progress."""
        with self.lock:
            now = time.time() if now is None else now
            self._settle(vm, now)
            if vm.pending_state is not None or not vm.is_guest():
                return []
            state = vm.data["power_state"]
            return [op for op, (states, _) in OPERATIONS.items() if state in states]

    def operate(self, vm, operation, now=None):
        """Starts a power operation; the new state holds after transition_seconds."""
        with self.lock:
            now = time.time() if now is None else now
            self._settle(vm, now)
            states, result = OPERATIONS[operation]
            if vm.pending_state is not None:
                raise OperationRefused("OPERATION_NOT_ALLOWED", vm, states[0].lower(),
                                       vm.data["power_state"].lower())
            state = vm.data["power_state"]
            if state not in states:
                raise OperationRefused("VM_BAD_POWER_STATE", vm, states[0].lower(), state.lower())
            if operation in ("start", "resume"):  # a new domain: no figures before it runs
                vm.data["started_at"] = now + max(0.0, self.transition_seconds)
            if self.transition_seconds <= 0:
                vm.data["power_state"] = result
            else:
                vm.pending_state = result
                vm.busy_until = now + self.transition_seconds
            return now + max(0.0, self.transition_seconds)  # when the new state holds

    # -- figures -----------------------------------------------------------------------
    def host_cpu_utilisation(self, now=None, host=None):
        host = self.host if host is None else host
        return [min(1.0, wobble(u, i, now)) for i, u in enumerate(host.get("cpu_utilisation", []))]

    def host_free_memory_mib(self, now=None, host=None):
        host = self.host if host is None else host
        free = int(wobble(host.get("free_memory_mib", 0), 7, now, 0.05))
        return min(free, host.get("memory_mib", free))

    def vm_running(self, vm, now=None):
        return self.power_state(vm, now) == "Running"

    def vm_vcpu_utilisation(self, vm, now=None):
        if not self.vm_running(vm, now):
            return []
        return self.vm_vcpu_load(vm, now)

    def vm_vcpu_load(self, vm, now=None):
        """The VM's per-vCPU load while it runs, whatever its state now."""
        return [min(1.0, wobble(u, i + 11, now)) for i, u in enumerate(vm.vcpu_utilisation)]

    def vm_memory_free_mib(self, vm, now=None):
        # never more free memory than the VM has
        return min(int(wobble(vm.memory_free_mib, 3, now, 0.05)), vm.memory_mib)
