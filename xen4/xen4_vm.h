// The back-end VM of the xen4 protocol: the XenAPI references its session refreshes it
// from, and the power operations as XenAPI calls.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vm_impl.h"
#include "xenapi.h"

// What the VM operations use of their session; Xen4SessionImpl implements it.
class Xen4VmSession {
 public:
  // The library session (null when not logged in), and the error check after a call made
  // with it, which throws std::runtime_error with the message.
  virtual xenapi::SessionPtr LibrarySession() const = 0;
  virtual void CheckError(const xenapi::SessionPtr& used, xenapi::Status& status) = 0;
  // A power operation with the library session, without a total time limit, logged in
  // again where the server has forgotten the session; throws the error check's message.
  using Operation = void (*)(const xenapi::Session&, xenapi::Status&, const std::string& ref);
  virtual void Operate(Operation operation, const std::string& ref) = 0;
  // Refresh passes begun since the session was made.
  virtual uint64_t PassesBegun() const = 0;

 protected:
  ~Xen4VmSession() = default;
};

class Xen4VMImpl : public XenVMImpl {
 public:
  Xen4VMImpl(std::string vmRef, std::string metricsRef, std::string guestMetricsRef);
  // A copy with a lock of its own; taken under the original's lock.
  Xen4VMImpl(const Xen4VMImpl& other);
  Xen4VMImpl& operator=(const Xen4VMImpl&) = delete;
  ~Xen4VMImpl() override = default;

  // Stores the owning session (a Xen4SessionImpl, or null to detach).
  void SetSession(XenSessionImpl* session) override;
  Xen4VmSession* Session() const { return session_; }

  // Start, Shutdown, Suspend, Restore and Reboot call the server and then show their
  // transitional status; Pause only shows "PAUSING"; Unpause only checks the session.
  void Start() override;
  void Shutdown() override;
  void Suspend() override;
  void Restore() override;
  void Reboot() override;
  void Pause() override;
  void Unpause() override;

  const std::string& VmRef() const { return vmRef_; }
  // The VM's uuid (its name in the host's metrics export); set at connect.
  const std::string& Uuid() const { return uuid_; }
  void SetUuid(std::string uuid) { uuid_ = std::move(uuid); }
  // Whether the server no longer knows the VM (the refresh thread's own flag: set and
  // read only by the passes).
  bool Gone() const { return gone_; }
  void SetGone() { gone_ = true; }
  const std::string& MetricsRef() const { return metricsRef_; }
  const std::string& GuestMetricsRef() const { return guestMetricsRef_; }
  // Filled by the session at connect, before the VM is shared with another thread.
  std::vector<std::string>& VifMetrics() { return vifMetrics_; }
  std::vector<std::string>& VbdMetrics() { return vbdMetrics_; }
  const std::vector<std::string>& VifMetrics() const { return vifMetrics_; }
  const std::vector<std::string>& VbdMetrics() const { return vbdMetrics_; }

  // Guards the texts, the transitional status and the transition flag of this VM: the
  // session's refresh thread writes them while the caller's thread copies them.
  std::mutex& Lock() const { return lock_; }
  // The status of the last power operation on this object ("UNKNOWN" before any).
  // Call with Lock() held.
  const std::string& TransitionalStatusLocked() const { return transitional_; }
  // Whether the last refresh found the server allowing no operation on the VM.
  // Call with Lock() held.
  bool InTransitionLocked() const { return inTransition_; }
  // The session's passes begun when the last power operation on this object returned.
  // Call with Lock() held.
  uint64_t OperationPassLocked() const { return operationPass_; }
  void SetInTransitionLocked(bool v) { inTransition_ = v; }

 private:
  Xen4VMImpl(const Xen4VMImpl& other, std::unique_lock<std::mutex> held);
  template <typename Call>
  void PowerOperation(Call call, const char* transitional);
  void ShowTransitional(const char* transitional);

  Xen4VmSession* session_ = nullptr;  // not owned
  std::string vmRef_;
  std::string uuid_;
  bool gone_ = false;
  std::string metricsRef_;
  std::string guestMetricsRef_;
  std::vector<std::string> vifMetrics_;
  std::vector<std::string> vbdMetrics_;
  std::string transitional_ = "UNKNOWN";
  bool inTransition_ = false;
  uint64_t operationPass_ = 0;
  mutable std::mutex lock_;
};
