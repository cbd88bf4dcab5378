// A small JSON reader for the simulated host's control replies, and base64 decoding of
// the raw requests the agent recorded.
#pragma once
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testjson {

struct Value {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0.0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> members;

  bool isNull() const { return kind == Null; }
  // Member access; throws when the member is missing or this is not an object.
  const Value& operator[](const std::string& key) const {
    auto it = members.find(key);
    if (kind != Object || it == members.end()) throw std::runtime_error("JSON: no member " + key);
    return it->second;
  }
  const Value& operator[](std::size_t index) const { return items.at(index); }
  std::size_t size() const { return kind == Array ? items.size() : members.size(); }
};

Value Parse(const std::string& text);
// A JSON string literal for text (quotes and escapes included).
std::string Quote(const std::string& text);

}  // namespace testjson
