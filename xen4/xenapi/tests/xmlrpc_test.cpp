#include "xmlrpc.h"

#include <gtest/gtest.h>

#include <string>

using xenapi::xmlrpc::BuildCall;
using xenapi::xmlrpc::ParseResponse;
using xenapi::xmlrpc::Response;
using xenapi::xmlrpc::Value;

namespace {

std::string Wrap(const std::string& value) {
  return "<?xml version=\"1.0\"?><methodResponse><params><param>" + value +
         "</param></params></methodResponse>";
}

Response MustParse(const std::string& doc) {
  Response r;
  std::string error;
  EXPECT_TRUE(ParseResponse(doc.data(), doc.size(), &r, &error)) << error << " in " << doc;
  return r;
}

std::string MustFail(const std::string& doc) {
  Response r;
  std::string error;
  EXPECT_FALSE(ParseResponse(doc.data(), doc.size(), &r, &error)) << doc;
  EXPECT_FALSE(error.empty());
  return error;
}

}  // namespace

TEST(XmlRpcWrite, CallCarriesMethodAndTypedParamsInOrder) {
  const std::string doc = BuildCall("VM.start", {Value::String("OpaqueRef:s"), Value::String("OpaqueRef:vm"),
                                                 Value::Bool(false), Value::Int(34359738368LL)});
  EXPECT_NE(doc.find("<methodName>VM.start</methodName>"), std::string::npos) << doc;
  const auto s = doc.find("<string>OpaqueRef:s</string>");
  const auto vm = doc.find("<string>OpaqueRef:vm</string>");
  const auto b = doc.find("<boolean>0</boolean>");
  // 64-bit integers travel as strings.
  const auto i = doc.find("<string>34359738368</string>");
  ASSERT_NE(s, std::string::npos);
  ASSERT_NE(vm, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(i, std::string::npos);
  EXPECT_LT(s, vm);
  EXPECT_LT(vm, b);
  EXPECT_LT(b, i);
}

TEST(XmlRpcWrite, TextIsEscaped) {
  const std::string doc = BuildCall("session.login_with_password",
                                    {Value::String("root"), Value::String("a<b&c>\"d")});
  EXPECT_EQ(doc.find("a<b"), std::string::npos);
  EXPECT_NE(doc.find("a&lt;b&amp;c&gt;"), std::string::npos) << doc;
}

TEST(XmlRpcWrite, NestedValuesRoundTripThroughTheReader) {
  Value st = Value::Struct({{"a", Value::Array({Value::String("x"), Value::Double(0.25)})},
                            {"b", Value::Bool(true)}});
  std::string call = BuildCall("m", {st});
  // Reuse the call's <param> as a response's.
  const auto from = call.find("<param>");
  const auto to = call.rfind("</param>") + 8;
  const Response r = MustParse("<methodResponse><params>" + call.substr(from, to - from) + "</params></methodResponse>");
  ASSERT_EQ(r.value.type, Value::Type::Struct);
  const Value* a = r.value.Member("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->items.size(), 2u);
  EXPECT_EQ(a->items[0].text, "x");
  EXPECT_DOUBLE_EQ(a->items[1].real, 0.25);
  ASSERT_NE(r.value.Member("b"), nullptr);
  EXPECT_TRUE(r.value.Member("b")->boolean);
}

TEST(XmlRpcRead, ScalarTypes) {
  EXPECT_EQ(MustParse(Wrap("<value><string>abc</string></value>")).value.text, "abc");
  // A bare value is a string, its spaces kept.
  const Response bare = MustParse(Wrap("<value> OpaqueRef:1 </value>"));
  EXPECT_EQ(bare.value.type, Value::Type::String);
  EXPECT_EQ(bare.value.text, " OpaqueRef:1 ");
  EXPECT_EQ(MustParse(Wrap("<value></value>")).value.text, "");
  EXPECT_EQ(MustParse(Wrap("<value/>")).value.type, Value::Type::String);
  EXPECT_EQ(MustParse(Wrap("<value><string/></value>")).value.text, "");
  EXPECT_EQ(MustParse(Wrap("<value><i4>-7</i4></value>")).value.integer, -7);
  EXPECT_EQ(MustParse(Wrap("<value><int>+12</int></value>")).value.integer, 12);
  EXPECT_EQ(MustParse(Wrap("<value><i8>9007199254740993</i8></value>")).value.integer, 9007199254740993LL);
  EXPECT_TRUE(MustParse(Wrap("<value><boolean>1</boolean></value>")).value.boolean);
  EXPECT_DOUBLE_EQ(MustParse(Wrap("<value><double> 0.125 </double></value>")).value.real, 0.125);
  EXPECT_EQ(MustParse(Wrap("<value><string><![CDATA[a<b]]></string></value>")).value.text, "a<b");
  EXPECT_EQ(MustParse(Wrap("<value><string>a&amp;b&#x41;</string></value>")).value.text, "a&bA");
  EXPECT_EQ(MustParse(Wrap("<value><dateTime.iso8601>20120101T00:00:00Z</dateTime.iso8601></value>"))
                .value.type,
            Value::Type::DateTime);
}

TEST(XmlRpcRead, StructKeepsWireOrderAndEveryMember) {
  const Response r = MustParse(Wrap(
      "<value><struct>\n  <member><name>free</name><value>10</value></member>\n"
      "  <member><name>total</name><value>40</value></member>\n"
      "  <member><name>unknown_field</name><value><array><data/></array></value></member>\n"
      "</struct></value>"));
  ASSERT_EQ(r.value.members.size(), 3u);
  EXPECT_EQ(r.value.members[0].first, "free");
  EXPECT_EQ(r.value.members[1].first, "total");
  EXPECT_EQ(r.value.Member("total")->text, "40");
  EXPECT_EQ(r.value.Member("missing"), nullptr);
}

TEST(XmlRpcRead, Fault) {
  const Response r = MustParse(
      "<methodResponse><fault><value><struct><member><name>faultCode</name><value><int>4</int></value>"
      "</member><member><name>faultString</name><value>bad</value></member></struct></value></fault>"
      "</methodResponse>");
  EXPECT_TRUE(r.fault);
  EXPECT_EQ(r.value.Member("faultCode")->integer, 4);
  EXPECT_EQ(r.value.Member("faultString")->text, "bad");
}

TEST(XmlRpcRead, BrokenDocumentsAreRefused) {
  MustFail("");
  MustFail("not xml at all");
  MustFail("<methodResponse><params><param><value><struct><member>");  // truncated
  MustFail("<html><body>500</body></html>");
  MustFail("<methodResponse/>");
  MustFail("<methodResponse><params/></methodResponse>");
  MustFail("<methodResponse><params><param/></params></methodResponse>");
  MustFail(Wrap("<value><int>12x</int></value>"));
  MustFail(Wrap("<value><int>99999999999999999999</int></value>"));
  MustFail(Wrap("<value><boolean>yes</boolean></value>"));
  MustFail(Wrap("<value><double>1,5</double></value>"));
  MustFail(Wrap("<value><blob>1</blob></value>"));
  MustFail(Wrap("<value><string>a</string><string>b</string></value>"));
  MustFail(Wrap("<value>text<string>b</string></value>"));
  MustFail(Wrap("<value><array><value>1</value></array></value>"));
  MustFail(Wrap("<value><struct><member><value>1</value></member></struct></value>"));
  MustFail(Wrap("<value><struct><junk/></struct></value>"));
  // Embedded NUL and invalid encodings.
  const char withNul[] = "<methodResponse>\0</methodResponse>";
  MustFail(std::string(withNul, sizeof withNul - 1));
  MustFail(Wrap("<value>\xff\xfe</value>"));
}

TEST(XmlRpcRead, DeepNestingIsRefusedNotFollowed) {
  std::string open, close;
  for (int i = 0; i < 200; ++i) {
    open += "<value><array><data>";
    close = "</data></array></value>" + close;
  }
  MustFail(Wrap(open + "<value>x</value>" + close));
  // Within the limit it reads.
  open.clear();
  close.clear();
  for (int i = 0; i < 10; ++i) {
    open += "<value><array><data>";
    close = "</data></array></value>" + close;
  }
  MustParse(Wrap(open + "<value>x</value>" + close));
}

TEST(XmlRpcRead, DocumentTypeDeclarationsAreRefused) {
  // Neither an external entity (never fetched) nor an internal one (never expanded).
  const std::string error = MustFail(
      "<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY x SYSTEM \"file:///etc/passwd\">"
      "<!ENTITY y \"expanded\">]><methodResponse><params><param><value><string>&x;&y;</string>"
      "</value></param></params></methodResponse>");
  EXPECT_EQ(error.find("root:"), std::string::npos);
  MustFail("<!DOCTYPE methodResponse><methodResponse><params><param><value>a</value></param>"
           "</params></methodResponse>");
}

TEST(XmlRpcNumbers, DecimalTextIsLocaleIndependentAndStrict) {
  int64_t i = 0;
  EXPECT_TRUE(xenapi::xmlrpc::ParseInt64("34359738368", &i));
  EXPECT_EQ(i, 34359738368LL);
  EXPECT_TRUE(xenapi::xmlrpc::ParseInt64("-1", &i));
  EXPECT_FALSE(xenapi::xmlrpc::ParseInt64("", &i));
  EXPECT_FALSE(xenapi::xmlrpc::ParseInt64("12 ", &i));
  EXPECT_FALSE(xenapi::xmlrpc::ParseInt64("+", &i));
  double d = 0;
  EXPECT_TRUE(xenapi::xmlrpc::ParseDouble("2.5e3", &d));
  EXPECT_DOUBLE_EQ(d, 2500.0);
  EXPECT_FALSE(xenapi::xmlrpc::ParseDouble("2,5", &d));
  EXPECT_FALSE(xenapi::xmlrpc::ParseDouble("abc", &d));
}
