// The in-memory form of xen3 protocol messages.
//
// Every message, in both directions, is one parenthesised list of quoted texts
// (xs_writer.cpp writes requests, message_parser.cpp reads replies and pushed
// messages). A missing field is absent, never zero: a null text (std::nullopt or a
// null pointer), the integer -1, the real -1.0, or no object.
//
// Ownership: objects live on the heap and are owned through std::unique_ptr; they
// are destroyed through XsBase. A field declared as `const std::string*` borrows its
// text: the message never frees it, and the text must outlive the message. Requests
// borrow the session identifier, user name, password and VM identifier from the
// session's conversation; every text of a received message is an owned copy.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class XsBase {
 public:
  XsBase() = default;
  XsBase(const XsBase&) = delete;
  XsBase& operator=(const XsBase&) = delete;
  virtual ~XsBase() = default;

  // Appends the object's text form to out. Only XsMessage and XsPayload have one;
  // every other class writes nothing.
  virtual void writeTo(std::ostream& out) const;
};

// Entry "mh" inside "attr": the host as configured.
class XsHost : public XsBase {
 public:
  std::optional<std::string> signature;
  std::optional<std::string> name;
  std::optional<std::string> id;
  std::optional<std::string> time;
  std::optional<std::string> description;
  int32_t memory = -1;
  int32_t numCpus = -1;
  int32_t freeMemory = -1;
  std::optional<std::string> architecture;
  std::optional<std::string> xenVersion;
};

// Entry "vm" inside "attr": one virtual machine as configured.
class XsGuest : public XsBase {
 public:
  std::optional<std::string> name;
  std::optional<std::string> uuid;
  std::optional<std::string> description;
};

// Entry "mh" inside "data": host measurements.
class XsHostMetrics : public XsBase {
 public:
  std::optional<std::string> id;
  std::optional<std::string> time;
  double xmCpuUsage = -1.0;
  int32_t bdIo = -1;
  int32_t meminfoFree = -1;
  int32_t ifIo = -1;
  int32_t bdTotal = -1;
  int32_t bdFree = -1;
};

// Entry "vm" inside "data": measurements of one virtual machine.
class XsGuestMetrics : public XsBase {
 public:
  std::optional<std::string> uuid;
  std::optional<std::string> state;
  std::optional<std::string> time;
  double cpuUsage = -1.0;
  double uptimeSystem = -1.0;
  double uptimeIdle = -1.0;
  int32_t vbdIo = -1;
  int32_t meminfoFree = -1;
  int32_t meminfoTotal = -1;
  int32_t vifIo = -1;
  int32_t numVcpu = -1;
};

using XsGuestList = std::vector<std::unique_ptr<XsGuest>>;
using XsGuestMetricsList = std::vector<std::unique_ptr<XsGuestMetrics>>;

// Key "attr": the configuration the agent reports. The guest list always exists and
// is empty until filled.
class XsAttribute : public XsBase {
 public:
  std::unique_ptr<XsHost> host;
  XsGuestList guests;
};

// Key "data": the periodic measurements. The guest list always exists.
class XsData : public XsBase {
 public:
  std::unique_ptr<XsHostMetrics> hostMetrics;
  XsGuestMetricsList guestMetrics;
};

// Parameters of a request, or the body of a reply. A new payload has every field
// absent. writeTo emits the present fields in a fixed order, whatever order they
// were set in.
class XsPayload : public XsBase {
 public:
  void writeTo(std::ostream& out) const override;

  int32_t majorVersion = -1;
  int32_t minorVersion = -1;
  const std::string* username = nullptr;  // borrowed
  const std::string* password = nullptr;  // borrowed
  bool force = false;                     // written as "true" only when set
  int32_t dataInterval = -1;
  const std::string* uuid = nullptr;  // borrowed
  std::optional<std::string> type;    // owned copy
  std::unique_ptr<XsAttribute> attr;  // received only
  int32_t startForce = -1;
  std::unique_ptr<XsData> data;  // received only
};

// One message.
class XsMessage : public XsBase {
 public:
  // A received message: every field absent. Filled by readMessage.
  XsMessage() = default;
  // A request: borrows the command name (one of the protocol constants of
  // xs_requests.h) and the session identifier, takes the payload (may be null).
  // "sync" starts at -1; the sender sets it to 1.
  XsMessage(std::string_view command, const std::string* sessionId,
            std::unique_ptr<XsPayload> payload);

  // Writes the whole message followed by the frame end (two line feeds).
  void writeTo(std::ostream& out) const override;

  std::optional<std::string> soId;
  std::optional<std::string> woId;
  std::optional<std::string> wsId;
  std::optional<std::string> mhId;
  std::optional<std::string> vmId;
  const std::string* sessionId = nullptr;  // request: borrowed; written when non-null
  std::optional<std::string> receivedSessionId;  // received "session_id", owned
  int32_t sync = -1;
  std::optional<std::string> action;
  std::optional<std::string> status;
  std::optional<std::string> reason;
  int32_t reasonCode = -1;
  std::optional<std::string_view> command;   // request: the command to send (borrowed)
  std::optional<std::string> receivedCmd;    // received "cmd", owned
  std::unique_ptr<XsPayload> payload;
};

// Did the agent accept a request, and if not, why.
struct ReplyStatus {
  bool success = false;
  std::optional<std::string> reason;  // taken from the reply on failure
  int32_t reasonCode = -1;            // meaningful only on failure
};

// The host and its guests as a successful configuration reply reports them.
struct HostConfiguration {
  std::unique_ptr<XsHost> host;
  XsGuestList guests;
};

// True when the two texts are equal but for the letter case of ASCII letters; other
// bytes (above 0x7F too) must match exactly.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// True when the text equals "SUCCESS" regardless of ASCII letter case.
bool isSuccessStatus(std::string_view status);

// The status of a reply, or null when there is no reply or it carries no "status".
// On failure the reason text is moved out of the reply and the code copied.
std::unique_ptr<ReplyStatus> takeReplyStatus(XsMessage* reply);

// The configuration of a successful reply whose payload has "attr", or null. The host
// and the guest list are moved out of the reply, which keeps neither. A reply that is
// not a success is left untouched.
std::unique_ptr<HostConfiguration> takeHostConfiguration(XsMessage* reply);
