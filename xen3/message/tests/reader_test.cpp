// readMessage and the conversions of received values.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale>

#include "test_support.h"
#include "xs_requests.h"

namespace {

const char kSummary[] =
    "(\"msg\" (\"cmd\" \"XS_DATA_SUMMARY\")(\"so_id\" \"so\")(\"wo_id\" \"wo\")(\"ws_id\" \"ws\")"
    "(\"mh_id\" \"mh\")(\"vm_id\" \"vm\")(\"session_id\" \"sid\")(\"sync\" \"0\")(\"action\" \"push\")"
    "(\"payload\" (\"data\" "
    "(\"mh\" (\"id\" \"host-1\")(\"time\" \"12:00:00\")(\"xm_cpu_usage\" \"0.25\")(\"bd_io\" \"11\")"
    "(\"meminfo_free\" \"1024\")(\"if_io\" \"12\")(\"bd_total\" \"500\")(\"bd_free\" \"200\"))"
    "(\"vm\" (\"uuid\" \"g1\")(\"state\" \"UP\")(\"time\" \"t1\")(\"cpu_usage\" \"0.5\")"
    "(\"uptime_system\" \"100.5\")(\"uptime_idle\" \"7e1\")(\"vbd_io\" \"3\")(\"meminfo_free\" \"256\")"
    "(\"meminfo_total\" \"512\")(\"vif_io\" \"4\")(\"num_vcpu\" \"2\"))"
    "(\"vm\" (\"uuid\" \"g2\")(\"state\" \"DOWN\"))))"
    ")\n\n";

TEST(ReadMessage, DataSummary) {
  auto m = readText(kSummary);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->receivedCmd, "XS_DATA_SUMMARY");
  EXPECT_FALSE(m->command.has_value());
  EXPECT_EQ(m->soId, "so");
  EXPECT_EQ(m->woId, "wo");
  EXPECT_EQ(m->wsId, "ws");
  EXPECT_EQ(m->mhId, "mh");
  EXPECT_EQ(m->vmId, "vm");
  EXPECT_EQ(m->receivedSessionId, "sid");
  EXPECT_EQ(m->sessionId, nullptr);
  EXPECT_EQ(m->sync, 0);
  EXPECT_EQ(m->action, "push");
  EXPECT_FALSE(m->status.has_value());
  EXPECT_FALSE(m->reason.has_value());
  EXPECT_EQ(m->reasonCode, -1);
  ASSERT_NE(m->payload, nullptr);
  EXPECT_EQ(m->payload->majorVersion, -1);
  EXPECT_EQ(m->payload->attr, nullptr);
  ASSERT_NE(m->payload->data, nullptr);
  const XsData& data = *m->payload->data;
  ASSERT_NE(data.hostMetrics, nullptr);
  const XsHostMetrics& h = *data.hostMetrics;
  EXPECT_EQ(h.id, "host-1");
  EXPECT_EQ(h.time, "12:00:00");
  EXPECT_DOUBLE_EQ(h.xmCpuUsage, 0.25);
  EXPECT_EQ(h.bdIo, 11);
  EXPECT_EQ(h.meminfoFree, 1024);
  EXPECT_EQ(h.ifIo, 12);
  EXPECT_EQ(h.bdTotal, 500);
  EXPECT_EQ(h.bdFree, 200);
  ASSERT_EQ(data.guestMetrics.size(), 2u);
  const XsGuestMetrics& g = *data.guestMetrics[0];
  EXPECT_EQ(g.uuid, "g1");
  EXPECT_EQ(g.state, "UP");
  EXPECT_EQ(g.time, "t1");
  EXPECT_DOUBLE_EQ(g.cpuUsage, 0.5);
  EXPECT_DOUBLE_EQ(g.uptimeSystem, 100.5);
  EXPECT_DOUBLE_EQ(g.uptimeIdle, 70.0);
  EXPECT_EQ(g.vbdIo, 3);
  EXPECT_EQ(g.meminfoFree, 256);
  EXPECT_EQ(g.meminfoTotal, 512);
  EXPECT_EQ(g.vifIo, 4);
  EXPECT_EQ(g.numVcpu, 2);
  // The second guest carries only two fields: the rest are absent.
  const XsGuestMetrics& g2 = *data.guestMetrics[1];
  EXPECT_EQ(g2.uuid, "g2");
  EXPECT_EQ(g2.state, "DOWN");
  EXPECT_FALSE(g2.time.has_value());
  EXPECT_EQ(g2.cpuUsage, -1.0);
  EXPECT_EQ(g2.uptimeIdle, -1.0);
  EXPECT_EQ(g2.vbdIo, -1);
  EXPECT_EQ(g2.numVcpu, -1);
}

TEST(ReadMessage, Configuration) {
  auto m = readText(
      "(\"msg\" (\"status\" \"SUCCESS\")(\"payload\" (\"major_version\" \"2\")(\"minor_version\" \"3\")"
      "(\"attr\" (\"mh\" (\"signature\" \"sig\")(\"name\" \"xenhost\")(\"id\" \"h\")(\"time\" \"t\")"
      "(\"description\" \"the host\")(\"memory\" \"4096\")(\"num_cpus\" \"8\")(\"free_memory\" \"1000\")"
      "(\"architecture\" \"x86_64\")(\"xen_version\" \"3.2.1\"))"
      "(\"vm\" (\"name\" \"alpha\")(\"uuid\" \"u1\")(\"description\" \"first\"))"
      "(\"vm\" (\"name\" \"beta\")(\"uuid\" \"u2\"))"
      "(\"vm\" (\"name\" \"gamma\")(\"uuid\" \"u3\")))))\n\n");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->status, "SUCCESS");
  ASSERT_NE(m->payload, nullptr);
  EXPECT_EQ(m->payload->majorVersion, 2);
  EXPECT_EQ(m->payload->minorVersion, 3);
  EXPECT_EQ(m->payload->data, nullptr);
  ASSERT_NE(m->payload->attr, nullptr);
  const XsAttribute& attr = *m->payload->attr;
  ASSERT_NE(attr.host, nullptr);
  EXPECT_EQ(attr.host->signature, "sig");
  EXPECT_EQ(attr.host->name, "xenhost");
  EXPECT_EQ(attr.host->id, "h");
  EXPECT_EQ(attr.host->time, "t");
  EXPECT_EQ(attr.host->description, "the host");
  EXPECT_EQ(attr.host->memory, 4096);
  EXPECT_EQ(attr.host->numCpus, 8);
  EXPECT_EQ(attr.host->freeMemory, 1000);
  EXPECT_EQ(attr.host->architecture, "x86_64");
  EXPECT_EQ(attr.host->xenVersion, "3.2.1");
  ASSERT_EQ(attr.guests.size(), 3u);
  EXPECT_EQ(attr.guests[0]->name, "alpha");
  EXPECT_EQ(attr.guests[0]->uuid, "u1");
  EXPECT_EQ(attr.guests[0]->description, "first");
  EXPECT_EQ(attr.guests[1]->name, "beta");
  EXPECT_FALSE(attr.guests[1]->description.has_value());
  EXPECT_EQ(attr.guests[2]->name, "gamma");
}

std::vector<std::string> guestNames(const std::string& attrBody) {
  auto m = readText("(\"msg\" (\"payload\" (\"attr\" " + attrBody + ")))");
  std::vector<std::string> names;
  for (const auto& g : m->payload->attr->guests) names.push_back(g->name.value_or("?"));
  return names;
}

TEST(ReadMessage, VmRun) {
  using V = std::vector<std::string>;
  const std::string a = "(\"vm\" (\"name\" \"a\"))", b = "(\"vm\" (\"name\" \"b\"))",
                    c = "(\"vm\" (\"name\" \"c\"))";
  EXPECT_EQ(guestNames("(\"mh\")" + a + b + c), (V{"a", "b", "c"}));
  // Another name between the second and the third entry ends the run.
  EXPECT_EQ(guestNames("(\"mh\")" + a + b + "(\"other\")" + c), (V{"a", "b"}));
  // The run starts at the first "vm", wherever it is.
  EXPECT_EQ(guestNames("(\"x\")(\"y\")" + a + b), (V{"a", "b"}));
  // Names match exactly: "VM" and "vm " are other names.
  EXPECT_EQ(guestNames("(\"VM\" (\"name\" \"z\"))" + a + "(\"vm \")" + b), (V{"a"}));
  EXPECT_EQ(guestNames("(\"mh\")"), V{});
  // A bare "vm" entry still yields a guest, with every field absent.
  auto m = readText("(\"msg\" (\"payload\" (\"attr\" (\"vm\"))))");
  ASSERT_EQ(m->payload->attr->guests.size(), 1u);
  EXPECT_FALSE(m->payload->attr->guests[0]->name.has_value());
  EXPECT_EQ(m->payload->attr->host, nullptr);
}

TEST(ReadMessage, AbsentVersusPresent) {
  auto m = readText(
      "(\"msg\" (\"status\")(\"reason\" \"\")(\"sync\" \"-1\")(\"reason_code\" \"\")(\"cmd\" ()))");
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(m->status.has_value());     // key without value: absent
  EXPECT_EQ(m->reason, "");                // empty value: present and empty
  EXPECT_EQ(m->sync, -1);                  // the text -1 looks like absence
  EXPECT_EQ(m->reasonCode, 0);             // an empty number converts to 0
  EXPECT_EQ(m->receivedCmd, "");           // the value is the first child's name
  EXPECT_FALSE(m->action.has_value());     // missing key
  EXPECT_EQ(m->payload, nullptr);
  // Missing blocks create no objects; present ones are created even when empty.
  m = readText("(\"msg\" (\"payload\"))");
  ASSERT_NE(m->payload, nullptr);
  EXPECT_EQ(m->payload->data, nullptr);
  EXPECT_EQ(m->payload->attr, nullptr);
  m = readText("(\"msg\" (\"payload\" (\"data\")(\"attr\" (\"mh\"))))");
  ASSERT_NE(m->payload->data, nullptr);
  EXPECT_EQ(m->payload->data->hostMetrics, nullptr);
  EXPECT_TRUE(m->payload->data->guestMetrics.empty());
  ASSERT_NE(m->payload->attr->host, nullptr);
  EXPECT_FALSE(m->payload->attr->host->name.has_value());
  EXPECT_EQ(m->payload->attr->host->memory, -1);
}

TEST(ReadMessage, KeysAreCaseSensitiveAndFirstWins) {
  auto m = readText(
      "(\"msg\" (\"STATUS\" \"SUCCESS\")(\"reason\" \"first\" \"extra\")(\"reason\" \"second\")"
      "(\"Payload\"))");
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(m->status.has_value());
  EXPECT_EQ(m->reason, "first");
  EXPECT_EQ(m->payload, nullptr);
  // The status is stored as received.
  EXPECT_EQ(readText("(\"msg\" (\"status\" \"sUcCeSs\"))")->status, "sUcCeSs");
}

TEST(ReadMessage, RequestFieldsAreNotRead) {
  auto m = readText(
      "(\"msg\" (\"payload\" (\"uuid\" \"u\")(\"type\" \"halt\")(\"username\" \"n\")"
      "(\"force\" \"true\")(\"data_interval\" \"5\")(\"start_force\" \"1\")))");
  ASSERT_NE(m->payload, nullptr);
  EXPECT_EQ(m->payload->uuid, nullptr);
  EXPECT_FALSE(m->payload->type.has_value());
  EXPECT_EQ(m->payload->username, nullptr);
  EXPECT_FALSE(m->payload->force);
  EXPECT_EQ(m->payload->dataInterval, -1);
  EXPECT_EQ(m->payload->startForce, -1);
}

TEST(ReadMessage, NotAMessage) {
  MessageTree empty;
  EXPECT_EQ(readMessage(empty), nullptr);
  EXPECT_EQ(readText("(\"MSG\" (\"status\" \"SUCCESS\"))"), nullptr);
  EXPECT_EQ(readText("(\"msg \")"), nullptr);
  EXPECT_EQ(readText("()"), nullptr);
  // Only the first top-level node counts.
  MessageTree tree;
  std::string_view two = "(\"other\")(\"msg\")";
  parseFrame(two.substr(parseFrame(two, tree)), tree);
  EXPECT_EQ(readMessage(tree), nullptr);
}

// Texts with quotes, backslashes, line feeds, parentheses and bytes above 0x7F travel
// through the writer and the parser unchanged.
TEST(RoundTrip, AwkwardTexts) {
  const std::string texts[] = {
      "plain", "", "\"", "\\", "\\\\\"\"", "a\"b\\c", "line\nfeed\n\n", "tab\there",
      "(paren) \"(\"", "\xC3\xA9t\xC3\xA9 \xFF\x80\x7F", "ends with backslash\\", "\\n stays",
  };
  for (const std::string& text : texts) {
    auto request = buildVmSave(text, text);
    request->sync = 1;
    const std::string frame = written(*request);
    for (int reader = 0; reader < 2; ++reader) {
      MessageTree tree;
      if (reader == 0) {
        parseFrame(frame, tree);
      } else {
        std::istringstream in(frame);
        parseFrame(in, tree);
        EXPECT_EQ(in.get(), '\n');
      }
      auto reply = readMessage(tree);
      ASSERT_NE(reply, nullptr);
      EXPECT_EQ(reply->receivedCmd, "vm_save");
      EXPECT_EQ(reply->receivedSessionId, text);
      EXPECT_EQ(reply->sync, 1);
      // The payload's "uuid" is not read into a received message; check it in the tree.
      const auto msg = tree.firstTopLevel();
      const auto uuid = tree.findChild(tree.findChild(msg, "payload"), "uuid");
      ASSERT_NE(uuid, MessageTree::kNone);
      EXPECT_EQ(tree.name(tree.firstChild(uuid)), text);
    }
  }
}

// The C library's conversion is the reference: clamped strtoll agrees on every input.
TEST(Conversion, IntegersMatchTheCLibrary) {
  const char* inputs[] = {"0", "1", "-1", "-0", " \t\n\v\f\r17", "\t-17x", "+7", "3.9", "0x1A",
                          "+", "-", "- 5", "+-5", "", "x1", "4294967296", "-4294967296",
                          "2147483647", "2147483648", "-2147483648", "-2147483649",
                          "34359738368", "123456789012345678901234567890",
                          "-123456789012345678901234567890", " +0099", "1e5"};
  for (const char* input : inputs) {
    errno = 0;
    long long expected = std::strtoll(input, nullptr, 10);
    if (expected > std::numeric_limits<int32_t>::max()) expected = std::numeric_limits<int32_t>::max();
    if (expected < std::numeric_limits<int32_t>::min()) expected = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(parseXsInteger(input), expected) << input;
  }
  EXPECT_EQ(parseXsInteger("34359738368"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(parseXsInteger(" -2147483649"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(parseXsInteger("-12ab"), -12);
  // The value ends at the first other byte, a NUL included.
  EXPECT_EQ(parseXsInteger(std::string_view("12\0" "3", 4)), 12);
}

TEST(Conversion, Reals) {
  EXPECT_EQ(parseXsReal("0.25"), 0.25);
  EXPECT_EQ(parseXsReal("  -1.5e2"), -150.0);
  EXPECT_EQ(parseXsReal("+.5E1"), 5.0);
  EXPECT_EQ(parseXsReal("5."), 5.0);
  EXPECT_EQ(parseXsReal(".5"), 0.5);
  EXPECT_EQ(parseXsReal("1,5"), 1.0);  // the decimal mark is "." only
  EXPECT_EQ(parseXsReal("1e"), 1.0);
  EXPECT_EQ(parseXsReal("1e+"), 1.0);
  EXPECT_EQ(parseXsReal("12.5abc"), 12.5);
  EXPECT_EQ(parseXsReal(""), 0.0);
  EXPECT_EQ(parseXsReal("abc"), 0.0);
  EXPECT_EQ(parseXsReal("."), 0.0);
  EXPECT_EQ(parseXsReal("--1"), 0.0);
  EXPECT_EQ(parseXsReal("+-1"), 0.0);
  EXPECT_EQ(parseXsReal("0x1p4"), 16.0);
  EXPECT_EQ(parseXsReal("0X.8"), 0.5);
  EXPECT_EQ(parseXsReal("-0x10"), -16.0);
  EXPECT_EQ(parseXsReal("0x"), 0.0);
  EXPECT_EQ(parseXsReal("0xg"), 0.0);
  EXPECT_EQ(parseXsReal("0xinf"), 0.0);
  EXPECT_EQ(parseXsReal("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parseXsReal("-1e400"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(parseXsReal("123456789e305"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parseXsReal("0.000001e-320"), 0.0);
  EXPECT_EQ(parseXsReal("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(parseXsReal("-1e-400")));
  EXPECT_EQ(parseXsReal("0x1p99999"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parseXsReal("0x1p-99999"), 0.0);
  EXPECT_GT(parseXsReal("1e-320"), 0.0);  // a subnormal is not flushed
  EXPECT_EQ(parseXsReal("inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parseXsReal("-Infinity"), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(parseXsReal("nan")));
  EXPECT_TRUE(std::isnan(parseXsReal("NAN(123)")));
  EXPECT_EQ(parseXsReal(std::string_view("2.5\0" "9", 5)), 2.5);
}

#ifndef _WIN32
// glibc's strtod in the "C" locale is the reference here (the Windows C library differs
// on hexadecimal and infinite values, so the comparison runs natively only).
TEST(Conversion, RealsMatchTheCLibrary) {
  ASSERT_STREQ(std::localeconv()->decimal_point, ".");
  const char* inputs[] = {"0", "-0", "3.14159", " 2.5e-3", "1e308", "1.7976931348623157e308",
                          "1.7976931348623159e308", "2.2250738585072014e-308", "4.9e-324",
                          "2e-324", "1e-330", "0x1.8p1", "0x.1P-2", "-0X1P+3", "0x1p1024",
                          "0x1p-1075", "0x1p-1074", "inFiNity", "infx", "nanx", "1e-5x", "9.",
                          "123456789012345678901234567890", "0.1", "1.0000000000000002",
                          "00000.0000001e7", "1e0000000000000000000000000000000000001"};
  for (const char* input : inputs) {
    const double expected = std::strtod(input, nullptr);
    const double actual = parseXsReal(input);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(actual)) << input;
    } else {
      EXPECT_EQ(actual, expected) << input;
      EXPECT_EQ(std::signbit(actual), std::signbit(expected)) << input;
    }
  }
}
#endif

// The process locale must not change how received numbers read.
TEST(Conversion, IndependentOfTheProcessLocale) {
  // The C++ global locale, with a decimal comma and grouping.
  struct Comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
  EXPECT_EQ(parseXsReal("0.25"), 0.25);
  EXPECT_EQ(parseXsReal("1,5"), 1.0);
  EXPECT_EQ(parseXsInteger("1.000"), 1);
  auto m = readText(kSummary);
  EXPECT_DOUBLE_EQ(m->payload->data->hostMetrics->xmCpuUsage, 0.25);
  std::locale::global(previous);

  // The C locale, when a locale with a decimal comma is installed.
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR",
                         "German_Germany.1252", "German", "deu"};
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  const char* found = nullptr;
  for (const char* name : names) {
    if (std::setlocale(LC_ALL, name) != nullptr && std::localeconv()->decimal_point[0] == ',') {
      found = name;
      break;
    }
  }
  if (found == nullptr) {
    std::setlocale(LC_ALL, saved.c_str());
    GTEST_SKIP() << "no locale with a decimal comma is installed; only the C++ locale was checked";
  }
  EXPECT_EQ(std::strtod("0.25", nullptr), 0.0) << "the C library now reads a comma";
  EXPECT_EQ(parseXsReal("0.25"), 0.25) << found;
  EXPECT_EQ(parseXsReal("1,5"), 1.0) << found;
  m = readText(kSummary);
  EXPECT_DOUBLE_EQ(m->payload->data->guestMetrics[0]->uptimeSystem, 100.5) << found;
  std::setlocale(LC_ALL, saved.c_str());
}

}  // namespace
