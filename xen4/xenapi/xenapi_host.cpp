// XenAPI's host class: its record, the pool's host records, the host operations and the
// metrics reference of a physical interface.
#include <string>
#include <utility>
#include <vector>

#include "xenapi.h"
#include "xenapi_call.h"

namespace xenapi {

using namespace detail;

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

bool HostGetAllRecords(const Session& session, Status& status, RecordList<HostRecord>* records) {
  return GetAllRecords(session, status, "host.get_all_records", records, &ReadHostRecord);
}


}  // namespace xenapi
