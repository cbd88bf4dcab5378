// XenAPI's metrics classes: the host's memory and CPU getters, the per-device I/O records,
// and the VMs' metrics and guest metrics records, one by one and in bulk.
#include <string>
#include <utility>
#include <vector>

#include "xenapi.h"
#include "xenapi_call.h"

namespace xenapi {

using namespace detail;

namespace {

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

}  // namespace

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

bool VmMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                        VmMetricsRecord* record) {
  return GetRecord(session, status, "VM_metrics.get_record", metrics, record, &ReadVmMetricsRecord);
}

bool GuestMetricsGetRecord(const Session& session, Status& status, const std::string& metrics,
                           GuestMetricsRecord* record) {
  return GetRecord(session, status, "VM_guest_metrics.get_record", metrics, record, &ReadGuestMetricsRecord);
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

}  // namespace xenapi
