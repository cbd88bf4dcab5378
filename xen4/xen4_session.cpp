// The session's lifetime: the shared state, the logins and the library session they
// keep, the error check after every call, Close, and the copies of the VMs the caller
// holds (FillVMList, Update).
#include "xen4_session.h"

#include <curl/curl.h>

#include <stdexcept>
#include <utility>

#include "xen4_address.h"
#include "xen4_state.h"
#include "xen4_text.h"
#include "xen4_transport.h"
#include "xmlrpc.h"

using namespace xen4;

namespace {
const char kApiVersion[] = "1.0";
const char kConnectionLost[] = "Connection to xen4 lost";
const char kCancelled[] = "Cancelled";
const char kDeadline[] = "Deadline reached";

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
