// The back-end session of the xen4 protocol: XenAPI over HTTPS.
//
// Threads and lifetime: everything the refresh pass touches lives in a shared state
// object that the refresh thread keeps alive (the library session, the references, the
// session's own VMs and the host's live figures). Close and the destructor abort the
// pass's transfer in flight, wait for the refresh thread at most its stop time-out, and
// log out with a bounded request: every login is logged out, also when Close was not
// called, and the blocked pass, when it returns, touches nothing that was freed.
//
// A session opened at a pool member lives on the pool's master, but the member stays the
// host it reports and acts on (its facts, its figures, its reboot and shut-down); the VM
// list is the pool's. A session the server has forgotten (a restart of its toolstack, a
// new master) is logged in again with the credentials it was opened with, which it keeps
// until Close.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "session_impl.h"
#include "xen4_options.h"
#include "xen4_vm.h"
#include "xenapi.h"

class Xen4SessionImpl : public XenSessionImpl, public Xen4VmSession {
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

  // For the VM operations (Xen4VmSession).
  xenapi::SessionPtr LibrarySession() const override;
  void CheckError(const xenapi::SessionPtr& used, xenapi::Status& status) override;
  void Operate(Operation operation, const std::string& ref) override;
  uint64_t PassesBegun() const override;

  // Observers.
  bool IsConnected() const;
  bool IsRefreshRunning() const;
  bool IsRefreshFinished() const;
  int32_t OwnVmCount() const;
  // The session's own VM number index (not a copy); valid while the session lives.
  const Xen4VMImpl& OwnVm(int32_t index) const;
  // Host memory in bytes as the server reported it at connect.
  int64_t MemoryBytes() const;

  struct State;  // shared with the refresh thread

 private:
  friend class Xen4SessionTestPeer;  // the tests' access to the refresh thread's stop time-out

  void ReadHostAndVms(bool redirected, const std::string& namedIp);
  // probeVm: the VM whose columns the export probe asks for ("none": no VM's).
  void ReadHost(bool redirected, const std::string& namedIp, const std::string& probeVm);
  // Without host facts: the host's reference and its export (the probe); false where the
  // export answered otherwise than with one host's row or "not found".
  bool ReadHostForOneVm(const std::string& probeVm);
  // The guest VMs named Options().onlyVm, with their records.
  xenapi::RecordList<xenapi::VmRecord> FindNamedVms(bool* lookedUp);
  // The first refresh pass, run by Connect with what it read (one VM's session).
  void FirstPassAtConnect();
  void HostOperation(bool (*operation)(const xenapi::Session&, xenapi::Status&,
                                       const std::string&));

  std::shared_ptr<State> state_;
  RefreshThread thread_;
};
