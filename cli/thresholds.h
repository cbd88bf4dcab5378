// Threshold ranges as monitoring plug-ins write them ("80", "10:", "~:20", "@10:20") and
// the per-figure lists the command takes ("cpu=80,memory=10:,network=~:20,disk=@10:20").
#pragma once
#include <map>
#include <string>

namespace check {

struct Range {
  std::string text;      // as given, repeated in the performance data
  double start = 0.0;
  double end = 0.0;
  bool startInfinite = false;  // "~"
  bool endInfinite = false;    // "10:"
  bool inside = false;         // "@": alert inside the range instead of outside

  // True when the value calls for an alert.
  bool Alerts(double value) const;
};

// Parses one range; throws std::invalid_argument with a message naming the text.
Range ParseRange(const std::string& text);

// The figures a threshold list may name.
inline constexpr const char* kFigures[] = {"cpu", "memory", "network", "disk"};

// "figure=RANGE,figure=RANGE"; figure names from kFigures, each at most once. Throws
// std::invalid_argument with a message on anything else.
std::map<std::string, Range> ParseThresholds(const std::string& text);

}  // namespace check
