// Where a live figure comes from. A back end records the source beside each figure it
// writes; a figure whose source is None was never measured, and its value (the initial
// 0) must not be shown as a measurement.
#pragma once
#include <atomic>
#include <cstdint>

enum class Figure : uint8_t { Cpu, Memory, Network, Disk };
inline constexpr int kFigureCount = 4;

enum class FigureSource : uint8_t {
  None,           // no source: not measured
  Agent,          // the xen3 agent's pushed measurements
  MetricsExport,  // the host's XenAPI metrics export (/rrd_updates)
  MetricCalls,    // the XenAPI per-object metrics calls
};

// "none", "agent", "metrics export", "metric calls".
const char* FigureSourceName(FigureSource source);

// The sources of one object's figures; readable from any thread.
class FigureSources {
 public:
  FigureSources() = default;
  FigureSources(const FigureSources& other) {
    for (int i = 0; i < kFigureCount; ++i) sources_[i].store(other.sources_[i].load());
  }
  FigureSources& operator=(const FigureSources&) = delete;

  // A reader that takes the source first sees the value written before it was set.
  FigureSource Get(Figure f) const { return sources_[static_cast<int>(f)].load(std::memory_order_acquire); }
  void Set(Figure f, FigureSource s) { sources_[static_cast<int>(f)].store(s, std::memory_order_release); }

 private:
  std::atomic<FigureSource> sources_[kFigureCount] = {};
};
