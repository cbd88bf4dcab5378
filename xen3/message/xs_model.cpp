#include "xs_model.h"

#include <ostream>
#include <utility>

void XsBase::writeTo(std::ostream&) const {}

XsMessage::XsMessage(std::string_view command, const std::string* sessionId,
                     std::unique_ptr<XsPayload> payload)
    : sessionId(sessionId), command(command), payload(std::move(payload)) {}

namespace {
char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  }
  return true;
}

bool isSuccessStatus(std::string_view status) { return equalsIgnoringAsciiCase(status, "SUCCESS"); }

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
