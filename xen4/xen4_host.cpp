// The host operations: reboot and shut-down of the host the user named.
#include <string>

#include "xen4_session.h"
#include "xen4_state.h"
#include "xen4_transport.h"

// The host is disabled first (servers refuse to reboot or stop an enabled host); when
// the operation then fails, it is enabled again before the error is reported. The host
// is the one the user named, also when the session lives on the pool's master.
void Xen4SessionImpl::HostOperation(bool (*operation)(const xenapi::Session&, xenapi::Status&,
                                                      const std::string&)) {
  State& s = *state_;
  const std::string host = s.hostRef;
  s.Call([&](const xenapi::Session& h, xenapi::Status& st) { xenapi::HostDisable(h, st, host); });
  State::Outcome o =
      s.Try([&](const xenapi::Session& h, xenapi::Status& st) { operation(h, st, host); }, &Xen4TransportOperation);
  if (!o.st.ok && !o.Is(xenapi::kTransportFault) && o.used) {
    xenapi::Status ignored;
    xenapi::HostEnable(*o.used, ignored, host);
  }
  s.Check(o);
  Close();
}

void Xen4SessionImpl::RestartHost() { HostOperation(&xenapi::HostReboot); }

void Xen4SessionImpl::ShutdownHost() { HostOperation(&xenapi::HostShutdown); }
