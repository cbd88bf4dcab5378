// The credentials of a check: the parameter string read as the Windows check wrote it, the
// password file, XEN_PASSWORD, and the wiping of the parameter string's password.
#include "credentials.h"

#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "base/text.h"
#include "params.h"
#include "supervisor.h"

namespace check {

namespace {

std::string ReadPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read the password file " + path);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

void WipePassword(char* parameter) {
  char* p = parameter;
  while ((p = std::strchr(p, '#')) != nullptr) {
    ++p;
    if (strncasecmp(p, "PWD=", 4) == 0) {
      for (char* q = p + 4; *q && *q != '#'; ++q) *q = '*';
    }
  }
}

Credentials Resolve(Options& o) {
  Credentials cr;
  bool havePassword = false;
  bool windowsPassword = false;  // the parameter string's: Windows-1252 bytes
  if (!o.parameter.empty()) {
    const std::wstring text = base::ToWide(o.parameter);
    const auto value = [&](const wchar_t* key) { return base::ToNarrow(brenmo::LookupValue(text, key)); };
    if (!o.haveUser) o.user = value(L"USR");
    if (!o.haveVm) o.vm = value(L"VMN");
    const std::string state = value(L"VMS");
    if (!o.haveState && !state.empty()) o.state = state;
    if (!o.haveProtocol) o.protocol = brenmo::SelectsXen3(brenmo::LookupValue(text, L"XVR")) ? "3" : "4";
    const std::optional<std::string> decoded = brenmo::Base64Decode(brenmo::LookupValue(text, L"PWD"));
    if (!decoded) throw UsageError("the password in the parameter string is not Base64");
    cr.password = *decoded;
    havePassword = windowsPassword = true;
  }
  if (!o.passwordFile.empty()) {
    cr.password = ReadPasswordFile(o.passwordFile);
    havePassword = true;
    windowsPassword = false;
  } else if (const char* env = std::getenv("XEN_PASSWORD")) {
    if (!havePassword) cr.password = env;
    havePassword = true;
  }
  if (o.host.empty()) throw UsageError("no host given (-H)");
  if (o.user.empty()) throw UsageError("no user given (-u)");
  if (!havePassword) throw UsageError("no password: use --password-file FILE or XEN_PASSWORD");
  if (o.protocol == "3") {
    cr.mode = kModeXen3Protocol;
  } else if (o.protocol == "4") {
    cr.mode = kModeXen4Protocol;
  } else if (o.protocol == "auto") {
    cr.mode = kModeAutodetect;
  } else {
    throw UsageError("invalid protocol '" + o.protocol + "' (3, 4 or auto)");
  }
  CheckState(o.state);
  if (LogoutReserve(cr.mode, o.timeout) >= std::chrono::seconds(o.timeout))
    throw UsageError("-t " + std::to_string(o.timeout) + " leaves no time: XenAPI keeps the last " +
                     std::to_string(kDeadlineReserveMs) + " ms for the log-out");
  if (!o.caFile.empty() || !o.pin.empty()) {
    if (cr.mode != kModeXen4Protocol) throw UsageError("--ca-file and --pin apply to XenAPI (-P 4)");
    if (!o.caFile.empty() && !std::ifstream(o.caFile)) throw UsageError("cannot read the CA file " + o.caFile);
    if (!o.pin.empty()) CheckPin(o.pin);
  }
  // The Windows check's password goes to XenAPI as the Windows connector sends it, in
  // UTF-8, and to the xen3 agent as the same bytes the Windows connector sends.
  if (windowsPassword && cr.mode != kModeXen3Protocol) cr.password = brenmo::Windows1252ToUtf8(cr.password);
  cr.user = o.user;
  return cr;
}

}  // namespace check
