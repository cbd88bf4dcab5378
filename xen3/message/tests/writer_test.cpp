// The request text, byte for byte. The expected texts are written out by hand from the
// protocol's notation, not produced by the code under test.
#include <gtest/gtest.h>

#include <locale>
#include <sstream>

#include "test_support.h"
#include "xs_requests.h"

namespace {

const std::string kSession = "0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6";
const std::string kUser = "admin";
const std::string kPassword = "secret";
const std::string kVm = "a1b2c3d4-0000-4000-8000-00000000abcd";

// What the sender does before writing.
std::string sent(std::unique_ptr<XsMessage> message) {
  message->sync = 1;
  return written(*message);
}

TEST(RequestText, SessionCommands) {
  EXPECT_EQ(sent(buildSignOnMain(kSession, kUser, kPassword, 4)),
            "(\"msg\" (\"cmd\" \"sign_on_main\")(\"payload\" (\"major_version\" \"2\")"
            "(\"minor_version\" \"4\")(\"username\" \"admin\")(\"password\" \"secret\"))"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
  EXPECT_EQ(sent(buildSignOnMain(kSession, kUser, kPassword, 3)),
            "(\"msg\" (\"cmd\" \"sign_on_main\")(\"payload\" (\"major_version\" \"2\")"
            "(\"minor_version\" \"3\")(\"username\" \"admin\")(\"password\" \"secret\"))"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
  EXPECT_EQ(sent(buildSignOnBack(kSession, kUser, kPassword, 5)),
            "(\"msg\" (\"cmd\" \"sign_on_back\")(\"payload\" (\"force\" \"true\")"
            "(\"username\" \"admin\")(\"password\" \"secret\")(\"data_interval\" \"5\"))"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
  EXPECT_EQ(sent(buildGetConfiguration(kSession)),
            "(\"msg\" (\"cmd\" \"mh_getcfg\")"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
  EXPECT_EQ(sent(buildHostShutdown(kSession, kXsHalt)),
            "(\"msg\" (\"cmd\" \"mh_shutdown\")(\"payload\" (\"type\" \"halt\"))"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
  EXPECT_EQ(sent(buildHostShutdown(kSession, kXsReboot)),
            "(\"msg\" (\"cmd\" \"mh_shutdown\")(\"payload\" (\"type\" \"reboot\"))"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
  EXPECT_EQ(sent(buildSignOffMain(kSession)),
            "(\"msg\" (\"cmd\" \"sign_off_main\")"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
}

TEST(RequestText, VmCommands) {
  EXPECT_EQ(sent(buildVmStartup(kSession, kVm)),
            "(\"msg\" (\"cmd\" \"vm_startup\")(\"payload\" "
            "(\"uuid\" \"a1b2c3d4-0000-4000-8000-00000000abcd\")(\"start_force\" \"1\"))"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n");
  const char* tail =
      "(\"payload\" (\"uuid\" \"a1b2c3d4-0000-4000-8000-00000000abcd\"))"
      "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\")(\"sync\" \"1\"))\n\n";
  EXPECT_EQ(sent(buildVmShutdown(kSession, kVm)), std::string("(\"msg\" (\"cmd\" \"vm_shutdown\")") + tail);
  EXPECT_EQ(sent(buildVmSave(kSession, kVm)), std::string("(\"msg\" (\"cmd\" \"vm_save\")") + tail);
  EXPECT_EQ(sent(buildVmRestore(kSession, kVm)), std::string("(\"msg\" (\"cmd\" \"vm_restore\")") + tail);
  EXPECT_EQ(sent(buildVmReboot(kSession, kVm)), std::string("(\"msg\" (\"cmd\" \"vm_reboot\")") + tail);
  EXPECT_EQ(sent(buildVmPause(kSession, kVm)), std::string("(\"msg\" (\"cmd\" \"vm_pause\")") + tail);
  EXPECT_EQ(sent(buildVmUnpause(kSession, kVm)), std::string("(\"msg\" (\"cmd\" \"vm_unpause\")") + tail);
}

TEST(RequestText, AbsentAndEdgeFields) {
  // Built but not yet sent: "sync" is still absent and not written.
  EXPECT_EQ(written(*buildGetConfiguration(kSession)),
            "(\"msg\" (\"cmd\" \"mh_getcfg\")"
            "(\"session_id\" \"0f8e6f2a-1c3b-4d5e-8f90-a1b2c3d4e5f6\"))\n\n");
  // An empty session identifier is still written; sync 0 counts as present.
  const std::string empty;
  auto message = buildSignOffMain(empty);
  message->sync = 0;
  EXPECT_EQ(written(*message), "(\"msg\" (\"cmd\" \"sign_off_main\")(\"session_id\" \"\")(\"sync\" \"0\"))\n\n");
  // A negative data interval is left out; 0 is written.
  EXPECT_EQ(written(*buildSignOnBack(empty, kUser, kPassword, -3)),
            "(\"msg\" (\"cmd\" \"sign_on_back\")(\"payload\" (\"force\" \"true\")"
            "(\"username\" \"admin\")(\"password\" \"secret\"))(\"session_id\" \"\"))\n\n");
  EXPECT_EQ(written(*buildSignOnBack(empty, kUser, kPassword, 0)),
            "(\"msg\" (\"cmd\" \"sign_on_back\")(\"payload\" (\"force\" \"true\")"
            "(\"username\" \"admin\")(\"password\" \"secret\")(\"data_interval\" \"0\"))"
            "(\"session_id\" \"\"))\n\n");
  // A message without command, payload or session: just the list name.
  EXPECT_EQ(written(XsMessage()), "(\"msg\" )\n\n");
  // An empty payload keeps the space after its name; a false flag is never written.
  XsPayload payload;
  EXPECT_EQ(written(payload), "(\"payload\" )");
  // Classes without a text form write nothing.
  EXPECT_EQ(written(XsHost()), "");
  EXPECT_EQ(written(XsGuestMetrics()), "");
  EXPECT_EQ(written(XsAttribute()), "");
}

TEST(RequestText, PayloadOrderIsFixed) {
  const std::string uuid = "u", user = "n", pass = "p";
  XsPayload payload;  // set in the reverse of the written order
  payload.startForce = 9;
  payload.dataInterval = 8;
  payload.password = &pass;
  payload.username = &user;
  payload.force = true;
  payload.minorVersion = 7;
  payload.majorVersion = 6;
  payload.type = "t";
  payload.uuid = &uuid;
  EXPECT_EQ(written(payload),
            "(\"payload\" (\"uuid\" \"u\")(\"type\" \"t\")(\"major_version\" \"6\")"
            "(\"minor_version\" \"7\")(\"force\" \"true\")(\"username\" \"n\")"
            "(\"password\" \"p\")(\"data_interval\" \"8\")(\"start_force\" \"9\"))");
  // Received-only blocks are not part of a request's text.
  payload.attr = std::make_unique<XsAttribute>();
  payload.data = std::make_unique<XsData>();
  payload.majorVersion = -1;
  payload.minorVersion = -1;
  payload.startForce = -1;
  payload.dataInterval = -1;
  payload.force = false;
  payload.type.reset();
  EXPECT_EQ(written(payload), "(\"payload\" (\"uuid\" \"u\")(\"username\" \"n\")(\"password\" \"p\"))");
}

TEST(RequestText, ValuesAreEscapedKeysAreNot) {
  const std::string session = "s\"1\\";
  const std::string user = "\\\\";
  const std::string pass = "a\"b\\c\nd\xE9\xFF()";
  auto message = buildSignOnMain(session, user, pass, 4);
  message->sync = 1;
  EXPECT_EQ(written(*message),
            "(\"msg\" (\"cmd\" \"sign_on_main\")(\"payload\" (\"major_version\" \"2\")"
            "(\"minor_version\" \"4\")(\"username\" \"\\\\\\\\\")"
            "(\"password\" \"a\\\"b\\\\c\nd\xE9\xFF()\"))"
            "(\"session_id\" \"s\\\"1\\\\\")(\"sync\" \"1\"))\n\n");
}

// Integers are decimal digits whatever the stream's locale says about grouping.
TEST(RequestText, IgnoresStreamLocale) {
  struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\1"; }
  };
  const std::string empty;
  auto message = buildSignOnBack(empty, empty, empty, 12345);
  message->sync = 1;
  std::ostringstream out;
  out.imbue(std::locale(std::locale::classic(), new Grouping));
  message->writeTo(out);
  EXPECT_EQ(out.str(),
            "(\"msg\" (\"cmd\" \"sign_on_back\")(\"payload\" (\"force\" \"true\")"
            "(\"username\" \"\")(\"password\" \"\")(\"data_interval\" \"12345\"))"
            "(\"session_id\" \"\")(\"sync\" \"1\"))\n\n");
}

TEST(RequestText, OnlyTheFrameEndHasLineFeeds) {
  const std::string text = sent(buildSignOnBack(kSession, kUser, kPassword, 5));
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 3), ")\n\n");
  EXPECT_EQ(text.find('\n'), text.size() - 2);
}

// The request refers to the conversation's texts: it sees later changes and destroying
// it leaves them alone.
TEST(RequestText, BorrowedTextsAreReferencedNotCopied) {
  std::string session = "before";
  std::string vm = "vm-1";
  auto message = buildVmPause(session, vm);
  EXPECT_EQ(message->sessionId, &session);
  EXPECT_EQ(message->payload->uuid, &vm);
  session = "after";
  vm = "vm-2";
  EXPECT_EQ(written(*message),
            "(\"msg\" (\"cmd\" \"vm_pause\")(\"payload\" (\"uuid\" \"vm-2\"))(\"session_id\" \"after\"))\n\n");
  message.reset();
  EXPECT_EQ(session, "after");
  EXPECT_EQ(vm, "vm-2");
}

}  // namespace
