// What the XenAPI client's call files share: one call over the transport, the conversions
// of its result with their shape faults, and the readers of records and record lists.
// Internal to the library.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "xenapi.h"
#include "xmlrpc.h"

namespace xenapi {
namespace detail {

using xmlrpc::Value;

void ShapeFault(Status& status, const std::string& what, const std::string& where);

// One call: serialise, carry, read the response, unwrap Status/Value/ErrorDescription.
bool Call(TransportFunc transport, void* handle, Status& status, const char* method,
          const std::vector<Value>& params, Value* result);
// A call with the session's reference as its first parameter.
bool SessionCall(const Session& session, Status& status, const char* method,
                 std::vector<Value> params, Value* result);

// Conversions of a result; each reports a shape fault naming `where`.
bool ToString(const Value& v, Status& status, const std::string& where, std::string* out);
bool ToInt64(const Value& v, Status& status, const std::string& where, int64_t* out);
bool ToDouble(const Value& v, Status& status, const std::string& where, double* out);
bool ToBool(const Value& v, Status& status, const std::string& where, bool* out);
bool ToStringList(const Value& v, Status& status, const std::string& where, std::vector<std::string>* out);
bool ToStringMap(const Value& v, Status& status, const std::string& where,
                 std::vector<std::pair<std::string, std::string>>* out);

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

// A getter of one field of the object `ref`.
bool GetString(const Session& s, Status& st, const char* method, const std::string& ref, std::string* out);
bool GetBool(const Session& s, Status& st, const char* method, const std::string& ref, bool* out);
bool GetInt64(const Session& s, Status& st, const char* method, const std::string& ref, int64_t* out);
// A call whose result is of no interest.
bool NoResult(const Session& s, Status& st, const char* method, std::vector<Value> params);

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


}  // namespace detail
}  // namespace xenapi
