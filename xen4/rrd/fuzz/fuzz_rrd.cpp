// Fuzz target: any bytes through the metrics export reader and the figures derived
// from what it read. Beyond "no crash, no leak, no sanitizer report" it checks that a
// refused document leaves nothing behind and that a derived figure is finite.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rrd_updates.h"

namespace {
void check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rrd::Updates u;
  std::string error;
  const bool ok = rrd::ParseUpdates(reinterpret_cast<const char*>(data), size, &u, &error);
  if (!ok) {
    check(u.hosts.empty() && u.vms.empty() && !error.empty());
    return 0;
  }
  for (const auto* objects : {&u.hosts, &u.vms}) {
    for (const auto& kv : *objects) {
      double figure = 0;
      if (rrd::CpuPercent(kv.second, &figure)) check(std::isfinite(figure));
      if (rrd::IoKiBPerSecond(kv.second, "vbd_", "_read", "_write", &figure)) check(std::isfinite(figure));
    }
  }
  return 0;
}
