#include "thresholds.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace check {

namespace {

// A decimal number and nothing else, read without the process locale's decimal mark.
bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!(std::strchr("0123456789.+-eE", c))) return false;
  }
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

}  // namespace

bool Range::Alerts(double value) const {
  const bool within = (startInfinite || value >= start) && (endInfinite || value <= end);
  return inside ? within : !within;
}

Range ParseRange(const std::string& text) {
  Range r;
  r.text = text;
  std::string body = text;
  if (!body.empty() && body[0] == '@') {
    r.inside = true;
    body.erase(0, 1);
  }
  const auto bad = [&] { return std::invalid_argument("invalid range '" + text + "'"); };
  const auto colon = body.find(':');
  if (colon == std::string::npos) {
    // "N": 0 to N
    if (!ParseNumber(body, &r.end)) throw bad();
  } else {
    const std::string first = body.substr(0, colon);
    const std::string second = body.substr(colon + 1);
    if (first == "~") {
      r.startInfinite = true;
    } else if (!first.empty() && !ParseNumber(first, &r.start)) {
      throw bad();
    }
    if (second.empty()) {
      r.endInfinite = true;
    } else if (!ParseNumber(second, &r.end)) {
      throw bad();
    }
    if (first.empty() && second.empty()) throw bad();
  }
  if (!r.startInfinite && !r.endInfinite && r.start > r.end)
    throw std::invalid_argument("invalid range '" + text + "': start above end");
  return r;
}

std::map<std::string, Range> ParseThresholds(const std::string& text) {
  std::map<std::string, Range> result;
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = text.find(',', pos);
    const std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    const size_t eq = item.find('=');
    if (eq == std::string::npos)
      throw std::invalid_argument("invalid threshold '" + item + "': expected figure=RANGE");
    const std::string name = item.substr(0, eq);
    bool known = false;
    for (const char* figure : kFigures) known = known || name == figure;
    if (!known)
      throw std::invalid_argument("unknown figure '" + name + "' in thresholds (cpu, memory, network, disk)");
    if (result.count(name)) throw std::invalid_argument("figure '" + name + "' given twice in thresholds");
    result.emplace(name, ParseRange(item.substr(eq + 1)));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return result;
}

}  // namespace check
