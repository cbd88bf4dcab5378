// XML-RPC values, method calls and method responses, written and read with libxml2.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace xenapi {
namespace xmlrpc {

struct Value {
  enum class Type { String, Int, Boolean, Double, Array, Struct, Nil, Base64, DateTime };

  Type type = Type::String;
  std::string text;  // String, Base64 and DateTime (as sent)
  int64_t integer = 0;
  bool boolean = false;
  double real = 0.0;
  std::vector<Value> items;                             // Array
  std::vector<std::pair<std::string, Value>> members;  // Struct, in wire order

  static Value String(std::string s);
  static Value Int(int64_t v);
  static Value Bool(bool v);
  static Value Double(double v);
  static Value Array(std::vector<Value> items);
  static Value Struct(std::vector<std::pair<std::string, Value>> members);

  // The first member of that name of a struct, or null (also for a non-struct).
  const Value* Member(const std::string& name) const;
};

const char* TypeName(Value::Type type);

// A <methodCall> document (UTF-8, with XML declaration). Integers are written as
// decimal strings, XenAPI's convention for its 64-bit integers.
std::string BuildCall(const std::string& method, const std::vector<Value>& params);

struct Response {
  bool fault = false;  // true: value is the <fault> struct
  Value value;         // the single result parameter
};

// Reads a <methodResponse>. Returns false with a reason in *error when the bytes are not
// well-formed XML or not a method response with one parameter or one fault value.
// Nesting deeper than kMaxDepth values is refused.
bool ParseResponse(const char* data, size_t length, Response* response, std::string* error);

inline constexpr int kMaxDepth = 64;

// Locale-independent decimal conversions; false when text is not entirely a number.
bool ParseInt64(const std::string& text, int64_t* value);
bool ParseDouble(const std::string& text, double* value);

}  // namespace xmlrpc
}  // namespace xenapi
