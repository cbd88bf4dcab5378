#include "xmlrpc.h"

#include "untrusted_xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>

namespace xenapi {
namespace xmlrpc {

Value Value::String(std::string s) {
  Value v;
  v.type = Type::String;
  v.text = std::move(s);
  return v;
}
Value Value::Int(int64_t i) {
  Value v;
  v.type = Type::Int;
  v.integer = i;
  return v;
}
Value Value::Bool(bool b) {
  Value v;
  v.type = Type::Boolean;
  v.boolean = b;
  return v;
}
Value Value::Double(double d) {
  Value v;
  v.type = Type::Double;
  v.real = d;
  return v;
}
Value Value::Array(std::vector<Value> items) {
  Value v;
  v.type = Type::Array;
  v.items = std::move(items);
  return v;
}
Value Value::Struct(std::vector<std::pair<std::string, Value>> members) {
  Value v;
  v.type = Type::Struct;
  v.members = std::move(members);
  return v;
}

const Value* Value::Member(const std::string& name) const {
  if (type != Type::Struct) return nullptr;
  for (const auto& m : members)
    if (m.first == name) return &m.second;
  return nullptr;
}

const char* TypeName(Value::Type type) {
  switch (type) {
    case Value::Type::String: return "string";
    case Value::Type::Int: return "int";
    case Value::Type::Boolean: return "boolean";
    case Value::Type::Double: return "double";
    case Value::Type::Array: return "array";
    case Value::Type::Struct: return "struct";
    case Value::Type::Nil: return "nil";
    case Value::Type::Base64: return "base64";
    case Value::Type::DateTime: return "dateTime.iso8601";
  }
  return "unknown";
}

bool ParseInt64(const std::string& text, int64_t* value) {
  const char* first = text.data();
  const char* last = first + text.size();
  // XML-RPC allows a leading plus sign; from_chars does not.
  if (first != last && *first == '+') ++first;
  if (first == last) return false;
  const auto r = std::from_chars(first, last, *value);
  return r.ec == std::errc() && r.ptr == last;
}

bool ParseDouble(const std::string& text, double* value) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  if (first == last) return false;
  const auto r = std::from_chars(first, last, *value, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == last;
}

namespace {

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

using xml::DocPtr;

std::string FormatDouble(double d) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

void WriteValue(xmlNode* parent, const Value& v) {
  xmlNode* value = xmlNewChild(parent, nullptr, X("value"), nullptr);
  switch (v.type) {
    case Value::Type::String:
      xmlNewTextChild(value, nullptr, X("string"), X(v.text.c_str()));
      break;
    case Value::Type::Int:
      xmlNewTextChild(value, nullptr, X("string"), X(std::to_string(v.integer).c_str()));
      break;
    case Value::Type::Boolean:
      xmlNewTextChild(value, nullptr, X("boolean"), X(v.boolean ? "1" : "0"));
      break;
    case Value::Type::Double:
      xmlNewTextChild(value, nullptr, X("double"), X(FormatDouble(v.real).c_str()));
      break;
    case Value::Type::Array: {
      xmlNode* data = xmlNewChild(xmlNewChild(value, nullptr, X("array"), nullptr), nullptr,
                                  X("data"), nullptr);
      for (const Value& item : v.items) WriteValue(data, item);
      break;
    }
    case Value::Type::Struct: {
      xmlNode* st = xmlNewChild(value, nullptr, X("struct"), nullptr);
      for (const auto& m : v.members) {
        xmlNode* member = xmlNewChild(st, nullptr, X("member"), nullptr);
        xmlNewTextChild(member, nullptr, X("name"), X(m.first.c_str()));
        WriteValue(member, m.second);
      }
      break;
    }
    case Value::Type::Nil:
      xmlNewChild(value, nullptr, X("nil"), nullptr);
      break;
    case Value::Type::Base64:
      xmlNewTextChild(value, nullptr, X("base64"), X(v.text.c_str()));
      break;
    case Value::Type::DateTime:
      xmlNewTextChild(value, nullptr, X("dateTime.iso8601"), X(v.text.c_str()));
      break;
  }
}

bool IsBlank(const xmlChar* s) {
  if (!s) return true;
  for (; *s; ++s)
    if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\n') return false;
  return true;
}

bool NameIs(const xmlNode* node, const char* name) {
  return node && xmlStrcmp(node->name, X(name)) == 0;
}

// Collects the element children of node; false when it also has non-blank text (text
// where markup is expected).
bool Elements(const xmlNode* node, std::vector<const xmlNode*>* out) {
  bool blank = true;
  for (const xmlNode* c = node->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) {
      out->push_back(c);
    } else if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE ||
               c->type == XML_ENTITY_REF_NODE) {
      if (c->type == XML_ENTITY_REF_NODE || !IsBlank(c->content)) blank = false;
    }
  }
  return blank;
}

std::string Text(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string s = content ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return s;
}

std::string Trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool ReadValue(const xmlNode* valueNode, int depth, Value* out, std::string* error) {
  if (depth > kMaxDepth) {
    *error = "values nested too deeply";
    return false;
  }
  std::vector<const xmlNode*> kids;
  const bool onlyBlankText = Elements(valueNode, &kids);
  if (kids.empty()) {  // <value>text</value> is a string
    *out = Value::String(Text(valueNode));
    return true;
  }
  if (!onlyBlankText) {
    *error = "text beside a typed value";
    return false;
  }
  if (kids.size() != 1) {
    *error = "a value holds more than one element";
    return false;
  }
  const xmlNode* t = kids[0];
  const std::string name = reinterpret_cast<const char*>(t->name);
  if (name == "string") {
    *out = Value::String(Text(t));
  } else if (name == "i4" || name == "int" || name == "i8") {
    int64_t i;
    if (!ParseInt64(Trimmed(Text(t)), &i)) {
      *error = "bad integer";
      return false;
    }
    *out = Value::Int(i);
  } else if (name == "boolean") {
    const std::string s = Trimmed(Text(t));
    if (s != "0" && s != "1") {
      *error = "bad boolean";
      return false;
    }
    *out = Value::Bool(s == "1");
  } else if (name == "double") {
    double d;
    if (!ParseDouble(Trimmed(Text(t)), &d)) {
      *error = "bad double";
      return false;
    }
    *out = Value::Double(d);
  } else if (name == "nil") {
    *out = Value();
    out->type = Value::Type::Nil;
  } else if (name == "base64" || name == "dateTime.iso8601") {
    *out = Value::String(Trimmed(Text(t)));
    out->type = name == "base64" ? Value::Type::Base64 : Value::Type::DateTime;
  } else if (name == "array") {
    std::vector<const xmlNode*> data;
    if (!Elements(t, &data) || data.size() != 1 || !NameIs(data[0], "data")) {
      *error = "an array without its data element";
      return false;
    }
    std::vector<const xmlNode*> values;
    if (!Elements(data[0], &values)) {
      *error = "text inside array data";
      return false;
    }
    Value array = Value::Array({});
    array.items.reserve(values.size());
    for (const xmlNode* v : values) {
      if (!NameIs(v, "value")) {
        *error = "an array item that is not a value";
        return false;
      }
      array.items.emplace_back();
      if (!ReadValue(v, depth + 1, &array.items.back(), error)) return false;
    }
    *out = std::move(array);
  } else if (name == "struct") {
    std::vector<const xmlNode*> members;
    if (!Elements(t, &members)) {
      *error = "text inside a struct";
      return false;
    }
    Value st = Value::Struct({});
    st.members.reserve(members.size());
    for (const xmlNode* m : members) {
      std::vector<const xmlNode*> parts;
      if (!NameIs(m, "member") || !Elements(m, &parts)) {
        *error = "a struct entry that is not a member";
        return false;
      }
      const xmlNode* nameNode = nullptr;
      const xmlNode* valueNode2 = nullptr;
      for (const xmlNode* p : parts) {
        if (NameIs(p, "name") && !nameNode) nameNode = p;
        else if (NameIs(p, "value") && !valueNode2) valueNode2 = p;
        else {
          *error = "a struct member with unexpected content";
          return false;
        }
      }
      if (!nameNode || !valueNode2) {
        *error = "a struct member without name or value";
        return false;
      }
      st.members.emplace_back(Text(nameNode), Value());
      if (!ReadValue(valueNode2, depth + 1, &st.members.back().second, error)) return false;
    }
    *out = std::move(st);
  } else {
    *error = "unknown value type <" + name + ">";
    return false;
  }
  return true;
}

}  // namespace

std::string BuildCall(const std::string& method, const std::vector<Value>& params) {
  DocPtr doc(xmlNewDoc(X("1.0")));
  xmlNode* root = xmlNewNode(nullptr, X("methodCall"));
  xmlDocSetRootElement(doc.get(), root);
  xmlNewTextChild(root, nullptr, X("methodName"), X(method.c_str()));
  xmlNode* ps = xmlNewChild(root, nullptr, X("params"), nullptr);
  for (const Value& p : params) WriteValue(xmlNewChild(ps, nullptr, X("param"), nullptr), p);
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc.get(), &mem, &size, "UTF-8", 0);
  std::string out = mem ? std::string(reinterpret_cast<const char*>(mem), static_cast<size_t>(size))
                        : std::string();
  xmlFree(mem);
  return out;
}

bool ParseResponse(const char* data, size_t length, Response* response, std::string* error) {
  if (length == 0) {
    *error = "empty response";
    return false;
  }
  const xml::DocPtr doc = xml::ReadUntrusted(data, length, "response", error);
  if (!doc) return false;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  std::vector<const xmlNode*> kids;
  if (!root || !NameIs(root, "methodResponse") || !Elements(root, &kids) || kids.size() != 1) {
    *error = "response is not an XML-RPC method response";
    return false;
  }
  const xmlNode* body = kids[0];
  std::vector<const xmlNode*> inner;
  if (NameIs(body, "fault")) {
    if (!Elements(body, &inner) || inner.size() != 1 || !NameIs(inner[0], "value")) {
      *error = "fault without a value";
      return false;
    }
    response->fault = true;
    return ReadValue(inner[0], 0, &response->value, error);
  }
  if (!NameIs(body, "params") || !Elements(body, &inner) || inner.size() != 1 ||
      !NameIs(inner[0], "param")) {
    *error = "response without exactly one parameter";
    return false;
  }
  std::vector<const xmlNode*> param;
  if (!Elements(inner[0], &param) || param.size() != 1 || !NameIs(param[0], "value")) {
    *error = "parameter without a value";
    return false;
  }
  response->fault = false;
  return ReadValue(param[0], 0, &response->value, error);
}

}  // namespace xmlrpc
}  // namespace xenapi
