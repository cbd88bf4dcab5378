// The back-end VM of the xen3 protocol: its power operations are requests to the agent
// on the owning session's main channel.
#pragma once
#include <memory>
#include <string>

#include "vm_impl.h"
#include "xs_requests.h"

class Xen3SessionImpl;

class Xen3VMImpl : public XenVMImpl {
 public:
  explicit Xen3VMImpl(const std::string& vmId);

  // The owning session (not owned); null, or a session of another back end, detaches.
  void SetSession(XenSessionImpl* session) override;

  // Each sends its request and returns normally on success or when the reply carries no
  // status; it throws the agent's reason (or "Unknown error reason") on refusal, and
  // "no session" without an owning session. The VM's attributes are not changed.
  void Start() override;
  void Shutdown() override;
  void Suspend() override;
  void Restore() override;
  void Reboot() override;
  void Pause() override;
  void Unpause() override;

  const std::string& VmId() const { return vmId_; }
  Xen3SessionImpl* Session() const { return session_; }

 private:
  using Builder = std::unique_ptr<XsMessage> (*)(BorrowedText, BorrowedText);
  void Send(Builder build);

  Xen3SessionImpl* session_ = nullptr;
  std::string vmId_;
};
