#!/usr/bin/env python3
"""The VM check a careful user would write with Python's own XML-RPC client: one
kept-alive HTTPS connection for every request, the server's certificate not verified;
the VM found by its name (VM.get_by_name_label, then the record of each VM of that
name), its figures from the metrics export filtered to that VM (older servers, which
answer the export with 404: the per-object metrics calls of that VM), log-out.

usage: xmlrpc_check.py HOST PORT USER VM   (password in XEN_PASSWORD)"""
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


def export(transport, address, session, uuid):
    """The newest row of the metrics export of the host at address ("host:port") for one
    VM, on the transport's kept-alive connection: {column name: value}, or None when the
    server has no export (404)."""
    conn = transport.make_connection(address)
    conn.request("GET", "/rrd_updates?start=-10&interval=5&cf=AVERAGE&vm_uuid=%s&session_id=%s" % (uuid, session),
                 headers={"Accept": "text/xml"})
    response = conn.getresponse()
    body = response.read()
    if response.will_close:
        transport.close()
    if response.status == 404:
        return None
    if response.status != 200:
        raise RuntimeError("export: HTTP %d" % response.status)
    doc = ElementTree.fromstring(body)
    legend = [e.text.split(":")[-1] for e in doc.find("meta/legend")]
    row = doc.find("data/row")
    return dict(zip(legend, (float(x.text) for x in row.findall("v")))) if row is not None else {}


def export_figures(v):
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
    context = ssl._create_unverified_context()
    server = xmlrpc.client.ServerProxy("https://%s:%s/" % (host, port), context=context)
    session = value(server.session.login_with_password(user, os.environ["XEN_PASSWORD"]))
    try:
        vm = None
        for ref in value(server.VM.get_by_name_label(session, name)):
            record = value(server.VM.get_record(session, ref))
            if not (record["is_a_template"] or record["is_control_domain"] or record.get("is_a_snapshot")):
                vm = record
        if vm is None:
            print("XEN CRITICAL - Can't get the state of this (%s) virtual machine, it's not listed as a known one"
                  % name)
            return 2
        state = {"Running": "UP", "Halted": "DOWN", "Paused": "PAUSED", "Suspended": "SUSPENDED"}.get(
            vm["power_state"], "UNKNOWN")
        perf = ""
        if state in ("UP", "PAUSED"):
            figures = export(server("transport"), "%s:%s" % (host, port), session, vm["uuid"])
            if figures is None:
                cpu, memory, network, disk = legacy_figures(server, session, vm)
            else:
                if not any(re.fullmatch(r"cpu[0-9]+", k) for k in figures):  # resident on another host
                    other = xmlrpc.client.SafeTransport(context=context)
                    try:
                        address = value(server.host.get_address(session, vm["resident_on"]))
                        figures = export(other, "%s:%s" % (address, port), session, vm["uuid"])
                    finally:
                        other.close()
                cpu, memory, network, disk = export_figures(figures)
            perf = " | cpu=%.1f%%;;;0;100 memory=%.1f%%;;;0;100 network_kibps=%.1f;;;0 disk_kibps=%.1f;;;0" % (
                cpu, memory, network, disk)
        if state == "UP":
            print("XEN OK - Virtual machine (%s) is UP%s" % (name, perf))
            return 0
        print("XEN CRITICAL - Virtual machine (%s) is in a %s state while it should be UP%s" % (name, state, perf))
        return 2
    finally:
        server.session.logout(session)
        server("close")()


if __name__ == "__main__":
    sys.exit(main())
