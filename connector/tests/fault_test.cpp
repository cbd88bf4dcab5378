// Faults of the simulated host, seen through the whole client (session factory, back
// end, VM list): every fault ends in the described error within the described time,
// never a crash or a hang. Run natively, under the sanitizers and under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "session_impl.h"
#include "session_settings.h"
#include "sim_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The automation VM list as far as the back ends need it.
struct Collection : IVmCollection {
  std::vector<std::unique_ptr<XenVMImpl>> vms;
  int32_t GetCount() override { return static_cast<int32_t>(vms.size()); }
  XenVMImpl* GetItem(int32_t i) override { return vms[static_cast<size_t>(i)].get(); }
  void Add(XenVMImpl* vm) override { vms.emplace_back(vm); }
  void Detach(int32_t i) override { vms[static_cast<size_t>(i)]->SetSession(nullptr); }
  XenVMImpl* Named(const std::string& name) {
    for (auto& vm : vms)
      if (vm->GetName() == name) return vm.get();
    return nullptr;
  }
};

// A connected session with its VM list, released the way the automation layer does.
struct Opened {
  std::unique_ptr<XenSessionImpl> session;
  Collection list;
  ~Opened() {
    if (!session) return;
    for (int32_t i = 0; i < list.GetCount(); ++i) list.Detach(i);
    try {
      session->Close();
    } catch (const std::exception&) {
    }
  }
};

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
    simtest::CopyClientCertificates(platform::LibraryDirectory());
    Control(R"({"cmd": "reset"})");
    Control(R"({"target": "xen3", "cmd": "reset"})");
    Control(R"({"target": "xenapi", "cmd": "reset"})");
    Control(R"({"cmd": "set_transition", "seconds": 0})");
  }
  void TearDown() override {
    if (!simtest::Available()) return;
    simtest::Control(R"({"target": "xen3", "cmd": "clear_faults"})");
    simtest::Control(R"({"target": "xenapi", "cmd": "clear_faults"})");
  }

  static void Control(const std::string& line) {
    const std::string reply = simtest::Control(line);
    ASSERT_TRUE(simtest::ReplyOk(reply)) << line << " -> " << reply;
  }

  SessionSettings Settings(int mode) {
    SessionSettings s;
    s.SetConnectionMode(mode);
    s.SetPort(mode == 2 ? sim.xen3Port : sim.xenapiPort);
    s.SetRefreshingDelay(1);
    return s;
  }

  // Opens a session and fills its VM list, as CreateSession does.
  void Open(Opened& o, int mode, const std::string& user = "root") {
    o.session.reset(Settings(mode).CreateSessionImpl("127.0.0.1", user, "xenroot"));
    o.session->FillVMList(&o.list);
  }

  // The message of the failure of f, and how long f took.
  template <class F>
  static std::string Failure(F f, Clock::duration* took = nullptr) {
    const auto start = Clock::now();
    std::string message = "(no failure)";
    try {
      f();
    } catch (const std::exception& e) {
      message = e.what();
    }
    if (took) *took = Clock::now() - start;
    return message;
  }

  simtest::SimHost sim = simtest::FromEnvironment();
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// --- xen3 agent --------------------------------------------------------------------

TEST_F(Faults, SilentAgentFailsAfterTheFrameTimeout) {
  Control(R"({"target": "xen3", "cmd": "fault", "mode": "silence", "command": "sign_on_main"})");
  Opened o;
  Clock::duration took;
  const std::string message = Failure([&] { Open(o, 2); }, &took);
  EXPECT_NE("(no failure)", message);
  EXPECT_GE(took, 9s);
  EXPECT_LT(took, 20s);
}

TEST_F(Faults, AgentDroppingTheConnectionWithoutReply) {
  Control(R"({"target": "xen3", "cmd": "fault", "mode": "close", "command": "mh_getcfg"})");
  Opened o;
  Clock::duration took;
  const std::string message = Failure([&] { Open(o, 2); }, &took);
  EXPECT_NE("(no failure)", message);  // the socket layer's own text
  EXPECT_LT(took, 5s);
}

TEST_F(Faults, MalformedReplyIsAParserException) {
  Control(R"({"target": "xen3", "cmd": "fault", "mode": "malformed", "command": "sign_on_main"})");
  Opened o;
  EXPECT_TRUE(Contains(Failure([&] { Open(o, 2); }), "Parser exception: ")) << Failure([&] { Open(o, 2); });
}

TEST_F(Faults, OversizedReplyEndsWithAClearErrorNotExhaustedMemory) {
  Control(R"({"target": "xen3", "cmd": "fault", "mode": "endless", "command": "sign_on_main"})");
  Opened o;
  Clock::duration took;
  const std::string message = Failure([&] { Open(o, 2); }, &took);
  EXPECT_TRUE(Contains(message, "too large")) << message;
  EXPECT_LT(took, 60s);
}

TEST_F(Faults, BackChannelClosedUnderARunningSessionIsReportedByUpdate) {
  Opened o;
  Open(o, 2);
  Control(R"({"target": "xen3", "cmd": "close_back_channels"})");
  std::string message;
  for (int i = 0; i < 100 && message != "Connection to server lost"; ++i) {
    message = Failure([&] { o.session->Update(); });
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ("Connection to server lost", message);
  // Host commands and VM operations use connections of their own and keep working.
  ASSERT_NE(nullptr, o.list.Named("web01"));
  EXPECT_EQ("(no failure)", Failure([&] { o.list.Named("web01")->Reboot(); }));
  Clock::duration took;
  EXPECT_EQ("(no failure)", Failure([&] { o.session->Close(); }, &took));
  EXPECT_LT(took, 5s);
}

TEST_F(Faults, MalformedPushEndsTheListener) {
  Opened o;
  Open(o, 2);
  Control(R"({"target": "xen3", "cmd": "fault", "mode": "malformed_push"})");
  Control(R"({"target": "xen3", "cmd": "push_now"})");
  std::string message;
  for (int i = 0; i < 100 && message != "Connection to server lost"; ++i) {
    message = Failure([&] { o.session->Update(); });
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ("Connection to server lost", message);
}

TEST_F(Faults, AgentRefusingTheCredentials) {
  Opened o;
  EXPECT_EQ("Connection to server lost", Failure([&] { Open(o, 2, "intruder"); }));
}

TEST_F(Faults, AgentRefusingAnOperationGivesItsReasonOrTheFallback) {
  Opened o;
  Open(o, 2);
  Control(R"({"target": "xen3", "cmd": "fault", "mode": "refuse", "command": "vm_reboot", "count": 1})");
  const std::string message = Failure([&] { o.list.Named("web01")->Reboot(); });
  EXPECT_NE("(no failure)", message);
  EXPECT_NE("Unknown error reason", message);
  Control(R"({"target": "xen3", "cmd": "fault", "mode": "refuse_no_reason", "command": "vm_reboot", "count": 1})");
  EXPECT_EQ("Unknown error reason", Failure([&] { o.list.Named("web01")->Reboot(); }));
}

// --- XenAPI ------------------------------------------------------------------------

TEST_F(Faults, XenApiWrongCredentials) {
  Opened o;
  EXPECT_EQ("Wrong user or password", Failure([&] { Open(o, 3, "intruder"); }));
}

TEST_F(Faults, XenApiFaultCarriesCodeAndDescription) {
  Opened o;
  Open(o, 3);
  Control(R"({"target": "xenapi", "cmd": "fault", "mode": "xmlrpc_fault", "method": "VM.clean_reboot", "count": 1, "code": 42, "text": "disk on fire"})");
  EXPECT_EQ("code: 42\ndescription: disk on fire", Failure([&] { o.list.Named("web01")->Reboot(); }));
}

TEST_F(Faults, XenApiUnknownErrorGivesEveryStringAndDropsTheSession) {
  Opened o;
  Open(o, 3);
  Control(R"({"target": "xenapi", "cmd": "fault", "mode": "error", "method": "VM.clean_reboot", "count": 1, "description": ["SIM_UNKNOWN_ERROR", "one", "two"]})");
  EXPECT_EQ("SIM_UNKNOWN_ERROR\none\ntwo\n", Failure([&] { o.list.Named("web01")->Reboot(); }));
  EXPECT_EQ("connection closed", Failure([&] { o.list.Named("web01")->Reboot(); }));
}

TEST_F(Faults, XenApiConnectionDroppedEndsTheRefreshAndUpdateReportsIt) {
  Opened o;
  Open(o, 3);
  Control(R"({"target": "xenapi", "cmd": "fault", "mode": "drop"})");
  std::string message;
  for (int i = 0; i < 100 && message != "Connection to xen4 lost"; ++i) {
    message = Failure([&] { o.session->Update(); });
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ("Connection to xen4 lost", message);
}

// A toolstack restart forgets every session: the next call logs in again and goes on.
TEST_F(Faults, XenApiServerRestartForgetsTheSession) {
  Opened o;
  Open(o, 3);
  Control(R"({"target": "xenapi", "cmd": "forget_sessions"})");
  EXPECT_EQ("(no failure)", Failure([&] { o.list.Named("web01")->Reboot(); }));
  EXPECT_EQ("(no failure)", Failure([&] { o.session->Update(); }));
}

// Sessions whose refresh failed on a faulting server are logged out at Close, every one.
TEST_F(Faults, XenApiCloseAfterAFailedPassLogsOut) {
  for (int i = 0; i < 5; ++i) {
    Opened o;
    Open(o, 3);
    Control(R"({"target": "xenapi", "cmd": "fault", "mode": "http_error", "status": 500, "method": "VM.get_record"})");
    for (int k = 0; k < 100 && Failure([&] { o.session->Update(); }) == "(no failure)"; ++k)
      std::this_thread::sleep_for(50ms);
    o.list.vms.clear();
    o.session->Close();
    Control(R"({"target": "xenapi", "cmd": "clear_faults"})");
  }
  const std::string reply = simtest::Control(R"({"target": "xenapi", "cmd": "sessions"})");
  EXPECT_TRUE(Contains(reply, "\"live\": 0")) << reply;
}

TEST_F(Faults, HungXenApiServerDuringClose) {
  Opened o;
  Open(o, 3);
  Control(R"({"target": "xenapi", "cmd": "fault", "mode": "hang", "seconds": 40})");
  Clock::duration took;
  EXPECT_EQ("(no failure)", Failure([&] { o.session->Close(); }, &took));
  EXPECT_LT(took, 25s);
  // The session is destroyed while its refresh pass may still be blocked in a request.
  for (int32_t i = 0; i < o.list.GetCount(); ++i) o.list.Detach(i);
  o.session.reset();
}

TEST_F(Faults, XenApiBodyThatIsNotXmlRpc) {
  Opened o;
  Control(R"({"target": "xenapi", "cmd": "fault", "mode": "not_xmlrpc", "method": "session.login_with_password"})");
  const std::string message = Failure([&] { Open(o, 3); });
  EXPECT_NE("(no failure)", message);
  Control(R"({"target": "xenapi", "cmd": "clear_faults"})");
  Control(R"({"target": "xenapi", "cmd": "fault", "mode": "http_error", "method": "host.get_record"})");
  EXPECT_NE("(no failure)", Failure([&] { Open(o, 3); }));
}
