#!/usr/bin/env python3
"""The same VM check a user would write with Python's own XML-RPC client: one kept-alive
HTTPS connection, the server's certificate not verified.

usage: xmlrpc_check.py HOST PORT USER VM   (password in XEN_PASSWORD)"""
import http.client
import os
import re
import ssl
import sys
import xml.etree.ElementTree as ElementTree
import xmlrpc.client


def value(answer):
    if answer["Status"] != "Success":
        raise RuntimeError(" ".join(answer["ErrorDescription"]))
    return answer["Value"]


def legacy_figures(server, session, vm):
    """Older servers: the per-object metrics calls."""
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
    return cpu, memory, network, disk


def export_figures(host, port, session, uuid):
    """Current servers: the VM's figures from the metrics export, newest row."""
    conn = http.client.HTTPSConnection(host, int(port), context=ssl._create_unverified_context())
    conn.request("GET", "/rrd_updates?start=-10&interval=5&cf=AVERAGE&vm_uuid=%s&session_id=%s" % (uuid, session),
                 headers={"Accept": "text/xml"})
    doc = ElementTree.fromstring(conn.getresponse().read())
    conn.close()
    legend = [e.text.split(":")[-1] for e in doc.find("meta/legend")]
    row = doc.find("data/row")
    v = dict(zip(legend, (float(x.text) for x in row.findall("v")))) if row is not None else {}
    mean = lambda xs: sum(xs) / len(xs) if xs else 0.0
    cpu = 100.0 * mean([x for k, x in v.items() if re.fullmatch(r"cpu[0-9]+", k)])
    memory = 0.0
    if v.get("memory") and "memory_internal_free" in v:
        memory = (v["memory"] - v["memory_internal_free"] * 1024) / v["memory"] * 100.0
    vifs = sorted({k[:-3] for k in v if re.fullmatch(r"vif_[0-9]+_(rx|tx)", k)})
    vbds = sorted({k.rsplit("_", 1)[0] for k in v if re.fullmatch(r"vbd_[a-z0-9]+_(read|write)", k)})
    network = mean([(v[d + "_rx"] + v[d + "_tx"]) / 1024 for d in vifs])
    disk = mean([(v[d + "_read"] + v[d + "_write"]) / 1024 for d in vbds])
    return cpu, memory, network, disk


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
        try:
            cpu, memory, network, disk = legacy_figures(server, session, vm)
        except RuntimeError as e:
            if "MESSAGE_REMOVED" not in str(e):
                raise
            cpu, memory, network, disk = export_figures(host, port, session, vm["uuid"])
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
