// The session's conversation with the agent: sign-on with version negotiation,
// back-channel sign-on, configuration fetch, host commands, sign-off, and the request
// exchange they and the VM operations share.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "xs_model.h"

class Xen3SessionImpl;

class Xen3Conversation {
 public:
  explicit Xen3Conversation(Xen3SessionImpl* session);
  Xen3Conversation(const Xen3Conversation&) = delete;
  Xen3Conversation& operator=(const Xen3Conversation&) = delete;

  // Main-channel exchange: sets "sync" to 1, opens a new connection, sends the request
  // and reads one reply (10 seconds at most). Null when the reply is not a "msg". The
  // request stays the caller's.
  std::unique_ptr<XsMessage> request(XsMessage& request);
  // The exchange, reduced to the reply's status (null without reply or "status").
  std::unique_ptr<ReplyStatus> requestStatus(XsMessage& request);

  // "sign_on_main" with 2.4, once more with 2.3 when the agent offers exactly that.
  std::unique_ptr<ReplyStatus> signOnMain();
  // "sign_on_back" on the session's back channel (opened when the session has none).
  std::unique_ptr<ReplyStatus> signOnBack(int32_t dataInterval);
  // "mh_getcfg": the configuration of a successful reply carrying "attr", else null.
  std::unique_ptr<HostConfiguration> getConfiguration();
  // "mh_shutdown" with the type ("reboot" or "halt"); the agent's refusal is ignored.
  void shutdownHost(std::string_view type);
  // "sign_off_main" when the session signed on with 2.3 or was refused; empties the
  // session identifier.
  void signOffMain();

  void setCredentials(const std::string& userName, const std::string& password);
  const std::string& sessionId() const { return sessionId_; }
  int32_t minorVersion() const { return minorVersion_; }

 private:
  Xen3SessionImpl* session_;  // owner, not owned
  std::string sessionId_;
  std::string userName_;
  std::string password_;
  int32_t minorVersion_ = -1;
};
