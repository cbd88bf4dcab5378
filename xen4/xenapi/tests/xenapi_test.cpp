// The library's calls over an in-process transport: what goes out, how results and
// every kind of failure come back.
#include "xenapi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <new>
#include <string>
#include <utility>
#include <vector>

// Allocations of at least this many bytes fail (0: none), as in a 32-bit process that
// has no block of that size left.
static std::atomic<size_t> g_failAllocationsFrom{0};

void* operator new(size_t n) {
  const size_t from = g_failAllocationsFrom.load();
  if (from && n >= from) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// (GCC takes these for a mismatch with the operator new they replace.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// Answers each request with the next queued response (or a transport code).
struct FakeServer {
  struct Answer {
    int code;
    std::string body;
    size_t chunk;  // deliver the body in pieces of this size (0: at once)
  };
  std::deque<Answer> answers;
  std::vector<std::string> requests;
  bool refused = false;

  void Reply(const std::string& body, size_t chunk = 0) { answers.push_back({0, body, chunk}); }
  void Success(const std::string& value) {
    Reply("<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>"
          "<member><name>Status</name><value>Success</value></member>"
          "<member><name>Value</name>" + value + "</member></struct></value></param></params>"
          "</methodResponse>");
  }
  void Failure(const std::vector<std::string>& description) {
    std::string items;
    for (const auto& d : description) items += "<value>" + d + "</value>";
    Reply("<methodResponse><params><param><value><struct>"
          "<member><name>Status</name><value>Failure</value></member>"
          "<member><name>ErrorDescription</name><value><array><data>" + items +
          "</data></array></value></member></struct></value></param></params></methodResponse>");
  }
  void TransportError(int code) { answers.push_back({code, std::string(), 0}); }

  static int Transport(const char* request, size_t length, void* handle, void* result,
                       xenapi::ResultFunc func) {
    auto* self = static_cast<FakeServer*>(handle);
    self->requests.emplace_back(request, length);
    if (self->answers.empty()) return 99;
    Answer a = std::move(self->answers.front());
    self->answers.pop_front();
    if (a.code != 0) return a.code;
    const size_t step = a.chunk ? a.chunk : a.body.size();
    for (size_t at = 0; at < a.body.size(); at += step) {
      if (!func(a.body.data() + at, std::min(step, a.body.size() - at), result)) {
        self->refused = true;
        return 23;
      }
    }
    return 0;
  }
};

class XenApiCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Success("<value>OpaqueRef:session-1</value>");
    session = xenapi::LoginWithPassword(&FakeServer::Transport, &server, "root", "pw", status);
    ASSERT_TRUE(session);
    ASSERT_TRUE(status.ok);
    server.requests.clear();
  }

  // Index of each needle in the last request, in order; fails when one is missing.
  void ExpectRequestInOrder(const std::vector<std::string>& needles) {
    ASSERT_FALSE(server.requests.empty());
    const std::string& r = server.requests.back();
    size_t at = 0;
    for (const auto& n : needles) {
      const size_t found = r.find(n, at);
      ASSERT_NE(found, std::string::npos) << n << " missing (in order) in " << r;
      at = found + n.size();
    }
  }

  FakeServer server;
  xenapi::Status status;
  xenapi::SessionPtr session;
};

}  // namespace

TEST(XenApiLogin, SendsCredentialsAndKeepsTheReference) {
  FakeServer server;
  server.Success("<value><string>OpaqueRef:abc</string></value>");
  xenapi::Status status;
  auto s = xenapi::LoginWithPassword(&FakeServer::Transport, &server, "root", "secret", status);
  ASSERT_TRUE(s);
  EXPECT_TRUE(status.ok);
  EXPECT_EQ(s->Reference(), "OpaqueRef:abc");
  ASSERT_EQ(server.requests.size(), 1u);
  const std::string& r = server.requests[0];
  EXPECT_NE(r.find("<methodName>session.login_with_password</methodName>"), std::string::npos);
  EXPECT_LT(r.find("<string>root</string>"), r.find("<string>secret</string>"));
}

TEST(XenApiLogin, RefusedLoginGivesASessionWithTheError) {
  FakeServer server;
  server.Failure({"SESSION_AUTHENTICATION_FAILED", "root", "Authentication failure"});
  xenapi::Status status;
  auto s = xenapi::LoginWithPassword(&FakeServer::Transport, &server, "root", "x", status);
  ASSERT_TRUE(s);
  EXPECT_FALSE(status.ok);
  ASSERT_EQ(status.errors.size(), 3u);
  EXPECT_EQ(status.errors[0], "SESSION_AUTHENTICATION_FAILED");
  EXPECT_EQ(s->Reference(), "");
  EXPECT_EQ(xenapi::LoginWithPassword(nullptr, &server, "root", "x", status), nullptr);
}

TEST_F(XenApiCalls, SessionReferenceGoesFirstAndTwiceForThisHost) {
  server.Success("<value>OpaqueRef:host</value>");
  std::string host;
  ASSERT_TRUE(xenapi::SessionGetThisHost(*session, status, &host));
  EXPECT_EQ(host, "OpaqueRef:host");
  ExpectRequestInOrder({"<methodName>session.get_this_host</methodName>", "OpaqueRef:session-1",
                        "OpaqueRef:session-1"});

  server.Success("<value/>");
  ASSERT_TRUE(xenapi::VmCleanShutdown(*session, status, "OpaqueRef:vm"));
  ExpectRequestInOrder({"VM.clean_shutdown", "OpaqueRef:session-1", "OpaqueRef:vm"});
}

TEST_F(XenApiCalls, HostRecordFieldsAndOrderedSoftwareVersion) {
  server.Success(
      "<value><struct>"
      "<member><name>uuid</name><value>u</value></member>"
      "<member><name>name_label</name><value>xenhost01</value></member>"
      "<member><name>name_description</name><value><string>rack 3</string></value></member>"
      "<member><name>software_version</name><value><struct>"
      "<member><name>hostname</name><value>h</value></member>"
      "<member><name>product_version</name><value>6.0.2</value></member>"
      "</struct></value></member>"
      "<member><name>host_CPUs</name><value><array><data><value>OpaqueRef:c0</value>"
      "<value>OpaqueRef:c1</value></data></array></value></member>"
      "<member><name>PIFs</name><value><array><data/></array></value></member>"
      "<member><name>metrics</name><value>OpaqueRef:hm</value></member>"
      "<member><name>API_version_major</name><value>1</value></member>"
      "</struct></value>");
  xenapi::HostRecord host;
  ASSERT_TRUE(xenapi::HostGetRecord(*session, status, "OpaqueRef:h", &host));
  EXPECT_EQ(host.name_label, "xenhost01");
  EXPECT_EQ(host.name_description, "rack 3");
  ASSERT_EQ(host.software_version.size(), 2u);
  EXPECT_EQ(host.software_version[1].first, "product_version");
  EXPECT_EQ(host.software_version[1].second, "6.0.2");
  EXPECT_EQ(host.host_CPUs, (std::vector<std::string>{"OpaqueRef:c0", "OpaqueRef:c1"}));
  EXPECT_TRUE(host.PIFs.empty());
  EXPECT_EQ(host.metrics, "OpaqueRef:hm");
}

TEST_F(XenApiCalls, SixtyFourBitIntegersArriveAsStrings) {
  server.Success("<value>34359738368</value>");
  int64_t bytes = 0;
  ASSERT_TRUE(xenapi::HostMetricsGetMemoryTotal(*session, status, "OpaqueRef:hm", &bytes));
  EXPECT_EQ(bytes, 34359738368LL);
  server.Success("<value><i4>1024</i4></value>");
  ASSERT_TRUE(xenapi::HostMetricsGetMemoryFree(*session, status, "OpaqueRef:hm", &bytes));
  EXPECT_EQ(bytes, 1024);
  server.Success("<value>lots</value>");
  EXPECT_FALSE(xenapi::HostMetricsGetMemoryFree(*session, status, "OpaqueRef:hm", &bytes));
  ASSERT_FALSE(status.errors.empty());
  EXPECT_EQ(status.errors[0], "SERVER_FAULT_2");
}

TEST_F(XenApiCalls, VmRecordAndPowerStates) {
  const auto record = [](const std::string& state, const std::string& allowed) {
    return "<value><struct>"
           "<member><name>allowed_operations</name><value><array><data>" + allowed +
           "</data></array></value></member>"
           "<member><name>power_state</name><value>" + state + "</value></member>"
           "<member><name>name_label</name><value>web01</value></member>"
           "<member><name>memory_static_max</name><value>6442450944</value></member>"
           "<member><name>VIFs</name><value><array><data><value>OpaqueRef:vif</value></data></array></value></member>"
           "<member><name>VBDs</name><value><array><data/></array></value></member>"
           "<member><name>metrics</name><value>OpaqueRef:m</value></member>"
           "<member><name>guest_metrics</name><value>OpaqueRef:NULL</value></member>"
           "<member><name>other_config</name><value><struct/></value></member>"
           "</struct></value>";
  };
  const std::pair<const char*, xenapi::PowerState> states[] = {
      {"Halted", xenapi::PowerState::Halted},     {"Paused", xenapi::PowerState::Paused},
      {"Running", xenapi::PowerState::Running},   {"Suspended", xenapi::PowerState::Suspended},
      {"Crashed", xenapi::PowerState::Unknown},   {"running", xenapi::PowerState::Unknown}};
  for (const auto& s : states) {
    server.Success(record(s.first, "<value>start</value>"));
    xenapi::VmRecord vm;
    ASSERT_TRUE(xenapi::VmGetRecord(*session, status, "OpaqueRef:vm", &vm)) << s.first;
    EXPECT_EQ(vm.power_state, s.second) << s.first;
    EXPECT_EQ(static_cast<int>(vm.power_state), static_cast<int>(s.second));
    EXPECT_EQ(vm.allowed_operations.size(), 1u);
    EXPECT_EQ(vm.memory_static_max, 6442450944LL);
    EXPECT_EQ(vm.VIFs.size(), 1u);
    EXPECT_TRUE(xenapi::IsNullRef(vm.guest_metrics));
    EXPECT_FALSE(xenapi::IsNullRef(vm.metrics));
  }
  EXPECT_EQ(static_cast<int>(xenapi::PowerState::Halted), 0);
  EXPECT_EQ(static_cast<int>(xenapi::PowerState::Suspended), 3);
  EXPECT_EQ(static_cast<int>(xenapi::PowerState::Unknown), 4);
}

TEST_F(XenApiCalls, MetricsRecords) {
  server.Success(
      "<value><struct><member><name>VCPUs_number</name><value>2</value></member>"
      "<member><name>VCPUs_utilisation</name><value><struct>"
      "<member><name>0</name><value><double>0.25</double></value></member>"
      "<member><name>1</name><value><double>0.75</double></value></member>"
      "</struct></value></member></struct></value>");
  xenapi::VmMetricsRecord m;
  ASSERT_TRUE(xenapi::VmMetricsGetRecord(*session, status, "OpaqueRef:m", &m));
  EXPECT_EQ(m.VCPUs_number, 2);
  ASSERT_EQ(m.VCPUs_utilisation.size(), 2u);
  EXPECT_EQ(m.VCPUs_utilisation[1].first, 1);
  EXPECT_DOUBLE_EQ(m.VCPUs_utilisation[1].second, 0.75);

  server.Success(
      "<value><struct><member><name>memory</name><value><struct>"
      "<member><name>free</name><value>100</value></member>"
      "<member><name>total</name><value>400</value></member>"
      "</struct></value></member></struct></value>");
  xenapi::GuestMetricsRecord g;
  ASSERT_TRUE(xenapi::GuestMetricsGetRecord(*session, status, "OpaqueRef:g", &g));
  ASSERT_EQ(g.memory.size(), 2u);
  EXPECT_EQ(g.memory[0], (std::pair<std::string, std::string>("free", "100")));

  server.Success(
      "<value><struct><member><name>io_read_kbs</name><value><double>1.5</double></value></member>"
      "<member><name>io_write_kbs</name><value><double>2</double></value></member>"
      "<member><name>last_updated</name><value><dateTime.iso8601>20120101T00:00:00Z</dateTime.iso8601>"
      "</value></member></struct></value>");
  xenapi::IoMetricsRecord io;
  ASSERT_TRUE(xenapi::VbdMetricsGetRecord(*session, status, "OpaqueRef:vbdm", &io));
  EXPECT_DOUBLE_EQ(io.io_read_kbs, 1.5);
  EXPECT_DOUBLE_EQ(io.io_write_kbs, 2.0);
  ExpectRequestInOrder({"VBD_metrics.get_record", "OpaqueRef:session-1", "OpaqueRef:vbdm"});
}

TEST_F(XenApiCalls, FailuresKeepEveryStringInOrder) {
  server.Failure({"VM_BAD_POWER_STATE", "OpaqueRef:vm", "halted", "running"});
  EXPECT_FALSE(xenapi::VmStart(*session, status, "OpaqueRef:vm", false));
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.errors,
            (std::vector<std::string>{"VM_BAD_POWER_STATE", "OpaqueRef:vm", "halted", "running"}));
  // The next call starts from a clean state.
  server.Success("<value/>");
  EXPECT_TRUE(xenapi::VmSuspend(*session, status, "OpaqueRef:vm"));
  EXPECT_TRUE(status.ok);
  EXPECT_TRUE(status.errors.empty());
  // A failure without description is a failure with an empty list.
  server.Reply("<methodResponse><params><param><value><struct><member><name>Status</name>"
               "<value>Failure</value></member></struct></value></param></params></methodResponse>");
  EXPECT_FALSE(xenapi::VmSuspend(*session, status, "OpaqueRef:vm"));
  EXPECT_TRUE(status.errors.empty());
}

TEST_F(XenApiCalls, TransportFaultCarriesTheCode) {
  server.TransportError(7);
  std::vector<std::string> vms;
  EXPECT_FALSE(xenapi::VmGetAll(*session, status, &vms));
  EXPECT_EQ(status.errors, (std::vector<std::string>{"TRANSPORT_FAULT", "7"}));
  server.TransportError(-1);
  EXPECT_FALSE(xenapi::VmGetAll(*session, status, &vms));
  EXPECT_EQ(status.errors, (std::vector<std::string>{"TRANSPORT_FAULT", "-1"}));
}

TEST_F(XenApiCalls, XmlRpcFaultBecomesFault) {
  server.Reply("<methodResponse><fault><value><struct><member><name>faultCode</name><value><int>-32700"
               "</int></value></member><member><name>faultString</name><value>parse error</value>"
               "</member></struct></value></fault></methodResponse>");
  std::vector<std::string> vms;
  EXPECT_FALSE(xenapi::VmGetAll(*session, status, &vms));
  EXPECT_EQ(status.errors, (std::vector<std::string>{"FAULT", "-32700", "parse error"}));
}

TEST_F(XenApiCalls, UnreadableResponsesBecomeServerFaults) {
  const char* bodies[] = {"", "<html>Internal Server Error</html>", "garbage",
                          "<methodResponse><params><param><value><struct>",
                          "<methodResponse><params><param><value><struct><member><name>Value</name>"
                          "<value>x</value></member></struct></value></param></params></methodResponse>",
                          "<methodResponse><params><param><value>plain</value></param></params></methodResponse>"};
  for (const char* body : bodies) {
    server.Reply(body);
    std::vector<std::string> vms;
    EXPECT_FALSE(xenapi::VmGetAll(*session, status, &vms)) << body;
    ASSERT_EQ(status.errors.size(), 2u) << body;
    EXPECT_EQ(status.errors[0], "SERVER_FAULT") << body;
    EXPECT_FALSE(status.errors[1].empty());
  }
}

TEST_F(XenApiCalls, WrongShapesBecomeServerFault2NamingTheField) {
  server.Success("<value><array><data/></array></value>");
  std::string host;
  EXPECT_FALSE(xenapi::SessionGetThisHost(*session, status, &host));
  ASSERT_EQ(status.errors.size(), 3u);
  EXPECT_EQ(status.errors[0], "SERVER_FAULT_2");
  EXPECT_EQ(status.errors[2], "session.get_this_host");

  server.Success("<value><struct><member><name>power_state</name><value><int>2</int></value>"
                 "</member></struct></value>");
  xenapi::VmRecord vm;
  EXPECT_FALSE(xenapi::VmGetRecord(*session, status, "OpaqueRef:vm", &vm));
  ASSERT_EQ(status.errors.size(), 3u);
  EXPECT_EQ(status.errors[2], "VM.get_record: power_state");

  server.Success("<value><struct><member><name>VCPUs_utilisation</name><value><struct><member>"
                 "<name>zero</name><value><double>1</double></value></member></struct></value>"
                 "</member></struct></value>");
  xenapi::VmMetricsRecord m;
  EXPECT_FALSE(xenapi::VmMetricsGetRecord(*session, status, "OpaqueRef:m", &m));
  EXPECT_EQ(status.errors[0], "SERVER_FAULT_2");

  server.Success("<value>1</value>");
  bool flag = true;
  EXPECT_FALSE(xenapi::VmGetIsATemplate(*session, status, "OpaqueRef:vm", &flag));
  EXPECT_EQ(status.errors[0], "SERVER_FAULT_2");
}

TEST_F(XenApiCalls, StartSendsForceAndFallsBackForOldServers) {
  server.Success("<value/>");
  ASSERT_TRUE(xenapi::VmStart(*session, status, "OpaqueRef:vm", false));
  ExpectRequestInOrder({"VM.start", "OpaqueRef:session-1", "OpaqueRef:vm", "<boolean>0</boolean>",
                        "<boolean>0</boolean>"});
  server.requests.clear();
  server.Failure({"MESSAGE_PARAMETER_COUNT_MISMATCH", "VM.resume", "3", "4"});
  server.Success("<value/>");
  ASSERT_TRUE(xenapi::VmResume(*session, status, "OpaqueRef:vm", false));
  ASSERT_EQ(server.requests.size(), 2u);
  const std::string& retry = server.requests[1];
  EXPECT_NE(retry.find("<boolean>0</boolean>"), std::string::npos);
  EXPECT_EQ(retry.find("<boolean>0</boolean>"), retry.rfind("<boolean>0</boolean>"));
  // Any other failure is not retried.
  server.requests.clear();
  server.Failure({"VM_BAD_POWER_STATE", "OpaqueRef:vm", "halted", "running"});
  EXPECT_FALSE(xenapi::VmStart(*session, status, "OpaqueRef:vm", false));
  EXPECT_EQ(server.requests.size(), 1u);
}

TEST_F(XenApiCalls, ResponsesArriveInPieces) {
  server.Reply(
      "<methodResponse><params><param><value><struct><member><name>Status</name><value>Success</value>"
      "</member><member><name>Value</name><value><array><data><value>OpaqueRef:a</value>"
      "<value>OpaqueRef:b</value></data></array></value></member></struct></value></param></params>"
      "</methodResponse>",
      3);
  std::vector<std::string> vms;
  ASSERT_TRUE(xenapi::VmGetAll(*session, status, &vms));
  EXPECT_EQ(vms, (std::vector<std::string>{"OpaqueRef:a", "OpaqueRef:b"}));
}

TEST_F(XenApiCalls, OversizedResponseIsRefusedWhileArriving) {
  // 65 MiB of padding inside a string: the library stops taking bytes at its limit.
  std::string body = "<methodResponse><params><param><value>";
  body.append(65u << 20, 'x');
  body += "</value></param></params></methodResponse>";
  server.Reply(body, 1u << 20);
  std::vector<std::string> vms;
  EXPECT_FALSE(xenapi::VmGetAll(*session, status, &vms));
  EXPECT_TRUE(server.refused);
  EXPECT_EQ(status.errors, (std::vector<std::string>{"TRANSPORT_FAULT", "23"}));
}

// No room for a large answer: the bytes are refused (the transport's write error), and no
// exception leaves the result function, which runs inside the transport's C code.
TEST_F(XenApiCalls, AnswerWithoutMemoryIsRefusedNotThrown) {
  std::string body = "<methodResponse><params><param><value>";
  body.append(4u << 20, 'x');
  body += "</value></param></params></methodResponse>";
  server.Reply(body, 64u << 10);
  std::vector<std::string> vms;
  g_failAllocationsFrom = 1u << 20;
  bool ok = true;
  EXPECT_NO_THROW(ok = xenapi::VmGetAll(*session, status, &vms));
  g_failAllocationsFrom = 0;
  EXPECT_FALSE(ok);
  EXPECT_TRUE(server.refused);
  EXPECT_EQ(status.errors, (std::vector<std::string>{"TRANSPORT_FAULT", "23"}));
}
