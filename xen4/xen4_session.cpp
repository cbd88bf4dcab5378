#include "xen4_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

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

namespace {
const char kConnectionLost[] = "Connection to xen4 lost";
const char kCancelled[] = "Cancelled";
const char kDeadline[] = "Deadline reached";
}  // namespace

void Xen4SessionImpl::State::CallSucceeded() { loginsInARow.store(0); }

void Xen4SessionImpl::State::EndSession(const xenapi::SessionPtr& used) {
  xenapi::SessionPtr taken;
  {
    std::lock_guard<std::mutex> guard(handleLock);
    if (handle && (!used || handle == used)) taken = std::move(handle);
    if (!used) closing = true;
  }
  LogOut(taken);
}

void Xen4SessionImpl::State::ThrowIfOutOfTime() const {
  if (link.Cancelled() || link.PastDeadline()) throw std::runtime_error(link.Cancelled() ? kCancelled : kDeadline);
}

void Xen4SessionImpl::State::LogOut(const xenapi::SessionPtr& session) {
  if (!session || session->Reference().empty()) return;
  xenapi::Status ignored;
  xenapi::Logout(*xenapi::WithTransport(*session, &Xen4TransportBounded, session->TransportHandle()), ignored);
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
    // Close aborted the transfer: the session ends there, the connection was not lost.
    if (link.Aborted()) throw std::runtime_error(kConnectionClosed);
    connected.store(false);
    int64_t code = -1;
    xenapi::xmlrpc::ParseInt64(param(1), &code);
    // A program that cancelled, or whose deadline came, ends the session here.
    if (link.Cancelled() || (code == CURLE_OPERATION_TIMEDOUT && link.PastDeadline())) {
      EndSession(used);
      throw std::runtime_error(link.Cancelled() ? kCancelled : kDeadline);
    }
    const std::string detail = link.LastTransfer().error;
    const CURLcode c = code >= 0 && code < CURL_LAST ? static_cast<CURLcode>(code) : CURL_LAST;
    throw std::runtime_error(detail.empty() ? std::string(curl_easy_strerror(c)) : detail);
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
    // The session is given up: logged out (a session left on the server counts against
    // its limit), then dropped; only the session this call used, never a newer one.
    EndSession(used);
  }
  throw std::runtime_error(NarrowFromUtf8(message));
}

bool Xen4SessionImpl::State::RunOnce() {
  if (StopSignalled()) return false;
  if (connectPassed.exchange(false)) {  // Connect made the first pass
    WaitStop();
    return true;
  }
  bool complete = false;
  const uint64_t number = ++passesBegun;
  try {
    complete = Pass();
  } catch (const std::exception&) {
    // The connection is gone or unusable: the loop ends with this pass (a pass that
    // Close aborted leaves the connected flag as it was).
    if (!link.Aborted()) connected.store(false);
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

void Xen4SessionImpl::FirstPassAtConnect() {
  State& s = *state_;
  const uint64_t number = ++s.passesBegun;
  if (!s.Pass()) return;
  s.lastWritingPass.store(number);
  s.connectPassed.store(true);
  s.FiguresChanged(true);
}

Xen4SessionImpl::Xen4SessionImpl(int32_t refreshDelaySeconds, const Xen4Options& options)
    : state_(std::make_shared<State>(refreshDelaySeconds, options)) {
  state_->figures = LiveFigures();
}

Xen4SessionImpl::~Xen4SessionImpl() {
  // A session released without Close is logged out all the same.
  try {
    Close();
  } catch (const std::exception&) {
  }
  // A pass still blocked in a call keeps the state (and the figures it writes).
}

xenapi::SessionPtr Xen4SessionImpl::LibrarySession() const { return state_->Handle(); }

void Xen4SessionImpl::CheckError(const xenapi::SessionPtr& used, xenapi::Status& status) {
  state_->Check(used, status);
}

void Xen4SessionImpl::Operate(Operation operation, const std::string& ref) {
  state_->Call([&](const xenapi::Session& h, xenapi::Status& st) { operation(h, st, ref); },
               &Xen4TransportOperation);
}

// The pass's transfer in flight is aborted rather than waited out; the log-out is
// bounded and never left out.
void Xen4SessionImpl::Close() {
  State& s = *state_;
  s.FiguresChanged(false);
  s.SignalStop();
  s.link.Abort();
  thread_.Stop();
  s.EndSession(nullptr);
  s.ClearCredentials();
}

// The host is disabled first (servers refuse to reboot or stop an enabled host); when
// the operation then fails, it is enabled again before the error is reported. The host
// is the one the user named, also when the session lives on the pool's master.
void Xen4SessionImpl::HostOperation(bool (*operation)(const xenapi::Session&, xenapi::Status&,
                                                      const std::string&)) {
  State& s = *state_;
  const std::string host = s.hostRef;
  s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::HostDisable(h, st, host); });
  State::Outcome o =
      s.Try([&](const xenapi::Session& h, xenapi::Status& st) { operation(h, st, host); }, &Xen4TransportOperation);
  if (!o.st.ok && !o.Is(xenapi::kTransportFault) && o.used) {
    xenapi::Status ignored;
    xenapi::HostEnable(*o.used, ignored, host);
  }
  s.Check(o);
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
    for (Figure f : {Figure::Cpu, Figure::Memory, Figure::Network, Figure::Disk})
      item->SetFigureSource(f, own.GetFigureSource(f));
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


uint64_t Xen4SessionImpl::PassesBegun() const { return state_->passesBegun.load(); }

bool Xen4SessionImpl::IsConnected() const { return state_->connected.load(); }
bool Xen4SessionImpl::IsRefreshRunning() const { return thread_.IsRunning(); }
bool Xen4SessionImpl::IsRefreshFinished() const { return thread_.IsFinished(); }
int32_t Xen4SessionImpl::OwnVmCount() const { return static_cast<int32_t>(state_->vms.size()); }
const Xen4VMImpl& Xen4SessionImpl::OwnVm(int32_t index) const {
  return *state_->vms.at(static_cast<size_t>(index));
}
int64_t Xen4SessionImpl::MemoryBytes() const { return state_->memoryBytes.load(); }
