// The XenAPI client's core: the library's start and end, one call over the transport with
// its response unwrapped, and the conversions of results.
#include "xenapi.h"

#include <libxml/parser.h>

#include <atomic>
#include <charconv>
#include <new>

#include "xenapi_call.h"
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

namespace detail {

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

}  // namespace

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

}  // namespace detail

bool IsNullRef(const std::string& ref) { return ref.empty() || ref == kNullRef; }

PowerState ParsePowerState(const std::string& text) {
  if (text == "Halted") return PowerState::Halted;
  if (text == "Paused") return PowerState::Paused;
  if (text == "Running") return PowerState::Running;
  if (text == "Suspended") return PowerState::Suspended;
  return PowerState::Unknown;
}

}  // namespace xenapi
