// A small JSON reader for the simulated host's control replies (tests only).
#pragma once
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace jsonlite {

struct Value {
  enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
  bool boolean = false;
  double number = 0.0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> members;

  const Value& operator[](const std::string& key) const {
    auto it = members.find(key);
    if (it == members.end()) throw std::runtime_error("no member " + key);
    return it->second;
  }
  const Value& operator[](size_t i) const { return items.at(i); }
};

class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}
  Value Read() {
    Value v = ReadValue();
    Skip();
    if (at_ != s_.size()) throw std::runtime_error("trailing text in JSON");
    return v;
  }

 private:
  void Skip() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
  }
  char Peek() {
    Skip();
    if (at_ >= s_.size()) throw std::runtime_error("JSON ends early");
    return s_[at_];
  }
  void Expect(char c) {
    if (Peek() != c) throw std::runtime_error(std::string("JSON: expected ") + c);
    ++at_;
  }
  std::string ReadString() {
    Expect('"');
    std::string out;
    while (at_ < s_.size() && s_[at_] != '"') {
      char c = s_[at_++];
      if (c == '\\' && at_ < s_.size()) {
        char e = s_[at_++];
        switch (e) {
          case 'n': out += '\n'; break;
          case 't': out += '\t'; break;
          case 'u': out += '?'; at_ += 4; break;
          default: out += e;
        }
      } else {
        out += c;
      }
    }
    Expect('"');
    return out;
  }
  Value ReadValue() {
    Value v;
    const char c = Peek();
    if (c == '{') {
      ++at_;
      v.type = Value::Type::Object;
      if (Peek() == '}') {
        ++at_;
        return v;
      }
      for (;;) {
        std::string key = ReadString();
        Expect(':');
        v.members[key] = ReadValue();
        if (Peek() == ',') { ++at_; continue; }
        Expect('}');
        return v;
      }
    }
    if (c == '[') {
      ++at_;
      v.type = Value::Type::Array;
      if (Peek() == ']') {
        ++at_;
        return v;
      }
      for (;;) {
        v.items.push_back(ReadValue());
        if (Peek() == ',') { ++at_; continue; }
        Expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.type = Value::Type::String;
      v.text = ReadString();
      return v;
    }
    if (s_.compare(at_, 4, "true") == 0) { at_ += 4; v.type = Value::Type::Bool; v.boolean = true; return v; }
    if (s_.compare(at_, 5, "false") == 0) { at_ += 5; v.type = Value::Type::Bool; return v; }
    if (s_.compare(at_, 4, "null") == 0) { at_ += 4; return v; }
    char* end = nullptr;
    v.number = std::strtod(s_.c_str() + at_, &end);
    if (end == s_.c_str() + at_) throw std::runtime_error("JSON: bad value");
    at_ = static_cast<size_t>(end - s_.c_str());
    v.type = Value::Type::Number;
    return v;
  }

  const std::string& s_;
  size_t at_ = 0;
};

inline Value Parse(const std::string& s) { return Reader(s).Read(); }

}  // namespace jsonlite
