// The sources of the live figures: the host's metrics export and the older per-object
// metric calls, and the conversions of what they report.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "xen4_session.h"
#include "xen4_address.h"
#include "xen4_state.h"
#include "xen4_text.h"
#include "xen4_transport.h"
#include "xmlrpc.h"

namespace xen4 {

int32_t ToMiB(int64_t bytes) {
  if (bytes <= 0) return 0;
  return static_cast<int32_t>(std::min<int64_t>(bytes >> 20, std::numeric_limits<int32_t>::max()));
}

int32_t ClampInt32(int64_t v) {
  return static_cast<int32_t>(std::max<int64_t>(std::numeric_limits<int32_t>::min(),
                                                std::min<int64_t>(v, std::numeric_limits<int32_t>::max())));
}

double MeanUtilisationPercent(const xenapi::VmMetricsRecord& m) {
  if (m.VCPUs_utilisation.empty()) return 0.0;
  double sum = 0.0;
  for (const auto& u : m.VCPUs_utilisation) sum += u.second;
  return 100.0 * sum / static_cast<double>(m.VCPUs_utilisation.size());
}

bool GuestMemoryUsage(const xenapi::GuestMetricsRecord& g, double* usage) {
  if (g.memory.size() < 2) return false;
  double freeAmount, total;
  if (!xenapi::xmlrpc::ParseDouble(g.memory[0].second, &freeAmount) ||
      !xenapi::xmlrpc::ParseDouble(g.memory[1].second, &total))
    return false;
  if (!(total > 0.0) || !std::isfinite(total) || !std::isfinite(freeAmount)) return false;
  *usage = (total - freeAmount) / total * 100.0;
  return true;
}

}  // namespace xen4

using namespace xen4;

Xen4SessionImpl::State::ExportResult Xen4SessionImpl::State::ReadExport(const std::string& address,
                                                                         rrd::Updates* out,
                                                                         const std::string& vmUuid) {
  if (!Xen4IsHost(address)) return ExportResult::Failed;  // a host record naming no host
  for (int attempt = 0; attempt < 2; ++attempt) {
    const xenapi::SessionPtr h = Handle();
    if (!h) return ExportResult::Failed;
    const std::string target =
        Xen4Url(address, port, "/rrd_updates?start=-10&interval=5&cf=AVERAGE&host=true&session_id=" +
                                   h->Reference() + (vmUuid.empty() ? "" : "&vm_uuid=" + vmUuid));
    long httpStatus = 0;
    std::string body;
    const int code = Xen4Get(&link, target, "text/xml", rrd::kMaxDocumentBytes, &httpStatus, &body);
    if (code != 0) return ExportResult::Failed;
    if (httpStatus == 401 && attempt == 0) {
      // Refused: a call tells whether the server has forgotten the session, and logs in
      // again if it has. A session it still knows is kept (the export alone is refused).
      std::string ignored;
      const Outcome o = Try([&](const xenapi::Session& s, xenapi::Status& st) { xenapi::SessionGetThisHost(s, st, &ignored); });
      if (o.st.ok && o.used != h) continue;
      return ExportResult::Failed;
    }
    if (httpStatus == 404) return ExportResult::NotFound;
    if (httpStatus != 200) return ExportResult::Failed;
    std::string error;
    return rrd::ParseUpdates(body.data(), body.size(), out, &error) ? ExportResult::Read : ExportResult::Failed;
  }
  return ExportResult::Failed;
}

std::string Xen4SessionImpl::State::AddressOf(const std::string& host) {
  if (host == hostRef || xenapi::IsNullRef(host)) return openedAddress;  // its export is read where it was reached
  const auto it = hostAddresses.find(host);
  if (it != hostAddresses.end()) return it->second;
  xenapi::HostRecord record;
  Outcome o = Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::HostGetRecord(h, st, host, &record); });
  if (o.Is(kHandleInvalid)) return std::string();
  Check(o);
  hostAddresses[host] = record.address;
  return record.address;
}

bool Xen4SessionImpl::State::ReadMemoryFree(int64_t* bytes) {
  Outcome o = Try([&](const xenapi::Session& h, xenapi::Status& st) {
    xenapi::HostMetricsGetMemoryFree(h, st, hostMetricsRef, bytes);
  });
  if (!o.Is(kRemoved)) {
    Check(o);
    return true;
  }
  memoryFreeFromRecord = legacyDead = true;
  return false;
}

// Host figures from the metric calls (servers without the metrics export, or while it
// fails). Where the server has removed the getters, only memory is measured this way.
void Xen4SessionImpl::State::HostFiguresFromCalls() {
  int64_t freeBytes = 0;
  if (!memoryFreeFromRecord) ReadMemoryFree(&freeBytes);
  if (memoryFreeFromRecord) {  // a server that removed the getter still fills the record
    xenapi::HostMetricsRecord record;
    Call([&](const xenapi::Session& h, xenapi::Status& st) {
      xenapi::HostMetricsGetRecord(h, st, hostMetricsRef, &record);
    });
    freeBytes = record.memory_free;
  }
  PutMemoryUsage(memoryBytes.load(), freeBytes, FigureSource::MetricCalls);
  if (legacyDead) return;  // CPU utilisation and PIF rates: constant zeros there

  // A host without CPUs in its record has no CPU figure; one without physical interfaces
  // carries no traffic (0, as its export says).
  double cpuSum = 0.0;
  for (const std::string& cpu : hostCpus) {
    double u = 0.0;
    Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::HostCpuGetUtilisation(h, st, cpu, &u); });
    cpuSum += u;
  }
  if (!hostCpus.empty())
    figures->Put(Figure::Cpu, 100.0 * cpuSum / static_cast<double>(hostCpus.size()), FigureSource::MetricCalls);

  double netSum = 0.0;
  for (const std::string& m : pifMetrics) {
    xenapi::IoMetricsRecord r;
    Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::PifMetricsGetRecord(h, st, m, &r); });
    netSum += r.io_read_kbs + r.io_write_kbs;
  }
  figures->Put(Figure::Network, pifMetrics.empty() ? 0.0 : netSum / static_cast<double>(pifMetrics.size()),
               FigureSource::MetricCalls);
}

void Xen4SessionImpl::State::PutMemoryUsage(double total, double free, FigureSource source) {
  if (!std::isfinite(total) || !std::isfinite(free) || total <= 0.0) return;
  figures->Put(Figure::Memory, (total - free) / total * 100.0, source);
}

// Host figures from the acting host's export (null: not read this pass, the figures
// stay). Memory comes from the export's totals, or the host-metrics record where they
// are missing.
bool Xen4SessionImpl::State::HostFiguresFromExport(const rrd::Updates* own) {
  if (!own) return false;
  const auto it = own->hosts.find(hostUuid);
  if (it == own->hosts.end()) return false;
  const rrd::Values& v = it->second;
  double cpu = 0.0, net = 0.0;
  const double* totalKib = rrd::Find(v, "memory_total_kib");
  const double* freeKib = rrd::Find(v, "memory_free_kib");
  if (totalKib && freeKib) {
    PutMemoryUsage(*totalKib, *freeKib, FigureSource::MetricsExport);
  } else {
    xenapi::HostMetricsRecord record;
    Call([&](const xenapi::Session& h, xenapi::Status& st) {
      xenapi::HostMetricsGetRecord(h, st, hostMetricsRef, &record);
    });
    PutMemoryUsage(static_cast<double>(memoryBytes.load()), static_cast<double>(record.memory_free),
                   FigureSource::MetricCalls);
  }
  if (rrd::CpuPercent(v, &cpu)) figures->Put(Figure::Cpu, cpu, FigureSource::MetricsExport);
  if (rrd::IoKiBPerSecond(v, "pif_", "_rx", "_tx", &net)) figures->Put(Figure::Network, net, FigureSource::MetricsExport);
  return true;
}
