#include "xen3_vm.h"

#include <stdexcept>

#include "xen3_session.h"

Xen3VMImpl::Xen3VMImpl(const std::string& vmId) : vmId_(vmId) {}

void Xen3VMImpl::SetSession(XenSessionImpl* session) {
  session_ = dynamic_cast<Xen3SessionImpl*>(session);
}

void Xen3VMImpl::Send(Builder build) {
  if (session_ == nullptr) throw std::runtime_error(kNoSession);
  Xen3Conversation& conversation = session_->conversation();
  std::unique_ptr<XsMessage> request = build(conversation.sessionId(), vmId_);
  std::unique_ptr<ReplyStatus> status = conversation.requestStatus(*request);
  if (!status || status->success) return;
  throw std::runtime_error(status->reason ? *status->reason : std::string("Unknown error reason"));
}

void Xen3VMImpl::Start() { Send(&buildVmStartup); }
void Xen3VMImpl::Shutdown() { Send(&buildVmShutdown); }
void Xen3VMImpl::Suspend() { Send(&buildVmSave); }
void Xen3VMImpl::Restore() { Send(&buildVmRestore); }
void Xen3VMImpl::Reboot() { Send(&buildVmReboot); }
void Xen3VMImpl::Pause() { Send(&buildVmPause); }
void Xen3VMImpl::Unpause() { Send(&buildVmUnpause); }
