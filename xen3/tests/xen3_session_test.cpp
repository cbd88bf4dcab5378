// The session against the simulated agent: sign-on and its negotiation, Close,
// population and figures, the back-channel listener, and the transport's failures.
#include <asio.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "openssl_release_log.h"
#include "refresh_thread.h"
#include "xen3_fixture.h"
#include "xen3_test_peers.h"
#include "xen3_vm.h"
#include "xs_requests.h"

namespace xen3test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string SignOnMainPayload(int minor) {
  return Element("major_version", "2") + Element("minor_version", std::to_string(minor)) +
         Element("username", "root") + Element("password", "xenroot");
}

std::string UpdateError(Xen3SessionImpl& session) {
  try {
    session.Update();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

class SignOnTest : public AgentTest {};

TEST_F(SignOnTest, Version24SendsExactRequestsAndNoSignOff) {
  auto session = Connect(1);
  EXPECT_TRUE(session->listenerRunning());
  EXPECT_EQ(session->conversation().minorVersion(), 4);
  const auto requests = Requests();
  ASSERT_EQ(Commands(requests), (std::vector<std::string>{"sign_on_main", "sign_on_back"}));
  const std::string id = SessionIdOf(requests[0].raw);
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '4') << "a version 4 UUID";
  EXPECT_EQ(id, session->conversation().sessionId());
  const std::string main = SignOnMainPayload(4);
  EXPECT_EQ(requests[0].raw, Request("sign_on_main", &main, id));
  const std::string back = Element("force", "true") + Element("username", "root") +
                           Element("password", "xenroot") + Element("data_interval", "1");
  EXPECT_EQ(requests[1].raw, Request("sign_on_back", &back, id));
  EXPECT_NE(requests[0].conn, requests[1].conn) << "each request has a connection of its own";

  ClearRequests();
  session->Close();
  EXPECT_TRUE(Requests().empty()) << "no sign-off after a 2.4 sign-on";
  EXPECT_TRUE(WaitFor([] { return !BackChannels()[0]["open"].boolean; }));
  EXPECT_EQ(BackChannels()[0]["closed_by"].text, "client");
}

TEST_F(SignOnTest, DataIntervalTravelsAsGivenAndNegativeNotAtAll) {
  for (int interval : {0, -1}) {
    HostControl("{\"cmd\": \"reset\"}");
    auto session = Connect(interval);
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    std::string back = Element("force", "true") + Element("username", "root") + Element("password", "xenroot");
    if (interval >= 0) back += Element("data_interval", std::to_string(interval));
    EXPECT_EQ(requests[1].raw, Request("sign_on_back", &back, SessionIdOf(requests[0].raw)));
    session->Close();
  }
}

TEST_F(SignOnTest, Version23RetryKeepsIdentifierAndSignsOffOnce) {
  for (bool configInReply : {true, false}) {
    SCOPED_TRACE(configInReply ? "configuration in the reply" : "configuration fetched");
    HostControl("{\"cmd\": \"reset\"}");
    Agent(std::string("\"cmd\": \"set_version\", \"minor\": 3, \"config_in_reply\": ") +
          (configInReply ? "true" : "false"));
    auto session = Connect();
    EXPECT_EQ(session->conversation().minorVersion(), 3);
    EXPECT_TRUE(session->listenerRunning());
    auto requests = Requests();
    std::vector<std::string> expected{"sign_on_main", "sign_on_main"};
    if (!configInReply) expected.push_back("mh_getcfg");
    expected.push_back("sign_on_back");
    ASSERT_EQ(Commands(requests), expected);
    const std::string id = SessionIdOf(requests[0].raw);
    const std::string retry = SignOnMainPayload(3);
    EXPECT_EQ(requests[1].raw, Request("sign_on_main", &retry, id));
    for (const auto& r : requests) EXPECT_EQ(SessionIdOf(r.raw), id);

    ClearRequests();
    session->Close();
    requests = Requests();
    ASSERT_EQ(Commands(requests), std::vector<std::string>{"sign_off_main"});
    EXPECT_EQ(requests[0].raw, Request("sign_off_main", nullptr, id));
    session->Close();
    EXPECT_EQ(Requests().size(), 1u) << "the second Close sends nothing";
  }
}

TEST_F(SignOnTest, OtherOfferedVersionOrNoOfferEndsSignOn) {
  for (const char* setting : {"\"minor\": 2", "\"minor\": 3, \"offer\": false"}) {
    SCOPED_TRACE(setting);
    HostControl("{\"cmd\": \"reset\"}");
    Agent(std::string("\"cmd\": \"set_version\", ") + setting);
    auto session = Connect();
    EXPECT_FALSE(session->listenerRunning());
    EXPECT_EQ(Commands(Requests()), std::vector<std::string>{"sign_on_main"});
    TestVmList list;
    EXPECT_EQ(UpdateError(*session), "Connection to server lost");
    session->Close();
  }
}

TEST_F(SignOnTest, RefusedSignOnReturnsNormallyAndSessionCreationFails) {
  auto session = Connect(1, "root", "wrong password");
  EXPECT_FALSE(session->listenerRunning());
  EXPECT_EQ(session->conversation().minorVersion(), -1);
  const auto requests = Requests();
  ASSERT_EQ(Commands(requests), std::vector<std::string>{"sign_on_main"});
  const std::string id = SessionIdOf(requests[0].raw);
  EXPECT_EQ(session->conversation().sessionId(), id) << "the identifier stays set";

  TestVmList list;
  try {
    session->FillVMList(&list);
    FAIL() << "FillVMList succeeded without a back channel";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Connection to server lost");
  }
  EXPECT_EQ(Requests().size(), 1u) << "Update sent nothing";

  ClearRequests();
  session->Close();
  auto after = Requests();
  ASSERT_EQ(Commands(after), std::vector<std::string>{"sign_off_main"});
  EXPECT_EQ(after[0].raw, Request("sign_off_main", nullptr, id));
  session->Close();
  EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(SignOnTest, RefusedBackChannelSignOnLeavesUpdateWorkingWithoutFigures) {
  Agent("\"cmd\": \"fault\", \"mode\": \"refuse\", \"command\": \"sign_on_back\", \"count\": 1");
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 0.05");
  auto session = Connect();
  EXPECT_FALSE(session->listenerRunning());
  TestVmList list;
  session->FillVMList(&list);
  EXPECT_EQ(session->GetServerName(), "xenhost01");
  EXPECT_GT(list.GetCount(), 0);
  session->Update();
  EXPECT_EQ(session->GetCpuUsage(), 0.0);
  EXPECT_EQ(list.GetItem(0)->GetStatus(), "UNKNOWN");
  EXPECT_EQ(Commands(Requests()),
            (std::vector<std::string>{"sign_on_main", "sign_on_back", "mh_getcfg", "mh_getcfg"}));
  session->Close();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(SignOnTest, UnusableCertificateFileFailsBeforeAnyTraffic) {
  const std::string dir = platform::LibraryDirectory();
#ifdef _WIN32
  const std::string certs = "Z:" + simtest::FromEnvironment().certs + "/";
#else
  const std::string certs = simtest::FromEnvironment().certs + "/";
#endif
  const std::string otherKey = ReadFile(certs + "server-key.pem");
  ASSERT_FALSE(otherKey.empty());
  struct Case {
    const char* name;
    const char* what;
    std::string content;  // empty: the file is missing
  };
  const Case cases[] = {
      {"xencert.pem", "missing", ""},           {"certChain.pem", "missing", ""},
      {"key.pem", "missing", ""},               {"xencert.pem", "not PEM", "no certificate here\n"},
      {"key.pem", "key of another certificate", otherKey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.what);
    const std::string path = dir + c.name;
    const std::string aside = path + ".aside";
    ASSERT_EQ(std::rename(path.c_str(), aside.c_str()), 0);
    struct Restore {
      std::string from, to;
      ~Restore() {
        std::remove(to.c_str());
        std::rename(from.c_str(), to.c_str());
      }
    } restore{aside, path};
    if (!c.content.empty()) std::ofstream(path, std::ios::binary) << c.content;
    const double before = Agent("\"cmd\": \"status\"")["tcp_connections"].number;
    Xen3SessionImpl session(1);
    try {
      session.Connect("127.0.0.1", "root", "xenroot", port_);
      FAIL() << "Connect succeeded";
    } catch (const asio::system_error& e) {
      EXPECT_EQ(e.code(), asio::error::invalid_argument);
      EXPECT_NE(std::string(e.what()).find(c.name), std::string::npos) << e.what();
    }
    EXPECT_EQ(Agent("\"cmd\": \"status\"")["tcp_connections"].number, before);
  }
  auto session = Connect();  // all three back in place
  EXPECT_TRUE(session->listenerRunning());
  session->Close();
}

TEST_F(SignOnTest, CloseTwiceSendsAndWaitsForNothing) {
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  session->Close();
  EXPECT_FALSE(session->listenerRunning());
  EXPECT_EQ(UpdateError(*session), "Connection to server lost");
  ClearRequests();
  const double connections = Agent("\"cmd\": \"status\"")["tcp_connections"].number;
  const auto start = steady_clock::now();
  session->Close();
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(Agent("\"cmd\": \"status\"")["tcp_connections"].number, connections);
}

TEST_F(SignOnTest, PeerSilentInTheHandshakeTimesOut) {
  Agent("\"cmd\": \"fault\", \"mode\": \"no_handshake\", \"count\": 1");
  Xen3SessionImpl session(1);
  Xen3SessionTestPeer::SetHandshakeTimeout(session, milliseconds(300));
  const auto start = steady_clock::now();
  try {
    session.Connect("127.0.0.1", "root", "xenroot", port_);
    FAIL() << "Connect succeeded without a handshake";
  } catch (const asio::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::timed_out) << e.what();
  }
  const auto waited = steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(250));
  EXPECT_LT(waited, milliseconds(5000));
  EXPECT_TRUE(Requests().empty());
}

TEST_F(SignOnTest, UnresolvableHostAndRefusedPortFailWithSystemErrors) {
  Xen3SessionImpl unresolvable(1);
  EXPECT_THROW(unresolvable.Connect("no-such-host.invalid", "root", "xenroot", port_), asio::system_error);
  Xen3SessionImpl badPort(1);
  EXPECT_THROW(badPort.Connect("127.0.0.1", "root", "xenroot", -5), asio::system_error);
  // A port where nothing listens: bind one, learn its number, close it again.
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  const int closedPort = acceptor.local_endpoint().port();
  acceptor.close();
  Xen3SessionImpl refused(1);
  EXPECT_THROW(refused.Connect("127.0.0.1", "root", "xenroot", closedPort), asio::system_error);
}

// -- population, figures and the listener ------------------------------------------------

class UpdateTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    Agent("\"cmd\": \"freeze_figures\", \"at\": 1000000.0");
  }

  // Waits until the listener has handed over the agent's latest figures.
  // Waits until the agent has pushed the figures frozen at that moment and the listener
  // has handed them over; returns them.
  testjson::Value WaitForFigures(Xen3SessionImpl& session, const char* frozenAt = "1000000.000") {
    testjson::Value push;
    EXPECT_TRUE(WaitFor([&] {
      push = Agent("\"cmd\": \"last_push\"");
      return !push["figures"].isNull() && push["figures"]["mh"]["time"].text == frozenAt;
    })) << "no push of the figures at " << frozenAt;
    if (push["figures"].isNull()) return push;
    const double expected = push["figures"]["mh"]["xm_cpu_usage"].number * 100.0;
    EXPECT_TRUE(WaitFor([&] {
      session.Update();
      return session.GetCpuUsage() == expected;
    })) << "the pushed figures never reached the session: expected " << expected << ", have "
        << session.GetCpuUsage();
    return push["figures"];
  }

  // A session with its VMs and its back channel, whose agent pushes once a second after
  // the sign-on and then only on request.
  std::unique_ptr<Xen3SessionImpl> ConnectPushingOnRequest(TestVmList& list) {
    Agent("\"cmd\": \"set_push_interval\", \"seconds\": 3600");
    auto session = Connect();
    session->FillVMList(&list);
    EXPECT_TRUE(WaitFor([] { return BackChannels().size() == 1; }));
    return session;
  }
};

TEST_F(UpdateTest, PopulatesOnceAndCopiesThePushedFigures) {
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 0.05");
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  EXPECT_EQ(session->GetServerName(), "xenhost01");
  EXPECT_EQ(session->GetServerDescription(), "Lab rack 3, dual socket");
  EXPECT_EQ(session->GetXenVersion(), "4.1.2");
  EXPECT_EQ(session->GetNumCpus(), 4);
  EXPECT_EQ(session->GetMemory(), 32768);
  ASSERT_EQ(list.GetCount(), 4) << "the inventory's guests, templates and dom0 left out";
  EXPECT_EQ(list.GetItem(0)->GetName(), "web01");
  EXPECT_EQ(list.GetItem(0)->GetDescription(), "Front-end web server");
  EXPECT_EQ(static_cast<Xen3VMImpl*>(list.GetItem(0))->VmId(), "0f6c1c52-2b9e-4c3a-9a51-8f3f2d6e7a01");

  const testjson::Value figures = WaitForFigures(*session);
  const testjson::Value& mh = figures["mh"];
  EXPECT_EQ(session->GetCpuUsage(), mh["xm_cpu_usage"].number * 100.0);
  EXPECT_DOUBLE_EQ(session->GetMemoryUsage(), (32768.0 - mh["meminfo_free"].number) / 32768.0 * 100.0);
  EXPECT_EQ(session->GetDiskIO(), mh["bd_io"].number);
  EXPECT_EQ(session->GetNetworkIO(), mh["if_io"].number);
  for (Figure f : {Figure::Cpu, Figure::Memory, Figure::Disk, Figure::Network})
    EXPECT_EQ(session->GetFigureSource(f), FigureSource::Agent);
  ASSERT_EQ(figures["vm"].size(), 4u);
  for (const testjson::Value& entry : figures["vm"].items) {
    XenVMImpl* vm = nullptr;
    for (int32_t i = 0; i < list.GetCount(); ++i)
      if (static_cast<Xen3VMImpl*>(list.GetItem(i))->VmId() == entry["uuid"].text) vm = list.GetItem(i);
    ASSERT_NE(vm, nullptr) << entry["uuid"].text;
    SCOPED_TRACE(vm->GetName());
    EXPECT_EQ(vm->GetStatus(), entry["state"].text);
    EXPECT_EQ(vm->GetCpuUsage(), entry["cpu_usage"].number * 100.0);
    EXPECT_EQ(vm->GetMemory(), static_cast<int32_t>(entry["meminfo_total"].number));
    const double total = entry["meminfo_total"].number;
    EXPECT_DOUBLE_EQ(vm->GetMemoryUsage(), (total - entry["meminfo_free"].number) / total * 100.0);
    EXPECT_EQ(vm->GetNumCpus(), static_cast<int32_t>(entry["num_vcpu"].number));
    EXPECT_EQ(vm->GetDiskIO(), entry["vbd_io"].number);
    EXPECT_EQ(vm->GetNetworkIO(), entry["vif_io"].number);
    EXPECT_EQ(vm->GetFigureSource(Figure::Cpu), FigureSource::Agent);
  }
  EXPECT_EQ(list.ByName("build01")->GetStatus(), "DOWN");
  session->Close();
}

TEST_F(UpdateTest, SecondUpdateFetchesOnceAndChangesOnlyFigures) {
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 0.05");
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  const testjson::Value first = WaitForFigures(*session);

  // Renamed host and guests, another guest, and figures of another moment.
  HostControl(R"({"cmd": "load", "inventory": {"host": {"name": "renamed", "xen_version": "9.9",
      "memory_mib": 1024, "free_memory_mib": 10, "cpu_utilisation": [0.9], "disk_io": 1, "net_io": 2},
      "vms": [{"uuid": "0f6c1c52-2b9e-4c3a-9a51-8f3f2d6e7a01", "name": "other", "power_state": "Halted"},
              {"uuid": "aaaaaaaa-0000-4000-8000-000000000001", "name": "new"}]}})");
  Agent("\"cmd\": \"freeze_figures\", \"at\": 2000000.0");
  const testjson::Value mh = WaitForFigures(*session, "2000000.000")["mh"];
  ClearRequests();
  session->Update();
  EXPECT_EQ(Commands(Requests()), std::vector<std::string>{"mh_getcfg"});
  EXPECT_EQ(session->GetServerName(), "xenhost01");
  EXPECT_EQ(session->GetMemory(), 32768);
  ASSERT_EQ(list.GetCount(), 4);
  XenVMImpl* web = list.GetItem(0);
  EXPECT_EQ(web->GetName(), "web01");
  EXPECT_EQ(web->GetStatus(), "DOWN") << "the figures follow the agent";
  EXPECT_EQ(session->GetCpuUsage(), mh["xm_cpu_usage"].number * 100.0);
  EXPECT_NE(mh["xm_cpu_usage"].number, first["mh"]["xm_cpu_usage"].number);
  EXPECT_DOUBLE_EQ(session->GetMemoryUsage(), (32768.0 - mh["meminfo_free"].number) / 32768.0 * 100.0)
      << "usage against the memory of the first population";
  EXPECT_EQ(list.ByName("db01")->GetStatus(), "UP") << "a VM without entry keeps its figures";
  session->Close();
}

TEST_F(UpdateTest, ZeroMemoryTotalsGiveFiniteUsage) {
  HostControl(R"({"cmd": "load", "inventory": {"host": {"name": "h", "memory_mib": 0, "free_memory_mib": 0,
      "cpu_utilisation": [0.5]}, "vms": [{"uuid": "bbbbbbbb-0000-4000-8000-000000000001", "name": "z",
      "power_state": "Running", "memory_mib": 0, "memory_free_mib": 0}]}})");
  Agent("\"cmd\": \"freeze_figures\", \"at\": 1000000.0");
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 0.05");
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  WaitForFigures(*session);
  ASSERT_EQ(list.GetCount(), 1);
  EXPECT_EQ(list.GetItem(0)->GetStatus(), "UP");
  EXPECT_TRUE(std::isfinite(session->GetMemoryUsage()));
  EXPECT_TRUE(std::isfinite(list.GetItem(0)->GetMemoryUsage()));
  EXPECT_EQ(list.GetItem(0)->GetMemoryUsage(), 0.0);
  // Without a total there is no usage to measure: the figure stays unmeasured.
  EXPECT_EQ(session->GetFigureSource(Figure::Memory), FigureSource::None);
  EXPECT_EQ(list.GetItem(0)->GetFigureSource(Figure::Memory), FigureSource::None);
  EXPECT_EQ(list.GetItem(0)->GetFigureSource(Figure::Cpu), FigureSource::Agent);
  session->Close();
}

TEST_F(UpdateTest, DuplicateIdentifierFeedsOnlyTheFirstVm) {
  HostControl(R"({"cmd": "load", "inventory": {"host": {"name": "h", "memory_mib": 100, "cpu_utilisation": [0.5]},
      "vms": [{"uuid": "cccccccc-0000-4000-8000-000000000001", "name": "one", "power_state": "Running"},
              {"uuid": "cccccccc-0000-4000-8000-000000000001", "name": "two", "power_state": "Running"}]}})");
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 0.05");
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  WaitForFigures(*session);
  ASSERT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.ByName("one")->GetStatus(), "UP");
  EXPECT_EQ(list.ByName("two")->GetStatus(), "UNKNOWN");
  EXPECT_EQ(list.ByName("two")->GetMemory(), 0);
  session->Close();
}

TEST_F(UpdateTest, PushesOfOtherKindsAreSkippedAndLowerCaseCountsAndNothingIsLost) {
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 3600");
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  ASSERT_TRUE(WaitFor([] { return BackChannels().size() == 1; }));
  auto pushes = [] { return BackChannels()[0]["pushes"].number; };

  for (const char* mode : {"other_push", "not_msg_push"}) {
    Agent(std::string("\"cmd\": \"fault\", \"mode\": \"") + mode + "\", \"count\": 1");
    const double before = pushes();
    Agent("\"cmd\": \"push_now\"");
    ASSERT_TRUE(WaitFor([&] { return pushes() > before; }));
  }
  std::this_thread::sleep_for(milliseconds(100));
  session->Update();
  EXPECT_TRUE(session->listenerRunning());
  EXPECT_EQ(session->GetCpuUsage(), 0.0) << "nothing taken from other kinds of message";

  // An event and a summary written at once arrive in one read: the summary must count.
  Agent("\"cmd\": \"fault\", \"mode\": \"double_push\", \"count\": 1");
  Agent("\"cmd\": \"push_now\"");
  WaitForFigures(*session);

  Agent("\"cmd\": \"freeze_figures\", \"at\": 3000000.0");
  Agent("\"cmd\": \"fault\", \"mode\": \"lowercase_push\", \"count\": 1");
  Agent("\"cmd\": \"push_now\"");
  WaitForFigures(*session, "3000000.000");
  EXPECT_TRUE(session->listenerRunning());
  session->Close();
}

TEST_F(UpdateTest, BrokenPushesEndTheListenerAndUpdateFails) {
  for (const char* mode : {"malformed_push", "endless_push", "close_back"}) {
    SCOPED_TRACE(mode);
    HostControl("{\"cmd\": \"reset\"}");
    Agent("\"cmd\": \"set_push_interval\", \"seconds\": 3600");
    auto session = Connect();
    TestVmList list;
    session->FillVMList(&list);
    ASSERT_TRUE(WaitFor([] { return BackChannels().size() == 1; }));
    Agent(std::string("\"cmd\": \"fault\", \"mode\": \"") + mode + "\", \"count\": 1");
    Agent("\"cmd\": \"push_now\"");
    // 16 MiB of an endless push take a while under the sanitizers.
    EXPECT_TRUE(WaitFor([&] { return UpdateError(*session) == "Connection to server lost"; },
                        std::chrono::seconds(60)));
    EXPECT_TRUE(WaitFor([&] { return !session->listenerRunning(); }));
    // Host and VM commands keep working on their own connections.
    EXPECT_NO_THROW(list.GetItem(0)->Pause());
    const auto start = steady_clock::now();
    session->Close();
    EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
    EXPECT_EQ(UpdateError(*session), "Connection to server lost");
  }
}

// The session's wait for its first figures ends once the listener has stored the first
// summary, so that one Update brings them; when the agent closes the back channel
// instead, it ends with false. The limits lie beyond the test's time-out: a wait that
// does not end fails the test.
TEST_F(UpdateTest, SessionWaitEndsWithTheFirstSummaryOrTheBackChannel) {
  const std::chrono::minutes beyond(10);
  {
    Agent("\"cmd\": \"set_push_interval\", \"seconds\": 3600");
    auto session = Connect();
    TestVmList list;
    session->FillVMList(&list);
    ASSERT_TRUE(session->WaitForFigures(beyond));
    session->Update();
    const testjson::Value push = Agent("\"cmd\": \"last_push\"");
    ASSERT_FALSE(push["figures"].isNull());
    EXPECT_EQ(session->GetCpuUsage(), push["figures"]["mh"]["xm_cpu_usage"].number * 100.0);
    EXPECT_EQ(list.ByName("web01")->GetStatus(), "UP");
    session->Close();
    EXPECT_FALSE(session->WaitForFigures(beyond));
  }
  {
    Agent("\"cmd\": \"fault\", \"mode\": \"close_back\", \"count\": 1");
    auto session = Connect();
    TestVmList list;
    session->FillVMList(&list);
    EXPECT_FALSE(session->WaitForFigures(beyond));
    EXPECT_EQ(UpdateError(*session), "Connection to server lost");
    session->Close();
  }
}

TEST_F(UpdateTest, DestroyingWithoutCloseEndsTheListenerFirst) {
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 0.01");
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  ASSERT_TRUE(WaitFor([] { return BackChannels().size() == 1 && BackChannels()[0]["pushes"].number > 3; }));
  const auto start = steady_clock::now();
  session.reset();
  EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
  EXPECT_TRUE(WaitFor([] { return !BackChannels()[0]["open"].boolean; }));
}

TEST_F(UpdateTest, BlankLinesInsideQuotedTextsStayInTheirFrame) {
  const std::string text = "Rack 3\n\n\"spare\" unit\n\n";
  const std::string json = "\"Rack 3\\n\\n\\\"spare\\\" unit\\n\\n\"";
  Agent("\"cmd\": \"set_description\", \"description\": " + json);
  Agent("\"cmd\": \"set_description\", \"uuid\": \"0f6c1c52-2b9e-4c3a-9a51-8f3f2d6e7a01\", "
        "\"description\": " + json);
  // The first push: an event whose text holds blank lines, the summary behind it in the
  // same read.
  Agent("\"cmd\": \"fault\", \"mode\": \"blank_line_push\", \"count\": 1");
  Agent("\"cmd\": \"set_push_interval\", \"seconds\": 3600");
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);  // the timed receive, on the main channel
  EXPECT_EQ(session->GetServerDescription(), text);
  ASSERT_EQ(list.GetCount(), 4);
  EXPECT_EQ(list.GetItem(0)->GetDescription(), text);
  WaitForFigures(*session);  // the blocking receive, on the back channel
  EXPECT_TRUE(session->listenerRunning());
  session->Close();
}

// A one-time barrier: the thread that passes it waits there until it is released.
class Gate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false, released_ = false;
};

// Holds the listener in its wait for a push, as a pass that does not return: a handler
// posted to the back channel's I/O service runs on the listener's thread and stops at
// the gate.
std::shared_ptr<Gate> HoldListener(Xen3SessionImpl& session) {
  auto gate = std::make_shared<Gate>();
  asio::post(Xen3SessionTestPeer::BackChannelService(session), [gate] { gate->Pass(); });
  return gate;
}

TEST_F(UpdateTest, DestructionWaitsOnlyTheStopTimeOutForAPassThatDoesNotReturn) {
  TestVmList list;
  auto session = ConnectPushingOnRequest(list);
  const int workers = RefreshThread::LiveThreads();
  auto gate = HoldListener(*session);
  ASSERT_TRUE(gate->WaitEntered());
  Xen3SessionTestPeer::SetStopTimeout(*session, milliseconds(200));
  const auto start = steady_clock::now();
  session.reset();
  EXPECT_LT(steady_clock::now() - start, milliseconds(5000)) << "destruction waited for the pass";
  EXPECT_TRUE(BackChannels()[0]["open"].boolean) << "the socket stays the listener's while it runs";
  // The pass goes on with what it kept: it closes the back channel and the thread ends.
  gate->Release();
  EXPECT_TRUE(WaitFor([&] { return RefreshThread::LiveThreads() < workers; }));
  EXPECT_TRUE(WaitFor([] { return !BackChannels()[0]["open"].boolean; }));
}

#ifndef _WIN32
// A VM list whose count, once armed, blocks until released. Update asks for it under the
// guest-metrics lock, so a listener handling a push meanwhile waits for that lock.
class BlockingVmList : public TestVmList {
 public:
  int32_t GetCount() override {
    if (armed.exchange(false)) gate.Pass();
    return TestVmList::GetCount();
  }
  std::atomic<bool> armed{false};
  Gate gate;
};

TEST_F(UpdateTest, ListenerEndedByCloseWhileHandlingAPushReleasesOpenSslThreadState) {
  BlockingVmList list;
  auto session = ConnectPushingOnRequest(list);
  WaitForFigures(*session);  // the first push; from now on Update asks the list for its count
  releaselog::Clear();
  const int workers = RefreshThread::LiveThreads();
  // An Update holds the guest-metrics lock; the next push reaches the listener, which
  // waits for that lock while Close ends the loop. Let go, the pass returns normally.
  list.armed = true;
  std::thread::id updater;
  std::thread update([&] {
    updater = std::this_thread::get_id();
    session->Update();
  });
  EXPECT_TRUE(list.gate.WaitEntered());
  const double pushes = BackChannels()[0]["pushes"].number;
  Agent("\"cmd\": \"push_now\"");
  EXPECT_TRUE(WaitFor([&] { return BackChannels()[0]["pushes"].number > pushes; }));
  std::this_thread::sleep_for(milliseconds(300));  // for the listener to read it
  Xen3SessionTestPeer::SetStopTimeout(*session, milliseconds(100));
  session->Close();
  list.gate.Release();
  update.join();
  ASSERT_TRUE(WaitFor([&] { return RefreshThread::LiveThreads() < workers; }));
  const auto releases = releaselog::Releases();
  ASSERT_EQ(releases.size(), 1u) << "one release, by the listener's thread";
  EXPECT_NE(releases[0].thread, std::this_thread::get_id());
  EXPECT_NE(releases[0].thread, updater);
}
#endif

// -- receive failures on the main channel ---------------------------------------------------

class ReceiveTest : public AgentTest {};

TEST_F(ReceiveTest, ReplyFaultsGiveClearErrors) {
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  auto fault = [](const char* mode) {
    Agent(std::string("\"cmd\": \"fault\", \"mode\": \"") + mode + "\", \"command\": \"mh_getcfg\", \"count\": 1");
  };

  fault("malformed");
  EXPECT_EQ(UpdateError(*session), "Parser exception: unexpected character");
  fault("close");
  EXPECT_THROW(session->Update(), asio::system_error);
  fault("endless");
  EXPECT_EQ(UpdateError(*session).rfind("Receive frame too large", 0), 0u);
  fault("not_msg");
  EXPECT_EQ(UpdateError(*session), "") << "a reply that is not a message is no error";
  fault("fragmented");
  EXPECT_EQ(UpdateError(*session), "");
  EXPECT_TRUE(session->listenerRunning()) << "main-channel failures leave the back channel alone";
  session->Close();
}

// A handler that fails while the reply is awaited (a platform call that throws in it)
// ends the receive at once: its error reaches the caller, and nothing of the receive
// stays queued on the session's I/O service.
TEST_F(ReceiveTest, AHandlerThatFailsDuringTheWaitStillEndsTheReceive) {
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  Agent("\"cmd\": \"fault\", \"mode\": \"silence\", \"command\": \"mh_getcfg\", \"count\": 1");
  std::unique_ptr<XsMessage> request = buildGetConfiguration(session->conversation().sessionId());
  request->sync = 1;
  std::unique_ptr<Xen3Stream> connection = session->openConnection();
  sendMessage(*connection, *request);
  asio::steady_timer failing(connection->get_executor(), milliseconds(500));
  failing.async_wait([](const asio::error_code&) {
    throw asio::system_error(asio::error::operation_not_supported, "failing handler");
  });
  Receiver receiver(*connection);
  ReceiverTestPeer::SetFrameTimeout(receiver, 1);
  const auto start = steady_clock::now();
  try {
    receiver.receiveFrame();
    FAIL() << "a reply from a silent agent";
  } catch (const asio::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_not_supported) << e.what();
  }
  EXPECT_LT(steady_clock::now() - start, milliseconds(8000)) << "the receive waited for the silent agent";
  session->Update();  // nothing of the failed receive is left on the I/O service
  session->Close();
}

TEST_F(ReceiveTest, SilentAgentTimesOutAfterTenSeconds) {
  auto session = Connect();
  TestVmList list;
  session->FillVMList(&list);
  Agent("\"cmd\": \"fault\", \"mode\": \"silence\", \"command\": \"mh_getcfg\", \"count\": 1");
  testing::internal::CaptureStdout();
  const auto start = steady_clock::now();
  const std::string error = UpdateError(*session);
  const auto waited = steady_clock::now() - start;
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(error, "Receive frame timeout");
  EXPECT_GE(waited, milliseconds(9500));
  EXPECT_LT(waited, milliseconds(15000));
  EXPECT_NE(output.find("timeout receive\n"), std::string::npos) << output;
  session->Update();  // the I/O service is ready for the next receive
  session->Close();
}

}  // namespace
}  // namespace xen3test
