// A small XenAPI client: the calls the connector makes, as XML-RPC requests built and
// read with libxml2, carried by a transport function that the caller supplies.
// Files: xenapi.cpp (the call, its conversions), xenapi_session.cpp, xenapi_host.cpp,
// xenapi_vm.cpp and xenapi_metrics.cpp (the calls of each class), sharing xenapi_call.h.
//
// Wire conventions followed (XenAPI's public protocol):
//  - every call except session.login_with_password passes the session reference first;
//  - a result is a struct {"Status": "Success", "Value": v} or
//    {"Status": "Failure", "ErrorDescription": [name, params...]};
//  - 64-bit integers travel as decimal strings; "OpaqueRef:NULL" is the null reference.
//
// Errors: each call fills the Status it is given (one per call, so two threads can use
// one Session at the same time). Besides the server's own error names, the library
// reports
//  - "TRANSPORT_FAULT", code  : the transport function returned a non-zero code;
//  - "FAULT", code, text      : the server answered with an XML-RPC <fault>;
//  - "SERVER_FAULT", text     : the response is not an XML-RPC method response;
//  - "SERVER_FAULT_2", error, param : a well-formed response whose result does not have
//    the expected shape (param names the field or call concerned).
// Results are plain values: freeing a reference, set or record is the destruction of
// the returned object.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Process-wide start-up and shut-down of the library (the connector calls them after
// the XML parser library's initialisation and before libcurl's, and in reverse order at
// unload). Cheap; calling them more than once is harmless.
void xenapi_global_init();
void xenapi_global_cleanup();

namespace xenapi {

// Receives response bytes; returns false to refuse them (the transfer then ends).
using ResultFunc = bool (*)(const void* data, size_t length, void* resultHandle);

// Carries one serialised request and streams the response into resultFunc. Returns 0 on
// success, otherwise a transport-specific non-zero code.
using TransportFunc = int (*)(const char* request, size_t length, void* transportHandle,
                              void* resultHandle, ResultFunc resultFunc);

// The outcome of one call: ok, or an error name followed by its parameters.
struct Status {
  bool ok = true;
  std::vector<std::string> errors;

  void Clear() {
    ok = true;
    errors.clear();
  }
  void Fail(std::vector<std::string> description) {
    ok = false;
    errors = std::move(description);
  }
  // A failure of that error name.
  bool Is(const char* name) const { return !ok && !errors.empty() && errors[0] == name; }
};

// Error names the library itself produces.
inline constexpr const char kTransportFault[] = "TRANSPORT_FAULT";
inline constexpr const char kFault[] = "FAULT";
inline constexpr const char kServerFault[] = "SERVER_FAULT";
inline constexpr const char kServerFault2[] = "SERVER_FAULT_2";

inline constexpr const char kNullRef[] = "OpaqueRef:NULL";
bool IsNullRef(const std::string& ref);

// VM power states; any other text on the wire reads as Unknown.
enum class PowerState : int { Halted = 0, Paused = 1, Running = 2, Suspended = 3, Unknown = 4 };
PowerState ParsePowerState(const std::string& text);

struct HostRecord {
  std::string uuid;
  std::string address;
  std::string hostname;
  std::string name_label;
  std::string name_description;
  std::vector<std::pair<std::string, std::string>> software_version;  // in wire order
  std::vector<std::string> PIFs;
  std::vector<std::string> host_CPUs;
  std::string metrics;
};

struct VmRecord {
  std::string uuid;
  bool is_a_template = false;
  bool is_control_domain = false;
  bool is_a_snapshot = false;
  std::string resident_on;
  std::vector<std::string> allowed_operations;
  PowerState power_state = PowerState::Unknown;
  std::string name_label;
  std::string name_description;
  int64_t memory_static_max = 0;  // bytes
  std::vector<std::string> VIFs;
  std::vector<std::string> VBDs;
  std::string metrics;
  std::string guest_metrics;
};

struct VmMetricsRecord {
  int64_t VCPUs_number = 0;
  std::vector<std::pair<int64_t, double>> VCPUs_utilisation;  // VCPU number -> 0..1
};

struct GuestMetricsRecord {
  std::vector<std::pair<std::string, std::string>> memory;  // in wire order
};

struct HostMetricsRecord {
  int64_t memory_total = 0;  // bytes
  int64_t memory_free = 0;   // bytes
};

// The metrics record of a PIF, VIF or VBD.
struct IoMetricsRecord {
  double io_read_kbs = 0.0;
  double io_write_kbs = 0.0;
};

// A logged-in session. Immutable after login, so calls on it may run concurrently.
class Session {
 public:
  Session(TransportFunc transport, void* transportHandle)
      : transport_(transport), transportHandle_(transportHandle) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& Reference() const { return reference_; }
  TransportFunc Transport() const { return transport_; }
  void* TransportHandle() const { return transportHandle_; }

 private:
  friend struct SessionAccess;  // the library's own: sets the reference
  TransportFunc transport_;
  void* transportHandle_;
  std::string reference_;
};

using SessionPtr = std::shared_ptr<Session>;

// Logs in. Returns null only when no transport is given; otherwise a session object
// whose use is valid only when status.ok (on failure it carries no reference).
// transportHandle is handed unchanged to the transport on every call of the session and
// must outlive it.
SessionPtr LoginWithPassword(TransportFunc transport, void* transportHandle,
                             const std::string& userName, const std::string& password,
                             Status& status);
// The same, naming an API version and the originator (the client's name, by which the
// server counts its sessions apart); servers that take only the version answer
// MESSAGE_PARAMETER_COUNT_MISMATCH when an originator is given. An empty originator
// sends the version alone.
SessionPtr LoginWithPassword(TransportFunc transport, void* transportHandle,
                             const std::string& userName, const std::string& password,
                             const std::string& version, const std::string& originator,
                             Status& status);
bool Logout(const Session& session, Status& status);
// The same logged-in session carried by another transport (for example one with a
// time-out); null when no transport is given.
SessionPtr WithTransport(const Session& session, TransportFunc transport, void* transportHandle);

bool SessionGetThisHost(const Session& session, Status& status, std::string* host);
bool HostGetRecord(const Session& session, Status& status, const std::string& host,
                   HostRecord* record);
bool HostMetricsGetMemoryTotal(const Session& session, Status& status,
                               const std::string& hostMetrics, int64_t* bytes);
bool HostMetricsGetMemoryFree(const Session& session, Status& status,
                              const std::string& hostMetrics, int64_t* bytes);
bool HostCpuGetUtilisation(const Session& session, Status& status, const std::string& hostCpu,
                           double* utilisation);
bool HostMetricsGetRecord(const Session& session, Status& status, const std::string& hostMetrics,
                          HostMetricsRecord* record);
bool HostEnable(const Session& session, Status& status, const std::string& host);
bool HostDisable(const Session& session, Status& status, const std::string& host);
bool HostReboot(const Session& session, Status& status, const std::string& host);
bool HostShutdown(const Session& session, Status& status, const std::string& host);

bool PifGetMetrics(const Session& session, Status& status, const std::string& pif,
                   std::string* metrics);
bool VifGetMetrics(const Session& session, Status& status, const std::string& vif,
                   std::string* metrics);
bool VbdGetMetrics(const Session& session, Status& status, const std::string& vbd,
                   std::string* metrics);
bool PifMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                         IoMetricsRecord* record);
bool VifMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                         IoMetricsRecord* record);
bool VbdMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                         IoMetricsRecord* record);

bool VmGetAll(const Session& session, Status& status, std::vector<std::string>* vms);
// The VMs (templates and the control domain too) whose name label is exactly name.
bool VmGetByNameLabel(const Session& session, Status& status, const std::string& name,
                      std::vector<std::string>* vms);
bool VmGetIsATemplate(const Session& session, Status& status, const std::string& vm, bool* value);
bool VmGetIsControlDomain(const Session& session, Status& status, const std::string& vm,
                          bool* value);
bool VmGetRecord(const Session& session, Status& status, const std::string& vm, VmRecord* record);
bool VmMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                        VmMetricsRecord* record);
bool GuestMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                           GuestMetricsRecord* record);

// Bulk reads: every object of the class with its record, in wire order. Servers that do
// not offer them answer MESSAGE_METHOD_UNKNOWN.
template <typename Record>
using RecordList = std::vector<std::pair<std::string, Record>>;
bool VmGetAllRecords(const Session& session, Status& status, RecordList<VmRecord>* records);
// The VMs whose records match a condition of the server's expression language, e.g.
// field "is_a_template"="false" and field "is_control_domain"="false".
bool VmGetAllRecordsWhere(const Session& session, Status& status, const std::string& expression,
                          RecordList<VmRecord>* records);
bool HostGetAllRecords(const Session& session, Status& status, RecordList<HostRecord>* records);
bool VmMetricsGetAllRecords(const Session& session, Status& status,
                            RecordList<VmMetricsRecord>* records);
bool GuestMetricsGetAllRecords(const Session& session, Status& status,
                               RecordList<GuestMetricsRecord>* records);

bool VmStart(const Session& session, Status& status, const std::string& vm, bool startPaused);
bool VmResume(const Session& session, Status& status, const std::string& vm, bool startPaused);
bool VmCleanShutdown(const Session& session, Status& status, const std::string& vm);
bool VmSuspend(const Session& session, Status& status, const std::string& vm);
bool VmCleanReboot(const Session& session, Status& status, const std::string& vm);

}  // namespace xenapi
