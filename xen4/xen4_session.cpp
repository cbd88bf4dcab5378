#include "xen4_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "rrd_updates.h"
#include "xen4_text.h"
#include "xen4_transport.h"
#include "xmlrpc.h"

namespace {

const char kConnectionClosed[] = "connection closed";
const char kConnectionLost[] = "Connection to xen4 lost";

int32_t ToMiB(int64_t bytes) {
  if (bytes <= 0) return 0;
  return static_cast<int32_t>(std::min<int64_t>(bytes >> 20, std::numeric_limits<int32_t>::max()));
}

int32_t ClampInt32(int64_t v) {
  return static_cast<int32_t>(std::max<int64_t>(std::numeric_limits<int32_t>::min(),
                                                std::min<int64_t>(v, std::numeric_limits<int32_t>::max())));
}

const char* PowerStateName(xenapi::PowerState state) {
  switch (state) {
    case xenapi::PowerState::Halted: return "DOWN";
    case xenapi::PowerState::Paused: return "PAUSED";
    case xenapi::PowerState::Running: return "UP";
    case xenapi::PowerState::Suspended: return "SUSPENDED";
    case xenapi::PowerState::Unknown: break;
  }
  return "UNKNOWN";
}

double MeanUtilisationPercent(const xenapi::VmMetricsRecord& m) {
  if (m.VCPUs_utilisation.empty()) return 0.0;
  double sum = 0.0;
  for (const auto& u : m.VCPUs_utilisation) sum += u.second;
  return 100.0 * sum / static_cast<double>(m.VCPUs_utilisation.size());
}

// Memory usage from the first (free) and second (total) entries of a guest-metrics
// memory map; false when they do not give a usable percentage.
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

bool IsError(const xenapi::Status& st, const char* name) {
  return !st.ok && !st.errors.empty() && st.errors[0] == name;
}

const char kRemoved[] = "MESSAGE_REMOVED";
const char kUnknownMethod[] = "MESSAGE_METHOD_UNKNOWN";
const char kHandleInvalid[] = "HANDLE_INVALID";

// Index of a record list by reference (bulk answers hold every object of the class).
template <typename Record>
std::map<std::string, const Record*> IndexOf(const xenapi::RecordList<Record>& list) {
  std::map<std::string, const Record*> index;
  for (const auto& kv : list) index.emplace(kv.first, &kv.second);
  return index;
}

template <typename Record>
const Record* Lookup(const std::map<std::string, const Record*>& index, const std::string& ref) {
  const auto it = index.find(ref);
  return it == index.end() ? nullptr : it->second;
}

}  // namespace

// Everything a refresh pass touches. The refresh thread keeps this object alive, so a
// pass that is still blocked in a call when the session goes away finds it intact.
struct Xen4SessionImpl::State : RefreshTask {
  State(int32_t refreshDelaySeconds, const Xen4Options& opts)
      : options(opts), delayMs(static_cast<int64_t>(std::max<int32_t>(refreshDelaySeconds, 0)) * 1000) {}

  const Xen4Options options;

  // The library session. Each user takes its own reference for the duration of a call,
  // so dropping the handle never frees a session that a call still uses.
  mutable std::mutex handleLock;
  xenapi::SessionPtr handle;
  // The transport handle of the library session: set before login, unchanged after.
  std::string url;
  std::atomic<bool> connected{false};
  std::atomic<bool> transportFaulted{false};  // a transport fault was seen

  // Written by Connect before the refresh thread starts, read-only afterwards.
  std::string address;  // of the host the session lives on (the pool master)
  int32_t port = 0;
  std::string hostRef;
  std::string hostUuid;
  std::string hostMetricsRef;
  std::vector<std::string> hostCpus;
  std::vector<std::string> pifMetrics;
  std::atomic<int64_t> memoryBytes{0};
  std::vector<std::unique_ptr<Xen4VMImpl>> vms;
  // What the server offers, learned at connect: the metrics export for the live
  // figures, and the bulk reads of VM and VM-metrics records.
  bool useExport = false;
  bool bulkVms = false;
  bool bulkMetrics = false;

  // The passes' own: whether the free-memory getter is gone (then the host-metrics
  // record is read), and the addresses of the pool's other hosts.
  bool memoryFreeFromRecord = false;
  std::map<std::string, std::string> hostAddresses;

  // The session's live host figures, which the passes write.
  std::shared_ptr<HostLiveFigures> figures;

  // The stop event (manual reset) and the refresh delay.
  std::mutex stopMutex;
  std::condition_variable stopCv;
  bool stopSignalled = false;
  const int64_t delayMs;

  // The passes that wrote the figures since Connect, and whether the refresh has ended
  // (a failed pass, or Close); those waiting for the first figures sleep on figuresCv.
  std::mutex figuresLock;
  std::condition_variable figuresCv;
  uint64_t passes = 0;
  bool refreshEnded = false;

  // Passes begun, and the number of the last pass that wrote the figures: a VM's power
  // operation notes the passes begun when it returned, and until a later pass has written
  // the figures they may predate the operation.
  std::atomic<uint64_t> passesBegun{0};
  std::atomic<uint64_t> lastWritingPass{0};

  void FiguresChanged(bool passed) {
    {
      std::lock_guard<std::mutex> guard(figuresLock);
      if (passed)
        ++passes;
      else
        refreshEnded = true;
    }
    figuresCv.notify_all();
  }

  xenapi::SessionPtr Handle() const {
    std::lock_guard<std::mutex> guard(handleLock);
    return handle;
  }

  void SignalStop() {
    std::lock_guard<std::mutex> guard(stopMutex);
    stopSignalled = true;
    stopCv.notify_all();
  }

  bool StopSignalled() {
    std::lock_guard<std::mutex> guard(stopMutex);
    return stopSignalled;
  }

  void WaitStop() {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopCv.wait_for(lock, std::chrono::milliseconds(delayMs), [&] { return stopSignalled; });
  }

  // The newest row of a host's metrics export (hostOnly: without the VMs' columns);
  // false when it could not be read.
  bool ReadExport(const xenapi::Session& h, const std::string& hostAddress, rrd::Updates* out,
                  bool hostOnly = false) const;
  // The address of a host of the pool (this session's for its own host); empty when the
  // server no longer knows the host.
  std::string AddressOf(const xenapi::SessionPtr& h, const std::string& host);
  void Check(const xenapi::SessionPtr& used, xenapi::Status& status);
  void HostFiguresFromCalls(const xenapi::SessionPtr& h);
  void HostFiguresFromExport(const xenapi::SessionPtr& h, const rrd::Updates* own);
  // One refresh pass; false when it left off because the session is closing.
  bool Pass();
  bool RunOnce() override;
};

bool Xen4SessionImpl::State::ReadExport(const xenapi::Session& h, const std::string& hostAddress,
                                        rrd::Updates* out, bool hostOnly) const {
  const std::string target = "https://" + hostAddress + ":" + std::to_string(port) +
                             "/rrd_updates?start=-10&interval=5&cf=AVERAGE&host=true&session_id=" +
                             h.Reference() + (hostOnly ? "&vm_uuid=none" : "");
  long httpStatus = 0;
  std::string body;
  if (Xen4Get(target, "text/xml", rrd::kMaxDocumentBytes, &httpStatus, &body) != 0 || httpStatus != 200)
    return false;
  std::string error;
  return rrd::ParseUpdates(body.data(), body.size(), out, &error);
}

std::string Xen4SessionImpl::State::AddressOf(const xenapi::SessionPtr& h, const std::string& host) {
  if (host == hostRef || xenapi::IsNullRef(host)) return address;
  const auto it = hostAddresses.find(host);
  if (it != hostAddresses.end()) return it->second;
  xenapi::Status st;
  xenapi::HostRecord record;
  xenapi::HostGetRecord(*h, st, host, &record);
  if (IsError(st, kHandleInvalid)) return std::string();
  Check(h, st);
  hostAddresses[host] = record.address;
  return record.address;
}

// The error check after every library call; throws the message of the failure.
void Xen4SessionImpl::State::Check(const xenapi::SessionPtr& used, xenapi::Status& status) {
  if (!used) throw std::runtime_error(kConnectionClosed);
  if (status.ok) return;
  const std::vector<std::string>& e = status.errors;
  if (e.empty()) throw std::runtime_error("unknown libxen error");
  const auto param = [&](size_t i) { return i < e.size() ? e[i] : std::string(); };
  const std::string& name = e[0];
  std::string message;
  if (name == xenapi::kTransportFault) {
    connected.store(false);
    transportFaulted.store(true);
    int64_t code = -1;
    xenapi::xmlrpc::ParseInt64(param(1), &code);
    const CURLcode c = code >= 0 && code < CURL_LAST ? static_cast<CURLcode>(code) : CURL_LAST;
    throw std::runtime_error(curl_easy_strerror(c));
  }
  if (name == xenapi::kFault) {
    message = "code: " + param(1) + "\n" + "description: " + param(2);
    status.Clear();
  } else if (name == xenapi::kServerFault) {
    message = param(1);
    status.Clear();
  } else if (name == xenapi::kServerFault2) {
    message = "error: " + param(1) + "\n" + "param: " + param(2);
    status.Clear();
  } else if (name == "SESSION_AUTHENTICATION_FAILED") {
    message = "Wrong user or password";
  } else if (name == kHandleInvalid) {
    // An object the server no longer knows (a VM deleted meanwhile): the call fails
    // with the server's message, the session goes on.
    for (const std::string& s : e) message += s + "\n";
    status.Clear();
  } else {
    for (const std::string& s : e) message += s + "\n";
    status.Clear();
    // The session is given up without logging out; only the handle this call used is
    // dropped, never a newer one.
    std::lock_guard<std::mutex> guard(handleLock);
    if (handle == used) handle.reset();
  }
  throw std::runtime_error(NarrowFromUtf8(message));
}

// Host figures from the described calls (servers without the metrics export).
void Xen4SessionImpl::State::HostFiguresFromCalls(const xenapi::SessionPtr& h) {
  xenapi::Status st;
  int64_t freeBytes = 0;
  if (!memoryFreeFromRecord) {
    xenapi::HostMetricsGetMemoryFree(*h, st, hostMetricsRef, &freeBytes);
    // A server that removed the getter still fills the record.
    memoryFreeFromRecord = IsError(st, kRemoved);
  }
  if (memoryFreeFromRecord) {
    xenapi::HostMetricsRecord record;
    xenapi::HostMetricsGetRecord(*h, st, hostMetricsRef, &record);
    freeBytes = record.memory_free;
  }
  Check(h, st);
  const int64_t total = memoryBytes.load();
  const double memoryUsage =
      total > 0 ? static_cast<double>(total - freeBytes) / static_cast<double>(total) * 100.0 : 0.0;

  double cpuSum = 0.0;
  for (const std::string& cpu : hostCpus) {
    double u = 0.0;
    xenapi::HostCpuGetUtilisation(*h, st, cpu, &u);
    Check(h, st);
    cpuSum += u;
  }
  const double cpuUsage = hostCpus.empty() ? 0.0 : 100.0 * cpuSum / static_cast<double>(hostCpus.size());

  double netSum = 0.0;
  for (const std::string& m : pifMetrics) {
    xenapi::IoMetricsRecord r;
    xenapi::PifMetricsGetRecord(*h, st, m, &r);
    Check(h, st);
    netSum += r.io_read_kbs + r.io_write_kbs;
  }
  const double networkIO = pifMetrics.empty() ? 0.0 : netSum / static_cast<double>(pifMetrics.size());

  figures->MemoryUsage.store(memoryUsage);
  figures->CpuUsage.store(cpuUsage);
  figures->NetworkIO.store(networkIO);
}

// Host figures from this host's export (null: not read this pass, the figures stay).
// Memory comes from the export's totals, or the host-metrics record where they are
// missing.
void Xen4SessionImpl::State::HostFiguresFromExport(const xenapi::SessionPtr& h, const rrd::Updates* own) {
  if (!own) return;
  const auto it = own->hosts.find(hostUuid);
  if (it == own->hosts.end()) return;
  const rrd::Values& v = it->second;
  double cpu = 0.0, net = 0.0, memoryUsage = 0.0;
  const bool haveCpu = rrd::CpuPercent(v, &cpu);
  const bool haveNet = rrd::IoKiBPerSecond(v, "pif_", "_rx", "_tx", &net);
  bool haveMemory = false;
  const double* totalKib = rrd::Find(v, "memory_total_kib");
  const double* freeKib = rrd::Find(v, "memory_free_kib");
  if (totalKib && freeKib) {
    if (std::isfinite(*totalKib) && std::isfinite(*freeKib)) {
      memoryUsage = *totalKib > 0.0 ? (*totalKib - *freeKib) / *totalKib * 100.0 : 0.0;
      haveMemory = true;
    }
  } else {
    xenapi::Status st;
    xenapi::HostMetricsRecord record;
    xenapi::HostMetricsGetRecord(*h, st, hostMetricsRef, &record);
    Check(h, st);
    const int64_t total = memoryBytes.load();
    memoryUsage = total > 0 ? static_cast<double>(total - record.memory_free) / static_cast<double>(total) * 100.0
                            : 0.0;
    haveMemory = true;
  }
  if (haveMemory) figures->MemoryUsage.store(memoryUsage);
  if (haveCpu) figures->CpuUsage.store(cpu);
  if (haveNet) figures->NetworkIO.store(net);
}

// One refresh pass: host figures, then each VM's figures. A VM the server no longer
// knows shows "UNKNOWN" with its last figures and is skipped from then on.
bool Xen4SessionImpl::State::Pass() {
  const xenapi::SessionPtr h = Handle();
  xenapi::Status st;
  if (!h) Check(h, st);

  // The exports read in this pass, by host reference (null: could not be read).
  std::map<std::string, std::unique_ptr<rrd::Updates>> exports;
  const auto exportOf = [&](const std::string& host) -> const rrd::Updates* {
    const std::string key = xenapi::IsNullRef(host) ? hostRef : host;
    const auto it = exports.find(key);
    if (it != exports.end()) return it->second.get();
    std::unique_ptr<rrd::Updates> u(new rrd::Updates);
    const std::string where = AddressOf(h, key);
    if (where.empty() || !ReadExport(*h, where, u.get())) u.reset();
    return exports.emplace(key, std::move(u)).first->second.get();
  };

  if (useExport)
    HostFiguresFromExport(h, exportOf(hostRef));
  else
    HostFiguresFromCalls(h);

  xenapi::RecordList<xenapi::VmRecord> allVms;
  xenapi::RecordList<xenapi::VmMetricsRecord> allMetrics;
  if (bulkVms) {
    xenapi::VmGetAllRecords(*h, st, &allVms);
    Check(h, st);
  }
  if (bulkMetrics) {
    xenapi::VmMetricsGetAllRecords(*h, st, &allMetrics);
    Check(h, st);
  }
  const auto vmIndex = IndexOf(allVms);
  const auto metricsIndex = IndexOf(allMetrics);

  const auto markGone = [](Xen4VMImpl& vm) {
    vm.SetGone();
    std::lock_guard<std::mutex> guard(vm.Lock());
    vm.SetInTransitionLocked(false);
    vm.SetStatus("UNKNOWN");
  };
  // The mean I/O figure of a VM's devices by the described calls; false when the VM
  // is gone.
  const auto ioMean = [&](const std::vector<std::string>& refs,
                          bool (*read)(const xenapi::Session&, xenapi::Status&, const std::string&,
                                       xenapi::IoMetricsRecord*),
                          double* mean) {
    *mean = 0.0;
    if (refs.empty()) return true;
    double sum = 0.0;
    for (const std::string& m : refs) {
      xenapi::IoMetricsRecord r;
      read(*h, st, m, &r);
      if (IsError(st, kHandleInvalid)) return false;
      Check(h, st);
      sum += r.io_read_kbs + r.io_write_kbs;
    }
    *mean = sum / static_cast<double>(refs.size());
    return true;
  };

  for (const auto& vm : vms) {
    if (StopSignalled()) return false;  // the session is closing: leave the rest
    if (vm->Gone()) continue;
    xenapi::VmRecord record;
    if (bulkVms) {
      const xenapi::VmRecord* found = Lookup(vmIndex, vm->VmRef());
      if (!found) {
        markGone(*vm);
        continue;
      }
      record = *found;
    } else {
      xenapi::VmGetRecord(*h, st, vm->VmRef(), &record);
      if (IsError(st, kHandleInvalid)) {
        markGone(*vm);
        continue;
      }
      Check(h, st);
    }
    xenapi::VmMetricsRecord metrics;
    bool haveMetrics = !xenapi::IsNullRef(vm->MetricsRef());
    if (haveMetrics && bulkMetrics) {
      const xenapi::VmMetricsRecord* found = Lookup(metricsIndex, vm->MetricsRef());
      haveMetrics = found != nullptr;
      if (found) metrics = *found;
    } else if (haveMetrics) {
      xenapi::VmMetricsGetRecord(*h, st, vm->MetricsRef(), &metrics);
      if (IsError(st, kHandleInvalid)) {
        markGone(*vm);
        continue;
      }
      Check(h, st);
    }

    // Live figures: from the export of the host the VM runs on, or the described calls.
    bool haveCpu = false, haveMemory = false, haveNetwork = false, haveDisk = false;
    double cpu = 0.0, memoryUsage = 0.0, network = 0.0, disk = 0.0;
    if (useExport) {
      if (const rrd::Updates* e = exportOf(record.resident_on)) {
        const auto it = e->vms.find(record.uuid.empty() ? vm->Uuid() : record.uuid);
        if (it == e->vms.end()) {
          haveCpu = haveMemory = haveNetwork = haveDisk = true;  // not running there: 0
        } else {
          const rrd::Values& v = it->second;
          haveCpu = rrd::CpuPercent(v, &cpu);
          haveNetwork = rrd::IoKiBPerSecond(v, "vif_", "_rx", "_tx", &network);
          haveDisk = rrd::IoKiBPerSecond(v, "vbd_", "_read", "_write", &disk);
          const double* total = rrd::Find(v, "memory");
          const double* freeKib = rrd::Find(v, "memory_internal_free");
          if (total && freeKib && std::isfinite(*total) && std::isfinite(*freeKib) && *total > 0.0) {
            memoryUsage = (*total - *freeKib * 1024.0) / *total * 100.0;
            haveMemory = true;
          }
        }
      }
    } else {
      if (haveMetrics) {
        cpu = MeanUtilisationPercent(metrics);
        haveCpu = true;
      }
      if (!ioMean(vm->VifMetrics(), &xenapi::VifMetricsGetRecord, &network) ||
          !ioMean(vm->VbdMetrics(), &xenapi::VbdMetricsGetRecord, &disk)) {
        markGone(*vm);
        continue;
      }
      haveNetwork = haveDisk = true;
    }

    std::lock_guard<std::mutex> guard(vm->Lock());
    const bool inTransition = record.allowed_operations.empty();
    vm->SetInTransitionLocked(inTransition);
    vm->SetStatus(inTransition ? vm->TransitionalStatusLocked()
                               : std::string(PowerStateName(record.power_state)));
    vm->SetName(NarrowFromUtf8(record.name_label));
    vm->SetDescription(NarrowFromUtf8(record.name_description));
    vm->SetMemory(ToMiB(record.memory_static_max));
    if (haveMetrics) vm->SetNumCpus(ClampInt32(metrics.VCPUs_number));
    if (haveCpu) vm->SetCpuUsage(cpu);
    if (haveMemory) vm->SetMemoryUsage(memoryUsage);
    if (haveNetwork) vm->SetNetworkIO(network);
    if (haveDisk) vm->SetDiskIO(disk);
  }
  return true;
}

bool Xen4SessionImpl::State::RunOnce() {
  if (StopSignalled()) return false;
  bool complete = false;
  const uint64_t number = ++passesBegun;
  try {
    complete = Pass();
  } catch (const std::exception&) {
    // The connection is gone or unusable: the loop ends with this pass.
    connected.store(false);
    FiguresChanged(false);
    return false;
  }
  if (complete) {
    lastWritingPass.store(number);
    FiguresChanged(true);
  }
  WaitStop();
  return true;
}

Xen4SessionImpl::Xen4SessionImpl(int32_t refreshDelaySeconds, const Xen4Options& options)
    : state_(std::make_shared<State>(refreshDelaySeconds, options)) {
  state_->figures = LiveFigures();
}

Xen4SessionImpl::~Xen4SessionImpl() {
  state_->SignalStop();
  thread_.Stop();
  // A pass still blocked in a call keeps the state (and the figures it writes).
}

xenapi::SessionPtr Xen4SessionImpl::LibrarySession() const { return state_->Handle(); }

void Xen4SessionImpl::CheckError(const xenapi::SessionPtr& used, xenapi::Status& status) {
  state_->Check(used, status);
}

void Xen4SessionImpl::Connect(const std::string& address, const std::string& userName,
                              const std::string& password, int32_t port) {
  State& s = *state_;
  if (s.Handle() || !thread_.IsFinished())
    throw std::runtime_error("Cannot create xen4 session");

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
  s.transportFaulted.store(false);

  // 1. The URL; the library hands this very text to the transport on every call.
  s.address = address;
  s.port = port;
  s.url = "https://" + address + ":" + std::to_string(port) + "/";

  // 2. Log in (the wire carries UTF-8). A pool member names its master: the login is
  // made once more there, on the same port, and the session lives on the master.
  const std::string user = Utf8FromNarrow(userName), secret = Utf8FromNarrow(password);
  xenapi::Status st;
  xenapi::SessionPtr h = xenapi::LoginWithPassword(&Xen4Transport, const_cast<char*>(s.url.c_str()), user,
                                                   secret, st);
  if (!h) throw std::runtime_error("Cannot create xen4 session");
  if (IsError(st, "HOST_IS_SLAVE") && st.errors.size() > 1 && !st.errors[1].empty()) {
    s.address = st.errors[1];
    s.url = "https://" + s.address + ":" + std::to_string(port) + "/";
    h = xenapi::LoginWithPassword(&Xen4Transport, const_cast<char*>(s.url.c_str()), user, secret, st);
  }
  s.Check(h, st);
  {
    std::lock_guard<std::mutex> guard(s.handleLock);
    s.handle = h;
  }
  try {
    ReadHostAndVms(h);
  } catch (...) {
    // A session that failed to connect is not used again: end it on the server too,
    // unless the server is out of reach (the logout would only wait for it).
    const xenapi::SessionPtr left = s.Handle();
    if (left && !s.transportFaulted.load()) {
      xenapi::Status ignored;
      xenapi::Logout(*xenapi::WithTransport(*left, &Xen4TransportBounded, left->TransportHandle()), ignored);
    }
    std::lock_guard<std::mutex> guard(s.handleLock);
    s.handle.reset();
    throw;
  }

  // 8. Connected; the refresh thread keeps the state alive while it runs.
  s.connected.store(true);
  thread_.SetTask(state_);
  thread_.Start();
}

// Connect's steps 3 to 7.
void Xen4SessionImpl::ReadHostAndVms(const xenapi::SessionPtr& h) {
  State& s = *state_;
  xenapi::Status st;

  // 3. The host of this session.
  std::string hostRef;
  xenapi::SessionGetThisHost(*h, st, &hostRef);
  s.Check(h, st);
  s.hostRef = hostRef;
  s.hostAddresses.clear();
  s.memoryFreeFromRecord = false;

  // 4. Host record: CPUs, names, product version.
  xenapi::HostRecord host;
  xenapi::HostGetRecord(*h, st, s.hostRef, &host);
  s.Check(h, st);
  s.hostUuid = host.uuid;
  s.hostCpus = host.host_CPUs;
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
  // answers it, else the described metric calls. Learned once, here.
  {
    rrd::Updates probe;
    s.useExport = s.ReadExport(*h, s.address, &probe, true);
  }

  // 5. Host memory, kept in bytes for the usage figure and shown in MiB.
  s.hostMetricsRef = host.metrics;
  int64_t totalBytes = 0;
  xenapi::HostMetricsGetMemoryTotal(*h, st, s.hostMetricsRef, &totalBytes);
  s.Check(h, st);
  s.memoryBytes.store(totalBytes);
  SetMemory(ToMiB(totalBytes));

  // 6. Metrics of the physical network interfaces (the export has their figures).
  s.pifMetrics.clear();
  if (!s.useExport) {
    for (const std::string& pif : host.PIFs) {
      std::string metrics;
      xenapi::PifGetMetrics(*h, st, pif, &metrics);
      s.Check(h, st);
      if (!xenapi::IsNullRef(metrics)) s.pifMetrics.push_back(metrics);
    }
  }

  // 7. The VMs, without templates and the control domain: in bulk where the server
  // offers it, else one by one.
  xenapi::RecordList<xenapi::VmRecord> records;
  xenapi::VmGetAllRecords(*h, st, &records);
  s.bulkVms = st.ok;
  if (IsError(st, kUnknownMethod)) {
    st.Clear();
    std::vector<std::string> all;
    xenapi::VmGetAll(*h, st, &all);
    s.Check(h, st);
    for (const std::string& ref : all) {
      bool isTemplate = false, isControlDomain = false;
      xenapi::VmGetIsATemplate(*h, st, ref, &isTemplate);
      s.Check(h, st);
      xenapi::VmGetIsControlDomain(*h, st, ref, &isControlDomain);
      s.Check(h, st);
      if (isTemplate || isControlDomain) continue;
      records.emplace_back(ref, xenapi::VmRecord());
      xenapi::VmGetRecord(*h, st, ref, &records.back().second);
      s.Check(h, st);
    }
  } else {
    s.Check(h, st);
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [](const auto& kv) { return kv.second.is_a_template || kv.second.is_control_domain; }),
                  records.end());
  }

  // The VMs' metrics and guest metrics, in bulk where the VM records came in bulk.
  xenapi::RecordList<xenapi::VmMetricsRecord> allMetrics;
  xenapi::RecordList<xenapi::GuestMetricsRecord> allGuests;
  s.bulkMetrics = false;
  bool bulkGuests = false;
  if (s.bulkVms) {
    xenapi::VmMetricsGetAllRecords(*h, st, &allMetrics);
    s.bulkMetrics = st.ok;
    if (!IsError(st, kUnknownMethod)) s.Check(h, st);
    st.Clear();
    xenapi::GuestMetricsGetAllRecords(*h, st, &allGuests);
    bulkGuests = st.ok;
    if (!IsError(st, kUnknownMethod)) s.Check(h, st);
    st.Clear();
  }
  const auto metricsIndex = IndexOf(allMetrics);
  const auto guestIndex = IndexOf(allGuests);

  // Per-device metrics references, where the export does not carry the figures; a
  // server that reports the getter removed offers no such source.
  bool vifRemoved = s.useExport, vbdRemoved = s.useExport;
  const auto deviceMetrics = [&](const std::vector<std::string>& devices, bool* removed,
                                 bool (*get)(const xenapi::Session&, xenapi::Status&, const std::string&,
                                             std::string*),
                                 std::vector<std::string>* out) {
    for (const std::string& dev : devices) {
      if (*removed) return;
      std::string metrics;
      get(*h, st, dev, &metrics);
      if (IsError(st, kRemoved)) {
        st.Clear();
        *removed = true;
        return;
      }
      s.Check(h, st);
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
    if (!xenapi::IsNullRef(record.metrics)) {
      xenapi::VmMetricsRecord metrics;
      bool have = true;
      if (s.bulkMetrics) {
        const xenapi::VmMetricsRecord* found = Lookup(metricsIndex, record.metrics);
        have = found != nullptr;
        if (found) metrics = *found;
      } else {
        xenapi::VmMetricsGetRecord(*h, st, record.metrics, &metrics);
        s.Check(h, st);
      }
      if (have) {
        vm->SetNumCpus(ClampInt32(metrics.VCPUs_number));
        if (!s.useExport) vm->SetCpuUsage(MeanUtilisationPercent(metrics));
      }
    }
    if (!xenapi::IsNullRef(record.guest_metrics)) {
      xenapi::GuestMetricsRecord guest;
      bool have = true;
      if (bulkGuests) {
        const xenapi::GuestMetricsRecord* found = Lookup(guestIndex, record.guest_metrics);
        have = found != nullptr;
        if (found) guest = *found;
      } else {
        xenapi::GuestMetricsGetRecord(*h, st, record.guest_metrics, &guest);
        s.Check(h, st);
      }
      double usage;
      if (have && GuestMemoryUsage(guest, &usage)) vm->SetMemoryUsage(usage);
    }
    vms.push_back(std::move(vm));
  }
  // Without per-device sources (removed, or figures from the export) no references are
  // kept.
  if (vifRemoved)
    for (auto& vm : vms) vm->VifMetrics().clear();
  if (vbdRemoved)
    for (auto& vm : vms) vm->VbdMetrics().clear();
  s.vms = std::move(vms);
}

void Xen4SessionImpl::Close() {
  state_->FiguresChanged(false);
  const xenapi::SessionPtr h = state_->Handle();
  if (!h) return;
  state_->SignalStop();
  thread_.Stop();
  // A pass that did not end within the stop time-out is blocked on a server that does
  // not answer: a logout would block the same way, so it is left out. A server that
  // starts hanging now gets the bounded wait; the session ends either way.
  if (thread_.IsFinished()) {
    xenapi::Status st;
    xenapi::Logout(*xenapi::WithTransport(*h, &Xen4TransportBounded, h->TransportHandle()), st);
  }
  std::lock_guard<std::mutex> guard(state_->handleLock);
  state_->handle.reset();
}

// The host is disabled first (servers refuse to reboot or stop an enabled host); when
// the operation then fails, it is enabled again before the error is reported.
void Xen4SessionImpl::HostOperation(bool (*operation)(const xenapi::Session&, xenapi::Status&,
                                                      const std::string&)) {
  const xenapi::SessionPtr h = state_->Handle();
  xenapi::Status st;
  if (!h) state_->Check(h, st);
  xenapi::HostDisable(*h, st, state_->hostRef);
  state_->Check(h, st);
  operation(*h, st, state_->hostRef);
  if (!st.ok && !IsError(st, xenapi::kTransportFault)) {
    xenapi::Status ignored;
    xenapi::HostEnable(*h, ignored, state_->hostRef);
  }
  state_->Check(h, st);
  Close();
}

void Xen4SessionImpl::RestartHost() { HostOperation(&xenapi::HostReboot); }

void Xen4SessionImpl::ShutdownHost() { HostOperation(&xenapi::HostShutdown); }

void Xen4SessionImpl::FillVMList(IVmCollection* collection) {
  collection_ = collection;
  if (collection_) {
    for (const auto& vm : state_->vms) {
      vm->SetSession(this);
      collection_->Add(new Xen4VMImpl(*vm));
    }
  }
  Update();
}

void Xen4SessionImpl::Update() {
  if (!state_->connected.load()) throw std::runtime_error(kConnectionLost);
  if (!collection_) return;
  const auto& vms = state_->vms;
  const int32_t count = collection_->GetCount();
  for (int32_t i = 0; i < count && static_cast<size_t>(i) < vms.size(); ++i) {
    XenVMImpl* item = collection_->GetItem(i);
    const Xen4VMImpl& own = *vms[static_cast<size_t>(i)];
    auto* copy = dynamic_cast<Xen4VMImpl*>(item);
    std::lock_guard<std::mutex> ownGuard(own.Lock());
    std::unique_lock<std::mutex> copyGuard;
    if (copy && copy != &own) copyGuard = std::unique_lock<std::mutex>(copy->Lock());
    item->SetCpuUsage(own.GetCpuUsage());
    item->SetMemoryUsage(own.GetMemoryUsage());
    // While the server allows no operation on the VM, and until a pass begun after the
    // operation has written the figures, the status of the operation that this copy
    // started is shown (the operations run on the copies, not on our VMs).
    const bool figuresPredateOperation =
        copy && state_->lastWritingPass.load() <= copy->OperationPassLocked();
    if ((own.InTransitionLocked() || figuresPredateOperation) && copy &&
        copy->TransitionalStatusLocked() != "UNKNOWN")
      item->SetStatus(copy->TransitionalStatusLocked());
    else
      item->SetStatus(own.GetStatus());
    item->SetNetworkIO(own.GetNetworkIO());
    item->SetDiskIO(own.GetDiskIO());
  }
}

bool Xen4SessionImpl::WaitForFigures(std::chrono::milliseconds limit) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.figuresLock);
  // A transport fault seen by an operation clears connected without a signal; the pass
  // that follows fails on the same fault and ends the wait.
  s.figuresCv.wait_for(lock, limit, [&] { return s.passes > 0 || s.refreshEnded || !s.connected.load(); });
  return s.passes > 0 && !s.refreshEnded && s.connected.load();
}

bool Xen4SessionImpl::RunOnce() { return state_->RunOnce(); }

uint64_t Xen4SessionImpl::PassesBegun() const { return state_->passesBegun.load(); }

bool Xen4SessionImpl::IsConnected() const { return state_->connected.load(); }
bool Xen4SessionImpl::IsRefreshRunning() const { return thread_.IsRunning(); }
bool Xen4SessionImpl::IsRefreshFinished() const { return thread_.IsFinished(); }
int32_t Xen4SessionImpl::OwnVmCount() const { return static_cast<int32_t>(state_->vms.size()); }
const Xen4VMImpl& Xen4SessionImpl::OwnVm(int32_t index) const {
  return *state_->vms.at(static_cast<size_t>(index));
}
int64_t Xen4SessionImpl::MemoryBytes() const { return state_->memoryBytes.load(); }
