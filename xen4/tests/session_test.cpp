// Xen4SessionImpl and Xen4VMImpl against the simulated XenAPI server.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <string>

#include "refresh_thread.h"
#include "refresh_thread_peer.h"
#include "xen4_session.h"
#include "xen4_test_support.h"

using namespace xen4test;
using namespace std::chrono_literals;

class Xen4SessionTestPeer {
 public:
  // How long Close and destruction wait for the refresh pass (10 seconds).
  static void SetStopTimeout(Xen4SessionImpl& session, std::chrono::milliseconds timeout) {
    RefreshThreadTestPeer::SetStopTimeout(session.thread_, timeout);
  }
};

namespace {

[[maybe_unused]] ::testing::Environment* const kCurl =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

// Host memory above 4 GiB, a VM above 4 GiB, every power state, a VM without guest
// tools, a template and the control domain.
const char kInventory[] = R"({
  "host": {"name": "simhost", "description": "Test rack", "xen_version": "4.1.2",
           "product_version": "6.0.2", "memory_mib": 65536, "free_memory_mib": 24576,
           "cpu_utilisation": [0.1, 0.3, 0.2, 0.4],
           "pifs": [{"device": "eth0", "read_kbs": 120.5, "write_kbs": 80.25},
                    {"device": "eth1", "read_kbs": 10.0, "write_kbs": 4.0}]},
  "vms": [
    {"uuid": "00000000-0000-4000-8000-000000000001", "name": "web", "description": "Web server",
     "power_state": "Running", "vcpus": 2, "vcpu_utilisation": [0.25, 0.35],
     "memory_mib": 6144, "memory_free_mib": 1536,
     "vifs": [{"read_kbs": 10.0, "write_kbs": 5.0}], "vbds": [{"read_kbs": 40.0, "write_kbs": 20.0}]},
    {"uuid": "00000000-0000-4000-8000-000000000002", "name": "db", "description": "Database",
     "power_state": "Running", "vcpus": 4, "vcpu_utilisation": [0.55, 0.6, 0.4, 0.45],
     "memory_mib": 8192, "memory_free_mib": 1024,
     "vifs": [{"read_kbs": 30.0, "write_kbs": 25.0}, {"read_kbs": 1.0, "write_kbs": 2.0}],
     "vbds": [{"read_kbs": 300.0, "write_kbs": 150.0}, {"read_kbs": 12.0, "write_kbs": 8.0}]},
    {"uuid": "00000000-0000-4000-8000-000000000003", "name": "build", "description": "CI agent",
     "power_state": "Halted", "vcpus": 2, "vcpu_utilisation": [0.5, 0.5], "guest_tools": false,
     "memory_mib": 4096, "memory_free_mib": 4096,
     "vifs": [{"read_kbs": 0.0, "write_kbs": 0.0}], "vbds": [{"read_kbs": 0.0, "write_kbs": 0.0}]},
    {"uuid": "00000000-0000-4000-8000-000000000004", "name": "mail", "description": "Mail relay",
     "power_state": "Suspended", "vcpus": 1, "vcpu_utilisation": [0.2],
     "memory_mib": 1024, "memory_free_mib": 300, "vifs": [], "vbds": []},
    {"uuid": "00000000-0000-4000-8000-000000000005", "name": "desk", "description": "",
     "power_state": "Paused", "vcpus": 1, "memory_mib": 2048, "memory_free_mib": 512},
    {"uuid": "00000000-0000-4000-8000-000000000006", "name": "Debian template",
     "power_state": "Halted", "is_a_template": true},
    {"uuid": "00000000-0000-4000-8000-000000000007", "name": "Control domain",
     "power_state": "Running", "is_control_domain": true, "vcpus": 2, "memory_mib": 2048}
  ],
  "transition_seconds": 0.5
})";

const char* const kUuids[] = {"00000000-0000-4000-8000-000000000001", "00000000-0000-4000-8000-000000000002",
                              "00000000-0000-4000-8000-000000000003", "00000000-0000-4000-8000-000000000004",
                              "00000000-0000-4000-8000-000000000005"};
enum { kWeb, kDb, kBuild, kMail, kDesk, kGuests };

double MeanPercent(const jsonlite::Value& values) {
  if (values.items.empty()) return 0.0;
  double sum = 0;
  for (const auto& v : values.items) sum += v.number;
  return 100.0 * sum / static_cast<double>(values.items.size());
}

double MeanIo(const jsonlite::Value& pairs) {
  if (pairs.items.empty()) return 0.0;
  double sum = 0;
  for (const auto& p : pairs.items) sum += p[0].number + p[1].number;
  return sum / static_cast<double>(pairs.items.size());
}

std::string OwnStatus(const Xen4SessionImpl& s, int i) {
  std::lock_guard<std::mutex> g(s.OwnVm(i).Lock());
  return s.OwnVm(i).GetStatus();
}

class Xen4SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host (sim/xensim.py)";
    ResetSim();
  }

  // The test inventory, no faults, figures frozen.
  static void ResetSim() {
    Control(R"({"cmd": "reset"})");
    Control(std::string(R"({"cmd": "load", "inventory": )") + kInventory + "}");
    XenApi(R"("cmd": "freeze_figures", "at": 1000)");
  }

  static void ConnectTo(Xen4SessionImpl& s) { s.Connect("127.0.0.1", "root", "xenroot", XenApiPort()); }
  static jsonlite::Value Figures() { return XenApi(R"("cmd": "figures")"); }
  static int Sessions() { return static_cast<int>(XenApi(R"("cmd": "status")")["sessions"].number); }
  static std::string VmRef(int i) {
    return XenApi(std::string(R"("cmd": "vm_ref", "uuid": ")") + kUuids[i] + "\"")["ref"].text;
  }
  static std::string PowerState(int i) {
    return Control(std::string(R"({"cmd": "power_state", "uuid": ")") + kUuids[i] + "\"}")["power_state"].text;
  }
  static void Fault(const std::string& fields) { XenApi(R"("cmd": "fault", )" + fields); }
  // Waits until the first refresh pass has written every VM.
  static bool WaitForFirstPass(const Xen4SessionImpl& s) {
    return WaitFor([&] { return OwnStatus(s, s.OwnVmCount() - 1) != "UNKNOWN"; });
  }
  // Connected, its VMs in c, and the first refresh pass copied into them.
  static void OpenRefreshed(Xen4SessionImpl& s, TestCollection& c) {
    ConnectTo(s);
    s.FillVMList(&c);
    ASSERT_TRUE(WaitForFirstPass(s));
    s.Update();
  }
};

}  // namespace

TEST_F(Xen4SessionTest, ConnectReadsHostFactsAndListsOnlyGuests) {
  const jsonlite::Value fig = Figures();
  Xen4SessionImpl s(60);
  ConnectTo(s);
  EXPECT_EQ(s.GetServerName(), "simhost");
  EXPECT_EQ(s.GetServerDescription(), "Test rack");
  EXPECT_EQ(s.GetXenVersion(), "6.0.2");
  EXPECT_EQ(s.GetNumCpus(), 4);
  // 64 GiB: the full 64-bit figure, shown in MiB.
  EXPECT_EQ(s.MemoryBytes(), int64_t{65536} << 20);
  EXPECT_EQ(s.GetMemory(), 65536);
  EXPECT_TRUE(s.IsConnected());

  // Templates and the control domain are never listed.
  ASSERT_EQ(s.OwnVmCount(), kGuests);
  const char* names[] = {"web", "db", "build", "mail", "desk"};
  const int memories[] = {6144, 8192, 4096, 1024, 2048};
  for (int i = 0; i < kGuests; ++i) {
    const Xen4VMImpl& vm = s.OwnVm(i);
    std::lock_guard<std::mutex> g(vm.Lock());
    const jsonlite::Value& f = fig["vms"][kUuids[i]];
    EXPECT_EQ(vm.GetName(), names[i]);
    EXPECT_EQ(vm.VmRef(), VmRef(i));
    EXPECT_EQ(vm.GetMemory(), memories[i]) << names[i];
    // Figures of the VM metrics; a VM that does not run has an empty utilisation map.
    EXPECT_NEAR(vm.GetCpuUsage(), MeanPercent(f["vcpu_utilisation"]), 1e-9) << names[i];
    EXPECT_EQ(vm.VifMetrics().size(), f["vifs"].items.size());
    EXPECT_EQ(vm.VbdMetrics().size(), f["vbds"].items.size());
  }
  // Guest memory: free then total; without guest tools there is nothing to read.
  for (int i : {kWeb, kDb, kMail, kDesk}) {
    const jsonlite::Value& f = fig["vms"][kUuids[i]];
    const double total = f["memory_total_kib"].number, freeKib = f["memory_free_kib"].number;
    EXPECT_NEAR(s.OwnVm(i).GetMemoryUsage(), (total - freeKib) / total * 100.0, 1e-9) << i;
  }
  EXPECT_EQ(s.OwnVm(kBuild).GetMemoryUsage(), 0.0);
  EXPECT_GT(s.OwnVm(kWeb).GetCpuUsage(), 0.0);
  EXPECT_EQ(s.OwnVm(kBuild).GetCpuUsage(), 0.0);
  s.Close();
}

TEST_F(Xen4SessionTest, CopiesShowUnknownUntilTheFirstPassHasRun) {
  Fault(R"("mode": "delay", "method": "host_metrics.get_memory_free", "seconds": 2, "count": 1)");
  Xen4SessionImpl s(60);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  ASSERT_EQ(c.GetCount(), kGuests);
  for (int i = 0; i < kGuests; ++i) {
    EXPECT_EQ(c.GetItem(i)->GetStatus(), "UNKNOWN");
    {
      std::lock_guard<std::mutex> g(s.OwnVm(i).Lock());
      EXPECT_EQ(c.GetItem(i)->GetName(), s.OwnVm(i).GetName());
    }
    EXPECT_EQ(c.GetItem(i)->GetMemory(), s.OwnVm(i).GetMemory());
    EXPECT_NE(c.GetItem(i), &s.OwnVm(i));
    EXPECT_EQ(static_cast<Xen4VMImpl*>(c.GetItem(i))->Session(), &s);
  }
  ASSERT_TRUE(WaitForFirstPass(s));
  s.Update();
  EXPECT_EQ(c.GetItem(kWeb)->GetStatus(), "UP");
  c.DetachAll();
  s.Close();
}

TEST_F(Xen4SessionTest, RefreshPassFigures) {
  const jsonlite::Value fig = Figures();
  Xen4SessionImpl s(60);
  TestCollection c;
  ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));

  const jsonlite::Value& host = fig["host"];
  const double total = host["memory_total"].number, freeBytes = host["memory_free"].number;
  EXPECT_NEAR(s.GetMemoryUsage(), (total - freeBytes) / total * 100.0, 1e-9);
  EXPECT_NEAR(s.GetCpuUsage(), MeanPercent(host["cpu_utilisation"]), 1e-9);
  EXPECT_NEAR(s.GetNetworkIO(), MeanIo(host["pifs"]), 1e-9);
  EXPECT_NEAR(s.GetNetworkIO(), ((120.5 + 80.25) + (10.0 + 4.0)) / 2, 1e-9);
  EXPECT_EQ(s.GetDiskIO(), 0.0);  // never written by this back end

  const char* statuses[] = {"UP", "UP", "DOWN", "SUSPENDED", "PAUSED"};
  for (int i = 0; i < kGuests; ++i) {
    const jsonlite::Value& f = fig["vms"][kUuids[i]];
    XenVMImpl* item = c.GetItem(i);
    EXPECT_EQ(item->GetStatus(), statuses[i]) << i;
    EXPECT_NEAR(item->GetCpuUsage(), MeanPercent(f["vcpu_utilisation"]), 1e-9) << i;
    EXPECT_NEAR(item->GetNetworkIO(), MeanIo(f["vifs"]), 1e-9) << i;
    EXPECT_NEAR(item->GetDiskIO(), MeanIo(f["vbds"]), 1e-9) << i;
    EXPECT_EQ(s.OwnVm(i).GetNumCpus(), i == kDb ? 4 : (i == kMail || i == kDesk ? 1 : 2)) << i;
  }
  EXPECT_NEAR(c.GetItem(kDb)->GetDiskIO(), ((300.0 + 150.0) + (12.0 + 8.0)) / 2, 1e-9);
  EXPECT_NEAR(c.GetItem(kDb)->GetNetworkIO(), ((30.0 + 25.0) + (1.0 + 2.0)) / 2, 1e-9);
  c.DetachAll();
  s.Close();
}

TEST_F(Xen4SessionTest, ZeroTotalsGiveZeroNotANumberAndMissingVersionIsKept) {
  Control(R"({"cmd": "load", "inventory": {
    "host": {"name": "h0", "description": "", "memory_mib": 0, "free_memory_mib": 0,
             "cpu_utilisation": [], "pifs": []},
    "vms": [{"uuid": "00000000-0000-4000-8000-0000000000a1", "name": "z", "power_state": "Running",
             "vcpus": 1, "memory_mib": 0, "memory_free_mib": 0}]}})");
  XenApi(R"("cmd": "freeze_figures", "at": 1000)");
  Xen4SessionImpl s(60);
  s.SetXenVersion("kept");
  ConnectTo(s);
  EXPECT_EQ(s.GetXenVersion(), "kept");  // no "product_version" in the software versions
  EXPECT_EQ(s.GetMemory(), 0);
  EXPECT_EQ(s.GetNumCpus(), 0);
  ASSERT_EQ(s.OwnVmCount(), 1);
  ASSERT_TRUE(WaitForFirstPass(s));
  EXPECT_EQ(s.GetMemoryUsage(), 0.0);
  EXPECT_EQ(s.GetCpuUsage(), 0.0);
  EXPECT_EQ(s.GetNetworkIO(), 0.0);
  EXPECT_TRUE(std::isfinite(s.OwnVm(0).GetMemoryUsage()));
  EXPECT_EQ(s.OwnVm(0).GetMemoryUsage(), 0.0);  // guest total 0: left as it was
  s.Close();
  // Those zeros are no measurements, from the metric calls as from the export (a host
  // without physical interfaces carries no traffic: that 0 is one).
  XenApi(R"("cmd": "set_profile", "profile": "current")");
  Xen4SessionImpl t(1);
  ConnectTo(t);
  ASSERT_TRUE(t.WaitForFigures(30s));
  for (const Xen4SessionImpl* x : {&s, &t}) {
    EXPECT_EQ(x->GetFigureSource(Figure::Cpu), FigureSource::None);
    EXPECT_EQ(x->GetFigureSource(Figure::Memory), FigureSource::None);
    EXPECT_NE(x->GetFigureSource(Figure::Network), FigureSource::None);
  }
  t.Close();
}

// Without the export, a VM's memory in use is read from its guest metrics on every pass,
// not once at connect.
TEST_F(Xen4SessionTest, GuestMemoryFollowsEveryPass) {
  Xen4SessionImpl s(1);
  ConnectTo(s);
  ASSERT_TRUE(WaitForFirstPass(s));
  const double before = s.OwnVm(kWeb).GetMemoryUsage();
  XenApi(R"("cmd": "freeze_figures", "at": 2000)");
  const jsonlite::Value fig = Figures();
  const jsonlite::Value& f = fig["vms"][kUuids[kWeb]];
  const double total = f["memory_total_kib"].number, freeKib = f["memory_free_kib"].number;
  const double now = (total - freeKib) / total * 100.0;
  ASSERT_GT(std::abs(before - now), 1e-6);
  EXPECT_TRUE(WaitFor([&] { return std::abs(s.OwnVm(kWeb).GetMemoryUsage() - now) < 1e-9; }));
  EXPECT_EQ(s.OwnVm(kWeb).GetFigureSource(Figure::Memory), FigureSource::MetricCalls);
  s.Close();
}

// Figures read before an operation do not undo its status: until a pass begun after it
// has written the figures, Update shows the operation's status.
TEST_F(Xen4SessionTest, FiguresFromBeforeAnOperationKeepItsStatus) {
  Xen4SessionImpl s(60);  // one pass, then a long pause
  TestCollection c;
  ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));
  XenVMImpl* build = c.GetItem(kBuild);
  ASSERT_EQ(build->GetStatus(), "DOWN");
  build->Start();
  s.Update();
  EXPECT_EQ(build->GetStatus(), "STARTING");
  s.Close();
}

TEST_F(Xen4SessionTest, PowerOperationsShowTheirStatusWhileTheServerAllowsNothing) {
  Control(R"({"cmd": "set_transition", "seconds": 2.5})");
  XenApi(R"("cmd": "freeze_figures", "at": null)");
  Xen4SessionImpl s(1);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  ASSERT_TRUE(WaitForFirstPass(s));
  XenVMImpl* build = c.GetItem(kBuild);

  const auto step = [&](void (XenVMImpl::*op)(), const std::string& transitional,
                        const std::string& steady, const std::string& serverState) {
    SCOPED_TRACE(transitional);
    (build->*op)();
    EXPECT_EQ(build->GetStatus(), transitional);
    // The operation ran on the copy: the session's own object keeps its status.
    {
      std::lock_guard<std::mutex> g(s.OwnVm(kBuild).Lock());
      EXPECT_EQ(s.OwnVm(kBuild).TransitionalStatusLocked(), "UNKNOWN");
      EXPECT_NE(s.OwnVm(kBuild).GetStatus(), transitional);
    }
    // A pass that finds no operation allowed keeps showing the operation's status.
    ASSERT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> g(s.OwnVm(kBuild).Lock());
      return s.OwnVm(kBuild).InTransitionLocked();
    }));
    s.Update();
    EXPECT_EQ(build->GetStatus(), transitional);
    // Then the new power state.
    EXPECT_TRUE(WaitFor([&] {
      s.Update();
      return build->GetStatus() == steady;
    })) << build->GetStatus();
    EXPECT_EQ(PowerState(kBuild), serverState);
  };
  step(&XenVMImpl::Start, "STARTING", "UP", "Running");
  step(&XenVMImpl::Suspend, "SUSPENDING", "SUSPENDED", "Suspended");
  step(&XenVMImpl::Restore, "STARTING", "UP", "Running");
  step(&XenVMImpl::Reboot, "REBOOTING", "UP", "Running");
  step(&XenVMImpl::Shutdown, "SHUTTING_DOWN", "DOWN", "Halted");
  c.DetachAll();
  s.Close();
}

TEST_F(Xen4SessionTest, PauseAndUnpauseSendNothingAndDetachedVmsRefuseEverything) {
  Xen4SessionImpl s(60);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  ASSERT_TRUE(WaitForFirstPass(s));
  XenApi(R"("cmd": "clear_calls")");
  XenVMImpl* web = c.GetItem(kWeb);
  web->Pause();
  EXPECT_EQ(web->GetStatus(), "PAUSING");
  web->Unpause();
  EXPECT_EQ(web->GetStatus(), "PAUSING");
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(PowerState(kWeb), "Running");

  c.Detach(kWeb);
  for (auto op : {&XenVMImpl::Start, &XenVMImpl::Shutdown, &XenVMImpl::Suspend, &XenVMImpl::Restore,
                  &XenVMImpl::Reboot, &XenVMImpl::Pause, &XenVMImpl::Unpause})
    EXPECT_EQ(MessageOf([&] { (web->*op)(); }), "no session");
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(web->GetStatus(), "PAUSING");
  c.DetachAll();
  s.Close();
}

TEST_F(Xen4SessionTest, LibraryErrorsBecomeTheirMessages) {
  Xen4SessionImpl s(60);
  TestCollection c;
  ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));
  XenVMImpl* web = c.GetItem(kWeb);
  const xenapi::SessionPtr handle = s.LibrarySession();

  struct Case {
    const char* fault;
    const char* message;
  } cases[] = {
      {R"("mode": "xmlrpc_fault", "code": 1, "text": "simulated fault")", "code: 1\ndescription: simulated fault"},
      {R"("mode": "not_xmlrpc")", "response is not an XML-RPC method response"},
      {R"("mode": "broken_xml")", "response is not well-formed XML"},
      {R"("mode": "http_error", "status": 500)", "response is not well-formed XML"},
      {R"("mode": "no_status")", "response without a Status"},
      {R"("mode": "error", "description": [])", "unknown libxen error"},
      {R"("mode": "error", "description": ["SESSION_AUTHENTICATION_FAILED", "root", "x"])",
       "Wrong user or password"},
  };
  for (const Case& k : cases) {
    Fault(std::string(k.fault) + R"(, "method": "VM.clean_shutdown", "count": 1)");
    EXPECT_EQ(MessageOf([&] { web->Shutdown(); }), k.message) << k.fault;
    // Failed: the status is unchanged and the session goes on.
    EXPECT_EQ(web->GetStatus(), "UP");
    EXPECT_EQ(s.LibrarySession(), handle) << k.fault;
    EXPECT_TRUE(s.IsConnected());
  }
  EXPECT_EQ(PowerState(kWeb), "Running");
  web->Shutdown();
  EXPECT_EQ(web->GetStatus(), "SHUTTING_DOWN");
  c.DetachAll();
  s.Close();
}

TEST_F(Xen4SessionTest, UnknownErrorEndsTheSessionAndTheRefreshThread) {
  Xen4SessionImpl s(1);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  ASSERT_TRUE(WaitForFirstPass(s));
  XenVMImpl* web = c.GetItem(kWeb);
  s.Update();
  // Start on a running VM: the server's refusal is not a name the check knows.
  EXPECT_EQ(MessageOf([&] { web->Start(); }), "VM_BAD_POWER_STATE\n" + VmRef(kWeb) + "\nhalted\nrunning\n");
  EXPECT_EQ(web->GetStatus(), "UP");
  EXPECT_EQ(s.LibrarySession(), nullptr);
  EXPECT_EQ(Sessions(), 0);  // logged out before it was dropped
  // The next pass fails for want of a session and ends the refresh thread.
  ASSERT_TRUE(WaitFor([&] { return s.IsRefreshFinished(); }));
  EXPECT_FALSE(s.IsRefreshRunning());
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(MessageOf([&] { s.Update(); }), "Connection to xen4 lost");
  // From now on nothing reaches the server.
  XenApi(R"("cmd": "clear_calls")");
  EXPECT_EQ(MessageOf([&] { web->Suspend(); }), "connection closed");
  EXPECT_EQ(MessageOf([&] { web->Pause(); }), "connection closed");
  EXPECT_EQ(MessageOf([&] { s.RestartHost(); }), "connection closed");
  s.Close();
  EXPECT_TRUE(Calls().empty());
  c.DetachAll();
}

TEST_F(Xen4SessionTest, TransportFaultLosesTheConnection) {
  Xen4SessionImpl s(60);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  Fault(R"("mode": "drop", "method": "VM.clean_reboot", "count": 1)");
  EXPECT_EQ(MessageOf([&] { c.GetItem(kWeb)->Reboot(); }), "Empty reply from server");
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(MessageOf([&] { s.Update(); }), "Connection to xen4 lost");
  c.DetachAll();
  s.Close();
  EXPECT_EQ(Sessions(), 0);
}

TEST_F(Xen4SessionTest, ConnectFailures) {
  {
    Xen4SessionImpl s(60);
    EXPECT_EQ(MessageOf([&] { s.Update(); }), "Connection to xen4 lost");
    EXPECT_EQ(MessageOf([&] { s.Connect("127.0.0.1", "root", "wrong", XenApiPort()); }),
              "Wrong user or password");
  }
  {
    // Nothing listens on port 1 of the loopback address.
    Xen4SessionImpl s(60);
    EXPECT_EQ(MessageOf([&] { s.Connect("127.0.0.1", "root", "xenroot", 1); }),
              "Failed to connect to 127.0.0.1 port 1: Connection refused");
    EXPECT_EQ(MessageOf([&] { s.Update(); }), "Connection to xen4 lost");
  }
  {
    Fault(R"("mode": "drop", "method": "session.login_with_password", "count": 1)");
    Xen4SessionImpl s(60);
    EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), "Empty reply from server");
  }
  {
    Fault(R"("mode": "wrong_type", "method": "session.get_this_host", "count": 1)");
    Xen4SessionImpl s(60);
    EXPECT_EQ(MessageOf([&] { ConnectTo(s); }),
              "error: expected a string, got array\nparam: session.get_this_host");
  }
  // Errors the check does not know, after the login: the session is logged out.
  for (const char* name : {"INTERNAL_ERROR", "RBAC_PERMISSION_DENIED"}) {
    Fault(std::string(R"("mode": "error", "method": "host.get_record", "count": 1, "description": [")") + name +
          "\", \"x\"]");
    Xen4SessionImpl s(60);
    EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), std::string(name) + "\nx\n");
    EXPECT_EQ(Sessions(), 0) << name;
  }
  {
    XenApi(R"("cmd": "set_credentials", "username": "admin", "password": "pw")");
    Xen4SessionImpl s(60);
    EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), "Wrong user or password");
    Xen4SessionImpl t(60);
    t.Connect("127.0.0.1", "admin", "pw", XenApiPort());
    EXPECT_TRUE(t.IsConnected());
    t.Close();
  }
  EXPECT_EQ(Sessions(), 0);
}

TEST_F(Xen4SessionTest, FailedPassEndsTheRefreshThread) {
  Fault(R"("mode": "drop", "method": "host_metrics.get_memory_free", "count": 1)");
  Xen4SessionImpl s(1);
  ConnectTo(s);
  EXPECT_TRUE(s.IsConnected());
  ASSERT_TRUE(WaitFor([&] { return s.IsRefreshFinished(); }));
  EXPECT_FALSE(s.IsRefreshRunning());
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(MessageOf([&] { s.Update(); }), "Connection to xen4 lost");
  // The handle survived the transport fault: Close still logs out.
  EXPECT_EQ(Sessions(), 1);
  s.Close();
  EXPECT_EQ(Sessions(), 0);
}

// The wait for the first figures ends with the first pass, also one that found the last
// VM gone; a pass that fails, and Close, end it with false. The limits lie beyond the
// test's time-out: a wait that does not end fails the test.
TEST_F(Xen4SessionTest, WaitForFiguresEndsWithTheFirstPass) {
  const std::chrono::minutes beyond(10);
  {
    Fault(R"("mode": "delay", "method": "host_metrics.get_memory_free", "seconds": 1, "count": 1)");
    Xen4SessionImpl s(60);
    ConnectTo(s);
    XenApi(std::string(R"("cmd": "delete_vm", "uuid": ")") + kUuids[kDesk] + "\"");
    ASSERT_TRUE(s.WaitForFigures(beyond));
    EXPECT_EQ(OwnStatus(s, kMail), "SUSPENDED");
    EXPECT_EQ(OwnStatus(s, kDesk), "UNKNOWN");
    s.Close();
    EXPECT_FALSE(s.WaitForFigures(beyond));
  }
  {
    Fault(R"("mode": "drop", "method": "host_metrics.get_memory_free", "count": 1)");
    Xen4SessionImpl s(60);
    ConnectTo(s);
    EXPECT_FALSE(s.WaitForFigures(beyond));
    EXPECT_FALSE(s.IsConnected());
    s.Close();
  }
}

TEST_F(Xen4SessionTest, RestartAndShutdownHostEndTheSession) {
  const std::pair<void (XenSessionImpl::*)(), const char*> ops[] = {
      {&XenSessionImpl::RestartHost, "reboot"}, {&XenSessionImpl::ShutdownHost, "shutdown"}};
  for (const auto& op : ops) {
    SCOPED_TRACE(op.second);
    ResetSim();
    Xen4SessionImpl s(1);
    ConnectTo(s);
    TestCollection c;
    s.FillVMList(&c);
    EXPECT_EQ(Sessions(), 1);
    (s.*op.first)();
    const jsonlite::Value st = XenApi(R"("cmd": "status")");
    ASSERT_EQ(st["host_events"].items.size(), 2u);
    EXPECT_EQ(st["host_events"][0].text, "disable");
    EXPECT_EQ(st["host_events"][1].text, op.second);
    EXPECT_EQ(s.LibrarySession(), nullptr);
    EXPECT_TRUE(s.IsRefreshFinished());
    EXPECT_EQ(Sessions(), 0);
    EXPECT_EQ(MessageOf([&] { c.GetItem(kBuild)->Start(); }), "connection closed");
    c.DetachAll();
  }
}

TEST_F(Xen4SessionTest, CloseLogsOutOnceAndStopsTheThread) {
  Xen4SessionImpl s(60);
  ConnectTo(s);
  EXPECT_TRUE(s.IsRefreshRunning());
  EXPECT_EQ(Sessions(), 1);
  s.Close();  // the pass is waiting for its delay: the stop event ends it at once
  EXPECT_TRUE(s.IsRefreshFinished());
  EXPECT_EQ(Sessions(), 0);
  EXPECT_TRUE(s.IsConnected());  // Close leaves the flag alone
  XenApi(R"("cmd": "clear_calls")");
  s.Close();
  EXPECT_TRUE(Calls().empty());
  // Connected again, it refreshes again (the stop event starts unsignalled).
  ConnectTo(s);
  EXPECT_TRUE(WaitFor([] { return Count(Calls(), "host_metrics.get_memory_free") == 1; }));
  EXPECT_TRUE(s.IsRefreshRunning());
  s.Close();
  EXPECT_EQ(Count(Calls(), "host_metrics.get_memory_free"), 1);
}

TEST_F(Xen4SessionTest, OldServerStartSignature) {
  XenApi(R"("cmd": "set_legacy_signatures", "enabled": true)");
  Xen4SessionImpl s(60);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  XenApi(R"("cmd": "clear_calls")");
  c.GetItem(kBuild)->Start();
  EXPECT_EQ(c.GetItem(kBuild)->GetStatus(), "STARTING");
  EXPECT_EQ(Count(Calls(), "VM.start"), 2);
  EXPECT_TRUE(WaitFor([] { return PowerState(kBuild) == "Running"; }));
  c.DetachAll();
  s.Close();
}

// A server that stops answering in the middle of a pass: Close and the destructor abort
// the pass's request, log out all the same, and the pass touches nothing that was freed
// (AddressSanitizer watches that).
TEST_F(Xen4SessionTest, HungServerNeitherBlocksCloseNorKeepsTheSession) {
  const int before = RefreshThread::LiveThreads();
  for (bool closeFirst : {true, false}) {
    SCOPED_TRACE(closeFirst ? "Close, then destroy" : "destroy only");
    ResetSim();
    {
      auto s = std::make_unique<Xen4SessionImpl>(1);
      Xen4SessionTestPeer::SetStopTimeout(*s, 500ms);
      ConnectTo(*s);
      TestCollection c;
      s->FillVMList(&c);
      ASSERT_TRUE(WaitForFirstPass(*s));
      XenApi(R"("cmd": "clear_calls")");
      Fault(R"("mode": "hang", "method": "VM.get_record", "seconds": 3)");
      ASSERT_TRUE(WaitFor([] { return Count(Calls(), "VM.get_record") > 0; }));
      if (closeFirst) {
        s->Close();
        EXPECT_EQ(s->LibrarySession(), nullptr);
        EXPECT_EQ(Sessions(), 0);
      }
      c.DetachAll();
      s.reset();
      EXPECT_EQ(Sessions(), 0);
    }
    EXPECT_TRUE(WaitFor([&] { return RefreshThread::LiveThreads() == before; }, 20s));
    XenApi(R"("cmd": "clear_faults")");
  }
}

// The refresh thread writes the session's figures and its own VMs while the caller
// copies and reads them, and both threads call the library at once (ThreadSanitizer
// watches this).
TEST_F(Xen4SessionTest, CallerAndRefreshThreadShareTheSessionSafely) {
  XenApi(R"("cmd": "freeze_figures", "at": null)");
  Xen4SessionImpl s(0);  // passes back to back
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  int rounds = 0;
  double sink = 0;
  while (std::chrono::steady_clock::now() < end) {
    s.Update();
    sink += s.GetCpuUsage() + s.GetMemoryUsage() + s.GetNetworkIO();
    for (int i = 0; i < c.GetCount(); ++i) sink += c.GetItem(i)->GetCpuUsage() + c.GetItem(i)->GetStatus().size();
    c.GetItem(kDesk)->Pause();
    if (rounds == 10) c.GetItem(kWeb)->Reboot();  // a library call beside the pass's
    ++rounds;
  }
  EXPECT_GT(rounds, 10);
  EXPECT_TRUE(std::isfinite(sink));
  EXPECT_TRUE(s.IsConnected());
  c.DetachAll();
  s.Close();
  EXPECT_TRUE(s.IsRefreshFinished());
}

// A pool member answers the login with its master's address: the login is made once
// more there and the session lives on the master.
TEST_F(Xen4SessionTest, PoolMemberLoginMovesToTheMaster) {
  Fault(R"("mode": "error", "method": "session.login_with_password", "count": 1,
           "description": ["HOST_IS_SLAVE", "127.0.0.1"])");
  XenApi(R"("cmd": "clear_calls")");
  Xen4SessionImpl s(60);
  s.Connect("localhost", "root", "xenroot", XenApiPort());
  EXPECT_TRUE(s.IsConnected());
  EXPECT_EQ(Count(Calls(), "session.login_with_password"), 2);
  EXPECT_EQ(Sessions(), 1);
  s.Close();
}

// Metric getters a server reports removed are no source: Connect goes on, asks each
// class once, and the pass reads what is left.
TEST_F(Xen4SessionTest, RemovedDeviceMetricsDoNotFailTheSession) {
  Fault(R"("mode": "error", "method": "VIF.get_metrics", "description": ["MESSAGE_REMOVED"])");
  Fault(R"("mode": "error", "method": "VBD.get_metrics", "description": ["MESSAGE_REMOVED"])");
  XenApi(R"("cmd": "clear_calls")");
  Xen4SessionImpl s(60);
  ConnectTo(s);
  const std::vector<std::string> calls = Calls();
  EXPECT_EQ(Count(calls, "VIF.get_metrics"), 1);
  EXPECT_EQ(Count(calls, "VBD.get_metrics"), 1);
  ASSERT_EQ(s.OwnVmCount(), kGuests);
  for (int i = 0; i < kGuests; ++i) EXPECT_TRUE(s.OwnVm(i).VifMetrics().empty() && s.OwnVm(i).VbdMetrics().empty());
  ASSERT_TRUE(WaitForFirstPass(s));
  EXPECT_TRUE(s.IsConnected());
  EXPECT_GT(s.OwnVm(kWeb).GetCpuUsage(), 0.0);
  s.Close();
}

// A VM the server no longer knows: "UNKNOWN" with its last figures, skipped by later
// passes, its operations fail with the server's message; the rest goes on.
TEST_F(Xen4SessionTest, VanishedVmShowsUnknownAndTheSessionGoesOn) {
  Xen4SessionImpl s(1);
  TestCollection c;
  ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));
  XenVMImpl* web = c.GetItem(kWeb);
  const double cpu = web->GetCpuUsage(), net = web->GetNetworkIO();
  ASSERT_GT(cpu, 0.0);
  const std::string ref = VmRef(kWeb);
  Fault(R"("mode": "error", "method": "VM.get_record", "count": 1, "description": ["HANDLE_INVALID", "VM", ")" + ref +
        "\"]");
  ASSERT_TRUE(WaitFor([&] { return OwnStatus(s, kWeb) == "UNKNOWN"; }));
  XenApi(R"("cmd": "clear_calls")");
  ASSERT_TRUE(WaitFor([] { return Count(Calls(), "host_metrics.get_memory_free") >= 3; }));
  // Between two pass starts: the other VMs' records only.
  const std::vector<std::string> calls = Calls();
  std::vector<size_t> starts;
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == "host_metrics.get_memory_free") starts.push_back(i);
  EXPECT_EQ(std::count(calls.begin() + static_cast<long>(starts[1]), calls.begin() + static_cast<long>(starts[2]),
                       std::string("VM.get_record")),
            kGuests - 1);
  s.Update();
  EXPECT_EQ(web->GetStatus(), "UNKNOWN");
  EXPECT_EQ(web->GetCpuUsage(), cpu);
  EXPECT_EQ(web->GetNetworkIO(), net);
  EXPECT_EQ(c.GetItem(kDb)->GetStatus(), "UP");
  EXPECT_EQ(c.GetCount(), kGuests);
  const xenapi::SessionPtr handle = s.LibrarySession();
  Fault(R"("mode": "error", "method": "VM.clean_shutdown", "count": 1, "description": ["HANDLE_INVALID", "VM", ")" +
        ref + "\"]");
  EXPECT_EQ(MessageOf([&] { web->Shutdown(); }), "HANDLE_INVALID\nVM\n" + ref + "\n");
  EXPECT_EQ(s.LibrarySession(), handle);
  EXPECT_TRUE(s.IsConnected());
  c.DetachAll();
  s.Close();
}

// A reboot or shut-down that fails after the host was disabled enables it again before
// the error is reported.
TEST_F(Xen4SessionTest, FailedHostOperationEnablesTheHostAgain) {
  Xen4SessionImpl s(60);
  ConnectTo(s);
  Fault(R"("mode": "error", "method": "host.shutdown", "count": 1, "description": ["HOST_IN_USE", "x"])");
  XenApi(R"("cmd": "clear_calls")");
  EXPECT_EQ(MessageOf([&] { s.ShutdownHost(); }), "HOST_IN_USE\nx\n");
  std::vector<std::string> calls;  // the host's own calls (the first pass runs beside them)
  for (const std::string& m : Calls())
    if (m.compare(0, 5, "host.") == 0) calls.push_back(m);
  const std::vector<std::string> expected = {"host.disable", "host.shutdown", "host.enable"};
  EXPECT_EQ(calls, expected);
  s.Close();
}

// The log-out at Close waits 10 seconds at most for a server that hangs; the session
// ends either way.
TEST_F(Xen4SessionTest, CloseBoundsTheLogout) {
  Xen4SessionImpl s(60);
  ConnectTo(s);
  Fault(R"("mode": "hang", "method": "session.logout", "seconds": 30)");
  const auto begin = std::chrono::steady_clock::now();
  s.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
  EXPECT_EQ(s.LibrarySession(), nullptr);
  XenApi(R"("cmd": "clear_faults")");
}

namespace {

// Against a server that answers as current servers do: removed metric getters, dead
// legacy figures, the metrics export, bulk reads, a pool member on 127.0.0.2.
class Xen4CurrentServerTest : public Xen4SessionTest {
 protected:
  void SetUp() override {
    Xen4SessionTest::SetUp();
    if (IsSkipped()) return;
    XenApi(R"("cmd": "set_profile", "profile": "current")");
  }
  // The index of the n-th (0-based) metrics export request in calls, or calls.size().
  static size_t NthExport(const std::vector<std::string>& calls, int n) {
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i].compare(0, 16, "GET /rrd_updates") == 0 && n-- == 0) return i;
    return calls.size();
  }
};

// Relative closeness, for the export's five-digit numbers.
::testing::AssertionResult Near(double actual, double expected) {
  if (std::fabs(actual - expected) <= 1e-3 * std::max(1.0, std::fabs(expected)))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actual << " is not " << expected;
}

}  // namespace

// Connect works for VMs with VIFs and VBDs; every figure comes from the export, in the
// units of the described calls; Connect and each pass make a handful of requests.
TEST_F(Xen4CurrentServerTest, FiguresFromTheExportInFewRequests) {
  const jsonlite::Value fig = Figures();
  XenApi(R"("cmd": "clear_calls")");
  Xen4SessionImpl s(1);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  ASSERT_EQ(s.OwnVmCount(), kGuests);
  // The figures are those of the first pass; the second pass's export request bounds
  // the first pass's requests (one list of calls read per look: it grows meanwhile).
  ASSERT_TRUE(s.WaitForFigures(std::chrono::seconds(30)));
  ASSERT_TRUE(WaitFor([] {
    const std::vector<std::string> now = Calls();
    return NthExport(now, 2) < now.size();
  }));
  const std::vector<std::string> calls = Calls();
  EXPECT_LE(NthExport(calls, 1), 10u);                      // Connect, the probe included
  EXPECT_LE(NthExport(calls, 2) - NthExport(calls, 1), 5u);  // one pass
  for (const char* removed : {"VIF.get_metrics", "VBD.get_metrics", "host_metrics.get_memory_free"})
    EXPECT_EQ(Count(calls, removed), 0) << removed;
  s.Update();

  const jsonlite::Value& host = fig["host"];
  EXPECT_TRUE(Near(s.GetCpuUsage(), MeanPercent(host["cpu_utilisation"])));
  EXPECT_TRUE(Near(s.GetMemoryUsage(), (host["memory_total"].number - host["memory_free"].number) /
                                           host["memory_total"].number * 100.0));
  EXPECT_TRUE(Near(s.GetNetworkIO(), ((120.5 + 80.25) + (10.0 + 4.0)) / 2));
  for (int i : {kWeb, kDb}) {
    const jsonlite::Value& f = fig["vms"][kUuids[i]];
    XenVMImpl* vm = c.GetItem(i);
    EXPECT_EQ(vm->GetStatus(), "UP");
    EXPECT_GT(vm->GetCpuUsage(), 0.0);
    EXPECT_TRUE(Near(vm->GetCpuUsage(), MeanPercent(f["vcpu_utilisation"]))) << i;
    EXPECT_TRUE(Near(vm->GetNetworkIO(), MeanIo(f["vifs"]))) << i;
    EXPECT_TRUE(Near(vm->GetDiskIO(), MeanIo(f["vbds"]))) << i;
    const double total = f["memory_total_kib"].number, freeKib = f["memory_free_kib"].number;
    EXPECT_TRUE(Near(vm->GetMemoryUsage(), (total - freeKib) / total * 100.0)) << i;
  }
  EXPECT_TRUE(Near(c.GetItem(kDb)->GetDiskIO(), ((300.0 + 150.0) + (12.0 + 8.0)) / 2));
  EXPECT_EQ(s.OwnVm(kDb).GetNumCpus(), 4);
  // Not running: absent from the export, read as 0.
  for (int i : {kBuild, kMail}) {
    EXPECT_EQ(c.GetItem(i)->GetCpuUsage(), 0.0) << i;
    EXPECT_EQ(c.GetItem(i)->GetDiskIO(), 0.0) << i;
  }
  EXPECT_EQ(c.GetItem(kMail)->GetStatus(), "SUSPENDED");
  EXPECT_TRUE(s.IsConnected());
  c.DetachAll();
  s.Close();
}

// A session of one VM reads that VM alone, its figures at Connect, over one kept
// connection, the log-out's included (Close's abort passes the idle connection by); the
// program's cancel still ends a request in flight on that connection, and the session is
// logged out.
TEST_F(Xen4CurrentServerTest, OneVmOverOneConnection) {
  const jsonlite::Value fig = Figures();
  XenApi(R"("cmd": "clear_calls")");
  Xen4Options options;
  options.onlyVm = "db";
  options.keepConnection = true;
  options.cancel = std::make_shared<Xen4Cancel>();
  {
    Xen4SessionImpl s(60, options);
    ConnectTo(s);
    EXPECT_TRUE(s.WaitForFigures(0ms));  // no pass waited for
    const jsonlite::Value calls = XenApi(R"("cmd": "calls")");
    EXPECT_LE(calls["count"].number, 6);  // the host's memory total is a call of its own
    EXPECT_EQ(calls["connections"]["master"].number, 1);
    TestCollection c;
    s.FillVMList(&c);
    ASSERT_EQ(c.GetCount(), 1);
    EXPECT_EQ(c.GetItem(0)->GetName(), "db");
    EXPECT_EQ(c.GetItem(0)->GetStatus(), "UP");
    EXPECT_EQ(c.GetItem(0)->GetNumCpus(), 4);
    EXPECT_TRUE(Near(c.GetItem(0)->GetCpuUsage(), MeanPercent(fig["vms"][kUuids[kDb]]["vcpu_utilisation"])));
    c.DetachAll();
    s.Close();
    EXPECT_EQ(XenApi(R"("cmd": "calls")")["connections"]["master"].number, 1);  // the log-out's too
    EXPECT_EQ(Sessions(), 0);
  }
  Fault(R"("mode": "hang", "method": "GET /rrd_updates")");
  XenApi(R"("cmd": "clear_calls")");  // the export waited for is this session's
  Xen4SessionImpl s(60, options);
  std::thread canceller([&] {
    WaitFor([] { return NthExport(Calls(), 0) < Calls().size(); });
    options.cancel->Cancel();
  });
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), "Cancelled");
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 20s);  // the export alone may take 30
  EXPECT_EQ(Sessions(), 0);
  XenApi(R"("cmd": "clear_faults")");
}

// A value the export gives as NaN is no figure, nor is a running VM that the export
// leaves out (its metrics are not kept yet) a VM that uses nothing: the figures keep
// their last values.
TEST_F(Xen4CurrentServerTest, NanKeepsTheLastFigure) {
  Xen4SessionImpl s(1);
  ConnectTo(s);
  ASSERT_TRUE(WaitForFirstPass(s));
  const double cpu = s.OwnVm(kWeb).GetCpuUsage();
  const double dbCpu = s.OwnVm(kDb).GetCpuUsage(), dbDisk = s.OwnVm(kDb).GetDiskIO();
  ASSERT_GT(cpu, 0.0);
  ASSERT_GT(dbCpu, 0.0);
  XenApi(std::string(R"("cmd": "rrd_nan", "columns": ["vm:)") + kUuids[kWeb] + R"(:cpu0"])");
  XenApi(std::string(R"("cmd": "rrd_absent", "uuids": [")") + kUuids[kDb] + R"("])");
  XenApi(R"("cmd": "freeze_figures", "at": 2000)");
  XenApi(R"("cmd": "clear_calls")");
  ASSERT_TRUE(WaitFor([] { return NthExport(Calls(), 1) < Calls().size(); }));
  EXPECT_EQ(s.OwnVm(kWeb).GetCpuUsage(), cpu);
  EXPECT_EQ(s.OwnVm(kDb).GetCpuUsage(), dbCpu);
  EXPECT_EQ(s.OwnVm(kDb).GetDiskIO(), dbDisk);
  EXPECT_TRUE(s.IsConnected());
  s.Close();
}

// Logging in at the pool member moves to the master; a VM resident on the member gets
// its figures from the member's export.
TEST_F(Xen4CurrentServerTest, PoolMemberAndItsVms) {
  const char* member = std::getenv("VANTREL_SIM_MEMBER_ADDRESS");
  if (!member || !*member) GTEST_SKIP() << "the pool member's address is not bound";
  Control(std::string(R"({"cmd": "load", "inventory": {"host": {"name": "master", "cpu_utilisation": [0.5],
    "memory_mib": 1024, "free_memory_mib": 512, "pifs": []},
    "member": {"name": "member", "cpu_utilisation": [0.25, 0.25], "memory_mib": 2048, "free_memory_mib": 256},
    "vms": [{"uuid": ")") + kUuids[kWeb] + R"(", "name": "w", "power_state": "Running", "vcpus": 1,
             "vcpu_utilisation": [0.5], "memory_mib": 1024, "memory_free_mib": 512, "resident_on": "member",
             "vifs": [{"read_kbs": 8.0, "write_kbs": 8.0}], "vbds": [{"read_kbs": 2.0, "write_kbs": 2.0}]}]}})");
  XenApi(R"("cmd": "freeze_figures", "at": 1000)");
  const jsonlite::Value fig = Figures();
  XenApi(R"("cmd": "clear_calls")");
  Xen4SessionImpl s(60);
  s.Connect(member, "root", "xenroot", XenApiPort());
  // The host named, not the master: its facts and figures.
  EXPECT_EQ(s.GetServerName(), "member");
  EXPECT_EQ(s.GetNumCpus(), 2);
  EXPECT_EQ(s.GetMemory(), 2048);
  ASSERT_TRUE(WaitForFirstPass(s));
  const Xen4VMImpl& w = s.OwnVm(0);
  EXPECT_GT(w.GetCpuUsage(), 0.0);
  EXPECT_TRUE(Near(w.GetCpuUsage(), MeanPercent(fig["vms"][kUuids[kWeb]]["vcpu_utilisation"])));
  EXPECT_TRUE(Near(w.GetNetworkIO(), 16.0));
  EXPECT_TRUE(Near(w.GetDiskIO(), 4.0));
  const jsonlite::Value calls = XenApi(R"("cmd": "calls")");
  // Every export read is the member's: its own figures and its VM's.
  int exports[2] = {0, 0};
  for (size_t i = 0; i < calls["methods"].items.size(); ++i)
    if (calls["methods"][i].text.compare(0, 16, "GET /rrd_updates") == 0)
      ++exports[calls["listeners"][i].text == "member"];
  EXPECT_EQ(exports[0], 0);
  EXPECT_GE(exports[1], 2);
  EXPECT_LT(s.GetCpuUsage(), 40.0);  // the master's are near 50
  EXPECT_GT(s.GetMemoryUsage(), 80.0);
  EXPECT_EQ(s.GetFigureSource(Figure::Cpu), FigureSource::MetricsExport);
  // Its reboot is the member's, never the master's.
  s.RestartHost();
  const jsonlite::Value st = XenApi(R"("cmd": "status")");
  ASSERT_EQ(st["host_events"].items.size(), 2u);
  EXPECT_EQ(st["host_events"][0].text, "member:disable");
  EXPECT_EQ(st["host_events"][1].text, "member:reboot");
  EXPECT_EQ(Sessions(), 0);
}

// A VM deleted while the session runs shows "UNKNOWN" and keeps its figures; the others
// go on; its operations fail with the server's message.
TEST_F(Xen4CurrentServerTest, DeletedVm) {
  Xen4SessionImpl s(1);
  TestCollection c;
  ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));
  const double cpu = c.GetItem(kWeb)->GetCpuUsage();
  const std::string ref = VmRef(kWeb);
  Control(std::string(R"({"target": "xenapi", "cmd": "delete_vm", "uuid": ")") + kUuids[kWeb] + "\"}");
  ASSERT_TRUE(WaitFor([&] { return OwnStatus(s, kWeb) == "UNKNOWN"; }));
  XenApi(R"("cmd": "clear_calls")");
  ASSERT_TRUE(WaitFor([] { return NthExport(Calls(), 1) < Calls().size(); }));
  s.Update();
  EXPECT_EQ(c.GetItem(kWeb)->GetStatus(), "UNKNOWN");
  EXPECT_EQ(c.GetItem(kWeb)->GetCpuUsage(), cpu);
  EXPECT_EQ(c.GetItem(kDb)->GetStatus(), "UP");
  EXPECT_EQ(MessageOf([&] { c.GetItem(kWeb)->Reboot(); }), "HANDLE_INVALID\nVM\n" + ref + "\n");
  EXPECT_TRUE(s.IsConnected());
  c.DetachAll();
  s.Close();
}

// Power operations and the host's reboot and shut-down.
TEST_F(Xen4CurrentServerTest, PowerAndHostOperations) {
  Control(R"({"cmd": "set_transition", "seconds": 0.2})");
  Xen4SessionImpl s(1);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  ASSERT_TRUE(WaitForFirstPass(s));
  XenVMImpl* build = c.GetItem(kBuild);
  const std::pair<void (XenVMImpl::*)(), const char*> steps[] = {{&XenVMImpl::Start, "Running"},
                                                                  {&XenVMImpl::Suspend, "Suspended"},
                                                                  {&XenVMImpl::Restore, "Running"},
                                                                  {&XenVMImpl::Reboot, "Running"},
                                                                  {&XenVMImpl::Shutdown, "Halted"}};
  for (const auto& step : steps) {
    (build->*step.first)();
    EXPECT_TRUE(WaitFor([&] { return PowerState(kBuild) == step.second; })) << step.second;
  }
  EXPECT_TRUE(WaitFor([&] {
    s.Update();
    return build->GetStatus() == "DOWN";
  }));
  s.RestartHost();
  const jsonlite::Value st = XenApi(R"("cmd": "status")");
  ASSERT_EQ(st["host_events"].items.size(), 2u);
  EXPECT_EQ(st["host_events"][1].text, "reboot");
  EXPECT_EQ(s.LibrarySession(), nullptr);
  c.DetachAll();
}

// The bulk reads and the per-VM calls give the same figures and statuses.
TEST_F(Xen4SessionTest, BulkReadsGiveTheSameFigures) {
  std::vector<std::string> seen[2];
  for (bool bulk : {false, true}) {
    XenApi(std::string(R"("cmd": "set_bulk", "enabled": )") + (bulk ? "true" : "false"));
    XenApi(R"("cmd": "clear_calls")");
    Xen4SessionImpl s(60);
    ConnectTo(s);
    ASSERT_TRUE(WaitForFirstPass(s));
    const std::vector<std::string> calls = Calls();
    EXPECT_EQ(Count(calls, "VM.get_record") == 0, bulk);
    EXPECT_EQ(Count(calls, "VM.get_all_records_where") >= 2, bulk);  // the filtered read
    for (int i = 0; i < kGuests; ++i) {
      const Xen4VMImpl& vm = s.OwnVm(i);
      std::lock_guard<std::mutex> g(vm.Lock());
      seen[bulk].push_back(vm.GetStatus() + " " + std::to_string(vm.GetCpuUsage()) + " " +
                           std::to_string(vm.GetMemoryUsage()) + " " + std::to_string(vm.GetNetworkIO()) + " " +
                           std::to_string(vm.GetDiskIO()) + " " + std::to_string(vm.GetNumCpus()));
    }
    s.Close();
  }
  EXPECT_EQ(seen[0], seen[1]);
}

namespace {
jsonlite::Value SessionList() { return XenApi(R"("cmd": "sessions")"); }
}  // namespace

// Logins name the originator (the program's, "Vantrel" by default); a server that takes
// fewer parameters gets the login without it.
TEST_F(Xen4SessionTest, LoginNamesTheOriginatorWhereTheServerTakesIt) {
  {
    Xen4SessionImpl s(60);
    ConnectTo(s);
    const jsonlite::Value info = SessionList();
    ASSERT_EQ(info["live"].number, 1);
    EXPECT_EQ(info["sessions"][0]["originator"].text, "Vantrel");
    s.Close();
  }
  XenApi(R"("cmd": "login_params", "max": 3)");
  Xen4Options options;
  options.originator = "check_xenvm";
  Xen4SessionImpl s(60, options);
  ConnectTo(s);
  const jsonlite::Value info = SessionList();
  ASSERT_EQ(info["live"].number, 1);
  EXPECT_EQ(info["sessions"][0]["originator"].text, "");
  EXPECT_EQ(info["refused_logins"].number, 1);
  s.Close();
  EXPECT_EQ(Sessions(), 0);
}

// A session released without Close is logged out all the same.
TEST_F(Xen4SessionTest, ReleasedWithoutCloseLogsOut) {
  {
    Xen4SessionImpl s(1);
    TestCollection c;
    ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));
    c.DetachAll();
  }
  EXPECT_EQ(Sessions(), 0);
}

// The server forgets its sessions (a toolstack restart, then a new master): the session
// logs in again with the credentials it was opened with, the call is repeated, and the
// figures flow again; references, the VM list and the VMs stay valid.
TEST_F(Xen4SessionTest, ForgottenSessionIsLoggedInAgain) {
  Xen4SessionImpl s(1);
  TestCollection c;
  ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));
  XenApi(R"("cmd": "forget_sessions")");
  c.GetItem(kBuild)->Start();  // the caller's thread meets it first, or the pass does
  EXPECT_EQ(c.GetItem(kBuild)->GetStatus(), "STARTING");
  XenApi(R"("cmd": "clear_calls")");
  ASSERT_TRUE(WaitFor([] { return Count(Calls(), "host_metrics.get_memory_free") >= 2; }));
  s.Update();
  EXPECT_TRUE(s.IsConnected());
  jsonlite::Value info = SessionList();
  EXPECT_EQ(info["live"].number, 1);
  EXPECT_EQ(info["logins"].number, 2);  // one new login for both threads

  c.DetachAll();
  s.Close();
  EXPECT_EQ(Sessions(), 0);
}

// The shipped pool (a member with a host record of its own): a master change is
// followed, the session living on the new master; the listed VMs are the pool's.
TEST_F(Xen4SessionTest, MasterChangeIsFollowed) {
  const char* member = std::getenv("VANTREL_SIM_MEMBER_ADDRESS");
  if (!member || !*member) GTEST_SKIP() << "the pool member's address is not bound";
  Control(R"({"cmd": "reset"})");
  Xen4SessionImpl s(1);
  TestCollection c;
  ASSERT_NO_FATAL_FAILURE(OpenRefreshed(s, c));
  ASSERT_EQ(c.GetCount(), 4);  // no template, snapshot or control domain
  XenApi(R"("cmd": "swap_master")");  // 127.0.0.1 is a member now: the login follows
  XenApi(R"("cmd": "clear_calls")");
  ASSERT_TRUE(WaitFor([] { return Count(Calls(), "VM.get_all_records") + Count(Calls(), "VM.get_record") >= 8; }));
  s.Update();
  EXPECT_TRUE(s.IsConnected());
  c.GetItem(2)->Start();  // build01, halted
  const jsonlite::Value info = SessionList();
  ASSERT_EQ(info["live"].number, 1);
  EXPECT_EQ(info["sessions"][0]["listener"].text, "member");
  EXPECT_EQ(s.GetServerName(), "xenhost01");
  c.DetachAll();
  s.Close();
  EXPECT_EQ(Sessions(), 0);
}

// A program's deadline cuts a call that hangs so that the log-out still fits; its cancel
// ends a call in flight, and waits a moment for a login in flight, whose session the
// server may already have made. Either way the session is logged out and the call fails.
TEST_F(Xen4SessionTest, DeadlineAndCancelLogOutAndFail) {
  Fault(R"("mode": "hang", "method": "host.get_record")");
  {
    Xen4Options options;
    options.deadline = std::chrono::steady_clock::now() + 4s;
    Xen4SessionImpl s(60, options);
    EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), "Deadline reached");
    EXPECT_EQ(Sessions(), 0);
  }
  {
    Xen4Options options;
    options.cancel = std::make_shared<Xen4Cancel>();
    Xen4SessionImpl s(60, options);
    std::thread canceller([&] {
      WaitFor([] { return Count(Calls(), "host.get_record") > 0; });
      options.cancel->Cancel();
    });
    EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), "Cancelled");
    canceller.join();
    EXPECT_EQ(Sessions(), 0);
  }
  {
    const double logins = SessionList()["logins"].number;
    Fault(R"("mode": "delay", "method": "session.login_with_password", "seconds": 0.4, "count": 1)");
    Xen4Options options;
    options.cancel = std::make_shared<Xen4Cancel>();
    Xen4SessionImpl s(60, options);
    XenApi(R"("cmd": "clear_calls")");
    std::thread canceller([&] {
      WaitFor([] { return Count(Calls(), "session.login_with_password") > 0; });
      options.cancel->Cancel();
    });
    EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), "Cancelled");
    canceller.join();
    EXPECT_TRUE(WaitFor([&] { return SessionList()["logins"].number > logins; }));  // the server made it
    EXPECT_EQ(Sessions(), 0);
  }
  XenApi(R"("cmd": "clear_faults")");
}

// Literal IPv6 addresses, with or without brackets, and a member whose master has one.
TEST_F(Xen4SessionTest, Ipv6AddressesAndAnIpv6Master) {
  const char* v6 = std::getenv("VANTREL_SIM_IPV6");
  if (!v6 || !*v6) GTEST_SKIP() << "the simulated host does not listen on ::1";
  for (const char* address : {"::1", "[::1]"}) {
    Xen4SessionImpl s(60);
    s.Connect(address, "root", "xenroot", XenApiPort());
    EXPECT_TRUE(s.IsConnected()) << address;
    s.Close();
  }
  const char* member = std::getenv("VANTREL_SIM_MEMBER_ADDRESS");
  if (!member || !*member) return;
  Control(R"({"cmd": "reset"})");  // the shipped pool, with the member's host record
  XenApi(R"("cmd": "master_address", "address": "::1")");
  XenApi(R"("cmd": "clear_calls")");
  Xen4SessionImpl s(60);
  s.Connect(member, "root", "xenroot", XenApiPort());
  EXPECT_EQ(s.GetServerName(), "member02");
  EXPECT_GT(XenApi(R"("cmd": "calls")")["connections"]["ipv6"].number, 0);
  s.Close();
}

// A login redirected to a master whose pool has no host of the address named fails
// and logs out: it never acts on the master instead.
TEST_F(Xen4SessionTest, NamedHostMissingFromThePoolFailsTheConnect) {
  XenApi(R"("cmd": "master_address", "address": "192.0.2.1")");
  Fault(R"("mode": "error", "method": "session.login_with_password", "count": 1,
           "description": ["HOST_IS_SLAVE", "127.0.0.1"])");
  Xen4SessionImpl s(60);
  EXPECT_EQ(MessageOf([&] { ConnectTo(s); }), "The host 127.0.0.1 is not among the hosts of the pool it belongs to");
  EXPECT_EQ(Sessions(), 0);
  // A master that changes between the member's answer and the login there is followed
  // once more.
  XenApi(R"("cmd": "master_address", "address": null)");
  Fault(R"("mode": "error", "method": "session.login_with_password", "count": 2,
           "description": ["HOST_IS_SLAVE", "127.0.0.1"])");
  {
    Xen4SessionImpl moved(60);
    ConnectTo(moved);
    EXPECT_EQ(Sessions(), 1);
    moved.Close();
  }
  // A master named as no host can be (a user part and a path) is not followed at all.
  Fault(R"("mode": "error", "method": "session.login_with_password", "count": 1,
           "description": ["HOST_IS_SLAVE", "root@127.0.0.1/x"])");
  Xen4SessionImpl t(60);
  EXPECT_EQ(MessageOf([&] { ConnectTo(t); }), "HOST_IS_SLAVE\nroot@127.0.0.1/x\n");
  EXPECT_EQ(Sessions(), 0);
}

// A redirected login whose name matches no host's address: a host whose hostname it is
// comes before one that only bears it as its label, and a name that two hosts bear
// fails the connect (and logs out) instead of picking one of them.
TEST_F(Xen4SessionTest, NamedHostIsNeverGuessedAmongHostsOfOneName) {
  // A pool whose hosts' addresses are not the one reached, and a login redirected.
  const auto pool = [](const std::string& masterLabel, const std::string& masterHostname,
                       const std::string& memberHostname) {
    const std::string figures = R"("memory_mib": 1024, "free_memory_mib": 512, "cpu_utilisation": [0.1])";
    Control(R"({"cmd": "load", "inventory": {"vms": [],
      "host": {"name": ")" + masterLabel + R"(", "hostname": ")" + masterHostname +
            R"(", "address": "192.0.2.1", )" + figures + R"(},
      "member": {"name": "member02", "hostname": ")" + memberHostname +
            R"(", "address": "192.0.2.2", )" + figures + "}}}");
    Fault(R"("mode": "error", "method": "session.login_with_password", "count": 1,
             "description": ["HOST_IS_SLAVE", "127.0.0.1"])");
  };
  pool("localhost", "xenhost01", "localhost");
  {
    Xen4SessionImpl s(60);
    s.Connect("localhost", "root", "xenroot", XenApiPort());
    EXPECT_EQ(s.GetServerName(), "member02");
    s.Close();
  }
  pool("xenhost01", "localhost", "localhost");
  Xen4SessionImpl s(60);
  EXPECT_EQ(MessageOf([&] { s.Connect("localhost", "root", "xenroot", XenApiPort()); }),
            "The host localhost names several hosts of its pool");
  EXPECT_EQ(Sessions(), 0);
}

// A metrics export that hangs: Connect gives its probe up within its bound, a power
// operation works meanwhile, the pass ends on the export's time limit with the other
// figures, and Close aborts the pass rather than waiting it out.
TEST_F(Xen4CurrentServerTest, StuckExportBoundsConnectAndClose) {
  Fault(R"("mode": "hang", "method": "GET /rrd_updates")");
  auto begin = std::chrono::steady_clock::now();
  Xen4SessionImpl s(1);
  ConnectTo(s);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 40s);
  TestCollection c;
  s.FillVMList(&c);
  c.GetItem(kBuild)->Start();
  EXPECT_TRUE(s.WaitForFigures(60s));
  s.Update();
  EXPECT_EQ(OwnStatus(s, kWeb), "UP");
  XenApi(R"("cmd": "clear_calls")");
  ASSERT_TRUE(WaitFor([] { return NthExport(Calls(), 0) < Calls().size(); }));  // stuck again
  begin = std::chrono::steady_clock::now();
  c.DetachAll();
  s.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 15s);
  EXPECT_EQ(Sessions(), 0);
  XenApi(R"("cmd": "clear_faults")");
}

// Figures are measured or marked: a probe that failed once is followed by the export's
// figures; an export that keeps failing on a server whose metric getters are gone shows
// no figure from its constant zeros; the host's disk figure has no source.
TEST_F(Xen4CurrentServerTest, FiguresNeverPretend) {
  const jsonlite::Value fig = Figures();
  {
    Fault(R"("mode": "http_error", "status": 500, "method": "GET /rrd_updates", "count": 1)");
    Xen4SessionImpl s(1);
    ConnectTo(s);
    EXPECT_EQ(s.OwnVm(kWeb).GetFigureSource(Figure::Cpu), FigureSource::None);
    ASSERT_TRUE(s.WaitForFigures(30s));
    EXPECT_EQ(s.GetFigureSource(Figure::Cpu), FigureSource::MetricsExport);
    EXPECT_TRUE(Near(s.GetCpuUsage(), MeanPercent(fig["host"]["cpu_utilisation"])));
    EXPECT_EQ(s.GetFigureSource(Figure::Disk), FigureSource::None);
    EXPECT_EQ(s.OwnVm(kWeb).GetFigureSource(Figure::Cpu), FigureSource::MetricsExport);
    EXPECT_GT(s.OwnVm(kWeb).GetCpuUsage(), 0.0);
    s.Close();
  }
  Fault(R"("mode": "http_error", "status": 500, "method": "GET /rrd_updates")");
  Xen4SessionImpl s(1);
  ConnectTo(s);
  TestCollection c;
  s.FillVMList(&c);
  ASSERT_TRUE(s.WaitForFigures(30s));
  s.Update();
  EXPECT_EQ(s.GetFigureSource(Figure::Cpu), FigureSource::None);
  EXPECT_EQ(s.GetFigureSource(Figure::Network), FigureSource::None);
  EXPECT_EQ(s.GetFigureSource(Figure::Memory), FigureSource::MetricCalls);  // the record's, live
  EXPECT_GT(s.GetMemoryUsage(), 0.0);
  for (Figure f : {Figure::Cpu, Figure::Memory, Figure::Network, Figure::Disk})
    EXPECT_EQ(c.GetItem(kWeb)->GetFigureSource(f), FigureSource::None) << static_cast<int>(f);
  c.DetachAll();
  s.Close();
  XenApi(R"("cmd": "clear_faults")");
  // An export refused (401) while the session's calls go on: the session is kept, not
  // replaced by a new login on every pass.
  Fault(R"("mode": "http_error", "status": 401, "method": "GET /rrd_updates")");
  Xen4SessionImpl t(1);
  ConnectTo(t);
  ASSERT_TRUE(WaitFor([] {
    const auto calls = Calls();
    return NthExport(calls, 3) < calls.size();
  }));
  EXPECT_EQ(Sessions(), 1);
  t.Close();
  XenApi(R"("cmd": "clear_faults")");
}
