#include "session_settings.h"

#include <memory>
#include <stdexcept>

#include "xen3_session.h"
#include "xen4_session.h"

SessionSettings::SessionSettings() : mode_(kModeXen3Protocol), port_(kXen3Port), refreshingDelay_(5) {}

void SessionSettings::SetConnectionMode(int32_t mode) {
  mode_ = mode;
  switch (mode) {
    case kModeAutodetect: port_ = -1; break;
    case kModeXen3Protocol: port_ = kXen3Port; break;
    case kModeXen4Protocol: port_ = kXen4Port; break;
    default: break;
  }
}

namespace {
template <class Session, class... Extra>
std::unique_ptr<XenSessionImpl> Open(int32_t delay, const std::string& address, const std::string& user,
                                     const std::string& password, int32_t port, const Extra&... extra) {
  std::unique_ptr<XenSessionImpl> session = std::make_unique<Session>(delay, extra...);
  session->Connect(address, user, password, port);
  return session;
}
}  // namespace

XenSessionImpl* SessionSettings::CreateSessionImpl(const std::string& address, const std::string& userName,
                                                   const std::string& password) const {
  switch (mode_) {
    case kModeXen3Protocol:
      return Open<Xen3SessionImpl>(refreshingDelay_, address, userName, password, port_).release();
    case kModeXen4Protocol:
      return Open<Xen4SessionImpl>(refreshingDelay_, address, userName, password, port_, xen4Options_)
          .release();
    case kModeAutodetect:
      try {
        return Open<Xen3SessionImpl>(refreshingDelay_, address, userName, password, kXen3Port).release();
      } catch (const std::exception&) {
        // The xen3 attempt's message is dropped: the client sees the xen4 attempt's.
      }
      try {
        return Open<Xen4SessionImpl>(refreshingDelay_, address, userName, password, kXen4Port, xen4Options_)
            .release();
      } catch (const std::exception& e) {
        throw std::runtime_error(e.what());
      }
    default:
      throw std::invalid_argument("unknown connection mode");
  }
}
