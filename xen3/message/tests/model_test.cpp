// ReplyStatus and HostConfiguration: what they take out of a reply.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::unique_ptr<XsMessage> reply(const std::string& fields) {
  auto m = readText("(\"msg\" " + fields + ")\n\n");
  EXPECT_NE(m, nullptr);
  return m;
}

TEST(ReplyStatusOf, SuccessInAnyLetterCase) {
  for (const char* status : {"SUCCESS", "success", "Success", "sUcCeSs"}) {
    auto m = reply(std::string("(\"status\" \"") + status + "\")(\"reason\" \"kept\")(\"reason_code\" \"3\")");
    auto s = takeReplyStatus(m.get());
    ASSERT_NE(s, nullptr) << status;
    EXPECT_TRUE(s->success) << status;
    EXPECT_FALSE(s->reason.has_value());
    EXPECT_EQ(m->reason, "kept");  // nothing is taken from a success
  }
  for (const char* status : {"SUCCESS ", " SUCCESS", "SUCCES", "SUCCESSS", "FAILURE", "",
                             "\xD3UCCESS", "SUCC\0SS"}) {
    auto m = reply(std::string("(\"status\" \"") + status + "\")");
    auto s = takeReplyStatus(m.get());
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->success) << status;
  }
  EXPECT_TRUE(isSuccessStatus("SuCcEsS"));
  EXPECT_FALSE(isSuccessStatus(std::string_view("SUCCESS\0", 8)));
}

TEST(EqualsIgnoringAsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(equalsIgnoringAsciiCase("xs_Data_SUMMARY", "XS_DATA_summary"));
  EXPECT_FALSE(equalsIgnoringAsciiCase("XS_DATA", "XS_DATA_SUMMARY"));
  // Bytes 0x20 apart that are not letters, and letters above 0x7F, must match exactly.
  EXPECT_FALSE(equalsIgnoringAsciiCase("@[", "`{"));
  EXPECT_FALSE(equalsIgnoringAsciiCase("\xC9", "\xE9"));
  EXPECT_TRUE(equalsIgnoringAsciiCase("", ""));
}

TEST(ReplyStatusOf, FailureTakesTheReason) {
  auto m = reply("(\"status\" \"FAILURE\")(\"reason\" \"VM not found\")(\"reason_code\" \"404\")");
  auto s = takeReplyStatus(m.get());
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->success);
  EXPECT_EQ(s->reason, "VM not found");
  EXPECT_EQ(s->reasonCode, 404);
  EXPECT_FALSE(m->reason.has_value());  // moved out of the reply
  EXPECT_EQ(m->reasonCode, 404);
  m.reset();
  EXPECT_EQ(s->reason, "VM not found");
  // Without a reason: a failure with an absent reason and code.
  m = reply("(\"status\" \"ERROR\")");
  s = takeReplyStatus(m.get());
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->success);
  EXPECT_FALSE(s->reason.has_value());
  EXPECT_EQ(s->reasonCode, -1);
}

TEST(ReplyStatusOf, NoStatusIsNotAFailure) {
  EXPECT_EQ(takeReplyStatus(nullptr), nullptr);
  auto m = reply("(\"reason\" \"r\")(\"status\")");
  EXPECT_EQ(takeReplyStatus(m.get()), nullptr);
  EXPECT_EQ(m->reason, "r");
}

const char kConfigured[] =
    "(\"status\" \"Success\")(\"payload\" (\"attr\" (\"mh\" (\"name\" \"host\"))"
    "(\"vm\" (\"name\" \"a\"))(\"vm\" (\"name\" \"b\"))))";

TEST(HostConfigurationOf, TakesHostAndGuests) {
  auto m = reply(kConfigured);
  auto c = takeHostConfiguration(m.get());
  ASSERT_NE(c, nullptr);
  ASSERT_NE(c->host, nullptr);
  EXPECT_EQ(c->host->name, "host");
  ASSERT_EQ(c->guests.size(), 2u);
  EXPECT_EQ(c->guests[1]->name, "b");
  // The reply keeps its "attr" block but no longer holds the host or any guest.
  ASSERT_NE(m->payload->attr, nullptr);
  EXPECT_EQ(m->payload->attr->host, nullptr);
  EXPECT_TRUE(m->payload->attr->guests.empty());
  // Taking again finds an empty configuration, not the same objects twice.
  auto again = takeHostConfiguration(m.get());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->host, nullptr);
  EXPECT_TRUE(again->guests.empty());
  // Destroying the reply leaves the taken objects alive (a sanitizer build checks this).
  m.reset();
  EXPECT_EQ(c->host->name, "host");
  EXPECT_EQ(c->guests[0]->name, "a");
}

TEST(HostConfigurationOf, NoneUnlessSuccessWithAttr) {
  EXPECT_EQ(takeHostConfiguration(nullptr), nullptr);
  // No status.
  auto m = reply("(\"payload\" (\"attr\" (\"mh\")))");
  EXPECT_EQ(takeHostConfiguration(m.get()), nullptr);
  EXPECT_NE(m->payload->attr->host, nullptr);
  // A failure: the reply is left untouched, its reason included.
  m = reply("(\"status\" \"FAILED\")(\"reason\" \"why\")(\"payload\" (\"attr\" (\"mh\")(\"vm\")))");
  EXPECT_EQ(takeHostConfiguration(m.get()), nullptr);
  EXPECT_NE(m->payload->attr->host, nullptr);
  EXPECT_EQ(m->payload->attr->guests.size(), 1u);
  EXPECT_EQ(m->reason, "why");
  // Success without payload, or without "attr".
  EXPECT_EQ(takeHostConfiguration(reply("(\"status\" \"SUCCESS\")").get()), nullptr);
  EXPECT_EQ(takeHostConfiguration(reply("(\"status\" \"SUCCESS\")(\"payload\" (\"data\"))").get()),
            nullptr);
  // Success with an "attr" lacking the host: a configuration without host.
  m = reply("(\"status\" \"SUCCESS\")(\"payload\" (\"attr\" (\"vm\" (\"uuid\" \"u\"))))");
  auto c = takeHostConfiguration(m.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->host, nullptr);
  ASSERT_EQ(c->guests.size(), 1u);
  EXPECT_EQ(c->guests[0]->uuid, "u");
}

}  // namespace
