#include "xs_model.h"

#include <ostream>
#include <utility>

void XsBase::writeTo(std::ostream&) const {}

XsMessage::XsMessage(std::string_view command, const std::string* sessionId,
                     std::unique_ptr<XsPayload> payload)
    : sessionId(sessionId), command(command), payload(std::move(payload)) {}

bool isSuccessStatus(std::string_view status) {
  static constexpr std::string_view kSuccess = "SUCCESS";
  if (status.size() != kSuccess.size()) return false;
  for (std::size_t i = 0; i < status.size(); ++i) {
    char c = status[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kSuccess[i]) return false;
  }
  return true;
}

std::unique_ptr<ReplyStatus> takeReplyStatus(XsMessage* reply) {
  if (reply == nullptr || !reply->status) return nullptr;
  auto result = std::make_unique<ReplyStatus>();
  result->success = isSuccessStatus(*reply->status);
  if (!result->success) {
    result->reasonCode = reply->reasonCode;
    result->reason = std::move(reply->reason);
    reply->reason.reset();
  }
  return result;
}

std::unique_ptr<HostConfiguration> takeHostConfiguration(XsMessage* reply) {
  if (reply == nullptr || !reply->status || !isSuccessStatus(*reply->status)) return nullptr;
  if (!reply->payload || !reply->payload->attr) return nullptr;
  XsAttribute& attr = *reply->payload->attr;
  auto result = std::make_unique<HostConfiguration>();
  result->host = std::move(attr.host);
  result->guests = std::move(attr.guests);
  attr.guests.clear();  // a moved-from vector is valid but unspecified: make it empty
  return result;
}
