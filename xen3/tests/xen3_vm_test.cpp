// VM power operations and host commands against the simulated agent.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "xen3_fixture.h"
#include "xen3_vm.h"

namespace xen3test {
namespace {

std::string OperationError(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

std::string PowerState(const std::string& uuid) {
  return HostControl("{\"cmd\": \"power_state\", \"uuid\": \"" + uuid + "\"}")["power_state"].text;
}

class VmTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    session_ = Connect();
    session_->FillVMList(&list_);
    web_ = dynamic_cast<Xen3VMImpl*>(list_.ByName("web01"));
    ASSERT_NE(web_, nullptr);
    id_ = session_->conversation().sessionId();
    ClearRequests();
  }
  void TearDown() override {
    if (session_) session_->Close();
  }

  std::unique_ptr<Xen3SessionImpl> session_;
  TestVmList list_;
  Xen3VMImpl* web_ = nullptr;
  std::string id_;
};

TEST_F(VmTest, EachOperationSendsItsRequestAndTheAgentActs) {
  struct Step {
    void (XenVMImpl::*operation)();
    const char* command;
    const char* resulting;
  };
  const Step steps[] = {
      {&XenVMImpl::Pause, "vm_pause", "Paused"},       {&XenVMImpl::Unpause, "vm_unpause", "Running"},
      {&XenVMImpl::Suspend, "vm_save", "Suspended"},   {&XenVMImpl::Restore, "vm_restore", "Running"},
      {&XenVMImpl::Reboot, "vm_reboot", "Running"},    {&XenVMImpl::Shutdown, "vm_shutdown", "Halted"},
      {&XenVMImpl::Start, "vm_startup", "Running"},
  };
  const std::string uuid = web_->VmId();
  const std::string statusBefore = web_->GetStatus();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.command);
    ClearRequests();
    (web_->*step.operation)();
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    std::string payload = Element("uuid", uuid);
    if (std::string(step.command) == "vm_startup") payload += Element("start_force", "1");
    EXPECT_EQ(requests[0].raw, Request(step.command, &payload, id_));
    EXPECT_EQ(PowerState(uuid), step.resulting);
    EXPECT_EQ(web_->GetStatus(), statusBefore) << "no transitional status in this protocol";
  }
}

TEST_F(VmTest, RefusalsCarryTheAgentsReasonOrTheFallback) {
  EXPECT_EQ(OperationError([&] { web_->Start(); }), "vm_startup not allowed: VM is UP");
  Agent("\"cmd\": \"fault\", \"mode\": \"refuse\", \"command\": \"vm_reboot\", \"count\": 1");
  EXPECT_EQ(OperationError([&] { web_->Reboot(); }), "vm_reboot refused by the agent");
  Agent("\"cmd\": \"fault\", \"mode\": \"refuse_no_reason\", \"command\": \"vm_reboot\", \"count\": 1");
  EXPECT_EQ(OperationError([&] { web_->Reboot(); }), "Unknown error reason");
  // A reply without status, or one that is not a message, is taken as done.
  Agent("\"cmd\": \"fault\", \"mode\": \"no_status\", \"command\": \"vm_pause\", \"count\": 1");
  EXPECT_EQ(OperationError([&] { web_->Pause(); }), "");
  Agent("\"cmd\": \"fault\", \"mode\": \"not_msg\", \"command\": \"vm_pause\", \"count\": 1");
  EXPECT_EQ(OperationError([&] { web_->Pause(); }), "");
  EXPECT_EQ(PowerState(web_->VmId()), "Running") << "the faults answered in the agent's place";
  Agent("\"cmd\": \"fault\", \"mode\": \"malformed\", \"command\": \"vm_pause\", \"count\": 1");
  EXPECT_EQ(OperationError([&] { web_->Pause(); }), "Parser exception: unexpected character");
}

TEST_F(VmTest, WithoutSessionNothingIsSent) {
  Xen3VMImpl orphan(web_->VmId());
  EXPECT_EQ(OperationError([&] { orphan.Start(); }), "no session");
  list_.Detach(0);
  XenVMImpl* detached = list_.GetItem(0);
  for (auto operation : {&XenVMImpl::Start, &XenVMImpl::Shutdown, &XenVMImpl::Suspend, &XenVMImpl::Restore,
                         &XenVMImpl::Reboot, &XenVMImpl::Pause, &XenVMImpl::Unpause}) {
    EXPECT_EQ(OperationError([&] { (detached->*operation)(); }), "no session");
  }
  EXPECT_TRUE(Requests().empty());
}

TEST_F(VmTest, HostCommandsSendTheirTypeAndIgnoreRefusal) {
  session_->RestartHost();
  session_->ShutdownHost();
  Agent("\"cmd\": \"fault\", \"mode\": \"refuse\", \"command\": \"mh_shutdown\", \"count\": 1");
  EXPECT_NO_THROW(session_->RestartHost());
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  const std::string reboot = Element("type", "reboot");
  const std::string halt = Element("type", "halt");
  EXPECT_EQ(requests[0].raw, Request("mh_shutdown", &reboot, id_));
  EXPECT_EQ(requests[1].raw, Request("mh_shutdown", &halt, id_));
  EXPECT_TRUE(session_->listenerRunning()) << "host commands do not close the session";
}

TEST_F(VmTest, EscapedTextsTravelIntact) {
  session_->Close();
  session_.reset();
  Agent(R"("cmd": "set_credentials", "username": "a\"b", "password": "c\\d")");
  auto session = Connect(1, "a\"b", "c\\d");
  EXPECT_TRUE(session->listenerRunning());
  const auto requests = Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(requests[0].raw.find(R"(("username" "a\"b")("password" "c\\d"))"), std::string::npos)
      << requests[0].raw;
  session->Close();
}

}  // namespace
}  // namespace xen3test
