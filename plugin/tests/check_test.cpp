// The check procedure against the fake connector: sentences, result, the step numbers
// of failures with the connector's descriptions, the session's closing, the version
// switch, the 16-bit counter and the pause that lets window messages run.
#include <gtest/gtest.h>

#include "check.h"
#include "comkit/resources.h"
#include "fake_vantrel.h"

using namespace brenmo;
using brenmo::testing::FakeServer;
using brenmo::testing::MakeFakeFactory;

namespace {

comkit::unique_variant Text(const std::wstring& text) {
  comkit::unique_variant v;
  V_VT(v.get()) = VT_BSTR;
  V_BSTR(v.get()) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

// "#PWD=" carries Base64 of "secret".
const std::wstring kParameter = L"#VSTP=XEN#USR=root#PWD=c2VjcmV0#XVR=4#VMN=web01#VMS=UP#";

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    server = std::make_shared<FakeServer>();
    server->vms = {{L"web01", L"UP"}, {L"db01", L"DOWN"}, {L"build01", L"SUSPENDED"}};
  }
  void TearDown() override { CoUninitialize(); }

  CheckOutcome Run(const std::wstring& parameter, const std::wstring& host = L"xenhost01") {
    CheckOptions options;
    options.waitMilliseconds = 0;
    options.createFactory = MakeFakeFactory(server);
    auto h = Text(host);
    auto p = Text(parameter);
    comkit::unique_variant timeout;
    CheckOutcome outcome = RunCheck(*h.get(), *timeout.get(), *p.get(), options);
    // Every object of the connector is released when the check returns.
    EXPECT_EQ(server->factoriesAlive, 0);
    EXPECT_EQ(server->sessionsAlive, 0);
    EXPECT_EQ(server->vmsAlive, 0);
    return outcome;
  }

  std::shared_ptr<FakeServer> server;
};

TEST_F(CheckTest, VmInTheExpectedStatePasses) {
  const auto outcome = Run(kParameter);
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Virtual machine (web01) is UP");
  EXPECT_EQ(server->host, L"xenhost01");
  EXPECT_EQ(server->user, L"root");
  EXPECT_EQ(server->password, L"secret");
  EXPECT_EQ(server->updates, 1);
  EXPECT_EQ(server->closes, 1);
}

TEST_F(CheckTest, VmInAnotherStateFails) {
  const auto outcome = Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=db01#VMS=UP#");
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Virtual machine (db01) is in a DOWN state while it should be UP");
  EXPECT_EQ(server->closes, 1);
}

TEST_F(CheckTest, NamesAndStatesAreComparedExactly) {
  auto outcome = Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=WEB01#VMS=UP#");
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Can't get the state of this (WEB01) virtual machine, it's not listed as a known one");
  outcome = Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=web01#VMS=up#");
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Virtual machine (web01) is in a UP state while it should be up");
  server->vms = {{L"web01", L"STARTING"}};
  outcome = Run(kParameter);
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Virtual machine (web01) is in a STARTING state while it should be UP");
}

TEST_F(CheckTest, OfSeveralVmsWithTheNameTheLastCounts) {
  server->vms = {{L"web01", L"UP"}, {L"other", L"UP"}, {L"web01", L"PAUSED"}};
  auto outcome = Run(kParameter);
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Virtual machine (web01) is in a PAUSED state while it should be UP");
  server->vms = {{L"web01", L"PAUSED"}, {L"web01", L"UP"}};
  EXPECT_TRUE(Run(kParameter).passed);
}

TEST_F(CheckTest, MissingVmNeverPassesEvenWhenUnknownIsExpected) {
  const auto outcome = Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=gone#VMS=unknown#");
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Can't get the state of this (gone) virtual machine, it's not listed as a known one");
  // A listed VM whose status text is "unknown" does match.
  server->vms = {{L"odd", L"unknown"}};
  EXPECT_TRUE(Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=odd#VMS=unknown#").passed);
}

TEST_F(CheckTest, EmptyVmNameCountsTheVms) {
  const auto outcome = Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=#VMS=UP#");
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.text, L"3 registered virtual machine(s) on this server");
  EXPECT_EQ(server->closes, 1);
}

TEST_F(CheckTest, NoVmsFailsWhateverTheName) {
  server->vms.clear();
  for (const wchar_t* p : {L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=web01#VMS=UP#", L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=#"}) {
    const auto outcome = Run(p);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.text, L"No registered virtual machines on this server");
  }
  EXPECT_EQ(server->closes, 2);
}

TEST_F(CheckTest, VersionSelectsTheConnectionMode) {
  Run(L"#USR=root#PWD=c2VjcmV0#XVR=3#VMN=web01#VMS=UP#");
  EXPECT_EQ(server->mode, MODE_XEN3_PROTOCOL);
  Run(L"#USR=root#PWD=c2VjcmV0#XVR= 3.0 #VMN=web01#VMS=UP#");
  EXPECT_EQ(server->mode, MODE_XEN3_PROTOCOL);
  Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=web01#VMS=UP#");
  EXPECT_EQ(server->mode, MODE_XEN4_PROTOCOL);
  server->mode = 0;
  Run(L"#USR=root#PWD=c2VjcmV0#XVR=5#VMN=web01#VMS=UP#");
  EXPECT_EQ(server->mode, MODE_XEN4_PROTOCOL);
  // Without XVR (not a number) the check goes on with the xen4 protocol.
  server->mode = 0;
  const auto outcome = Run(L"#USR=root#VMN=web01#VMS=UP#");
  EXPECT_EQ(server->mode, MODE_XEN4_PROTOCOL);
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(server->password, L"");  // no PWD: empty password
}

TEST_F(CheckTest, ParameterStringVariants) {
  // Lower-case keys, no final "#", a "#" in the password (Base64 of "p#ss").
  const auto outcome = Run(L"#vstp=XEN#usr=Admin#pwd=cCNzcw==#xvr=4#vmn=web01#vms=UP");
  EXPECT_TRUE(outcome.passed) << outcome.text;
  EXPECT_EQ(server->user, L"Admin");
  EXPECT_EQ(server->password, L"p#ss");
  // A "#" inside the VM name cuts it.
  EXPECT_EQ(Run(L"#USR=a#PWD=cA==#XVR=4#VMN=web#01#VMS=UP#").text,
            L"Can't get the state of this (web) virtual machine, it's not listed as a known one");
}

TEST_F(CheckTest, LoginFailureReportsTheConnectorsDescriptionAtStep180) {
  server->createSession = {static_cast<HRESULT>(0x80043000), L"Wrong user or password"};
  const auto outcome = Run(kParameter);
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"ERR: Wrong user or password(at  180)");
  EXPECT_EQ(server->closes, 0);  // no session was opened
}

TEST_F(CheckTest, FailuresAfterTheSessionOpenedCloseIt) {
  server->update = {static_cast<HRESULT>(0x80043000), L"Connection to xen4 lost"};
  auto outcome = Run(kParameter);
  EXPECT_EQ(outcome.text, L"ERR: Connection to xen4 lost(at  220)");
  EXPECT_EQ(server->closes, 1);

  server->update = {};
  server->vmList = {E_FAIL, L"list broken"};
  EXPECT_EQ(Run(kParameter).text, L"ERR: list broken(at  230)");
  server->vmList = {};
  server->newEnum = {E_FAIL, L"no enumerator"};
  EXPECT_EQ(Run(kParameter).text, L"ERR: no enumerator(at  260)");
  server->newEnum = {};
  server->failNameAt = 1;
  server->name = {static_cast<HRESULT>(0x80043000), L"name lost"};
  EXPECT_EQ(Run(kParameter).text, L"ERR: name lost(at  290)");
  EXPECT_EQ(server->closes, 4);
}

TEST_F(CheckTest, FailingCloseIsIgnored) {
  server->close = {static_cast<HRESULT>(0x80043000), L"Connection to server lost"};
  const auto outcome = Run(kParameter);
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.text, L"Virtual machine (web01) is UP");
}

TEST_F(CheckTest, FactoryFailuresUseThePlatformsText) {
  server->createFactoryResult = REGDB_E_CLASSNOTREG;
  EXPECT_EQ(Run(kParameter).text, L"ERR: " + SystemMessage(REGDB_E_CLASSNOTREG) + L"(at  120)");
  EXPECT_EQ(Run(L"#XVR=3#").text, L"ERR: " + SystemMessage(REGDB_E_CLASSNOTREG) + L"(at  100)");
  EXPECT_EQ(Run(L"#XVR=x#").text, L"ERR: " + SystemMessage(REGDB_E_CLASSNOTREG) + L"(at  140)");
  EXPECT_EQ(SystemMessage(REGDB_E_CLASSNOTREG).find(L"Class not registered"), 0u);
  server->createFactoryResult = S_OK;
  server->setMode = {E_INVALIDARG, L""};
  EXPECT_EQ(Run(kParameter).text, L"ERR: " + SystemMessage(E_INVALIDARG) + L"(at  120)");
}

TEST_F(CheckTest, StaleErrorInformationIsNotReported) {
  brenmo::testing::SetThreadError(L"stale text of an earlier call");
  server->createSession = {E_FAIL, L""};  // fails without error information
  const auto outcome = Run(kParameter);
  EXPECT_EQ(outcome.text, L"ERR: " + SystemMessage(E_FAIL) + L"(at  180)");
  EXPECT_EQ(outcome.text.find(L"stale"), std::wstring::npos);
}

TEST_F(CheckTest, BadSettingsFailAtTheirSteps) {
  EXPECT_EQ(Run(L"#USR=root#PWD==AAA#XVR=4#").text, L"ERR: Invalid Base64 text in PWD(at  50)");
  // Characters outside the alphabet are no failure.
  EXPECT_NE(Run(L"#USR=root#PWD=*!*!#XVR=4#VMN=web01#VMS=UP#").text.find(L"is UP"), std::wstring::npos);

  CheckOptions options;
  options.waitMilliseconds = 0;
  options.createFactory = MakeFakeFactory(server);
  comkit::unique_variant nullHost, timeout;
  V_VT(nullHost.get()) = VT_NULL;
  auto p = Text(kParameter);
  EXPECT_EQ(RunCheck(*nullHost.get(), *timeout.get(), *p.get(), options).text, L"ERR: Invalid use of Null(at  30)");
  comkit::unique_variant array;
  V_VT(array.get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(array.get()) = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  auto h = Text(L"xenhost01");
  EXPECT_EQ(RunCheck(*h.get(), *timeout.get(), *array.get(), options).text, L"ERR: Type mismatch(at  40)");
  EXPECT_EQ(server->sessions, 1);  // only the first run reached the connector
}

TEST_F(CheckTest, NumericHostAndEmptyPropertiesAreText) {
  CheckOptions options;
  options.waitMilliseconds = 0;
  options.createFactory = MakeFakeFactory(server);
  comkit::unique_variant host, timeout, parameter;
  V_VT(host.get()) = VT_I4;
  V_I4(host.get()) = 42;
  const auto outcome = RunCheck(*host.get(), *timeout.get(), *parameter.get(), options);
  EXPECT_EQ(server->host, L"42");
  EXPECT_EQ(server->user, L"");
  EXPECT_EQ(outcome.text, L"3 registered virtual machine(s) on this server");
}

TEST_F(CheckTest, CounterOverflowsAtStep270) {
  server->vms.clear();
  server->generatedVms = 32767;
  auto outcome = Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=#");
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(outcome.text, L"32767 registered virtual machine(s) on this server");
  server->generatedVms = 32768;
  outcome = Run(L"#USR=root#PWD=c2VjcmV0#XVR=4#VMN=#");
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.text, L"ERR: Overflow(at  270)");
  EXPECT_EQ(server->closes, 2);
}

// A window procedure that counts the messages it receives.
int g_pumped = 0;
LRESULT CALLBACK CountingProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_APP) ++g_pumped;
  return DefWindowProcW(wnd, msg, wp, lp);
}

TEST_F(CheckTest, PauseLetsPendingMessagesRunBeforeUpdate) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = CountingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"BrenmoCheckTestWindow";
  RegisterClassW(&wc);
  HWND wnd = CreateWindowW(L"BrenmoCheckTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(wnd, nullptr);
  g_pumped = 0;
  int pumpedAtUpdate = -1;
  server->onUpdate = [&] { pumpedAtUpdate = g_pumped; };
  PostMessageW(wnd, WM_APP, 0, 0);

  CheckOptions options;
  options.waitMilliseconds = 200;
  options.createFactory = MakeFakeFactory(server);
  auto h = Text(L"xenhost01");
  auto p = Text(kParameter);
  comkit::unique_variant timeout;
  const ULONGLONG start = GetTickCount64();
  const auto outcome = RunCheck(*h.get(), *timeout.get(), *p.get(), options);
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_TRUE(outcome.passed);
  EXPECT_EQ(pumpedAtUpdate, 1);
  // The pause is not cut short by the message that arrived.
  EXPECT_GE(elapsed + 20, 200u);  // the tick count's granularity
  DestroyWindow(wnd);
}

TEST_F(CheckTest, QuitMessageEndsThePauseAndStaysForTheOuterLoop) {
  PostQuitMessage(7);
  const ULONGLONG start = GetTickCount64();
  WaitPumpingMessages(60000);
  EXPECT_LT(GetTickCount64() - start, 30000u);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);
}

}  // namespace
