// The check's verdict on what the session read: the VM's state against the expected one,
// the figures against the thresholds, the sentence and the performance data.
#pragma once
#include <map>
#include <string>
#include <utility>

#include "options.h"
#include "report.h"
#include "session_impl.h"
#include "thresholds.h"

namespace check {

using Thresholds = std::map<std::string, Range>;

// The Windows check's procedure with figures added, on the session's VMs as copied to
// list: the exit code and the whole output (the line, and with -v the figures in words).
std::pair<ExitCode, std::string> Assess(XenSessionImpl& session, OwnedVmList& list, const Options& o,
                                        const Thresholds& warning, const Thresholds& critical);

}  // namespace check
