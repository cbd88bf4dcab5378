#include "xen4_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

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

}  // namespace

// Everything a refresh pass touches. The refresh thread keeps this object alive, so a
// pass that is still blocked in a call when the session goes away finds it intact.
struct Xen4SessionImpl::State : RefreshTask {
  explicit State(int32_t refreshDelaySeconds)
      : delayMs(static_cast<int64_t>(std::max<int32_t>(refreshDelaySeconds, 0)) * 1000) {}

  // The library session. Each user takes its own reference for the duration of a call,
  // so dropping the handle never frees a session that a call still uses.
  mutable std::mutex handleLock;
  xenapi::SessionPtr handle;
  // The transport handle of the library session: set before login, unchanged after.
  std::string url;
  std::atomic<bool> connected{false};
  std::atomic<bool> transportFaulted{false};  // a transport fault was seen

  // Written by Connect before the refresh thread starts, read-only afterwards.
  std::string hostRef;
  std::string hostMetricsRef;
  std::vector<std::string> hostCpus;
  std::vector<std::string> pifMetrics;
  std::atomic<int64_t> memoryBytes{0};
  std::vector<std::unique_ptr<Xen4VMImpl>> vms;

  // The session, for its figures and its thread's running flag; null once it is gone.
  std::mutex ownerLock;
  Xen4SessionImpl* owner = nullptr;

  // The stop event (manual reset) and the refresh delay.
  std::mutex stopMutex;
  std::condition_variable stopCv;
  bool stopSignalled = false;
  const int64_t delayMs;

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

  void Check(const xenapi::SessionPtr& used, xenapi::Status& status);
  void Pass();
  void RunOnce() override;
};

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
  } else {
    for (const std::string& s : e) message += s + "\n";
    status.Clear();
    // The session is given up without logging out; only the handle this call used is
    // dropped, never a newer one.
    std::lock_guard<std::mutex> guard(handleLock);
    if (handle == used) handle.reset();
  }
  throw std::runtime_error(message);
}

// One refresh pass: host figures, then each VM's figures.
void Xen4SessionImpl::State::Pass() {
  const xenapi::SessionPtr h = Handle();
  xenapi::Status st;
  if (!h) Check(h, st);

  int64_t freeBytes = 0;
  xenapi::HostMetricsGetMemoryFree(*h, st, hostMetricsRef, &freeBytes);
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

  {
    std::lock_guard<std::mutex> guard(ownerLock);
    if (owner) {
      owner->SetMemoryUsage(memoryUsage);
      owner->SetCpuUsage(cpuUsage);
      owner->SetNetworkIO(networkIO);
    }
  }

  const auto ioMean = [&](const std::vector<std::string>& refs,
                          bool (*read)(const xenapi::Session&, xenapi::Status&, const std::string&,
                                       xenapi::IoMetricsRecord*)) {
    if (refs.empty()) return 0.0;
    double sum = 0.0;
    for (const std::string& m : refs) {
      xenapi::IoMetricsRecord r;
      read(*h, st, m, &r);
      Check(h, st);
      sum += r.io_read_kbs + r.io_write_kbs;
    }
    return sum / static_cast<double>(refs.size());
  };

  for (const auto& vm : vms) {
    if (StopSignalled()) return;  // the session is closing: leave the rest
    xenapi::VmRecord record;
    xenapi::VmGetRecord(*h, st, vm->VmRef(), &record);
    Check(h, st);
    xenapi::VmMetricsRecord metrics;
    const bool haveMetrics = !xenapi::IsNullRef(vm->MetricsRef());
    if (haveMetrics) {
      xenapi::VmMetricsGetRecord(*h, st, vm->MetricsRef(), &metrics);
      Check(h, st);
    }
    const double network = ioMean(vm->VifMetrics(), &xenapi::VifMetricsGetRecord);
    const double disk = ioMean(vm->VbdMetrics(), &xenapi::VbdMetricsGetRecord);

    std::lock_guard<std::mutex> guard(vm->Lock());
    const bool inTransition = record.allowed_operations.empty();
    vm->SetInTransitionLocked(inTransition);
    vm->SetStatus(inTransition ? vm->TransitionalStatusLocked()
                               : std::string(PowerStateName(record.power_state)));
    vm->SetName(record.name_label);
    vm->SetDescription(record.name_description);
    vm->SetMemory(ToMiB(record.memory_static_max));
    if (haveMetrics) {
      vm->SetNumCpus(ClampInt32(metrics.VCPUs_number));
      vm->SetCpuUsage(MeanUtilisationPercent(metrics));
    }
    vm->SetNetworkIO(network);
    vm->SetDiskIO(disk);
  }
}

void Xen4SessionImpl::State::RunOnce() {
  if (StopSignalled()) return;
  try {
    Pass();
  } catch (const std::exception&) {
    // The connection is gone or unusable: end the loop after this pass.
    connected.store(false);
    std::lock_guard<std::mutex> guard(ownerLock);
    if (owner) owner->thread_.ClearRunningFlag();
    return;
  }
  WaitStop();
}

Xen4SessionImpl::Xen4SessionImpl(int32_t refreshDelaySeconds)
    : state_(std::make_shared<State>(refreshDelaySeconds)) {
  state_->owner = this;
}

Xen4SessionImpl::~Xen4SessionImpl() {
  state_->SignalStop();
  thread_.Stop();
  // A pass still blocked in a call keeps the state; from now on it writes nothing here.
  std::lock_guard<std::mutex> guard(state_->ownerLock);
  state_->owner = nullptr;
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
  s.transportFaulted.store(false);

  // 1. The URL; the library hands this very text to the transport on every call.
  s.url = "https://" + address + ":" + std::to_string(port) + "/";

  // 2. Log in.
  xenapi::Status st;
  const xenapi::SessionPtr h = xenapi::LoginWithPassword(
      &Xen4Transport, const_cast<char*>(s.url.c_str()), userName, password, st);
  if (!h) throw std::runtime_error("Cannot create xen4 session");
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
      xenapi::Logout(*left, ignored);
    }
    std::lock_guard<std::mutex> guard(s.handleLock);
    s.handle.reset();
    throw;
  }

  // 8. Connected; the refresh thread keeps the state alive while it runs.
  s.connected.store(true);
  thread_.SetTask(state_.get(), state_);
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

  // 4. Host record: CPUs, names, product version.
  xenapi::HostRecord host;
  xenapi::HostGetRecord(*h, st, s.hostRef, &host);
  s.Check(h, st);
  s.hostCpus = host.host_CPUs;
  SetNumCpus(static_cast<int32_t>(std::min<size_t>(s.hostCpus.size(), std::numeric_limits<int32_t>::max())));
  SetServerName(host.name_label);
  SetServerDescription(host.name_description);
  for (const auto& kv : host.software_version) {
    if (kv.first == "product_version") {
      SetXenVersion(kv.second);
      break;
    }
  }

  // 5. Host memory, kept in bytes for the usage figure and shown in MiB.
  s.hostMetricsRef = host.metrics;
  int64_t totalBytes = 0;
  xenapi::HostMetricsGetMemoryTotal(*h, st, s.hostMetricsRef, &totalBytes);
  s.Check(h, st);
  s.memoryBytes.store(totalBytes);
  SetMemory(ToMiB(totalBytes));

  // 6. Metrics of the physical network interfaces.
  s.pifMetrics.clear();
  for (const std::string& pif : host.PIFs) {
    std::string metrics;
    xenapi::PifGetMetrics(*h, st, pif, &metrics);
    s.Check(h, st);
    if (!xenapi::IsNullRef(metrics)) s.pifMetrics.push_back(metrics);
  }

  // 7. The VMs, without templates and the control domain.
  std::vector<std::string> all;
  xenapi::VmGetAll(*h, st, &all);
  s.Check(h, st);
  std::vector<std::unique_ptr<Xen4VMImpl>> vms;
  for (const std::string& ref : all) {
    bool isTemplate = false, isControlDomain = false;
    xenapi::VmGetIsATemplate(*h, st, ref, &isTemplate);
    s.Check(h, st);
    xenapi::VmGetIsControlDomain(*h, st, ref, &isControlDomain);
    s.Check(h, st);
    if (isTemplate || isControlDomain) continue;

    xenapi::VmRecord record;
    xenapi::VmGetRecord(*h, st, ref, &record);
    s.Check(h, st);
    auto vm = std::make_unique<Xen4VMImpl>(ref, record.metrics, record.guest_metrics);
    vm->SetName(record.name_label);
    vm->SetDescription(record.name_description);
    vm->SetMemory(ToMiB(record.memory_static_max));
    for (const std::string& vif : record.VIFs) {
      std::string metrics;
      xenapi::VifGetMetrics(*h, st, vif, &metrics);
      s.Check(h, st);
      if (!xenapi::IsNullRef(metrics)) vm->VifMetrics().push_back(metrics);
    }
    for (const std::string& vbd : record.VBDs) {
      std::string metrics;
      xenapi::VbdGetMetrics(*h, st, vbd, &metrics);
      s.Check(h, st);
      if (!xenapi::IsNullRef(metrics)) vm->VbdMetrics().push_back(metrics);
    }
    // A null reference has no record to read (a halted VM or one without guest tools has
    // no guest metrics): the figures keep their values.
    if (!xenapi::IsNullRef(record.metrics)) {
      xenapi::VmMetricsRecord metrics;
      xenapi::VmMetricsGetRecord(*h, st, record.metrics, &metrics);
      s.Check(h, st);
      vm->SetNumCpus(ClampInt32(metrics.VCPUs_number));
      vm->SetCpuUsage(MeanUtilisationPercent(metrics));
    }
    if (!xenapi::IsNullRef(record.guest_metrics)) {
      xenapi::GuestMetricsRecord guest;
      xenapi::GuestMetricsGetRecord(*h, st, record.guest_metrics, &guest);
      s.Check(h, st);
      double usage;
      if (GuestMemoryUsage(guest, &usage)) vm->SetMemoryUsage(usage);
    }
    vms.push_back(std::move(vm));
  }
  s.vms = std::move(vms);
}

void Xen4SessionImpl::Close() {
  const xenapi::SessionPtr h = state_->Handle();
  if (!h) return;
  state_->SignalStop();
  thread_.Stop();
  // A pass that did not end within the stop time-out is blocked on a server that does
  // not answer: a logout would block the same way, so it is left out.
  if (thread_.IsFinished()) {
    xenapi::Status st;
    xenapi::Logout(*h, st);
  }
  std::lock_guard<std::mutex> guard(state_->handleLock);
  state_->handle.reset();
}

void Xen4SessionImpl::HostOperation(bool (*operation)(const xenapi::Session&, xenapi::Status&,
                                                      const std::string&)) {
  const xenapi::SessionPtr h = state_->Handle();
  xenapi::Status st;
  if (!h) state_->Check(h, st);
  xenapi::HostDisable(*h, st, state_->hostRef);
  state_->Check(h, st);
  operation(*h, st, state_->hostRef);
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
    // While the server allows no operation on the VM, the status of the operation that
    // this copy started is shown (the operations run on the copies, not on our VMs).
    if (own.InTransitionLocked() && copy && copy->TransitionalStatusLocked() != "UNKNOWN")
      item->SetStatus(copy->TransitionalStatusLocked());
    else
      item->SetStatus(own.GetStatus());
    item->SetNetworkIO(own.GetNetworkIO());
    item->SetDiskIO(own.GetDiskIO());
  }
}

void Xen4SessionImpl::RunOnce() { state_->RunOnce(); }

bool Xen4SessionImpl::IsConnected() const { return state_->connected.load(); }
bool Xen4SessionImpl::IsRefreshRunning() const { return thread_.IsRunning(); }
bool Xen4SessionImpl::IsRefreshFinished() const { return thread_.IsFinished(); }
int32_t Xen4SessionImpl::OwnVmCount() const { return static_cast<int32_t>(state_->vms.size()); }
const Xen4VMImpl& Xen4SessionImpl::OwnVm(int32_t index) const {
  return *state_->vms.at(static_cast<size_t>(index));
}
int64_t Xen4SessionImpl::MemoryBytes() const { return state_->memoryBytes.load(); }
