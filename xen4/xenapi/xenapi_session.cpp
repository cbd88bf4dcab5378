// XenAPI's session class: logging in (with the originator where the server takes it),
// logging out, the same session over another transport, and the host it lives on.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "xenapi.h"
#include "xenapi_call.h"

namespace xenapi {

using namespace detail;

struct SessionAccess {
  static std::string& Reference(Session& s) { return s.reference_; }
};

namespace {
SessionPtr Login(TransportFunc transport, void* transportHandle, std::vector<Value> params, Status& status) {
  if (!transport) return nullptr;
  auto session = std::make_shared<Session>(transport, transportHandle);
  Value v;
  if (Call(transport, transportHandle, status, "session.login_with_password", params, &v))
    ToString(v, status, "session.login_with_password", &SessionAccess::Reference(*session));
  if (!status.ok) SessionAccess::Reference(*session).clear();
  return session;
}
}  // namespace

SessionPtr LoginWithPassword(TransportFunc transport, void* transportHandle,
                             const std::string& userName, const std::string& password,
                             Status& status) {
  return Login(transport, transportHandle, {Value::String(userName), Value::String(password)}, status);
}

SessionPtr LoginWithPassword(TransportFunc transport, void* transportHandle,
                             const std::string& userName, const std::string& password,
                             const std::string& version, const std::string& originator,
                             Status& status) {
  std::vector<Value> params = {Value::String(userName), Value::String(password), Value::String(version)};
  if (!originator.empty()) params.push_back(Value::String(originator));
  return Login(transport, transportHandle, std::move(params), status);
}

bool Logout(const Session& session, Status& status) {
  return NoResult(session, status, "session.logout", {});
}

SessionPtr WithTransport(const Session& session, TransportFunc transport, void* transportHandle) {
  if (!transport) return nullptr;
  auto copy = std::make_shared<Session>(transport, transportHandle);
  SessionAccess::Reference(*copy) = session.Reference();
  return copy;
}

bool SessionGetThisHost(const Session& session, Status& status, std::string* host) {
  // XenAPI passes the session reference twice: as the call's session and as the subject.
  return GetString(session, status, "session.get_this_host", session.Reference(), host);
}

}  // namespace xenapi
