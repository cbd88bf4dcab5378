#include "xenapi.h"

#include <libxml/parser.h>

#include <atomic>
#include <charconv>
#include <new>

#include "xmlrpc.h"

namespace {
std::atomic<int> g_initialised{0};
}

void xenapi_global_init() {
  // The parser's global tables must be set up before two threads parse at once.
  xmlInitParser();
  g_initialised.store(1);
}

void xenapi_global_cleanup() {
  // The parser library itself is released by whoever initialised it (its cleanup is
  // process-wide); the library keeps no global state of its own.
  g_initialised.store(0);
}

namespace xenapi {

using xmlrpc::Value;

namespace {

// Responses larger than this are refused while they arrive.
constexpr size_t kMaxResponseBytes = 64u << 20;

// Called from inside the transport (libcurl's write callback): refuses the bytes rather
// than letting an exception leave through C frames when memory runs out (a 32-bit
// process may find no block for a large answer).
bool Receive(const void* data, size_t length, void* handle) noexcept {
  auto* buffer = static_cast<std::string*>(handle);
  if (length > kMaxResponseBytes - buffer->size()) return false;
  try {
    buffer->append(static_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::string ValueText(const Value& v) {
  switch (v.type) {
    case Value::Type::Int: return std::to_string(v.integer);
    case Value::Type::Boolean: return v.boolean ? "1" : "0";
    case Value::Type::Double: {
      char buf[64];
      const auto r = std::to_chars(buf, buf + sizeof buf, v.real);
      return std::string(buf, r.ptr);
    }
    case Value::Type::String:
    case Value::Type::Base64:
    case Value::Type::DateTime: return v.text;
    default: return std::string();
  }
}

void ShapeFault(Status& status, const std::string& what, const std::string& where) {
  status.Fail({kServerFault2, what, where});
}

// One call: serialise, carry, read the response, unwrap Status/Value/ErrorDescription.
bool Call(TransportFunc transport, void* handle, Status& status, const char* method,
          const std::vector<Value>& params, Value* result) {
  status.Clear();
  const std::string request = xmlrpc::BuildCall(method, params);
  std::string response;
  const int code = transport(request.data(), request.size(), handle, &response, &Receive);
  if (code != 0) {
    status.Fail({kTransportFault, std::to_string(code)});
    return false;
  }
  xmlrpc::Response parsed;
  std::string error;
  if (!xmlrpc::ParseResponse(response.data(), response.size(), &parsed, &error)) {
    status.Fail({kServerFault, error});
    return false;
  }
  if (parsed.fault) {
    const Value* code = parsed.value.Member("faultCode");
    const Value* text = parsed.value.Member("faultString");
    status.Fail({kFault, code ? ValueText(*code) : std::string(), text ? ValueText(*text) : std::string()});
    return false;
  }
  const Value* st = parsed.value.Member("Status");
  if (!st || st->type != Value::Type::String) {
    status.Fail({kServerFault, "response without a Status"});
    return false;
  }
  if (st->text == "Success") {
    // The value is moved out, not copied: bulk answers hold every record of a class.
    for (auto& m : parsed.value.members) {
      if (m.first == "Value") {
        *result = std::move(m.second);
        return true;
      }
    }
    ShapeFault(status, "result without a Value", method);
    return false;
  }
  if (st->text == "Failure") {
    std::vector<std::string> errors;
    const Value* d = parsed.value.Member("ErrorDescription");
    if (d && d->type == Value::Type::Array)
      for (const Value& item : d->items) errors.push_back(ValueText(item));
    status.Fail(std::move(errors));  // an empty description stays empty
    return false;
  }
  status.Fail({kServerFault, "unknown Status \"" + st->text + "\""});
  return false;
}

bool SessionCall(const Session& session, Status& status, const char* method,
                 std::vector<Value> params, Value* result) {
  params.insert(params.begin(), Value::String(session.Reference()));
  return Call(session.Transport(), session.TransportHandle(), status, method, params, result);
}

// Conversions of a result; each reports a shape fault naming `where`.
bool ToString(const Value& v, Status& status, const std::string& where, std::string* out) {
  if (v.type != Value::Type::String) {
    ShapeFault(status, std::string("expected a string, got ") + xmlrpc::TypeName(v.type), where);
    return false;
  }
  *out = v.text;
  return true;
}

bool ToInt64(const Value& v, Status& status, const std::string& where, int64_t* out) {
  if (v.type == Value::Type::Int) {
    *out = v.integer;
    return true;
  }
  if (v.type == Value::Type::String && xmlrpc::ParseInt64(v.text, out)) return true;
  ShapeFault(status, "expected an integer", where);
  return false;
}

bool ToDouble(const Value& v, Status& status, const std::string& where, double* out) {
  if (v.type == Value::Type::Double) {
    *out = v.real;
    return true;
  }
  if (v.type == Value::Type::Int) {
    *out = static_cast<double>(v.integer);
    return true;
  }
  if (v.type == Value::Type::String && xmlrpc::ParseDouble(v.text, out)) return true;
  ShapeFault(status, "expected a number", where);
  return false;
}

bool ToBool(const Value& v, Status& status, const std::string& where, bool* out) {
  if (v.type != Value::Type::Boolean) {
    ShapeFault(status, std::string("expected a boolean, got ") + xmlrpc::TypeName(v.type), where);
    return false;
  }
  *out = v.boolean;
  return true;
}

bool ToStringList(const Value& v, Status& status, const std::string& where,
                  std::vector<std::string>* out) {
  if (v.type != Value::Type::Array) {
    ShapeFault(status, std::string("expected an array, got ") + xmlrpc::TypeName(v.type), where);
    return false;
  }
  out->clear();
  out->reserve(v.items.size());
  for (const Value& item : v.items) {
    out->emplace_back();
    if (!ToString(item, status, where, &out->back())) return false;
  }
  return true;
}

bool ToStringMap(const Value& v, Status& status, const std::string& where,
                 std::vector<std::pair<std::string, std::string>>* out) {
  if (v.type != Value::Type::Struct) {
    ShapeFault(status, std::string("expected a struct, got ") + xmlrpc::TypeName(v.type), where);
    return false;
  }
  out->clear();
  for (const auto& m : v.members) {
    std::string text;
    if (!ToString(m.second, status, where, &text)) return false;
    out->emplace_back(m.first, std::move(text));
  }
  return true;
}

// Reads a record: a struct; each field the client wants is converted when present,
// fields it does not know are ignored and missing ones keep their defaults.
class RecordReader {
 public:
  RecordReader(const Value& v, Status& status, const char* method)
      : v_(v), status_(status), method_(method) {}

  bool IsStruct() {
    if (v_.type == Value::Type::Struct) return true;
    ShapeFault(status_, std::string("expected a struct, got ") + xmlrpc::TypeName(v_.type), method_);
    return false;
  }
  template <typename T, typename Conv>
  bool Field(const char* name, T* out, Conv conv) {
    const Value* f = v_.Member(name);
    return !f || conv(*f, status_, std::string(method_) + ": " + name, out);
  }

 private:
  const Value& v_;
  Status& status_;
  const char* method_;
};

bool GetString(const Session& s, Status& st, const char* method, const std::string& ref,
               std::string* out) {
  Value v;
  return SessionCall(s, st, method, {Value::String(ref)}, &v) && ToString(v, st, method, out);
}

bool GetBool(const Session& s, Status& st, const char* method, const std::string& ref, bool* out) {
  Value v;
  return SessionCall(s, st, method, {Value::String(ref)}, &v) && ToBool(v, st, method, out);
}

bool GetInt64(const Session& s, Status& st, const char* method, const std::string& ref,
              int64_t* out) {
  Value v;
  return SessionCall(s, st, method, {Value::String(ref)}, &v) && ToInt64(v, st, method, out);
}

bool NoResult(const Session& s, Status& st, const char* method, std::vector<Value> params) {
  Value ignored;
  return SessionCall(s, st, method, std::move(params), &ignored);
}

bool IoMetrics(const Session& s, Status& st, const char* method, const std::string& ref,
               IoMetricsRecord* record) {
  Value v;
  if (!SessionCall(s, st, method, {Value::String(ref)}, &v)) return false;
  RecordReader r(v, st, method);
  IoMetricsRecord out;
  if (!r.IsStruct() || !r.Field("io_read_kbs", &out.io_read_kbs, ToDouble) ||
      !r.Field("io_write_kbs", &out.io_write_kbs, ToDouble))
    return false;
  *record = out;
  return true;
}

// start and resume take (start_paused, force) on current servers and only start_paused
// on old ones: a server that counts the parameters differently gets the old form.
bool StartLike(const Session& s, Status& st, const char* method, const std::string& vm,
               bool startPaused) {
  if (NoResult(s, st, method, {Value::String(vm), Value::Bool(startPaused), Value::Bool(false)}))
    return true;
  if (!st.Is("MESSAGE_PARAMETER_COUNT_MISMATCH")) return false;
  return NoResult(s, st, method, {Value::String(vm), Value::Bool(startPaused)});
}

}  // namespace

bool IsNullRef(const std::string& ref) { return ref.empty() || ref == kNullRef; }

PowerState ParsePowerState(const std::string& text) {
  if (text == "Halted") return PowerState::Halted;
  if (text == "Paused") return PowerState::Paused;
  if (text == "Running") return PowerState::Running;
  if (text == "Suspended") return PowerState::Suspended;
  return PowerState::Unknown;
}

struct SessionAccess {
  static std::string& Reference(Session& s) { return s.reference_; }
};

namespace {
SessionPtr Login(TransportFunc transport, void* transportHandle, std::vector<Value> params, Status& status) {
  if (!transport) return nullptr;
  auto session = std::make_shared<Session>(transport, transportHandle);
  Value v;
  if (Call(transport, transportHandle, status, "session.login_with_password", params, &v))
    ToString(v, status, "session.login_with_password", &SessionAccess::Reference(*session));
  if (!status.ok) SessionAccess::Reference(*session).clear();
  return session;
}
}  // namespace

SessionPtr LoginWithPassword(TransportFunc transport, void* transportHandle,
                             const std::string& userName, const std::string& password,
                             Status& status) {
  return Login(transport, transportHandle, {Value::String(userName), Value::String(password)}, status);
}

SessionPtr LoginWithPassword(TransportFunc transport, void* transportHandle,
                             const std::string& userName, const std::string& password,
                             const std::string& version, const std::string& originator,
                             Status& status) {
  std::vector<Value> params = {Value::String(userName), Value::String(password), Value::String(version)};
  if (!originator.empty()) params.push_back(Value::String(originator));
  return Login(transport, transportHandle, std::move(params), status);
}

bool Logout(const Session& session, Status& status) {
  return NoResult(session, status, "session.logout", {});
}

SessionPtr WithTransport(const Session& session, TransportFunc transport, void* transportHandle) {
  if (!transport) return nullptr;
  auto copy = std::make_shared<Session>(transport, transportHandle);
  SessionAccess::Reference(*copy) = session.Reference();
  return copy;
}

bool SessionGetThisHost(const Session& session, Status& status, std::string* host) {
  // XenAPI passes the session reference twice: as the call's session and as the subject.
  return GetString(session, status, "session.get_this_host", session.Reference(), host);
}

namespace {
bool ReadHostRecord(const Value& v, Status& status, const char* method, HostRecord* record) {
  RecordReader r(v, status, method);
  HostRecord out;
  if (!r.IsStruct() || !r.Field("uuid", &out.uuid, ToString) ||
      !r.Field("address", &out.address, ToString) ||
      !r.Field("hostname", &out.hostname, ToString) ||
      !r.Field("name_label", &out.name_label, ToString) ||
      !r.Field("name_description", &out.name_description, ToString) ||
      !r.Field("software_version", &out.software_version, ToStringMap) ||
      !r.Field("PIFs", &out.PIFs, ToStringList) ||
      !r.Field("host_CPUs", &out.host_CPUs, ToStringList) ||
      !r.Field("metrics", &out.metrics, ToString))
    return false;
  *record = std::move(out);
  return true;
}
}  // namespace

bool HostGetRecord(const Session& session, Status& status, const std::string& host,
                   HostRecord* record) {
  static const char kMethod[] = "host.get_record";
  Value v;
  return SessionCall(session, status, kMethod, {Value::String(host)}, &v) &&
         ReadHostRecord(v, status, kMethod, record);
}

bool HostMetricsGetMemoryTotal(const Session& session, Status& status,
                               const std::string& hostMetrics, int64_t* bytes) {
  return GetInt64(session, status, "host_metrics.get_memory_total", hostMetrics, bytes);
}

bool HostMetricsGetMemoryFree(const Session& session, Status& status,
                              const std::string& hostMetrics, int64_t* bytes) {
  return GetInt64(session, status, "host_metrics.get_memory_free", hostMetrics, bytes);
}

bool HostCpuGetUtilisation(const Session& session, Status& status, const std::string& hostCpu,
                           double* utilisation) {
  static const char kMethod[] = "host_cpu.get_utilisation";
  Value v;
  return SessionCall(session, status, kMethod, {Value::String(hostCpu)}, &v) &&
         ToDouble(v, status, kMethod, utilisation);
}

bool HostMetricsGetRecord(const Session& session, Status& status, const std::string& hostMetrics,
                          HostMetricsRecord* record) {
  static const char kMethod[] = "host_metrics.get_record";
  Value v;
  if (!SessionCall(session, status, kMethod, {Value::String(hostMetrics)}, &v)) return false;
  RecordReader r(v, status, kMethod);
  HostMetricsRecord out;
  if (!r.IsStruct() || !r.Field("memory_total", &out.memory_total, ToInt64) ||
      !r.Field("memory_free", &out.memory_free, ToInt64))
    return false;
  *record = out;
  return true;
}

bool HostEnable(const Session& session, Status& status, const std::string& host) {
  return NoResult(session, status, "host.enable", {Value::String(host)});
}
bool HostDisable(const Session& session, Status& status, const std::string& host) {
  return NoResult(session, status, "host.disable", {Value::String(host)});
}
bool HostReboot(const Session& session, Status& status, const std::string& host) {
  return NoResult(session, status, "host.reboot", {Value::String(host)});
}
bool HostShutdown(const Session& session, Status& status, const std::string& host) {
  return NoResult(session, status, "host.shutdown", {Value::String(host)});
}

bool PifGetMetrics(const Session& session, Status& status, const std::string& pif,
                   std::string* metrics) {
  return GetString(session, status, "PIF.get_metrics", pif, metrics);
}
bool VifGetMetrics(const Session& session, Status& status, const std::string& vif,
                   std::string* metrics) {
  return GetString(session, status, "VIF.get_metrics", vif, metrics);
}
bool VbdGetMetrics(const Session& session, Status& status, const std::string& vbd,
                   std::string* metrics) {
  return GetString(session, status, "VBD.get_metrics", vbd, metrics);
}
bool PifMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                         IoMetricsRecord* record) {
  return IoMetrics(session, status, "PIF_metrics.get_record", metrics, record);
}
bool VifMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                         IoMetricsRecord* record) {
  return IoMetrics(session, status, "VIF_metrics.get_record", metrics, record);
}
bool VbdMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                         IoMetricsRecord* record) {
  return IoMetrics(session, status, "VBD_metrics.get_record", metrics, record);
}

bool VmGetAll(const Session& session, Status& status, std::vector<std::string>* vms) {
  static const char kMethod[] = "VM.get_all";
  Value v;
  return SessionCall(session, status, kMethod, {}, &v) && ToStringList(v, status, kMethod, vms);
}

bool VmGetByNameLabel(const Session& session, Status& status, const std::string& name,
                      std::vector<std::string>* vms) {
  static const char kMethod[] = "VM.get_by_name_label";
  Value v;
  return SessionCall(session, status, kMethod, {Value::String(name)}, &v) && ToStringList(v, status, kMethod, vms);
}

bool VmGetIsATemplate(const Session& session, Status& status, const std::string& vm, bool* value) {
  return GetBool(session, status, "VM.get_is_a_template", vm, value);
}

bool VmGetIsControlDomain(const Session& session, Status& status, const std::string& vm,
                          bool* value) {
  return GetBool(session, status, "VM.get_is_control_domain", vm, value);
}

namespace {

bool ReadVmRecord(const Value& v, Status& status, const char* method, VmRecord* record) {
  RecordReader r(v, status, method);
  VmRecord out;
  std::string power;
  if (!r.IsStruct() || !r.Field("uuid", &out.uuid, ToString) ||
      !r.Field("is_a_template", &out.is_a_template, ToBool) ||
      !r.Field("is_control_domain", &out.is_control_domain, ToBool) ||
      !r.Field("is_a_snapshot", &out.is_a_snapshot, ToBool) ||
      !r.Field("resident_on", &out.resident_on, ToString) ||
      !r.Field("allowed_operations", &out.allowed_operations, ToStringList) ||
      !r.Field("power_state", &power, ToString) ||
      !r.Field("name_label", &out.name_label, ToString) ||
      !r.Field("name_description", &out.name_description, ToString) ||
      !r.Field("memory_static_max", &out.memory_static_max, ToInt64) ||
      !r.Field("VIFs", &out.VIFs, ToStringList) || !r.Field("VBDs", &out.VBDs, ToStringList) ||
      !r.Field("metrics", &out.metrics, ToString) ||
      !r.Field("guest_metrics", &out.guest_metrics, ToString))
    return false;
  out.power_state = ParsePowerState(power);
  *record = std::move(out);
  return true;
}

bool ReadVmMetricsRecord(const Value& v, Status& status, const char* method, VmMetricsRecord* record) {
  RecordReader r(v, status, method);
  VmMetricsRecord out;
  if (!r.IsStruct() || !r.Field("VCPUs_number", &out.VCPUs_number, ToInt64)) return false;
  if (const Value* u = v.Member("VCPUs_utilisation")) {
    const std::string where = std::string(method) + ": VCPUs_utilisation";
    if (u->type != Value::Type::Struct) {
      ShapeFault(status, "expected a struct", where);
      return false;
    }
    for (const auto& m : u->members) {
      int64_t vcpu;
      double value;
      if (!xmlrpc::ParseInt64(m.first, &vcpu)) {
        ShapeFault(status, "VCPU number is not an integer", where);
        return false;
      }
      if (!ToDouble(m.second, status, where, &value)) return false;
      out.VCPUs_utilisation.emplace_back(vcpu, value);
    }
  }
  *record = std::move(out);
  return true;
}

bool ReadGuestMetricsRecord(const Value& v, Status& status, const char* method,
                            GuestMetricsRecord* record) {
  RecordReader r(v, status, method);
  GuestMetricsRecord out;
  if (!r.IsStruct() || !r.Field("memory", &out.memory, ToStringMap)) return false;
  *record = std::move(out);
  return true;
}

template <typename Record>
bool GetRecord(const Session& s, Status& st, const char* method, const std::string& ref, Record* record,
               bool (*read)(const Value&, Status&, const char*, Record*)) {
  Value v;
  return SessionCall(s, st, method, {Value::String(ref)}, &v) && read(v, st, method, record);
}

// A map of reference -> record.
template <typename Record>
bool GetAllRecords(const Session& s, Status& st, const char* method, RecordList<Record>* records,
                   bool (*read)(const Value&, Status&, const char*, Record*),
                   std::vector<Value> params = {}) {
  Value v;
  if (!SessionCall(s, st, method, std::move(params), &v)) return false;
  if (v.type != Value::Type::Struct) {
    ShapeFault(st, std::string("expected a struct, got ") + xmlrpc::TypeName(v.type), method);
    return false;
  }
  RecordList<Record> out;
  out.reserve(v.members.size());
  for (const auto& m : v.members) {
    out.emplace_back(m.first, Record());
    if (!read(m.second, st, method, &out.back().second)) return false;
  }
  *records = std::move(out);
  return true;
}

}  // namespace

bool VmGetRecord(const Session& session, Status& status, const std::string& vm, VmRecord* record) {
  return GetRecord(session, status, "VM.get_record", vm, record, &ReadVmRecord);
}

bool VmMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                        VmMetricsRecord* record) {
  return GetRecord(session, status, "VM_metrics.get_record", metrics, record, &ReadVmMetricsRecord);
}

bool GuestMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                           GuestMetricsRecord* record) {
  return GetRecord(session, status, "VM_guest_metrics.get_record", metrics, record, &ReadGuestMetricsRecord);
}

bool VmGetAllRecords(const Session& session, Status& status, RecordList<VmRecord>* records) {
  return GetAllRecords(session, status, "VM.get_all_records", records, &ReadVmRecord);
}

bool VmGetAllRecordsWhere(const Session& session, Status& status, const std::string& expression,
                          RecordList<VmRecord>* records) {
  return GetAllRecords(session, status, "VM.get_all_records_where", records, &ReadVmRecord,
                       {Value::String(expression)});
}

bool HostGetAllRecords(const Session& session, Status& status, RecordList<HostRecord>* records) {
  return GetAllRecords(session, status, "host.get_all_records", records, &ReadHostRecord);
}

bool VmMetricsGetAllRecords(const Session& session, Status& status,
                            RecordList<VmMetricsRecord>* records) {
  return GetAllRecords(session, status, "VM_metrics.get_all_records", records, &ReadVmMetricsRecord);
}

bool GuestMetricsGetAllRecords(const Session& session, Status& status,
                               RecordList<GuestMetricsRecord>* records) {
  return GetAllRecords(session, status, "VM_guest_metrics.get_all_records", records,
                       &ReadGuestMetricsRecord);
}

bool VmStart(const Session& session, Status& status, const std::string& vm, bool startPaused) {
  return StartLike(session, status, "VM.start", vm, startPaused);
}
bool VmResume(const Session& session, Status& status, const std::string& vm, bool startPaused) {
  return StartLike(session, status, "VM.resume", vm, startPaused);
}
bool VmCleanShutdown(const Session& session, Status& status, const std::string& vm) {
  return NoResult(session, status, "VM.clean_shutdown", {Value::String(vm)});
}
bool VmSuspend(const Session& session, Status& status, const std::string& vm) {
  return NoResult(session, status, "VM.suspend", {Value::String(vm)});
}
bool VmCleanReboot(const Session& session, Status& status, const std::string& vm) {
  return NoResult(session, status, "VM.clean_reboot", {Value::String(vm)});
}

}  // namespace xenapi
