// check_xenvm's command line: the options as given, their usage text, and the checks of
// single values (a state, a key pin).
#pragma once
#include <stdexcept>
#include <string>

#ifndef CHECK_XENVM_CONFDIR
#define CHECK_XENVM_CONFDIR "/etc/check_xenvm"
#endif

namespace check {

// A usage error: UNKNOWN with the message and the short usage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string host;
  int port = -1;
  std::string protocol = "4";
  std::string user;
  std::string passwordFile;
  std::string vm;
  std::string state = "UP";
  std::string warning, critical;
  int timeout = 30;
  std::string parameter;
  std::string certs = CHECK_XENVM_CONFDIR;
  std::string caFile;
  std::string pin;
  bool verbose = false;
  bool version = false;
  bool help = false;
  // Given on the command line (they win over the parameter string).
  bool haveUser = false, haveVm = false, haveState = false, haveProtocol = false;
};

extern const char kUsage[];
extern const char kHelp[];

// Reads the command line; throws UsageError. The password part of --parameter is wiped
// from argv on the way.
Options ParseOptions(int argc, char** argv);

// Throw UsageError for a state -s does not take, or a pin that is not sha256//BASE64.
void CheckState(const std::string& state);
void CheckPin(const std::string& pin);

}  // namespace check
