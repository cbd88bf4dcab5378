// The session factory: connection modes, their ports, and the autodetect fallback.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "platform.h"
#include "session_settings.h"
#include "sim_client.h"
#include "xen3_session.h"
#include "xen4_session.h"

namespace {

const char kUser[] = "root";
const char kPassword[] = "xenroot";

// Every raw request the simulated agent recorded, decoded and joined.
std::string Xen3Requests() {
  std::string all;
  for (const std::string& request : simtest::Xen3RecordedRequests()) all += request;
  return all;
}

class SimulatedHost : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
    simtest::CopyClientCertificates(platform::LibraryDirectory());
    ASSERT_TRUE(simtest::ReplyOk(simtest::Control(R"({"cmd": "reset"})")));
    simtest::Control(R"({"target": "xen3", "cmd": "reset"})");
  }
  simtest::SimHost sim = simtest::FromEnvironment();
};

std::unique_ptr<XenSessionImpl> Create(const SessionSettings& settings) {
  return std::unique_ptr<XenSessionImpl>(settings.CreateSessionImpl("127.0.0.1", kUser, kPassword));
}

std::string FailureOf(const SessionSettings& settings, const std::string& user = kUser) {
  try {
    std::unique_ptr<XenSessionImpl>(settings.CreateSessionImpl("127.0.0.1", user, kPassword));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no failure)";
}

}  // namespace

TEST(SessionSettings, NewSettingsUseTheXen3ProtocolDefaults) {
  SessionSettings s;
  EXPECT_EQ(2, s.GetConnectionMode());
  EXPECT_EQ(6936, s.GetPort());
  EXPECT_EQ(5, s.GetRefreshingDelay());
}

TEST(SessionSettings, SettingTheModeResetsThePort) {
  SessionSettings s;
  s.SetConnectionMode(3);
  EXPECT_EQ(443, s.GetPort());
  s.SetConnectionMode(1);
  EXPECT_EQ(-1, s.GetPort());
  s.SetPort(8443);
  s.SetConnectionMode(2);
  EXPECT_EQ(6936, s.GetPort());
  s.SetPort(7000);  // a port set after the mode stays
  EXPECT_EQ(7000, s.GetPort());
  EXPECT_EQ(2, s.GetConnectionMode());
}

TEST(SessionSettings, ModeOutsideTheTableIsStoredAndKeepsThePort) {
  SessionSettings s;
  s.SetPort(1234);
  s.SetConnectionMode(7);
  EXPECT_EQ(7, s.GetConnectionMode());
  EXPECT_EQ(1234, s.GetPort());
  s.SetRefreshingDelay(-3);
  EXPECT_EQ(-3, s.GetRefreshingDelay());
}

TEST_F(SimulatedHost, Xen3ModeUsesTheStoredPortAndGivesAXen3Session) {
  SessionSettings s;
  s.SetPort(sim.xen3Port);
  auto session = Create(s);
  EXPECT_NE(nullptr, dynamic_cast<Xen3SessionImpl*>(session.get()));
  session->Close();
}

TEST_F(SimulatedHost, Xen4ModeUsesTheStoredPortAndGivesAXen4Session) {
  SessionSettings s;
  s.SetConnectionMode(3);
  s.SetPort(sim.xenapiPort);
  auto session = Create(s);
  EXPECT_NE(nullptr, dynamic_cast<Xen4SessionImpl*>(session.get()));
  EXPECT_EQ("xenhost01", session->GetServerName());
  session->Close();
}

TEST_F(SimulatedHost, FailureOfTheChosenProtocolPassesUnchanged) {
  SessionSettings s;
  s.SetConnectionMode(3);
  s.SetPort(sim.xenapiPort);
  EXPECT_EQ("Wrong user or password", FailureOf(s, "intruder"));
}

TEST_F(SimulatedHost, RefreshingDelayReachesTheAgentUnchanged) {
  for (int delay : {0, -1}) {
    simtest::Control(R"({"target": "xen3", "cmd": "clear_requests"})");
    SessionSettings s;
    s.SetPort(sim.xen3Port);
    s.SetRefreshingDelay(delay);
    auto session = Create(s);
    session->Close();
    const std::string sent = Xen3Requests();
    ASSERT_NE(std::string::npos, sent.find("\"sign_on_back\"")) << sent;
    if (delay == 0) {
      EXPECT_NE(std::string::npos, sent.find("(\"data_interval\" \"0\")")) << sent;
    } else {
      // the writer leaves negative numbers out
      EXPECT_EQ(std::string::npos, sent.find("data_interval")) << sent;
    }
  }
}

// The autodetect cases use the fixed ports 6936 and 443; their registrations hold a
// resource lock so that no other test serves those ports meanwhile.
TEST(Autodetect, ServerSpeakingOnlyXenApiGivesAXen4SessionOnPort443) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  simtest::CopyClientCertificates(platform::LibraryDirectory());
  SessionSettings s;
  s.SetConnectionMode(1);
  s.SetPort(1);  // ignored in this mode
  auto session = Create(s);
  EXPECT_NE(nullptr, dynamic_cast<Xen4SessionImpl*>(session.get()));
  session->Close();
}

TEST(Autodetect, AgentAnsweringOnPort6936IsPreferred) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  simtest::CopyClientCertificates(platform::LibraryDirectory());
  SessionSettings s;
  s.SetConnectionMode(1);
  auto session = Create(s);
  EXPECT_NE(nullptr, dynamic_cast<Xen3SessionImpl*>(session.get()));
  session->Close();
}

TEST(Autodetect, ServerAnsweringNeitherReportsTheXen4AttemptsMessage) {
  SessionSettings xen3, xen4, autodetect;
  xen4.SetConnectionMode(3);
  autodetect.SetConnectionMode(1);
  const std::string viaXen4 = FailureOf(xen4);
  const std::string viaXen3 = FailureOf(xen3);
  EXPECT_NE("(no failure)", viaXen4);
  EXPECT_NE(viaXen3, viaXen4);
  EXPECT_EQ(viaXen4, FailureOf(autodetect));
}
