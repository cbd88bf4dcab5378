#include "xen4_vm.h"

#include <stdexcept>
#include <utility>

#include "session_impl.h"

Xen4VMImpl::Xen4VMImpl(std::string vmRef, std::string metricsRef, std::string guestMetricsRef)
    : vmRef_(std::move(vmRef)),
      metricsRef_(std::move(metricsRef)),
      guestMetricsRef_(std::move(guestMetricsRef)) {}

Xen4VMImpl::Xen4VMImpl(const Xen4VMImpl& other)
    : Xen4VMImpl(other, std::unique_lock<std::mutex>(other.lock_)) {}

// `held` keeps the original's lock until this constructor has copied everything.
Xen4VMImpl::Xen4VMImpl(const Xen4VMImpl& other, std::unique_lock<std::mutex> held)
    : XenVMImpl(other),
      session_(other.session_),
      vmRef_(other.vmRef_),
      uuid_(other.uuid_),
      gone_(other.gone_),
      metricsRef_(other.metricsRef_),
      guestMetricsRef_(other.guestMetricsRef_),
      vifMetrics_(other.vifMetrics_),
      vbdMetrics_(other.vbdMetrics_),
      transitional_(other.transitional_),
      inTransition_(other.inTransition_),
      operationPass_(other.operationPass_) {
  (void)held;
}

void Xen4VMImpl::SetSession(XenSessionImpl* session) {
  session_ = dynamic_cast<Xen4VmSession*>(session);
}

void Xen4VMImpl::ShowTransitional(const char* transitional) {
  std::lock_guard<std::mutex> guard(lock_);
  transitional_ = transitional;
  SetStatus(transitional_);
}

template <typename Call>
void Xen4VMImpl::PowerOperation(Call call, const char* transitional) {
  if (!session_) throw std::runtime_error(kNoSession);
  // No total time limit (a clean shut-down may take minutes); a server that has forgotten
  // the session gets a new login and the operation once more.
  session_->Operate(call, vmRef_);
  const uint64_t begun = session_->PassesBegun();
  ShowTransitional(transitional);
  std::lock_guard<std::mutex> guard(lock_);
  operationPass_ = begun;
}

void Xen4VMImpl::Start() {
  PowerOperation([](const xenapi::Session& s, xenapi::Status& st,
                    const std::string& vm) { xenapi::VmStart(s, st, vm, false); },
                 "STARTING");
}

void Xen4VMImpl::Shutdown() {
  PowerOperation([](const xenapi::Session& s, xenapi::Status& st,
                    const std::string& vm) { xenapi::VmCleanShutdown(s, st, vm); },
                 "SHUTTING_DOWN");
}

void Xen4VMImpl::Suspend() {
  PowerOperation([](const xenapi::Session& s, xenapi::Status& st,
                    const std::string& vm) { xenapi::VmSuspend(s, st, vm); },
                 "SUSPENDING");
}

void Xen4VMImpl::Restore() {
  PowerOperation([](const xenapi::Session& s, xenapi::Status& st,
                    const std::string& vm) { xenapi::VmResume(s, st, vm, false); },
                 "STARTING");
}

void Xen4VMImpl::Reboot() {
  PowerOperation([](const xenapi::Session& s, xenapi::Status& st,
                    const std::string& vm) { xenapi::VmCleanReboot(s, st, vm); },
                 "REBOOTING");
}

// Pause sends nothing: it checks the session as the other operations do after their
// call, and shows "PAUSING".
void Xen4VMImpl::Pause() {
  if (!session_) throw std::runtime_error(kNoSession);
  xenapi::Status status;
  session_->CheckError(session_->LibrarySession(), status);
  ShowTransitional("PAUSING");
}

void Xen4VMImpl::Unpause() {
  if (!session_) throw std::runtime_error(kNoSession);
}
