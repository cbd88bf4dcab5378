// check_xenvm: is a VM on a Xen host in the expected state? A monitoring plug-in for
// Linux hosts (Nagios, Icinga, Naemon and the like) on the connector's back ends, with the
// sentences of the Windows check, performance data and the usual exit codes.
//
// main reads the command line and runs the check. Files: options.cpp (the command line and
// its usage), credentials.cpp (the password's sources, the parameter string, its wiping),
// supervisor.cpp (the deadline and the signals), run.cpp (the connection, the wait for the
// figures, the failure texts), evaluation.cpp (thresholds, sentences, performance data).
#include <iostream>
#include <map>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "credentials.h"
#include "evaluation.h"
#include "options.h"
#include "platform.h"
#include "report.h"
#include "run.h"
#include "supervisor.h"
#include "thresholds.h"

#ifndef CHECK_XENVM_VERSION
#define CHECK_XENVM_VERSION "0"
#endif

using namespace check;

namespace {

// Swallows what is written to it: the xen3 frame receiver's trace lines.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts: SIGTERM and SIGINT are read by the supervisor only.
  Supervisor::BlockSignals();
  // The xen3 receiver writes trace lines to std::cout; the report goes through stdio.
  // The buffer is never destroyed: std::cout is flushed at exit, after every static.
  std::cout.rdbuf(new NullBuffer);

  Reporter reporter;
  Options options;
  Thresholds warning, critical;
  Credentials credentials;
  try {
    options = ParseOptions(argc, argv);
    if (options.help) {
      std::fputs(kUsage, stdout);
      std::fputs("\n", stdout);
      std::fputs(kHelp, stdout);
      return kOk;
    }
    if (options.version) {
      std::fputs("check_xenvm " CHECK_XENVM_VERSION "\n", stdout);
      return kOk;
    }
    credentials = Resolve(options);
    if (!options.warning.empty()) warning = check::ParseThresholds(options.warning);
    if (!options.critical.empty()) critical = check::ParseThresholds(options.critical);
  } catch (const std::exception& e) {
    reporter.Report(kUnknown, Line(kUnknown, e.what()) + kUsage);
    return kUnknown;
  }

  // The connector looks for the xen3 client certificates beside its own code; here that
  // is the configured directory.
  platform::SetLibraryDirectory(options.certs);

  try {
    Supervisor supervisor(reporter, options.timeout, LogoutReserve(credentials.mode, options.timeout));
    RunCheck(reporter, supervisor, options, credentials, warning, critical);
  } catch (const std::exception& e) {
    reporter.Report(kUnknown, Line(kUnknown, OneLine(e.what())));
  }
  return reporter.Code();
}
