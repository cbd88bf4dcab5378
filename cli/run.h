// One check's run: the session opened with the check's settings, the wait for its first
// figures within the deadline, the report, and the close (the log-out) after it.
#pragma once
#include <exception>
#include <string>

#include "credentials.h"
#include "evaluation.h"
#include "options.h"
#include "report.h"
#include "supervisor.h"

namespace check {

// Reports the outcome as soon as it is known; the connection closes (logs out) afterwards.
void RunCheck(Reporter& reporter, Supervisor& supervisor, const Options& o, const Credentials& cr,
              const Thresholds& warning, const Thresholds& critical);

// A message of the connector on one line: line breaks (XenAPI errors carry their
// parameters on lines of their own) become spaces.
std::string OneLine(std::string text);

}  // namespace check
