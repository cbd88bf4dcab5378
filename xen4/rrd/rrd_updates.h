// Reader of the host's metrics export (GET /rrd_updates, the "xport" XML document).
//
// The document names its columns in a legend ("CF:kind:uuid:name", kind "host" or
// "vm") and carries rows of values; the reader keeps the newest row (largest t) of the
// AVERAGE columns and files each value under its object and data-source name. Columns
// are found by their legend entry, never by their position. "NaN", "Infinity" and
// "-Infinity" are kept as such (and text that is no number as NaN): the figures below
// treat a value that is not finite as "no figure".
//
// Anything that is not an xport document (a JSON answer, HTML, truncated or hostile
// XML, a legend that does not match the rows) is refused with a reason; nothing of it
// is kept.
#pragma once
#include <cstddef>
#include <map>
#include <string>

namespace rrd {

// Values of one object (the host or a VM) by data-source name, e.g. "cpu0" -> 0.25.
using Values = std::map<std::string, double>;

struct Updates {
  std::map<std::string, Values> hosts;  // by host uuid
  std::map<std::string, Values> vms;    // by VM uuid
};

// Answers larger than this are refused.
inline constexpr size_t kMaxDocumentBytes = 64u << 20;

bool ParseUpdates(const char* data, size_t length, Updates* updates, std::string* error);

// The value of name in values, or nullptr.
const double* Find(const Values& values, const std::string& name);

// Figures derived from an object's values; each returns false when the figure is not
// given (a column missing or without a finite value), true with the figure otherwise.
//  - CPU: 100 x mean of the "cpuN" columns (N a number; "cpu_avg" and "cpu_usage" are
//    not CPUs); false when there is none.
//  - I/O: mean over the devices of (prefix DEV suffixA + prefix DEV suffixB) / 1024, a
//    device being a name between prefix and suffix without an underscore (so
//    "vbd_xvda_io_throughput_read" is not the device "xvda_io_throughput"); "aggr" is
//    no device. No device at all gives 0 (true).
bool CpuPercent(const Values& values, double* percent);
// The number of per-CPU columns (cpu0, cpu1, ...): a VM's virtual CPUs.
size_t CpuCount(const Values& values);
bool IoKiBPerSecond(const Values& values, const std::string& prefix, const std::string& suffixA,
                    const std::string& suffixB, double* kib);

}  // namespace rrd
