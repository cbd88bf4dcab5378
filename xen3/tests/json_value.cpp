#include "json_value.h"

#include <cstdlib>

namespace testjson {

namespace {

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  Value document() {
    Value v = value();
    skip();
    if (i_ != s_.size()) fail("trailing text");
    return v;
  }

 private:
  [[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("JSON: ") + what + " at " + std::to_string(i_));
  }
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  bool literal(const char* word) {
    const std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }
  Value value() {
    skip();
    if (i_ >= s_.size()) fail("unexpected end");
    Value v;
    const char c = s_[i_];
    if (c == '{') {
      v.kind = Value::Object;
      ++i_;
      skip();
      if (i_ < s_.size() && s_[i_] == '}') {
        ++i_;
        return v;
      }
      for (;;) {
        skip();
        std::string key = string();
        skip();
        if (i_ >= s_.size() || s_[i_++] != ':') fail("':' expected");
        v.members[key] = value();
        skip();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == '}') {
          ++i_;
          return v;
        }
        fail("',' or '}' expected");
      }
    }
    if (c == '[') {
      v.kind = Value::Array;
      ++i_;
      skip();
      if (i_ < s_.size() && s_[i_] == ']') {
        ++i_;
        return v;
      }
      for (;;) {
        v.items.push_back(value());
        skip();
        if (i_ < s_.size() && s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < s_.size() && s_[i_] == ']') {
          ++i_;
          return v;
        }
        fail("',' or ']' expected");
      }
    }
    if (c == '"') {
      v.kind = Value::String;
      v.text = string();
      return v;
    }
    if (literal("true")) {
      v.kind = Value::Bool;
      v.boolean = true;
      return v;
    }
    if (literal("false")) {
      v.kind = Value::Bool;
      return v;
    }
    if (literal("null")) return v;
    const char* begin = s_.c_str() + i_;
    char* end = nullptr;
    v.kind = Value::Number;
    v.number = std::strtod(begin, &end);
    if (end == begin) fail("value expected");
    i_ += static_cast<std::size_t>(end - begin);
    return v;
  }
  std::string string() {
    if (i_ >= s_.size() || s_[i_] != '"') fail("string expected");
    ++i_;
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i_ >= s_.size()) fail("unexpected end");
      c = s_[i_++];
      switch (c) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'u': {
          if (i_ + 4 > s_.size()) fail("bad escape");
          const unsigned code = static_cast<unsigned>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16));
          i_ += 4;
          if (code < 0x80) {
            out.push_back(static_cast<char>(code));
          } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          } else {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
          }
          break;
        }
        default: out.push_back(c);
      }
    }
    if (i_ >= s_.size()) fail("unterminated string");
    ++i_;
    return out;
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

}  // namespace

Value Parse(const std::string& text) { return Reader(text).document(); }

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace testjson
