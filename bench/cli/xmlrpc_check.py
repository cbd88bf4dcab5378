#!/usr/bin/env python3
"""The same VM check a user would write with Python's own XML-RPC client: one kept-alive
HTTPS connection, the server's certificate not verified.

usage: xmlrpc_check.py HOST PORT USER VM   (password in XEN_PASSWORD)"""
import os
import ssl
import sys
import xmlrpc.client


def value(answer):
    if answer["Status"] != "Success":
        raise RuntimeError(" ".join(answer["ErrorDescription"]))
    return answer["Value"]


def main():
    host, port, user, name = sys.argv[1:5]
    server = xmlrpc.client.ServerProxy("https://%s:%s/" % (host, port),
                                       context=ssl._create_unverified_context())
    session = value(server.session.login_with_password(user, os.environ["XEN_PASSWORD"]))
    try:
        try:
            records = value(server.VM.get_all_records(session)).values()
        except RuntimeError:  # older servers: one record at a time
            records = (value(server.VM.get_record(session, ref)) for ref in value(server.VM.get_all(session)))
        vm = None
        for record in records:
            if not record["is_a_template"] and not record["is_control_domain"] and record["name_label"] == name:
                vm = record
        if vm is None:
            print("XEN CRITICAL - Can't get the state of this (%s) virtual machine, it's not listed as a known one"
                  % name)
            return 2
        metrics = value(server.VM_metrics.get_record(session, vm["metrics"]))
        cpus = list(metrics["VCPUs_utilisation"].values())
        cpu = 100.0 * sum(cpus) / len(cpus) if cpus else 0.0
        memory = 0.0
        if vm["guest_metrics"] != "OpaqueRef:NULL":
            guest = value(server.VM_guest_metrics.get_record(session, vm["guest_metrics"]))["memory"]
            free, total = float(guest.get("free", 0)), float(guest.get("total", 0))
            memory = (total - free) / total * 100.0 if total > 0 else 0.0

        def io(refs, getter, record_getter):
            rates = []
            for ref in refs:
                r = value(record_getter(session, value(getter(session, ref))))
                rates.append(r["io_read_kbs"] + r["io_write_kbs"])
            return sum(rates) / len(rates) if rates else 0.0

        network = io(vm["VIFs"], server.VIF.get_metrics, server.VIF_metrics.get_record)
        disk = io(vm["VBDs"], server.VBD.get_metrics, server.VBD_metrics.get_record)
        state = {"Running": "UP", "Halted": "DOWN", "Paused": "PAUSED", "Suspended": "SUSPENDED"}.get(
            vm["power_state"], "UNKNOWN")
        perf = "cpu=%.1f%%;;;0;100 memory=%.1f%%;;;0;100 network_kibps=%.1f;;;0 disk_kibps=%.1f;;;0" % (
            cpu, memory, network, disk)
        if state == "UP":
            print("XEN OK - Virtual machine (%s) is UP | %s" % (name, perf))
            return 0
        print("XEN CRITICAL - Virtual machine (%s) is in a %s state while it should be UP | %s" % (name, state, perf))
        return 2
    finally:
        server.session.logout(session)


if __name__ == "__main__":
    sys.exit(main())
