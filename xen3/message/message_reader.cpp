// A MessageTree into an XsMessage, and the conversions of received values.
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "message_parser.h"

namespace {

using NodeId = MessageTree::NodeId;
constexpr NodeId kNone = MessageTree::kNone;

bool isCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads the fields of one node. The value of a key is the name of the first child of
// the first child node named by the key; a missing key or value leaves the field absent.
class FieldReader {
 public:
  FieldReader(const MessageTree& tree, NodeId node) : tree_(tree), node_(node) {}

  const std::string_view* value(std::string_view key) {
    const NodeId keyNode = tree_.findChild(node_, key);
    if (keyNode == kNone) return nullptr;
    const NodeId valueNode = tree_.firstChild(keyNode);
    if (valueNode == kNone) return nullptr;
    value_ = tree_.name(valueNode);
    return &value_;
  }

  void text(std::string_view key, std::optional<std::string>& field) {
    if (const auto* v = value(key)) field.emplace(*v);
  }
  void integer(std::string_view key, int32_t& field) {
    if (const auto* v = value(key)) field = parseXsInteger(*v);
  }
  void real(std::string_view key, double& field) {
    if (const auto* v = value(key)) field = parseXsReal(*v);
  }

 private:
  const MessageTree& tree_;
  NodeId node_;
  std::string_view value_;
};

// Calls each(node) for the run of children named "vm": from the first such child
// through the following siblings as long as they are named "vm".
template <class Each>
void forEachVm(const MessageTree& tree, NodeId parent, Each each) {
  for (NodeId node = tree.findChild(parent, "vm"); node != kNone && tree.name(node) == "vm";
       node = tree.nextSibling(node)) {
    each(node);
  }
}

void readHostMetrics(const MessageTree& tree, NodeId node, XsHostMetrics& m) {
  FieldReader r(tree, node);
  r.text("id", m.id);
  r.text("time", m.time);
  r.real("xm_cpu_usage", m.xmCpuUsage);
  r.integer("bd_io", m.bdIo);
  r.integer("meminfo_free", m.meminfoFree);
  r.integer("if_io", m.ifIo);
  r.integer("bd_total", m.bdTotal);
  r.integer("bd_free", m.bdFree);
}

void readGuestMetrics(const MessageTree& tree, NodeId node, XsGuestMetrics& m) {
  FieldReader r(tree, node);
  r.text("uuid", m.uuid);
  r.text("state", m.state);
  r.text("time", m.time);
  r.real("cpu_usage", m.cpuUsage);
  r.real("uptime_system", m.uptimeSystem);
  r.real("uptime_idle", m.uptimeIdle);
  r.integer("vbd_io", m.vbdIo);
  r.integer("meminfo_free", m.meminfoFree);
  r.integer("meminfo_total", m.meminfoTotal);
  r.integer("vif_io", m.vifIo);
  r.integer("num_vcpu", m.numVcpu);
}

void readHost(const MessageTree& tree, NodeId node, XsHost& h) {
  FieldReader r(tree, node);
  r.text("signature", h.signature);
  r.text("name", h.name);
  r.text("id", h.id);
  r.text("time", h.time);
  r.text("description", h.description);
  r.integer("memory", h.memory);
  r.integer("num_cpus", h.numCpus);
  r.integer("free_memory", h.freeMemory);
  r.text("architecture", h.architecture);
  r.text("xen_version", h.xenVersion);
}

void readGuest(const MessageTree& tree, NodeId node, XsGuest& g) {
  FieldReader r(tree, node);
  r.text("name", g.name);
  r.text("uuid", g.uuid);
  r.text("description", g.description);
}

std::unique_ptr<XsData> readData(const MessageTree& tree, NodeId node) {
  auto data = std::make_unique<XsData>();
  const NodeId mh = tree.findChild(node, "mh");
  if (mh != kNone) {
    data->hostMetrics = std::make_unique<XsHostMetrics>();
    readHostMetrics(tree, mh, *data->hostMetrics);
  }
  forEachVm(tree, node, [&](NodeId vm) {
    auto m = std::make_unique<XsGuestMetrics>();
    readGuestMetrics(tree, vm, *m);
    data->guestMetrics.push_back(std::move(m));
  });
  return data;
}

std::unique_ptr<XsAttribute> readAttribute(const MessageTree& tree, NodeId node) {
  auto attr = std::make_unique<XsAttribute>();
  const NodeId mh = tree.findChild(node, "mh");
  if (mh != kNone) {
    attr->host = std::make_unique<XsHost>();
    readHost(tree, mh, *attr->host);
  }
  forEachVm(tree, node, [&](NodeId vm) {
    auto g = std::make_unique<XsGuest>();
    readGuest(tree, vm, *g);
    attr->guests.push_back(std::move(g));
  });
  return attr;
}

std::unique_ptr<XsPayload> readPayload(const MessageTree& tree, NodeId node) {
  auto payload = std::make_unique<XsPayload>();
  FieldReader r(tree, node);
  r.integer("major_version", payload->majorVersion);
  r.integer("minor_version", payload->minorVersion);
  const NodeId data = tree.findChild(node, "data");
  if (data != kNone) payload->data = readData(tree, data);
  const NodeId attr = tree.findChild(node, "attr");
  if (attr != kNone) payload->attr = readAttribute(tree, attr);
  return payload;
}

// The decimal exponent class of a matched number: true when its magnitude is at least
// one, judged from the position of the first significant digit and the exponent. Used
// only to tell overflow from underflow, where the answer is never borderline.
bool magnitudeAtLeastOne(std::string_view digits, bool hex) {
  const char exponentMark = hex ? 'p' : 'e';
  long long position = 0;  // digits before (positive) or zeros after (negative) the point
  bool seenPoint = false;
  bool seenSignificant = false;
  std::size_t i = 0;
  for (; i < digits.size(); ++i) {
    const char c = digits[i];
    if (c == '.') {
      seenPoint = true;
    } else if ((c | 0x20) == exponentMark) {
      break;
    } else if (!seenSignificant && c == '0') {
      if (seenPoint) --position;
    } else {
      seenSignificant = true;
      if (!seenPoint) ++position;
    }
  }
  long long exponent = 0;
  if (i < digits.size()) {
    ++i;
    bool negative = false;
    if (i < digits.size() && (digits[i] == '+' || digits[i] == '-')) negative = digits[i++] == '-';
    for (; i < digits.size() && isDigit(digits[i]); ++i) {
      if (exponent < 1000000000LL) exponent = exponent * 10 + (digits[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  const long long scale = hex ? 4 * position : position;
  return scale + exponent > 0;
}

}  // namespace

int32_t parseXsInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    if (value <= kLimit) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

double parseXsReal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  if (first == last || *first == '+' || *first == '-') return negative ? -0.0 : 0.0;

  bool hex = false;
  if (last - first > 2 && first[0] == '0' && (first[1] | 0x20) == 'x' &&
      (isHexDigit(first[2]) || (first[2] == '.' && last - first > 3 && isHexDigit(first[3])))) {
    hex = true;
    first += 2;
  }
  double value = 0.0;
  const auto result =
      std::from_chars(first, last, value, hex ? std::chars_format::hex : std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    const std::string_view matched(first, static_cast<std::size_t>(result.ptr - first));
    value = magnitudeAtLeastOne(matched, hex) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

std::unique_ptr<XsMessage> readMessage(const MessageTree& tree) {
  const NodeId msg = tree.firstTopLevel();
  if (msg == kNone || tree.name(msg) != "msg") return nullptr;
  auto message = std::make_unique<XsMessage>();
  FieldReader r(tree, msg);
  r.text("so_id", message->soId);
  r.text("wo_id", message->woId);
  r.text("ws_id", message->wsId);
  r.text("mh_id", message->mhId);
  r.text("vm_id", message->vmId);
  r.text("session_id", message->receivedSessionId);
  r.integer("sync", message->sync);
  r.text("action", message->action);
  r.text("status", message->status);
  r.text("reason", message->reason);
  r.integer("reason_code", message->reasonCode);
  r.text("cmd", message->receivedCmd);
  const NodeId payload = tree.findChild(msg, "payload");
  if (payload != kNone) message->payload = readPayload(tree, payload);
  return message;
}
