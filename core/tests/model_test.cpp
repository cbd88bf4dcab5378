#include <gtest/gtest.h>

#include <stdexcept>

#include "session_impl.h"
#include "vm_impl.h"

namespace {

class FakeSession : public XenSessionImpl {
 public:
  void Connect(const std::string&, const std::string&, const std::string&, int32_t) override {}
  void Close() override {}
  void RestartHost() override {}
  void ShutdownHost() override {}
  void Update() override {}
  IVmCollection* Collection() const { return collection_; }
};

// A VM whose power operations only check for their owning session.
class FakeVM : public XenVMImpl {
 public:
  void SetSession(XenSessionImpl* s) override { session_ = s; }
  void Start() override { Check(); }
  void Shutdown() override { Check(); }
  void Suspend() override { Check(); }
  void Restore() override { Check(); }
  void Reboot() override { Check(); }
  void Pause() override { Check(); }
  void Unpause() override { Check(); }
  int calls = 0;

 private:
  void Check() {
    if (!session_) throw std::runtime_error(kNoSession);
    ++calls;
  }
  XenSessionImpl* session_ = nullptr;
};

}  // namespace

TEST(SessionModel, NewSessionReportsInitialValues) {
  FakeSession s;
  EXPECT_EQ("", s.GetServerName());
  EXPECT_EQ("", s.GetXenVersion());
  EXPECT_EQ("", s.GetServerDescription());
  EXPECT_EQ(0, s.GetNumCpus());
  EXPECT_EQ(0, s.GetMemory());
  EXPECT_EQ(0.0, s.GetCpuUsage());
  EXPECT_EQ(0.0, s.GetMemoryUsage());
  EXPECT_EQ(0.0, s.GetDiskIO());
  EXPECT_EQ(0.0, s.GetNetworkIO());
  EXPECT_EQ(nullptr, s.Collection());
}

TEST(SessionModel, AccessorsKeepEachAttributeApart) {
  FakeSession s;
  s.SetServerName("host");
  s.SetXenVersion("4.1");
  s.SetServerDescription("rack");
  s.SetNumCpus(8);
  s.SetMemory(32768);
  s.SetCpuUsage(12.5);
  s.SetMemoryUsage(40.0);
  s.SetDiskIO(3.0);
  s.SetNetworkIO(4.0);
  EXPECT_EQ("host", s.GetServerName());
  EXPECT_EQ("4.1", s.GetXenVersion());
  EXPECT_EQ("rack", s.GetServerDescription());
  EXPECT_EQ(8, s.GetNumCpus());
  EXPECT_EQ(32768, s.GetMemory());
  EXPECT_EQ(12.5, s.GetCpuUsage());
  EXPECT_EQ(40.0, s.GetMemoryUsage());
  EXPECT_EQ(3.0, s.GetDiskIO());
  EXPECT_EQ(4.0, s.GetNetworkIO());
}

TEST(SessionModel, BaseFillVMListOnlyAttachesTheCollection) {
  struct Collection : IVmCollection {
    int32_t GetCount() override { return 0; }
    XenVMImpl* GetItem(int32_t) override { return nullptr; }
    void Add(XenVMImpl* vm) override { delete vm; ++adds; }
    void Detach(int32_t) override {}
    int adds = 0;
  } collection;
  FakeSession s;
  s.FillVMList(&collection);
  EXPECT_EQ(&collection, s.Collection());
  EXPECT_EQ(0, collection.adds);
}

TEST(VmModel, NewVmReportsInitialValues) {
  FakeVM vm;
  EXPECT_EQ("UNKNOWN", vm.GetStatus());
  EXPECT_EQ("", vm.GetName());
  EXPECT_EQ("", vm.GetDescription());
  EXPECT_EQ(0, vm.GetNumCpus());
  EXPECT_EQ(0, vm.GetMemory());
  EXPECT_EQ(0.0, vm.GetCpuUsage());
  EXPECT_EQ(0.0, vm.GetMemoryUsage());
  EXPECT_EQ(0.0, vm.GetDiskIO());
  EXPECT_EQ(0.0, vm.GetNetworkIO());
}

TEST(VmModel, CopyTakesEveryAttribute) {
  FakeVM vm;
  vm.SetStatus("UP");
  vm.SetName("web01");
  vm.SetDescription("front end");
  vm.SetNumCpus(2);
  vm.SetMemory(2048);
  vm.SetCpuUsage(30.0);
  vm.SetMemoryUsage(75.0);
  vm.SetDiskIO(60.0);
  vm.SetNetworkIO(15.0);
  FakeVM copy(vm);
  EXPECT_EQ("UP", copy.GetStatus());
  EXPECT_EQ("web01", copy.GetName());
  EXPECT_EQ("front end", copy.GetDescription());
  EXPECT_EQ(2, copy.GetNumCpus());
  EXPECT_EQ(2048, copy.GetMemory());
  EXPECT_EQ(30.0, copy.GetCpuUsage());
  EXPECT_EQ(75.0, copy.GetMemoryUsage());
  EXPECT_EQ(60.0, copy.GetDiskIO());
  EXPECT_EQ(15.0, copy.GetNetworkIO());
  copy.SetName("other");
  EXPECT_EQ("web01", vm.GetName());
}

TEST(VmModel, DetachedVmFailsEveryPowerOperationWithNoSession) {
  FakeSession session;
  FakeVM vm;
  vm.SetSession(&session);
  vm.Start();
  EXPECT_EQ(1, vm.calls);
  vm.SetSession(nullptr);
  for (auto op : {&XenVMImpl::Start, &XenVMImpl::Shutdown, &XenVMImpl::Suspend, &XenVMImpl::Restore,
                  &XenVMImpl::Reboot, &XenVMImpl::Pause, &XenVMImpl::Unpause}) {
    try {
      (vm.*op)();
      FAIL() << "operation ran without a session";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ("no session", e.what());
    }
  }
  EXPECT_EQ(1, vm.calls);
}
