#include "xen3_conversation.h"

#include "platform.h"
#include "receiver.h"
#include "xen3_session.h"
#include "xs_requests.h"

Xen3Conversation::Xen3Conversation(Xen3SessionImpl* session) : session_(session) {}

void Xen3Conversation::setCredentials(const std::string& userName, const std::string& password) {
  userName_ = userName;
  password_ = password;
}

std::unique_ptr<XsMessage> Xen3Conversation::request(XsMessage& request) {
  request.sync = 1;
  std::unique_ptr<Xen3Stream> connection = session_->openConnection();
  sendMessage(*connection, request);
  Receiver receiver(*connection);
  return receiver.receiveFrame();
  // The receiver and then the connection go here; the socket closes without close-notify.
}

std::unique_ptr<ReplyStatus> Xen3Conversation::requestStatus(XsMessage& request) {
  std::unique_ptr<XsMessage> reply = this->request(request);
  return takeReplyStatus(reply.get());
}

std::unique_ptr<ReplyStatus> Xen3Conversation::signOnMain() {
  sessionId_ = platform::NewUuid();
  std::unique_ptr<XsMessage> signOn = buildSignOnMain(sessionId_, userName_, password_, 4);
  std::unique_ptr<XsMessage> reply = request(*signOn);
  std::unique_ptr<ReplyStatus> status = takeReplyStatus(reply.get());
  if (!status) return nullptr;
  if (status->success) {
    takeHostConfiguration(reply.get());  // not used: Update fetches its own
    minorVersion_ = 4;
    return status;
  }
  // The agent names the version it accepts in the refusal's payload; only 2.3 is tried.
  const XsPayload* offer = reply->payload.get();
  if (offer == nullptr || offer->majorVersion != 2 || offer->minorVersion != 3) return status;

  std::unique_ptr<XsMessage> retry = buildSignOnMain(sessionId_, userName_, password_, 3);
  std::unique_ptr<XsMessage> retryReply = request(*retry);
  std::unique_ptr<ReplyStatus> retryStatus = takeReplyStatus(retryReply.get());
  if (!retryStatus || !retryStatus->success) return retryStatus;
  std::unique_ptr<HostConfiguration> configuration = takeHostConfiguration(retryReply.get());
  if (!configuration) configuration = getConfiguration();
  minorVersion_ = 3;
  return retryStatus;
}

std::unique_ptr<ReplyStatus> Xen3Conversation::signOnBack(int32_t dataInterval) {
  Xen3Stream& backChannel = session_->openBackChannel();
  std::unique_ptr<XsMessage> signOn = buildSignOnBack(sessionId_, userName_, password_, dataInterval);
  signOn->sync = 1;
  sendMessage(backChannel, *signOn);
  // The session's own back-channel receiver reads the reply, so that a push arriving
  // right behind it stays buffered for the listener.
  std::unique_ptr<XsMessage> reply = session_->backChannelReceiver().receiveFrame();
  return takeReplyStatus(reply.get());
}

std::unique_ptr<HostConfiguration> Xen3Conversation::getConfiguration() {
  std::unique_ptr<XsMessage> fetch = buildGetConfiguration(sessionId_);
  std::unique_ptr<XsMessage> reply = request(*fetch);
  return takeHostConfiguration(reply.get());
}

void Xen3Conversation::shutdownHost(std::string_view type) {
  std::unique_ptr<XsMessage> shutdown = buildHostShutdown(sessionId_, type);
  requestStatus(*shutdown);  // a refusal is not reported
}

void Xen3Conversation::signOffMain() {
  if (sessionId_.empty()) return;
  // The identifier is emptied also when the request fails, so that a later Close does
  // not try again.
  struct Clear {
    std::string& id;
    ~Clear() { id.clear(); }
  } clear{sessionId_};
  if (minorVersion_ < 4) {
    std::unique_ptr<XsMessage> signOff = buildSignOffMain(sessionId_);
    requestStatus(*signOff);
  }
}
