// One check's run: the connection and its close, the wait for the first figures, and the
// failure texts of a deadline, a signal, an unreachable host or the connector's message.
#include "run.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <asio/error.hpp>

#include "session_settings.h"
#include "xen4_options.h"

namespace check {

namespace {

// A connected session, closed and released in the order the model asks for: the VMs
// detached first, then Close (the log-out), then the session.
class Connection {
 public:
  Connection(std::unique_ptr<XenSessionImpl> session, Supervisor& supervisor)
      : session_(std::move(session)), supervisor_(supervisor) {}
  ~Connection() {
    supervisor_.Enter(kLoggingOut);
    for (int32_t i = 0; i < list_.GetCount(); ++i) list_.Detach(i);
    try {
      session_->Close();
    } catch (const std::exception&) {
      // The outcome is already reported; a failed log-out changes nothing.
    }
  }
  XenSessionImpl& Session() { return *session_; }
  OwnedVmList& List() { return list_; }

 private:
  std::unique_ptr<XenSessionImpl> session_;
  Supervisor& supervisor_;
  OwnedVmList list_;
};

// Waits until the session holds live figures, not only what Connect read (for xen3 the
// first summary the agent pushes, for XenAPI the first refresh pass), and copies them.
// Waits in short steps, so that a signal ends the wait at once; a connection lost
// meanwhile fails in Update with its message; the wait ends at the supervisor's WorkEnd.
void WaitForFigures(XenSessionImpl& session, const Supervisor& supervisor) {
  const auto kStep = std::chrono::milliseconds(100);
  for (;;) {
    if (supervisor.Signalled()) throw Interrupted();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(supervisor.WorkEnd() - Clock::now());
    if (left.count() <= 0) throw TimedOut();
    const auto step = std::min(left, kStep);
    const auto begun = Clock::now();
    const bool in = session.WaitForFigures(step);
    session.Update();
    if (in) return;
    // An answer before the step has passed: the session knows its connection is gone.
    if (Clock::now() - begun < step / 2 && !supervisor.Signalled())
      throw std::runtime_error("the connection ended before the first figures");
  }
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The cause when the failure is that the host could not be reached at all: for xen3 the
// socket error, for XenAPI libcurl's text ("Failed to connect to H port P: CAUSE",
// "Could not resolve host: H", "Connection timed out", ...).
std::optional<std::string> ConnectFailureCause(const std::exception& e) {
  if (const auto* system = dynamic_cast<const std::system_error*>(&e)) {
    const std::error_code code = system->code();
    for (const std::error_code c :
         {make_error_code(asio::error::connection_refused), make_error_code(asio::error::host_unreachable),
          make_error_code(asio::error::network_unreachable), make_error_code(asio::error::timed_out),
          make_error_code(asio::error::host_not_found), make_error_code(asio::error::host_not_found_try_again),
          make_error_code(asio::error::no_data)})
      if (code == c) return code.message();
    return std::nullopt;
  }
  const std::string text = OneLine(e.what());
  if (StartsWith(text, "Failed to connect to ")) {
    const std::size_t colon = text.rfind(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
  }
  if (StartsWith(text, "Could not resolve host") || StartsWith(text, "Couldn't resolve host") ||
      StartsWith(text, "Connection timed out") || StartsWith(text, "Connection timeout") ||
      text == "Couldn't connect to server")
    return text;
  return std::nullopt;
}

// The UNKNOWN text of a failure: a signal or the deadline first, whatever the failing call
// said; then an unreachable host with its name and port; else the connector's message.
std::string FailureText(const std::exception& e, const Supervisor& supervisor, const Options& o,
                        const Credentials& cr) {
  if (supervisor.Signalled()) return supervisor.SignalText();
  if (dynamic_cast<const TimedOut*>(&e)) return supervisor.TimeoutText();
  // The session's requests end at the same time as the check's waits (give or take a
  // timer's tick); the message then says which request noticed.
  if (Clock::now() + std::chrono::milliseconds(100) >= supervisor.WorkEnd())
    return supervisor.TimeoutText() + " (" + OneLine(e.what()) + ")";
  if (const std::optional<std::string> cause = ConnectFailureCause(e)) {
    const int port = cr.mode == kModeAutodetect ? SessionSettings::kXen4Port  // the XenAPI attempt's
                     : o.port > 0               ? o.port
                     : cr.mode == kModeXen3Protocol ? SessionSettings::kXen3Port
                                                    : SessionSettings::kXen4Port;
    return "Cannot connect to " + o.host + " port " + std::to_string(port) + ": " + *cause;
  }
  return OneLine(e.what());
}

}  // namespace

std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text.empty() ? "unknown failure" : text;
}

void RunCheck(Reporter& reporter, Supervisor& supervisor, const Options& o, const Credentials& cr,
              const Thresholds& warning, const Thresholds& critical) {
  SessionSettings settings;
  settings.SetConnectionMode(cr.mode);
  if (o.port > 0 && cr.mode != kModeAutodetect) settings.SetPort(o.port);
  Xen4Options xen4;
  xen4.originator = "check_xenvm";
  xen4.caFile = o.caFile;
  xen4.pinnedPublicKey = o.pin;
  xen4.deadline = supervisor.Deadline();
  xen4.cancel = supervisor.Cancel();
  // One check: the named VM alone, and one connection for its requests.
  xen4.onlyVm = o.vm;
  xen4.keepConnection = true;
  xen4.hostFacts = o.verbose || o.vm.empty();  // the host's words and figures
  xen4.listFigures = false;  // a list checked for its count and states, once
  settings.SetXen4Options(xen4);

  supervisor.Enter(kConnecting);
  std::unique_ptr<XenSessionImpl> session;
  try {
    session.reset(settings.CreateSessionImpl(o.host, cr.user, cr.password));
  } catch (const std::exception& e) {
    // A session that failed to open left nothing on the server.
    reporter.Report(kUnknown, Line(kUnknown, FailureText(e, supervisor, o, cr)));
    return;
  }
  Connection connection(std::move(session), supervisor);
  try {
    XenSessionImpl& session = connection.Session();
    supervisor.Enter(kListing);
    session.FillVMList(&connection.List());
    supervisor.Enter(kWaiting);
    WaitForFigures(session, supervisor);
    const std::pair<ExitCode, std::string> outcome = Assess(session, connection.List(), o, warning, critical);
    reporter.Report(outcome.first, outcome.second);
  } catch (const std::exception& e) {
    reporter.Report(kUnknown, Line(kUnknown, FailureText(e, supervisor, o, cr)));
  }
}

}  // namespace check
