#include "rrd_updates.h"

#include "untrusted_xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace rrd {

namespace {

bool NameIs(const xmlNode* node, const char* name) {
  return node && node->type == XML_ELEMENT_NODE &&
         xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

const xmlNode* Child(const xmlNode* node, const char* name) {
  for (const xmlNode* c = node->children; c; c = c->next)
    if (NameIs(c, name)) return c;
  return nullptr;
}

std::string Text(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string s = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// A number in the C locale's form, or the export's words for the non-finite values;
// anything else reads as NaN.
double Number(const std::string& text) {
  if (text == "Infinity" || text == "inf") return std::numeric_limits<double>::infinity();
  if (text == "-Infinity" || text == "-inf") return -std::numeric_limits<double>::infinity();
  double v = std::numeric_limits<double>::quiet_NaN();
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  const auto r = std::from_chars(first, last, v, std::chars_format::general);
  if (first == last || r.ec != std::errc() || r.ptr != last) return std::numeric_limits<double>::quiet_NaN();
  return v;
}

// Where a legend entry's value goes: null for a column the reader does not keep.
double* Slot(Updates* out, const std::string& entry) {
  const auto a = entry.find(':');
  const auto b = a == std::string::npos ? a : entry.find(':', a + 1);
  const auto c = b == std::string::npos ? b : entry.find(':', b + 1);
  if (c == std::string::npos || c + 1 >= entry.size()) return nullptr;
  if (entry.compare(0, a, "AVERAGE") != 0) return nullptr;
  const std::string kind = entry.substr(a + 1, b - a - 1);
  const std::string uuid = entry.substr(b + 1, c - b - 1);
  const std::string name = entry.substr(c + 1);
  if (uuid.empty()) return nullptr;
  std::map<std::string, Values>* objects = kind == "host" ? &out->hosts : kind == "vm" ? &out->vms : nullptr;
  if (!objects) return nullptr;
  return &(*objects)[uuid][name];
}

bool Digits(const std::string& s) {
  if (s.empty()) return false;
  for (char ch : s)
    if (ch < '0' || ch > '9') return false;
  return true;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool ParseUpdates(const char* data, size_t length, Updates* updates, std::string* error) {
  *updates = Updates();
  if (length == 0) {
    *error = "empty export";
    return false;
  }
  if (length > kMaxDocumentBytes || length > static_cast<size_t>(INT_MAX)) {
    *error = "export too large";
    return false;
  }
  size_t first = 0;
  while (first < length && (data[first] == ' ' || data[first] == '\t' || data[first] == '\r' ||
                            data[first] == '\n'))
    ++first;
  if (first < length && (data[first] == '{' || data[first] == '[')) {
    *error = "export is JSON, not XML";
    return false;
  }
  const xml::DocPtr doc = xml::ReadUntrusted(data, length, "export", error);
  if (!doc) return false;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  const xmlNode* meta = NameIs(root, "xport") ? Child(root, "meta") : nullptr;
  const xmlNode* legend = meta ? Child(meta, "legend") : nullptr;
  const xmlNode* rows = NameIs(root, "xport") ? Child(root, "data") : nullptr;
  if (!legend || !rows) {
    *error = "export without legend or data";
    return false;
  }
  std::vector<std::string> columns;
  for (const xmlNode* e = legend->children; e; e = e->next)
    if (NameIs(e, "entry")) columns.push_back(Text(e));

  // The newest row: the largest t among the rows that have one value per column.
  const xmlNode* newest = nullptr;
  double newestT = 0.0;
  for (const xmlNode* row = rows->children; row; row = row->next) {
    if (!NameIs(row, "row")) continue;
    const xmlNode* t = Child(row, "t");
    if (!t) continue;
    size_t values = 0;
    for (const xmlNode* v = row->children; v; v = v->next) values += NameIs(v, "v");
    const double when = Number(Text(t));
    if (values != columns.size() || !std::isfinite(when)) continue;
    if (!newest || when > newestT) {
      newest = row;
      newestT = when;
    }
  }
  if (!newest) {
    *error = "export without a complete row";
    return false;
  }
  Updates out;
  size_t i = 0;
  for (const xmlNode* v = newest->children; v; v = v->next) {
    if (!NameIs(v, "v")) continue;
    if (double* slot = Slot(&out, columns[i])) *slot = Number(Text(v));
    ++i;
  }
  *updates = std::move(out);
  return true;
}

const double* Find(const Values& values, const std::string& name) {
  const auto it = values.find(name);
  return it == values.end() ? nullptr : &it->second;
}

size_t CpuCount(const Values& values) {
  size_t n = 0;
  for (const auto& kv : values)
    if (kv.first.compare(0, 3, "cpu") == 0 && Digits(kv.first.substr(3))) ++n;
  return n;
}

bool CpuPercent(const Values& values, double* percent) {
  double sum = 0.0;
  size_t n = 0;
  for (const auto& kv : values) {
    if (kv.first.compare(0, 3, "cpu") != 0 || !Digits(kv.first.substr(3))) continue;
    if (!std::isfinite(kv.second)) return false;
    sum += kv.second;
    ++n;
  }
  if (n == 0) return false;
  *percent = 100.0 * sum / static_cast<double>(n);
  return true;
}

bool IoKiBPerSecond(const Values& values, const std::string& prefix, const std::string& suffixA,
                    const std::string& suffixB, double* kib) {
  double sum = 0.0;
  size_t n = 0;
  for (const auto& kv : values) {
    const std::string& name = kv.first;
    if (name.compare(0, prefix.size(), prefix) != 0 || !EndsWith(name, suffixA)) continue;
    if (name.size() <= prefix.size() + suffixA.size()) continue;
    const std::string device = name.substr(prefix.size(), name.size() - prefix.size() - suffixA.size());
    if (device.find('_') != std::string::npos || device == "aggr") continue;
    const double* b = Find(values, prefix + device + suffixB);
    if (!b || !std::isfinite(kv.second) || !std::isfinite(*b)) return false;
    sum += kv.second + *b;
    ++n;
  }
  *kib = n == 0 ? 0.0 : sum / static_cast<double>(n) / 1024.0;
  return true;
}

}  // namespace rrd
