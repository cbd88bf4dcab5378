// The session, VM list and VM objects over a fake back end, called through their
// interfaces as a client built against the type library calls them.
#include <gtest/gtest.h>

#include "comkit/module.h"
#include "comkit/resources.h"
#include "fake_backend.h"
#include "xen_session.h"

namespace {

comkit::ModuleBase g_module;
using comkit::com_ptr;
using comkit::unique_bstr;

// The thread's error information (reading it clears it).
struct ErrorText {
  std::wstring description, source;
};
ErrorText TakeError() {
  com_ptr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK) return {L"<none>", L"<none>"};
  unique_bstr d, s;
  info->GetDescription(d.put());
  info->GetSource(s.put());
  return {d ? d.get() : L"", s ? s.get() : L""};
}
std::wstring ErrorDescription() { return TakeError().description; }

class ObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    log = std::make_shared<FakeLog>();
    locksBefore = g_module.LockCount();
  }
  void TearDown() override {
    EXPECT_EQ(g_module.LockCount(), locksBefore) << "an object was not released";
    CoUninitialize();
  }

  // A session object over a fake back end with n VMs, as the factory builds it.
  com_ptr<IXenSession> MakeSession(int n, FakeSession** backEnd = nullptr) {
    com_ptr<CXenSession> session = CXenSession::Create();
    auto* fake = new FakeSession(log, n);
    if (backEnd) *backEnd = fake;
    session->SetImpl(OwnedSession(fake));
    return com_ptr<IXenSession>(session.get());
  }
  com_ptr<IXenVMList> ListOf(const com_ptr<IXenSession>& s) {
    com_ptr<IXenVMList> list;
    EXPECT_EQ(s->get_VMList(list.put()), S_OK);
    return list;
  }
  com_ptr<IXenVM> Item(const com_ptr<IXenVMList>& list, LONG i) {
    com_ptr<IXenVM> vm;
    EXPECT_EQ(list->get_Item(i, vm.put()), S_OK);
    return vm;
  }
  static std::wstring Name(const com_ptr<IXenVM>& vm) {
    unique_bstr n;
    EXPECT_EQ(vm->get_Name(n.put()), S_OK);
    return n.get();
  }

  std::shared_ptr<FakeLog> log;
  LONG locksBefore = 0;
};

// ---------------------------------------------------------------- session

TEST_F(ObjectsTest, SessionReportsTheBackEndsFigures) {
  com_ptr<IXenSession> s = MakeSession(0);
  double d = 0;
  LONG n = 0;
  unique_bstr text;
  EXPECT_EQ(s->get_CpuUsage(&d), S_OK);
  EXPECT_EQ(d, 12.5);
  EXPECT_EQ(s->get_MemoryUsage(&d), S_OK);
  EXPECT_EQ(d, 40.25);
  EXPECT_EQ(s->get_DiskIO(&d), S_OK);
  EXPECT_EQ(d, 3.5);
  EXPECT_EQ(s->get_NetworkIO(&d), S_OK);
  EXPECT_EQ(d, 7.75);
  EXPECT_EQ(s->get_Memory(&n), S_OK);
  EXPECT_EQ(n, 32768);
  EXPECT_EQ(s->get_NumCpus(&n), S_OK);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(s->get_ServerName(text.put()), S_OK);
  EXPECT_STREQ(text.get(), L"xenhost01");
  EXPECT_EQ(s->get_XenVersion(text.put()), S_OK);
  EXPECT_STREQ(text.get(), L"4.1.2");
  EXPECT_EQ(s->get_ServerDescription(text.put()), S_OK);
  EXPECT_STREQ(text.get(), L"Test host");
  EXPECT_EQ(s->get_Status(text.put()), S_OK);
  EXPECT_STREQ(text.get(), L"On");

  EXPECT_EQ(s->get_CpuUsage(nullptr), E_POINTER);
  EXPECT_EQ(s->get_ServerName(nullptr), E_POINTER);
  EXPECT_EQ(s->get_VMList(nullptr), E_POINTER);
}

TEST_F(ObjectsTest, SessionTextsFollowTheThreadCodePage) {
  FakeSession* fake = nullptr;
  com_ptr<IXenSession> s = MakeSession(0, &fake);
  fake->SetServerDescription("Rechenzentrum M\xfcnchen");  // 0xFC is u-umlaut in 1252
  fake->SetServerName("");
  const LCID saved = GetThreadLocale();
  SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT));
  unique_bstr text;
  EXPECT_EQ(s->get_ServerDescription(text.put()), S_OK);
  SetThreadLocale(saved);
  EXPECT_STREQ(text.get(), L"Rechenzentrum M\u00fcnchen");
  EXPECT_EQ(s->get_ServerName(text.put()), S_OK);
  ASSERT_NE(text.get(), nullptr);  // an empty text is an empty string, not null
  EXPECT_EQ(text.length(), 0u);
}

TEST_F(ObjectsTest, SessionFillsItsListAndAlwaysReturnsTheSameOne) {
  com_ptr<IXenSession> s = MakeSession(3);
  EXPECT_EQ(log->index("fill"), 0);
  com_ptr<IXenVMList> a = ListOf(s), b = ListOf(s);
  EXPECT_TRUE(a.query<IUnknown>() == b.query<IUnknown>());
  LONG count = 0;
  EXPECT_EQ(a->get_Count(&count), S_OK);
  EXPECT_EQ(count, 3);
}

TEST_F(ObjectsTest, SessionOperationsReachTheBackEnd) {
  com_ptr<IXenSession> s = MakeSession(1);
  EXPECT_EQ(s->Update(), S_OK);
  EXPECT_EQ(s->ShutdownServer(), S_OK);
  EXPECT_EQ(s->RestartServer(), S_OK);
  EXPECT_EQ(s->Close(), S_OK);
  EXPECT_EQ(log->count("update"), 2);  // one from filling
  EXPECT_TRUE(log->contains("shutdown host"));
  EXPECT_TRUE(log->contains("restart host"));
  EXPECT_EQ(log->count("close"), 1);
}

TEST_F(ObjectsTest, SessionFailuresBecomeErrorInformation) {
  FakeSession* fake = nullptr;
  com_ptr<IXenSession> s = MakeSession(1, &fake);
  fake->failUpdate = "Connection to xen4 lost";
  fake->failHost = "HOST_IS_BUSY";
  fake->failClose = "Connection to server lost";
  EXPECT_EQ(s->Update(), kConnectorFailure);
  const ErrorText e = TakeError();
  EXPECT_EQ(e.description, L"Connection to xen4 lost");
  EXPECT_EQ(e.source, L"");  // no ProgID is registered for XenSession
  EXPECT_EQ(s->ShutdownServer(), kConnectorFailure);
  EXPECT_EQ(ErrorDescription(), L"HOST_IS_BUSY");
  EXPECT_EQ(s->RestartServer(), kConnectorFailure);
  EXPECT_EQ(s->Close(), kConnectorFailure);
  EXPECT_EQ(ErrorDescription(), L"Connection to server lost");
  // Property reads never fail.
  double d = -1;
  EXPECT_EQ(s->get_CpuUsage(&d), S_OK);
}

TEST_F(ObjectsTest, SessionSupportsErrorInfoForItsInterfaceOnly) {
  com_ptr<IXenSession> s = MakeSession(0);
  com_ptr<ISupportErrorInfo> sei = s.query<ISupportErrorInfo>();
  ASSERT_TRUE(sei);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IXenSession), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IXenVM), S_FALSE);
  EXPECT_TRUE(s.query<IDispatch>());
  EXPECT_FALSE(s.query<IXenFactory>());
  EXPECT_FALSE(s.query<IXenVMList>());
}

TEST_F(ObjectsTest, ReleasingTheSessionDetachesVmsThenClosesThenDeletes) {
  com_ptr<IXenSession> s = MakeSession(2);
  s.reset();
  const int detach1 = log->index("detach vm1"), detach2 = log->index("detach vm2");
  const int close = log->index("close"), del = log->index("delete session");
  ASSERT_GE(detach1, 0);
  ASSERT_GE(detach2, 0);
  ASSERT_GE(close, 0);
  EXPECT_LT(detach1, close);
  EXPECT_LT(detach2, close);
  EXPECT_LT(close, del);
  EXPECT_EQ(log->liveSessions, 0);
  EXPECT_EQ(log->liveVms, 0);  // nobody held a VM: the list released them all
}

TEST_F(ObjectsTest, CloseThenReleaseClosesTwiceAndIgnoresAFailure) {
  FakeSession* fake = nullptr;
  com_ptr<IXenSession> s = MakeSession(0, &fake);
  EXPECT_EQ(s->Close(), S_OK);
  fake->failClose = "already closed";
  s.reset();
  EXPECT_EQ(log->count("close"), 2);
  EXPECT_EQ(log->liveSessions, 0);
}

TEST_F(ObjectsTest, AFailedFillingKeepsTheSessionOwnedAndReleasable) {
  com_ptr<CXenSession> session = CXenSession::Create();
  auto* fake = new FakeSession(log, 2);
  fake->failFill = "Connection to server lost";
  EXPECT_THROW(session->SetImpl(OwnedSession(fake)), std::runtime_error);
  EXPECT_EQ(session->GetImpl(), fake);
  session.reset();
  EXPECT_TRUE(log->contains("close"));
  EXPECT_EQ(log->liveSessions, 0);
  EXPECT_EQ(log->liveVms, 0);
}

// ---------------------------------------------------------------- list

TEST_F(ObjectsTest, ItemIsOneBasedAndChecksItsArguments) {
  com_ptr<IXenVMList> list = ListOf(MakeSession(3));
  EXPECT_EQ(Name(Item(list, 1)), L"vm1");
  EXPECT_EQ(Name(Item(list, 3)), L"vm3");
  com_ptr<IXenVM> vm;
  EXPECT_EQ(list->get_Item(0, vm.put()), E_INVALIDARG);
  EXPECT_EQ(list->get_Item(-5, vm.put()), E_INVALIDARG);
  EXPECT_EQ(list->get_Item(4, vm.put()), E_FAIL);
  EXPECT_FALSE(vm);
  EXPECT_EQ(list->get_Item(1, nullptr), E_POINTER);
  EXPECT_EQ(list->get_Count(nullptr), E_POINTER);
  EXPECT_EQ(list->get__NewEnum(nullptr), E_POINTER);
  // The same object for one index every time.
  EXPECT_TRUE(Item(list, 2).query<IUnknown>() == Item(list, 2).query<IUnknown>());
}

TEST_F(ObjectsTest, ListOffersNoErrorInfoAndNoCollectionThroughQueryInterface) {
  com_ptr<IXenVMList> list = ListOf(MakeSession(1));
  EXPECT_FALSE(list.query<ISupportErrorInfo>());
  EXPECT_TRUE(list.query<IDispatch>());
}

TEST_F(ObjectsTest, CollectionSideGivesAndDetachesBackEndVms) {
  FakeSession* fake = nullptr;
  com_ptr<IXenSession> s = MakeSession(2, &fake);
  IVmCollection* c = fake->Collection();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->GetCount(), 2);
  auto* vm2 = static_cast<FakeVM*>(c->GetItem(1));
  EXPECT_EQ(vm2->GetName(), "vm2");
  EXPECT_EQ(vm2->Session(), fake);
  c->Detach(1);
  EXPECT_EQ(vm2->Session(), nullptr);
  EXPECT_THROW(c->GetItem(2), std::out_of_range);
  EXPECT_THROW(c->GetItem(-1), std::out_of_range);
  EXPECT_THROW(c->Detach(2), std::out_of_range);
}

// ---------------------------------------------------------------- enumerator

com_ptr<IEnumVARIANT> EnumOf(const com_ptr<IXenVMList>& list) {
  com_ptr<IUnknown> unk;
  EXPECT_EQ(list->get__NewEnum(unk.put()), S_OK);
  return unk.query<IEnumVARIANT>();
}

TEST_F(ObjectsTest, EnumerationYieldsTheItemsInOrderAsDispatch) {
  com_ptr<IXenVMList> list = ListOf(MakeSession(3));
  com_ptr<IEnumVARIANT> e = EnumOf(list);
  ASSERT_TRUE(e);
  for (LONG i = 1; i <= 3; ++i) {
    comkit::unique_variant v;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(1, v.put(), &fetched), S_OK);
    EXPECT_EQ(fetched, 1u);
    ASSERT_EQ(v.vt(), VT_DISPATCH);
    com_ptr<IUnknown> fromEnum = com_ptr<IDispatch>(V_DISPATCH(v.get())).query<IUnknown>();
    EXPECT_TRUE(fromEnum == Item(list, i).query<IUnknown>()) << i;
  }
  comkit::unique_variant v;
  ULONG fetched = 7;
  EXPECT_EQ(e->Next(1, v.put(), &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(v.vt(), VT_EMPTY);
}

TEST_F(ObjectsTest, EnumeratorNextSkipResetAndClone) {
  com_ptr<IEnumVARIANT> e = EnumOf(ListOf(MakeSession(3)));
  VARIANT vs[4];
  for (auto& v : vs) VariantInit(&v);
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(2, vs, nullptr), E_POINTER);  // more than one needs the count
  EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(e->Next(4, vs, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 3u);
  for (auto& v : vs) VariantClear(&v);

  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(2), S_OK);
  com_ptr<IEnumVARIANT> copy;
  EXPECT_EQ(e->Clone(copy.put()), S_OK);
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);
  EXPECT_EQ(e->Skip(2), S_FALSE);  // only one was left
  // The clone kept the position it was made at.
  comkit::unique_variant v;
  ASSERT_EQ(copy->Next(1, v.put(), nullptr), S_OK);
  com_ptr<IXenVM> vm = com_ptr<IDispatch>(V_DISPATCH(v.get())).query<IXenVM>();
  ASSERT_TRUE(vm);
  EXPECT_EQ(Name(vm), L"vm3");
  EXPECT_EQ(e->Skip(0), S_OK);
}

TEST_F(ObjectsTest, EnumeratorKeepsTheListAlive) {
  com_ptr<IEnumVARIANT> e = EnumOf(ListOf(MakeSession(2)));
  // Session and list references are gone; the enumerator still walks the list.
  EXPECT_EQ(log->liveSessions, 0);
  EXPECT_EQ(log->liveVms, 2);
  comkit::unique_variant v;
  EXPECT_EQ(e->Next(1, v.put(), nullptr), S_OK);
  v.reset();
  e.reset();
  EXPECT_EQ(log->liveVms, 0);
}

// ---------------------------------------------------------------- VM

TEST_F(ObjectsTest, VmReportsItsFigures) {
  com_ptr<IXenSession> s = MakeSession(2);
  com_ptr<IXenVM> vm = Item(ListOf(s), 2);
  double d = 0;
  LONG n = 0;
  unique_bstr text;
  EXPECT_EQ(vm->get_Status(text.put()), S_OK);
  EXPECT_STREQ(text.get(), L"UP");
  EXPECT_EQ(vm->get_Description(text.put()), S_OK);
  EXPECT_EQ(text.length(), 0u);
  EXPECT_EQ(vm->get_CpuUsage(&d), S_OK);
  EXPECT_EQ(d, 20.0);
  EXPECT_EQ(vm->get_Memory(&n), S_OK);
  EXPECT_EQ(n, 2048);
  EXPECT_EQ(vm->get_NumCpus(&n), S_OK);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(vm->get_MemoryUsage(&d), S_OK);
  EXPECT_EQ(vm->get_DiskIO(&d), S_OK);
  EXPECT_EQ(vm->get_NetworkIO(&d), S_OK);
  EXPECT_EQ(vm->get_Name(nullptr), E_POINTER);
  EXPECT_EQ(vm->get_NumCpus(nullptr), E_POINTER);
}

TEST_F(ObjectsTest, VmPowerMethodsReachTheBackEndVm) {
  com_ptr<IXenSession> s = MakeSession(1);
  com_ptr<IXenVM> vm = Item(ListOf(s), 1);
  EXPECT_EQ(vm->Start(), S_OK);
  EXPECT_EQ(vm->Shutdown(), S_OK);
  EXPECT_EQ(vm->Reboot(), S_OK);
  EXPECT_EQ(vm->Suspend(), S_OK);
  EXPECT_EQ(vm->Restore(), S_OK);
  for (const char* op : {"Start vm1", "Shutdown vm1", "Reboot vm1", "Suspend vm1", "Restore vm1"})
    EXPECT_TRUE(log->contains(op)) << op;
}

TEST_F(ObjectsTest, VmFailureBecomesErrorInformation) {
  FakeSession* fake = nullptr;
  com_ptr<IXenSession> s = MakeSession(1, &fake);
  static_cast<FakeVM*>(fake->Collection()->GetItem(0))->failWith = "Unknown error reason";
  com_ptr<IXenVM> vm = Item(ListOf(s), 1);
  EXPECT_EQ(vm->Start(), kConnectorFailure);
  const ErrorText e = TakeError();
  EXPECT_EQ(e.description, L"Unknown error reason");
  EXPECT_EQ(e.source, L"");
  com_ptr<ISupportErrorInfo> sei = vm.query<ISupportErrorInfo>();
  ASSERT_TRUE(sei);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IXenVM), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IXenSession), S_FALSE);
}

TEST_F(ObjectsTest, VmKeptAfterItsSessionAnswersButCannotBeDriven) {
  com_ptr<IXenVM> vm = Item(ListOf(MakeSession(2)), 1);
  EXPECT_EQ(log->liveSessions, 0);
  EXPECT_EQ(log->liveVms, 1);  // the other entry went with the list
  EXPECT_EQ(Name(vm), L"vm1");
  unique_bstr status;
  EXPECT_EQ(vm->get_Status(status.put()), S_OK);
  EXPECT_STREQ(status.get(), L"UP");  // its last figures
  EXPECT_EQ(vm->Start(), kConnectorFailure);
  EXPECT_EQ(ErrorDescription(), L"no session");
  EXPECT_EQ(vm->Shutdown(), kConnectorFailure);
  vm.reset();
  EXPECT_EQ(log->liveVms, 0);
}

// ---------------------------------------------------------------- module locks

TEST_F(ObjectsTest, EveryLivingObjectHoldsAModuleLock) {
  com_ptr<IXenSession> s = MakeSession(2);
  // session + list + two VMs
  EXPECT_EQ(g_module.LockCount(), locksBefore + 4);
  com_ptr<IEnumVARIANT> e = EnumOf(ListOf(s));
  EXPECT_EQ(g_module.LockCount(), locksBefore + 5);
  com_ptr<IXenVM> vm = Item(ListOf(s), 1);
  s.reset();
  e.reset();
  EXPECT_EQ(g_module.LockCount(), locksBefore + 1);  // the VM still held
}

}  // namespace
