// XenAPI's VM class: the list, lookups by name, records (also in bulk and by condition), the
// power operations and the metrics references of a VM's interfaces and disks.
#include <string>
#include <utility>
#include <vector>

#include "xenapi.h"
#include "xenapi_call.h"

namespace xenapi {

using namespace detail;

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

bool VifGetMetrics(const Session& session, Status& status, const std::string& vif,
                   std::string* metrics) {
  return GetString(session, status, "VIF.get_metrics", vif, metrics);
}
bool VbdGetMetrics(const Session& session, Status& status, const std::string& vbd,
                   std::string* metrics) {
  return GetString(session, status, "VBD.get_metrics", vbd, metrics);
}

bool VmGetRecord(const Session& session, Status& status, const std::string& vm, VmRecord* record) {
  return GetRecord(session, status, "VM.get_record", vm, record, &ReadVmRecord);
}

bool VmGetAllRecords(const Session& session, Status& status, RecordList<VmRecord>* records) {
  return GetAllRecords(session, status, "VM.get_all_records", records, &ReadVmRecord);
}

bool VmGetAllRecordsWhere(const Session& session, Status& status, const std::string& expression,
                          RecordList<VmRecord>* records) {
  return GetAllRecords(session, status, "VM.get_all_records_where", records, &ReadVmRecord,
                       {Value::String(expression)});
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
