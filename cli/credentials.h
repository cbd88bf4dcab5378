// Who logs in with what: the user, the password (a file, XEN_PASSWORD or the parameter
// string) and the protocol, resolved from the options; the parameter string's password
// wiped from the argument list.
#pragma once
#include <string>

#include "options.h"
#include "session_settings.h"

namespace check {

struct Credentials {
  std::string user, password;
  int mode = kModeXen4Protocol;
};

// Fills the options the parameter string gives and the command line does not, checks
// them, and returns the credentials; throws UsageError.
Credentials Resolve(Options& o);

// The password part of a parameter string is wiped from the process's argument list, so
// that it does not show in the process table longer than the start-up.
void WipePassword(char* parameter);

}  // namespace check
