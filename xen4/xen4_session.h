// The back-end session of the xen4 protocol: XenAPI over HTTPS.
//
// Threads and lifetime: everything the refresh pass touches lives in a shared state
// object that the refresh thread keeps alive (the library session, the references, the
// session's own VMs and the host's live figures). Destroying the session
// therefore never waits longer than the refresh thread's stop time-out, even when a pass
// is blocked on a server that does not answer, and the blocked pass, when it returns,
// touches nothing that was freed.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "session_impl.h"
#include "xen4_options.h"
#include "xen4_vm.h"
#include "xenapi.h"

class Xen4SessionImpl : public XenSessionImpl, public RefreshTask {
 public:
  explicit Xen4SessionImpl(int32_t refreshDelaySeconds, const Xen4Options& options = Xen4Options());
  ~Xen4SessionImpl() override;

  void Connect(const std::string& address, const std::string& userName,
               const std::string& password, int32_t port) override;
  void Close() override;
  void RestartHost() override;
  void ShutdownHost() override;
  void FillVMList(IVmCollection* collection) override;
  void Update() override;
  // True after the first refresh pass that wrote the figures (also of a pass that found
  // VMs gone); false at once when a pass failed and ended the refresh, or after Close.
  bool WaitForFigures(std::chrono::milliseconds limit) override;

  // One refresh pass followed by the wait for the refresh delay (what the refresh thread
  // runs in its loop).
  bool RunOnce() override;

  // For the VM operations: the library session (null when not logged in), and the error
  // check after a call made with it, which throws std::runtime_error with the message.
  xenapi::SessionPtr LibrarySession() const;
  void CheckError(const xenapi::SessionPtr& used, xenapi::Status& status);

  // Refresh passes begun since the session was made (for the VM operations).
  uint64_t PassesBegun() const;

  // Observers.
  bool IsConnected() const;
  bool IsRefreshRunning() const;
  bool IsRefreshFinished() const;
  int32_t OwnVmCount() const;
  // The session's own VM number index (not a copy); valid while the session lives.
  const Xen4VMImpl& OwnVm(int32_t index) const;
  // Host memory in bytes as the server reported it at connect.
  int64_t MemoryBytes() const;

  // Defined here so that only the tests calling it contain it.
  void SetStopTimeoutForTesting(std::chrono::milliseconds timeout) { thread_.SetStopTimeoutForTesting(timeout); }

  struct State;  // shared with the refresh thread

 private:
  void ReadHostAndVms(const xenapi::SessionPtr& handle);
  void HostOperation(bool (*operation)(const xenapi::Session&, xenapi::Status&,
                                       const std::string&));

  std::shared_ptr<State> state_;
  RefreshThread thread_;
};
