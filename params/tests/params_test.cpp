#include "params.h"

#include <gtest/gtest.h>

#include <string>

using namespace brenmo;

namespace {

std::string Bytes(const std::initializer_list<int>& values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

}  // namespace

TEST(LookupValue, FindsKeysRegardlessOfCaseAndKeepsTheValueCase) {
  const std::wstring p = L"#vstp=XEN#usr=Admin#Pwd=c2VjcmV0#xvr=3#vmn=Web01#vms=UP#";
  EXPECT_EQ(LookupValue(p, L"USR"), L"Admin");
  EXPECT_EQ(LookupValue(p, L"pwd"), L"c2VjcmV0");
  EXPECT_EQ(LookupValue(p, L"VMN"), L"Web01");
  EXPECT_EQ(LookupValue(p, L"  vms "), L"UP");  // the key is trimmed
  EXPECT_EQ(LookupValue(p, L"XVR"), L"3");
}

TEST(LookupValue, ValueEndsAtNextHashOrAtTheEnd) {
  const std::wstring withHash = L"#USR=root#VMN=web01#";
  const std::wstring withoutHash = L"#USR=root#VMN=web01";
  EXPECT_EQ(LookupValue(withHash, L"VMN"), LookupValue(withoutHash, L"VMN"));
  EXPECT_EQ(LookupValue(withoutHash, L"VMN"), L"web01");
  EXPECT_EQ(LookupValue(L"#VMN=web#01#VMS=UP#", L"VMN"), L"web");  // "#" cuts the value
  EXPECT_EQ(LookupValue(L"#VMN=#VMS=UP#", L"VMN"), L"");
  EXPECT_EQ(LookupValue(L"#VMN=", L"VMN"), L"");
}

TEST(LookupValue, MissingKeyFirstMatchAndOrder) {
  const std::wstring p = L"#VMS=DOWN#USR=a#USR=b#";
  EXPECT_EQ(LookupValue(p, L"PWD"), L"");
  EXPECT_EQ(LookupValue(p, L"USR"), L"a");
  EXPECT_EQ(LookupValue(p, L"VMS"), L"DOWN");
  EXPECT_EQ(LookupValue(L"", L"USR"), L"");
  // A key must be preceded by "#" and followed by "=": no partial matches.
  EXPECT_EQ(LookupValue(L"USR=x#XUSR=y#USRX=z#", L"USR"), L"");
  EXPECT_EQ(LookupValue(L"#XUSR=y#USR=z#", L"USR"), L"z");
}

TEST(Base64, EncodesStandardForms) {
  EXPECT_EQ(Base64Encode(""), L"");
  EXPECT_EQ(Base64Encode("f"), L"Zg==");
  EXPECT_EQ(Base64Encode("fo"), L"Zm8=");
  EXPECT_EQ(Base64Encode("foo"), L"Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), L"Zm9vYmFy");
  EXPECT_EQ(Base64Encode(Bytes({0xFB, 0xFF, 0xBF})), L"+/+/");
  EXPECT_EQ(Base64Encode(Bytes({0x00, 0xE9})), L"AOk=");
}

TEST(Base64, RoundTripsEveryByteValueAndLength) {
  std::string all;
  for (int v = 0; v < 256; ++v) all += static_cast<char>(v);
  for (std::size_t n = 0; n <= all.size(); n += 37) {
    const std::string part = all.substr(all.size() - n);
    const auto decoded = Base64Decode(Base64Encode(part));
    ASSERT_TRUE(decoded.has_value()) << n;
    EXPECT_EQ(*decoded, part) << n;
  }
  const auto secret = Base64Decode(Base64Encode("p#ss=w0rd#"));
  ASSERT_TRUE(secret);
  EXPECT_EQ(*secret, "p#ss=w0rd#");
}

TEST(Base64, DecodingIsTolerant) {
  EXPECT_EQ(Base64Decode(L""), std::string());
  EXPECT_EQ(Base64Decode(L"Zm8"), std::string("fo"));   // missing characters count as "="
  EXPECT_EQ(Base64Decode(L"Zg"), std::string("f"));
  EXPECT_EQ(Base64Decode(L"Z"), std::string());         // first "=" in second position: nothing
  EXPECT_EQ(Base64Decode(L"Z==="), std::string());
  // Characters outside the alphabet count as 0 and never fail.
  EXPECT_EQ(Base64Decode(L"Z!8="), Base64Decode(L"ZA8="));
  EXPECT_EQ(Base64Decode(L"\u00e9\u00e9\u00e9\u00e9"), Bytes({0, 0, 0}));
  // "=" inside the text ends a group's bytes, later groups still count.
  EXPECT_EQ(Base64Decode(L"Zg==Zm9v"), std::string("ffoo"));
}

TEST(Base64, FailsOnlyOnAGroupStartingWithPadding) {
  EXPECT_FALSE(Base64Decode(L"="));
  EXPECT_FALSE(Base64Decode(L"===="));
  EXPECT_FALSE(Base64Decode(L"Zm9v=m9v"));
  EXPECT_TRUE(Base64Decode(L"Zm9vZ=9v"));
}

TEST(ParameterString, WriterProducesTheExactForm) {
  EXPECT_EQ(WriteParameterString(L"  root ", " pa ss ", true, L" web01 ", L" UP "),
            L"#VSTP=XEN#USR=root#PWD=IHBhIHNzIA==#XVR=3#VMN=web01#VMS=UP#");
  EXPECT_EQ(WriteParameterString(L"", "", false, L"", L""), L"#VSTP=XEN#USR=#PWD=#XVR=4#VMN=#VMS=#");
  // Only spaces are trimmed; a tab belongs to the value.
  EXPECT_EQ(WriteParameterString(L"\troot ", "", false, L"   ", L"UP\t"), L"#VSTP=XEN#USR=\troot#PWD=#XVR=4#VMN=#VMS=UP\t#");
}

TEST(ParameterString, WhatTheWriterWritesTheLookupReadsBack) {
  const std::string password = "#se=cret# ";
  const std::wstring p = WriteParameterString(L"Admin", password, false, L"Db 01", L"SUSPENDED");
  EXPECT_EQ(LookupValue(p, L"VSTP"), L"XEN");
  EXPECT_EQ(LookupValue(p, L"USR"), L"Admin");
  EXPECT_EQ(LookupValue(p, L"XVR"), L"4");
  EXPECT_EQ(LookupValue(p, L"VMN"), L"Db 01");
  EXPECT_EQ(LookupValue(p, L"VMS"), L"SUSPENDED");
  const auto decoded = Base64Decode(LookupValue(p, L"PWD"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, password);  // "#" and spaces survive in Base64
}

TEST(Password, Windows1252BytesBecomeUtf8) {
  EXPECT_EQ(Windows1252ToUtf8("xenroot"), "xenroot");
  // e acute, the euro sign, Y diaeresis (the last of 0x80..0x9F), an undefined position,
  // y diaeresis (0xFF).
  EXPECT_EQ(Windows1252ToUtf8(Bytes({0xE9, 0x80, 0x9F, 0x81, 0xFF})),
            Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xC5, 0xB8, 0xC2, 0x81, 0xC3, 0xBF}));
}

TEST(Version, ComparedAsANumber) {
  EXPECT_TRUE(SelectsXen3(L"3"));
  EXPECT_TRUE(SelectsXen3(L" 3 "));
  EXPECT_TRUE(SelectsXen3(L"3.0"));
  EXPECT_TRUE(SelectsXen3(L"03"));
  EXPECT_TRUE(SelectsXen3(L"0.3e1"));
  EXPECT_FALSE(SelectsXen3(L"4"));
  EXPECT_FALSE(SelectsXen3(L"3.1"));
  EXPECT_FALSE(SelectsXen3(L"-3"));
  EXPECT_FALSE(SelectsXen3(L""));
  EXPECT_FALSE(SelectsXen3(L"3x"));
  EXPECT_FALSE(SelectsXen3(L"Xen 3.x"));
  EXPECT_EQ(VersionNumber(L"4"), 4.0);
  EXPECT_EQ(VersionNumber(L"-2.5"), -2.5);
  EXPECT_FALSE(VersionNumber(L""));
  EXPECT_FALSE(VersionNumber(L"."));
  EXPECT_FALSE(VersionNumber(L"1e"));
  EXPECT_FALSE(VersionNumber(L"3 4"));
}
