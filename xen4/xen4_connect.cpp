// Logins and Connect: the library session, and the host and VMs read at connect.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "xen4_session.h"
#include "xen4_state.h"
#include "xen4_text.h"
#include "xen4_transport.h"

using namespace xen4;

namespace {

const char kCannotCreate[] = "Cannot create xen4 session";
const char kApiVersion[] = "1.0";

// Overwrites a secret before its memory is given back.
void Wipe(std::string& secret) {
  volatile char* p = secret.empty() ? nullptr : &secret[0];
  for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
  secret.clear();
  secret.shrink_to_fit();
}

}  // namespace

xenapi::SessionPtr Xen4SessionImpl::State::Login(xenapi::Status& st, bool* redirected, std::string* namedIp) {
  *redirected = false;
  // The originator and the API version where the server takes them; fewer parameters
  // where it counts them differently (older servers), remembered for the next login.
  const auto loginAt = [&](const std::string& address) {
    const std::string url = Xen4Url(address, port);
    std::unique_ptr<Xen4Endpoint>& endpoint = endpoints[url];
    if (!endpoint) endpoint.reset(new Xen4Endpoint{&link, url});
    const std::string& originator = link.Options().originator;
    xenapi::SessionPtr h;
    for (;;) {
      if (loginParams >= 4 && originator.empty()) loginParams = 3;
      if (loginParams >= 3)
        h = xenapi::LoginWithPassword(&Xen4TransportLogin, endpoint.get(), user, password, kApiVersion,
                                      loginParams >= 4 ? originator : std::string(), st);
      else
        h = xenapi::LoginWithPassword(&Xen4TransportLogin, endpoint.get(), user, password, st);
      if (!st.Is("MESSAGE_PARAMETER_COUNT_MISMATCH") || loginParams <= 2)
        return h ? xenapi::WithTransport(*h, &Xen4Transport, h->TransportHandle()) : h;  // calls from here on
      --loginParams;
    }
  };
  xenapi::SessionPtr h = loginAt(openedAddress);
  if (namedIp) *namedIp = link.LastTransfer().primaryIp;
  // A pool member names its master: the login is made once more there, on the same port;
  // once again where the master changed meanwhile. A master that names no host (a user
  // part, a path) is not followed: the error stands.
  for (int hop = 0; hop < 2 && st.Is("HOST_IS_SLAVE") && st.errors.size() > 1 && Xen4IsHost(st.errors[1]); ++hop) {
    const std::string master = st.errors[1];
    *redirected = true;
    h = loginAt(master);
  }
  return h;
}

xenapi::SessionPtr Xen4SessionImpl::State::Relogin(const xenapi::SessionPtr& stale, xenapi::Status& st) {
  std::lock_guard<std::mutex> guard(loginLock);
  {
    std::lock_guard<std::mutex> h(handleLock);
    if (closing || !handle) return nullptr;
    if (handle != stale) return handle;  // the other thread has logged in again
  }
  if (loginsInARow >= 3) return nullptr;
  ++loginsInARow;
  xenapi::Status ls;
  bool redirected = false;
  const xenapi::SessionPtr fresh = Login(ls, &redirected, nullptr);
  if (!fresh) return nullptr;
  if (!ls.ok) {
    st = std::move(ls);  // why no new session could be had
    return nullptr;
  }
  bool kept = false;
  {
    std::lock_guard<std::mutex> h(handleLock);
    if (!closing && handle == stale) {
      handle = fresh;
      kept = true;
    }
  }
  // The session replaced is logged out too, in case the server still holds it; a new one
  // that Close has overtaken is not kept.
  LogOut(kept ? stale : fresh);
  return kept ? fresh : nullptr;
}

void Xen4SessionImpl::State::ClearCredentials() {
  std::lock_guard<std::mutex> guard(loginLock);
  Wipe(user);
  Wipe(password);
}

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
    if (s.oneVm) FirstPassAtConnect();
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
        // One VM's figures: the probe is the first pass's export.
        if (s.oneVm && probeVm != "none" && s.exportMode == Xen4ExportMode::Working)
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

  // Host memory, kept in bytes for the usage figure and shown in MiB.
  int64_t totalBytes = 0;
  const double* totalKib = nullptr;
  if (s.connectExport) totalKib = rrd::Find(s.connectExport->hosts[s.hostUuid], "memory_total_kib");
  if (totalKib && std::isfinite(*totalKib) && *totalKib > 0.0 && *totalKib < 9e15)
    totalBytes = static_cast<int64_t>(*totalKib) * 1024;  // the export in hand has it
  else
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

// The guest VMs of the name, by the name's lookup and the record of the VM it finds;
// where it finds several (a template or snapshot of the same name), by one condition on
// the server where it takes one and the name fits in its text, else each one's record.
// None where the server has no lookup by name.
xenapi::RecordList<xenapi::VmRecord> Xen4SessionImpl::FindNamedVms() {
  State& s = *state_;
  const std::string name = Utf8FromNarrow(s.link.Options().onlyVm);
  xenapi::RecordList<xenapi::VmRecord> records;
  std::vector<std::string> refs;
  State::Outcome o =
      s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetByNameLabel(h, st, name, &refs); });
  if (o.Is(kUnknownMethod)) return records;
  s.Check(o);
  const auto guestsOfTheName = [&] {
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const auto& kv) { return !IsGuest(kv.second) || kv.second.name_label != name; }),
                  records.end());
    return records;
  };
  if (refs.size() > 1 && name.find_first_of("\"\\") == std::string::npos) {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) {
      xenapi::VmGetAllRecordsWhere(h, st, "field \"name__label\"=\"" + name + "\" and " + kGuestsOnly, &records);
    });
    if (o.st.ok) return guestsOfTheName();
    if (!o.Is(kUnknownMethod)) s.Check(o);
    records.clear();
  }
  for (const std::string& ref : refs) {
    xenapi::VmRecord record;
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetRecord(h, st, ref, &record); });
    if (o.Is(kHandleInvalid)) continue;  // deleted meanwhile
    s.Check(o);
    records.emplace_back(ref, std::move(record));
  }
  return guestsOfTheName();
}

// The host (ReadHost), then the VMs without templates, snapshots and the control domain:
// in bulk where the server offers it (with the condition on the server where it takes
// one), else one by one.
void Xen4SessionImpl::ReadHostAndVms(bool redirected, const std::string& namedIp) {
  State& s = *state_;
  // One VM asked for: it alone is read, with the export of its columns; a name that no
  // guest VM has gets the whole list as without it (whether the server has any VM).
  xenapi::RecordList<xenapi::VmRecord> named;
  if (!s.link.Options().onlyVm.empty()) named = FindNamedVms();
  s.oneVm = !named.empty();
  ReadHost(redirected, namedIp, named.size() == 1 ? named.front().second.uuid : std::string("none"));
  const bool fromExport = s.exportMode == Xen4ExportMode::Working;

  xenapi::RecordList<xenapi::VmRecord> records;
  State::Outcome o;
  if (s.oneVm) {
    records = named;
    s.connectRecords.reset(new xenapi::RecordList<xenapi::VmRecord>(std::move(named)));
  } else {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) {
      xenapi::VmGetAllRecordsWhere(h, st, kGuestsOnly, &records);
    });
  }
  s.vmsWhere = o.st.ok && !s.oneVm;
  s.bulkVms = o.st.ok && !s.oneVm;
  if (o.Is(kUnknownMethod)) {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetAllRecords(h, st, &records); });
    s.bulkVms = o.st.ok;
  }
  if (o.Is(kUnknownMethod)) {
    std::vector<std::string> all;
    s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetAll(h, st, &all); });
    for (const std::string& ref : all) {
      bool isTemplate = false, isControlDomain = false;
      s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmGetIsATemplate(h, st, ref, &isTemplate); });
      s.Call([&](const xenapi::Session& h, xenapi::Status& st) {
        xenapi::VmGetIsControlDomain(h, st, ref, &isControlDomain);
      });
      if (isTemplate || isControlDomain) continue;
      records.emplace_back(ref, xenapi::VmRecord());
      s.Call([&](const xenapi::Session& h, xenapi::Status& st) {
        xenapi::VmGetRecord(h, st, ref, &records.back().second);
      });
    }
  } else if (!s.oneVm) {
    s.Check(o);
  }
  records.erase(std::remove_if(records.begin(), records.end(), [](const auto& kv) { return !IsGuest(kv.second); }),
                records.end());

  // The VMs' metrics and guest metrics, in bulk where the VM records came in bulk.
  xenapi::RecordList<xenapi::VmMetricsRecord> allMetrics;
  xenapi::RecordList<xenapi::GuestMetricsRecord> allGuests;
  s.bulkMetrics = false;
  s.bulkGuests = false;
  if (s.bulkVms) {
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::VmMetricsGetAllRecords(h, st, &allMetrics); });
    s.bulkMetrics = o.st.ok;
    if (!o.Is(kUnknownMethod)) s.Check(o);
    o = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::GuestMetricsGetAllRecords(h, st, &allGuests); });
    s.bulkGuests = o.st.ok;
    if (!o.Is(kUnknownMethod)) s.Check(o);
  }
  const auto metricsIndex = IndexOf(allMetrics);
  const auto guestIndex = IndexOf(allGuests);

  // Per-device metrics references, where the export does not carry the figures; a
  // server that reports the getter removed offers no such source.
  bool vifRemoved = false, vbdRemoved = false;
  const auto deviceMetrics = [&](const std::vector<std::string>& devices, bool* removed,
                                 bool (*get)(const xenapi::Session&, xenapi::Status&, const std::string&,
                                             std::string*),
                                 std::vector<std::string>* out) {
    for (const std::string& dev : devices) {
      if (*removed || fromExport) return;
      std::string metrics;
      State::Outcome d = s.Try([&](const xenapi::Session& h, xenapi::Status& st) { get(h, st, dev, &metrics); });
      if (d.Is(kRemoved)) {
        *removed = true;
        return;
      }
      s.Check(d);
      if (!xenapi::IsNullRef(metrics)) out->push_back(metrics);
    }
  };

  std::vector<std::unique_ptr<Xen4VMImpl>> vms;
  for (const auto& kv : records) {
    const std::string& ref = kv.first;
    const xenapi::VmRecord& record = kv.second;
    auto vm = std::make_unique<Xen4VMImpl>(ref, record.metrics, record.guest_metrics);
    vm->SetUuid(record.uuid);
    vm->SetName(NarrowFromUtf8(record.name_label));
    vm->SetDescription(NarrowFromUtf8(record.name_description));
    vm->SetMemory(ToMiB(record.memory_static_max));
    deviceMetrics(record.VIFs, &vifRemoved, &xenapi::VifGetMetrics, &vm->VifMetrics());
    deviceMetrics(record.VBDs, &vbdRemoved, &xenapi::VbdGetMetrics, &vm->VbdMetrics());
    // A null reference has no record to read (a halted VM or one without guest tools has
    // no guest metrics): the figures keep their values.
    if (!xenapi::IsNullRef(record.metrics) && !s.oneVm) {
      xenapi::VmMetricsRecord metrics;
      bool have = true;
      if (s.bulkMetrics) {
        const xenapi::VmMetricsRecord* found = Lookup(metricsIndex, record.metrics);
        have = found != nullptr;
        if (found) metrics = *found;
      } else {
        s.Call([&](const xenapi::Session& h, xenapi::Status& st) {
          xenapi::VmMetricsGetRecord(h, st, record.metrics, &metrics);
        });
      }
      if (have) {
        vm->SetNumCpus(ClampInt32(metrics.VCPUs_number));
        if (!fromExport && !s.legacyDead) {
          vm->SetCpuUsage(MeanUtilisationPercent(metrics));
          vm->SetFigureSource(Figure::Cpu, FigureSource::MetricCalls);
        }
      }
    }
    if (!xenapi::IsNullRef(record.guest_metrics) && !s.oneVm) {
      xenapi::GuestMetricsRecord guest;
      bool have = true;
      if (s.bulkGuests) {
        const xenapi::GuestMetricsRecord* found = Lookup(guestIndex, record.guest_metrics);
        have = found != nullptr;
        if (found) guest = *found;
      } else {
        s.Call([&](const xenapi::Session& h, xenapi::Status& st) {
          xenapi::GuestMetricsGetRecord(h, st, record.guest_metrics, &guest);
        });
      }
      double usage;
      if (have && GuestMemoryUsage(guest, &usage)) {
        vm->SetMemoryUsage(usage);
        vm->SetFigureSource(Figure::Memory, FigureSource::MetricCalls);
      }
    }
    vms.push_back(std::move(vm));
  }
  // Without per-device sources (removed, or figures from the export) no references are
  // kept.
  if (vifRemoved)
    for (auto& vm : vms) vm->VifMetrics().clear();
  if (vbdRemoved)
    for (auto& vm : vms) vm->VbdMetrics().clear();
  s.vifSource = !vifRemoved;
  s.vbdSource = !vbdRemoved;
  s.vms = std::move(vms);
}
