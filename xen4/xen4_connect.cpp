// Connect: the first login, and the host the session acts on with what it learns of the
// server (its figure sources, the metrics it offers).
#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "xen4_session.h"
#include "xen4_address.h"
#include "xen4_state.h"
#include "xen4_text.h"
#include "xen4_transport.h"

using namespace xen4;

namespace {
const char kCannotCreate[] = "Cannot create xen4 session";
}  // namespace

void Xen4SessionImpl::Connect(const std::string& address, const std::string& userName,
                              const std::string& password, int32_t port) {
  State& s = *state_;
  if (s.Handle() || !thread_.IsFinished()) throw std::runtime_error(kCannotCreate);

  // A session may be connected again after Close: the stop event starts unsignalled.
  {
    std::lock_guard<std::mutex> guard(s.stopMutex);
    s.stopSignalled = false;
  }
  {
    std::lock_guard<std::mutex> guard(s.figuresLock);
    s.passes = 0;
    s.refreshEnded = false;
  }
  s.connectPassed.store(false);
  s.connectExport.reset();
  s.connectRecords.reset();
  {
    std::lock_guard<std::mutex> guard(s.handleLock);
    s.closing = false;
  }
  s.link.Resume();

  // Log in (the wire carries UTF-8); the credentials are kept for logging in again.
  xenapi::Status st;
  bool redirected = false;
  std::string namedIp;
  xenapi::SessionPtr h;
  {
    std::lock_guard<std::mutex> guard(s.loginLock);
    s.openedAddress = Xen4BareHost(address);
    s.port = port;
    s.user = Utf8FromNarrow(userName);
    s.password = Utf8FromNarrow(password);
    s.loginsInARow = 0;
    s.loginParams = 4;
    h = s.Login(st, &redirected, &namedIp);
  }
  if (!h || !st.ok) {
    // No session was made on the server: nothing to log out.
    s.ClearCredentials();
    if (!h) throw std::runtime_error(kCannotCreate);
    s.Check(h, st);
  }
  {
    std::lock_guard<std::mutex> guard(s.handleLock);
    s.handle = h;
  }
  try {
    ReadHostAndVms(redirected, namedIp);
    if (s.PassAtConnect()) FirstPassAtConnect();
    // Connected; the refresh thread keeps the state alive while it runs.
    s.connected.store(true);
    thread_.SetTask(state_);
    thread_.Start();
  } catch (...) {
    // A session that failed to connect is not used again: it is ended on the server too.
    s.connected.store(false);
    s.EndSession(nullptr);
    s.ClearCredentials();
    throw;
  }
}

// The host the user named: the host of the session, or after a redirect to the pool's
// master, the pool's host with the address given (or the address it resolved to), else
// the one of that host name or name label. A session of one VM reads the pool's hosts in
// one call and takes the host at the address it reached, where one is; else as above.
void Xen4SessionImpl::ReadHost(bool redirected, const std::string& namedIp, const std::string& probeVm) {
  State& s = *state_;
  s.hostFigures = true;
  if (s.oneVm && !s.link.Options().hostFacts && !redirected && ReadHostForOneVm(probeVm)) return;
  xenapi::HostRecord host;
  std::string hostRef;
  xenapi::RecordList<xenapi::HostRecord> hosts;
  const std::string& named = s.openedAddress;
  // The one host a test holds for; end() when none does. Several (two hosts of one
  // label): the name does not tell which host is meant, and none is guessed.
  const auto only = [&](const auto& holds) {
    auto found = hosts.end();
    for (auto it = hosts.begin(); it != hosts.end(); ++it) {
      if (!holds(it->second)) continue;
      if (found != hosts.end())
        throw std::runtime_error("The host " + named + " names several hosts of its pool");
      found = it;
    }
    return found;
  };
  const auto atAddress = [&](const xenapi::HostRecord& r) {
    return Xen4SameAddress(r.address, named) || (!namedIp.empty() && Xen4SameAddress(r.address, namedIp));
  };
  bool found = false;
  if (!redirected && s.oneVm) {
    s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::HostGetAllRecords(h, st, &hosts); });
    // Not redirected: the host reached is the session's; its record is the one with its
    // address (none where the address reached is not the one its record holds).
    auto it = hosts.end();
    try {
      it = only(atAddress);
    } catch (const std::runtime_error&) {
    }
    if (it != hosts.end()) {
      hostRef = it->first;
      host = std::move(it->second);
      found = true;
    }
  }
  if (!found && !redirected) {
    s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::SessionGetThisHost(h, st, &hostRef); });
    s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::HostGetRecord(h, st, hostRef, &host); });
  } else if (!found) {
    s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::HostGetAllRecords(h, st, &hosts); });
    auto it = only(atAddress);
    if (it == hosts.end())
      it = only([&](const xenapi::HostRecord& r) { return Xen4SameAddress(r.hostname, named); });
    if (it == hosts.end())
      it = only([&](const xenapi::HostRecord& r) { return Xen4SameAddress(r.name_label, named); });
    if (it == hosts.end()) {  // a name of the host that its record does not carry: resolved once
      s.ThrowIfOutOfTime();
      const std::vector<std::string> addresses = Xen4Resolve(named);
      it = only([&](const xenapi::HostRecord& r) {
        return std::any_of(addresses.begin(), addresses.end(),
                           [&](const std::string& a) { return Xen4SameAddress(a, r.address); });
      });
    }
    // Never the master in its place: a reboot would hit the wrong host.
    if (it == hosts.end())
      throw std::runtime_error("The host " + named +
                               " is not among the hosts of the pool it belongs to");
    hostRef = it->first;
    host = std::move(it->second);
  }
  s.hostRef = hostRef;
  s.hostUuid = host.uuid;
  s.hostCpus = host.host_CPUs;
  s.hostMetricsRef = host.metrics;
  s.hostAddresses.clear();
  s.memoryFreeFromRecord = false;
  s.legacyDead = false;
  SetNumCpus(static_cast<int32_t>(std::min<size_t>(s.hostCpus.size(), std::numeric_limits<int32_t>::max())));
  SetServerName(NarrowFromUtf8(host.name_label));
  SetServerDescription(NarrowFromUtf8(host.name_description));
  for (const auto& kv : host.software_version) {
    if (kv.first == "product_version") {
      SetXenVersion(NarrowFromUtf8(kv.second));
      break;
    }
  }

  // Where the live figures come from: the host's metrics export where the server
  // answers it. A failure other than "not found" is not final: the passes ask again.
  {
    std::unique_ptr<rrd::Updates> probe(new rrd::Updates);
    switch (s.ReadExport(s.openedAddress, probe.get(), probeVm)) {
      case State::ExportResult::Read:
        s.exportMode = probe->hosts.count(s.hostUuid) ? Xen4ExportMode::Working : Xen4ExportMode::Retrying;
        // One VM's figures, or the host's alone beside the VMs' states: the probe is the
        // first pass's export.
        if (((s.oneVm && probeVm != "none") || s.statesOnly) && s.exportMode == Xen4ExportMode::Working)
          s.connectExport = std::move(probe);
        break;
      case State::ExportResult::NotFound: s.exportMode = Xen4ExportMode::Absent; break;
      case State::ExportResult::Failed: s.exportMode = Xen4ExportMode::Retrying; break;
    }
  }
  // The metric calls may stand in: learn whether the server still has them (a server
  // with the export has removed the getter and keeps its other legacy figures at 0).
  if (s.exportMode == Xen4ExportMode::Retrying) {
    int64_t ignored = 0;
    s.ReadMemoryFree(&ignored);
  }

  // Host memory, kept in bytes for the usage figure and shown in MiB: the server's own
  // figure (the export's memory_total_kib may be rounded to five digits).
  int64_t totalBytes = 0;
  s.Call([&](const xenapi::Session& h, xenapi::Status& st) {
    xenapi::HostMetricsGetMemoryTotal(h, st, s.hostMetricsRef, &totalBytes);
  });
  s.memoryBytes.store(totalBytes);
  SetMemory(ToMiB(totalBytes));

  // Metrics of the physical network interfaces (the export has their figures).
  s.pifMetrics.clear();
  if (s.exportMode != Xen4ExportMode::Working) {
    for (const std::string& pif : host.PIFs) {
      std::string metrics;
      s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::PifGetMetrics(h, st, pif, &metrics); });
      if (!xenapi::IsNullRef(metrics)) s.pifMetrics.push_back(metrics);
    }
  }
}

bool Xen4SessionImpl::ReadHostForOneVm(const std::string& probeVm) {
  State& s = *state_;
  std::string hostRef;
  s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::SessionGetThisHost(h, st, &hostRef); });
  std::unique_ptr<rrd::Updates> probe(new rrd::Updates);
  switch (s.ReadExport(s.openedAddress, probe.get(), probeVm)) {
    case State::ExportResult::Read:
      if (probe->hosts.size() != 1) return false;
      s.exportMode = Xen4ExportMode::Working;
      s.hostUuid = probe->hosts.begin()->first;
      if (probeVm != "none") s.connectExport = std::move(probe);
      break;
    case State::ExportResult::NotFound:
      s.exportMode = Xen4ExportMode::Absent;
      s.hostUuid.clear();
      break;
    case State::ExportResult::Failed: return false;
  }
  s.hostRef = hostRef;
  s.hostCpus.clear();
  s.hostMetricsRef.clear();
  s.hostAddresses.clear();
  s.pifMetrics.clear();
  s.memoryFreeFromRecord = false;
  s.legacyDead = false;
  s.hostFigures = false;
  return true;
}
