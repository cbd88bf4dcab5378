// The COM framework on its own: owners, objects with aggregation, class objects, the
// error boundary, text conversion and registry scripts.
#include <gtest/gtest.h>

#include <stdexcept>
#include <type_traits>

#include "comkit/class_factory.h"
#include "comkit/error.h"
#include "comkit/module.h"
#include "comkit/object.h"
#include "comkit/registrar.h"
#include "comkit/resources.h"
#include "comkit/strings.h"
#include "base/text.h"

MIDL_INTERFACE("6C1A0C52-1D8E-4E0B-9A6B-2B7F10C1E001")
ICounter : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(LONG * value) = 0;
};
__CRT_UUID_DECL(ICounter, 0x6c1a0c52, 0x1d8e, 0x4e0b, 0x9a, 0x6b, 0x2b, 0x7f, 0x10, 0xc1, 0xe0, 0x01)

MIDL_INTERFACE("6C1A0C52-1D8E-4E0B-9A6B-2B7F10C1E002")
INamed : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Name(BSTR * name) = 0;
};
__CRT_UUID_DECL(INamed, 0x6c1a0c52, 0x1d8e, 0x4e0b, 0x9a, 0x6b, 0x2b, 0x7f, 0x10, 0xc1, 0xe0, 0x02)

namespace {

const CLSID kNoSuchClass = {0x6c1a0c52, 0x1d8e, 0x4e0b, {0x9a, 0x6b, 0x2b, 0x7f, 0x10, 0xc1, 0xe0, 0xff}};
const IID kIidCounter = __uuidof(ICounter);

int g_destroyed = 0;

class Counter : public comkit::Object<Counter, ICounter, INamed, comkit::SupportErrorInfo<&kIidCounter>> {
 public:
  static constexpr bool kAggregatable = true;
  explicit Counter(LONG start = 0) : value_(start) {}
  ~Counter() override { ++g_destroyed; }
  STDMETHODIMP Next(LONG* value) override {
    if (!value) return E_POINTER;
    *value = ++value_;
    return S_OK;
  }
  STDMETHODIMP Name(BSTR* name) override { return comkit::CopyToBstr("counter", name); }

 private:
  LONG value_;
};

class Plain : public comkit::Object<Plain, ICounter> {
 public:
  STDMETHODIMP Next(LONG* value) override {
    *value = 7;
    return S_OK;
  }
};

class Failing : public comkit::Object<Failing, ICounter> {
 public:
  Failing() { throw std::runtime_error("cannot build"); }
  STDMETHODIMP Next(LONG*) override { return E_NOTIMPL; }
};

// A hand-written outer object that aggregates a Counter.
class Outer : public INamed {
 public:
  Outer() {
    hr_ = Counter::CreateInstance(this, IID_IUnknown, reinterpret_cast<void**>(&inner_), 100);
  }
  ~Outer() {
    if (inner_) inner_->Release();
  }
  HRESULT creation() const { return hr_; }
  IUnknown* inner() const { return inner_; }
  LONG refs() const { return refs_; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, __uuidof(INamed))) {
      *ppv = static_cast<INamed*>(this);
      AddRef();
      return S_OK;
    }
    return inner_->QueryInterface(riid, ppv);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs_); }
  STDMETHODIMP Name(BSTR* name) override { return comkit::CopyToBstr("outer", name); }

 private:
  LONG refs_ = 1;
  IUnknown* inner_ = nullptr;
  HRESULT hr_;
};

const CLSID kCounterClass = {0x6c1a0c52, 0x1d8e, 0x4e0b, {0x9a, 0x6b, 0x2b, 0x7f, 0x10, 0xc1, 0xe0, 0xfe}};
const comkit::ClassEntry kClasses[] = {comkit::ClassOf<Counter>(kCounterClass, 0)};

class TestModule final : public comkit::Module {
 public:
  TestModule() noexcept : Module(kClasses) {}
  int starts = 0;
  int stops = 0;
  bool busy = false;
  HRESULT startResult = S_OK;

 protected:
  HRESULT Start() noexcept override {
    if (SUCCEEDED(startResult)) ++starts;
    return startResult;
  }
  void Stop() noexcept override { ++stops; }
  bool Busy() noexcept override { return busy; }
};

TestModule g_module;

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }
};

// ---------------------------------------------------------------- owners

TEST(ResourcesTest, BstrOwnerFreesMovesAndReleases) {
  comkit::unique_bstr a(SysAllocString(L"abc"));
  EXPECT_EQ(a.length(), 3u);
  comkit::unique_bstr b(std::move(a));
  EXPECT_FALSE(a);
  ASSERT_TRUE(b);
  EXPECT_STREQ(b.get(), L"abc");
  BSTR raw = b.release();
  EXPECT_FALSE(b);
  SysFreeString(raw);
  // put() frees what was held before handing out the address.
  comkit::unique_bstr c(SysAllocString(L"x"));
  *c.put() = SysAllocString(L"yz");
  EXPECT_STREQ(c.get(), L"yz");
}

TEST(ResourcesTest, GdiOwnerDeletesItsObjectOnceWhereverItMoves) {
  LOGFONTW description{};
  description.lfHeight = -12;
  HFONT font = CreateFontIndirectW(&description);
  ASSERT_NE(font, nullptr);
  {
    comkit::unique_hfont a(font);
    comkit::unique_hfont b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), font);
    a = std::move(b);
    a.reset(font);  // the object it holds is not deleted
    EXPECT_EQ(GetObjectType(font), static_cast<DWORD>(OBJ_FONT));
  }
  EXPECT_EQ(GetObjectType(font), 0u) << "the font outlived its owner";
}

TEST(ResourcesTest, VariantOwnerClearsItsValue) {
  comkit::unique_variant v;
  EXPECT_EQ(v.vt(), VT_EMPTY);
  V_VT(v.get()) = VT_BSTR;
  V_BSTR(v.get()) = SysAllocString(L"text");
  comkit::unique_variant w(std::move(v));
  EXPECT_EQ(v.vt(), VT_EMPTY);
  EXPECT_EQ(w.vt(), VT_BSTR);
  VARIANT out;
  w.release_to(&out);
  EXPECT_EQ(w.vt(), VT_EMPTY);
  EXPECT_STREQ(V_BSTR(&out), L"text");
  VariantClear(&out);
}

TEST_F(ComTest, ComPtrCountsReferences) {
  g_destroyed = 0;
  {
    comkit::com_ptr<Counter> obj = Counter::Create(5);
    comkit::com_ptr<ICounter> copy(obj.get());
    comkit::com_ptr<INamed> named = copy.query<INamed>();
    ASSERT_TRUE(named);
    EXPECT_FALSE(copy.query<IClassFactory>());
    comkit::com_ptr<ICounter> moved(std::move(copy));
    EXPECT_FALSE(copy);
    LONG n = 0;
    moved->Next(&n);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(g_destroyed, 0);
  }
  EXPECT_EQ(g_destroyed, 1);
}

// Only a conversion to a base interface is implicit; any other is a query().
static_assert(std::is_constructible_v<comkit::com_ptr<IUnknown>, const comkit::com_ptr<ICounter>&>);
static_assert(!std::is_constructible_v<comkit::com_ptr<ICounter>, const comkit::com_ptr<IUnknown>&>);
static_assert(!std::is_constructible_v<comkit::com_ptr<Counter>, const comkit::com_ptr<ICounter>&>);

// ---------------------------------------------------------------- objects

TEST_F(ComTest, ObjectAnswersItsInterfacesWithOneIdentity) {
  comkit::com_ptr<Counter> obj = Counter::Create();
  comkit::com_ptr<IUnknown> u1 = obj.query<ICounter>().query<IUnknown>();
  comkit::com_ptr<IUnknown> u2 = obj.query<INamed>().query<IUnknown>();
  EXPECT_TRUE(u1 == u2);
  EXPECT_TRUE(obj.query<ISupportErrorInfo>());
  EXPECT_FALSE(obj.query<IDispatch>());  // none of its interfaces is a dispatch interface
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(obj.query<ICounter>()->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(obj.query<ICounter>()->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ComTest, SupportErrorInfoAnswersOnlyItsInterface) {
  comkit::com_ptr<ISupportErrorInfo> sei = Counter::Create().query<ISupportErrorInfo>();
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(__uuidof(ICounter)), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(__uuidof(INamed)), S_FALSE);
}

TEST_F(ComTest, LivingObjectsHoldModuleLocks) {
  const LONG before = g_module.LockCount();
  {
    comkit::com_ptr<Counter> a = Counter::Create();
    comkit::com_ptr<Plain> b = Plain::Create();
    EXPECT_EQ(g_module.LockCount(), before + 2);
  }
  EXPECT_EQ(g_module.LockCount(), before);
}

TEST_F(ComTest, CreateInstanceQueriesTheRequestedInterface) {
  comkit::com_ptr<INamed> named;
  ASSERT_EQ(Counter::CreateInstance(nullptr, __uuidof(INamed), named.put_void()), S_OK);
  comkit::unique_bstr name;
  ASSERT_EQ(named->Name(name.put()), S_OK);
  EXPECT_STREQ(name.get(), L"counter");

  void* p = reinterpret_cast<void*>(1);
  g_destroyed = 0;
  EXPECT_EQ(Counter::CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(g_destroyed, 1);  // the failed creation left nothing behind
  EXPECT_EQ(Counter::CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ComTest, AFailingConstructionLeavesNothingBehind) {
  const LONG before = g_module.LockCount();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(Failing::CreateInstance(nullptr, IID_IUnknown, &p), E_UNEXPECTED);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(g_module.LockCount(), before);
}

TEST_F(ComTest, AggregatedObjectDelegatesToItsOuterObject) {
  g_destroyed = 0;
  {
    Outer outer;
    ASSERT_EQ(outer.creation(), S_OK);
    ASSERT_NE(outer.inner(), nullptr);

    // The outer object reaches the inner interfaces through the inner unknown.
    comkit::com_ptr<ICounter> counter;
    ASSERT_EQ(outer.QueryInterface(__uuidof(ICounter), counter.put_void()), S_OK);
    LONG n = 0;
    counter->Next(&n);
    EXPECT_EQ(n, 101);

    // The inner interfaces' IUnknown is the outer object's: identity and counting.
    const LONG refs = outer.refs();
    counter->AddRef();
    EXPECT_EQ(outer.refs(), refs + 1);
    counter->Release();
    comkit::com_ptr<IUnknown> identity;
    ASSERT_EQ(counter->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
    EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
    // INamed comes from the outer object even when asked through the inner one.
    comkit::com_ptr<INamed> named;
    ASSERT_EQ(counter->QueryInterface(__uuidof(INamed), named.put_void()), S_OK);
    comkit::unique_bstr name;
    named->Name(name.put());
    EXPECT_STREQ(name.get(), L"outer");
  }
  EXPECT_EQ(g_destroyed, 1);  // the outer object released the inner unknown
}

TEST_F(ComTest, AggregationRequiresIUnknownAndAnAggregatableClass) {
  Outer outer;
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(Counter::CreateInstance(&outer, __uuidof(ICounter), &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(Plain::CreateInstance(&outer, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
}

TEST_F(ComTest, ImplFromReturnsTheImplementation) {
  comkit::com_ptr<Counter> obj = Counter::Create();
  comkit::com_ptr<INamed> named = obj.query<INamed>();
  EXPECT_EQ(comkit::impl_from<Counter>(named.get()), obj.get());
  EXPECT_EQ(comkit::impl_from<Counter>(static_cast<INamed*>(nullptr)), nullptr);
}

// ---------------------------------------------------------------- class objects

TEST_F(ComTest, ClassFactoryCreatesObjectsAndCountsServerLocks) {
  comkit::ClassFactoryCache<Counter> cache;
  comkit::com_ptr<IClassFactory> cf;
  ASSERT_EQ(cache.Get(IID_IClassFactory, cf.put_void()), S_OK);
  comkit::com_ptr<IClassFactory> again;
  ASSERT_EQ(cache.Get(IID_IUnknown, again.put_void()), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(cf.get()), static_cast<IUnknown*>(again.get()));  // created once

  const LONG before = g_module.LockCount();
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(g_module.LockCount(), before + 1);
  EXPECT_EQ(cf->LockServer(FALSE), S_OK);
  EXPECT_EQ(g_module.LockCount(), before);

  comkit::com_ptr<ICounter> counter;
  ASSERT_EQ(cf->CreateInstance(nullptr, __uuidof(ICounter), counter.put_void()), S_OK);
  EXPECT_EQ(g_module.LockCount(), before + 1);
  EXPECT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  Outer outer;
  void* p = nullptr;
  EXPECT_EQ(cf->CreateInstance(&outer, __uuidof(ICounter), &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(cache.Get(IID_IClassFactory, nullptr), E_POINTER);
  cf.reset();
  again.reset();
  cache.Reset();
}

// The module's rules: the libraries start at the first class object and stop at the
// S_OK of CanUnloadNow, which waits for every object, server lock and busy thread.
TEST_F(ComTest, ModuleStartsAtTheFirstClassObjectAndStopsWhenItMayUnload) {
  g_module.starts = g_module.stops = 0;
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(g_module.GetClassObject(kNoSuchClass, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(g_module.GetClassObject(kCounterClass, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(g_module.starts, 0);

  comkit::com_ptr<IClassFactory> cf;
  ASSERT_EQ(g_module.GetClassObject(kCounterClass, IID_IClassFactory, cf.put_void()), S_OK);
  comkit::com_ptr<IClassFactory> again;
  ASSERT_EQ(g_module.GetClassObject(kCounterClass, IID_IClassFactory, again.put_void()), S_OK);
  EXPECT_TRUE(cf == again);
  EXPECT_EQ(g_module.starts, 1);

  comkit::com_ptr<ICounter> counter;
  ASSERT_EQ(cf->CreateInstance(nullptr, __uuidof(ICounter), counter.put_void()), S_OK);
  EXPECT_EQ(g_module.CanUnloadNow(), S_FALSE);
  counter.reset();
  ASSERT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(g_module.CanUnloadNow(), S_FALSE);
  cf->LockServer(FALSE);
  g_module.busy = true;
  EXPECT_EQ(g_module.CanUnloadNow(), S_FALSE);
  g_module.busy = false;
  EXPECT_EQ(g_module.stops, 0);
  EXPECT_EQ(g_module.CanUnloadNow(), S_OK);  // a class object held by a client keeps no lock
  EXPECT_EQ(g_module.CanUnloadNow(), S_OK);
  EXPECT_EQ(g_module.stops, 1);

  // The module's class object went at the unload: the next request makes a new one.
  comkit::com_ptr<IClassFactory> fresh;
  ASSERT_EQ(g_module.GetClassObject(kCounterClass, IID_IClassFactory, fresh.put_void()), S_OK);
  EXPECT_FALSE(fresh == cf);
  EXPECT_EQ(g_module.starts, 2);
  EXPECT_EQ(g_module.CanUnloadNow(), S_OK);

  // A failed start hands out nothing and leaves nothing to stop.
  g_module.startResult = E_OUTOFMEMORY;
  EXPECT_EQ(g_module.GetClassObject(kCounterClass, IID_IClassFactory, fresh.put_void()), E_OUTOFMEMORY);
  EXPECT_FALSE(fresh);
  g_module.startResult = S_OK;
  EXPECT_EQ(g_module.CanUnloadNow(), S_OK);
  EXPECT_EQ(g_module.stops, 2);
}

// ---------------------------------------------------------------- errors and text

TEST_F(ComTest, GuardTurnsExceptionsIntoErrorInformation) {
  const HRESULT failure = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x3000);
  EXPECT_EQ(comkit::Guard(kNoSuchClass, failure, [] {}), S_OK);

  EXPECT_EQ(comkit::Guard(kNoSuchClass, failure, [] { throw std::runtime_error("Receive frame timeout"); }),
            failure);
  comkit::com_ptr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  comkit::unique_bstr description, source;
  GUID guid;
  info->GetDescription(description.put());
  info->GetSource(source.put());
  info->GetGUID(&guid);
  EXPECT_STREQ(description.get(), L"Receive frame timeout");
  EXPECT_EQ(source.length(), 0u);  // no ProgID registered for that class
  EXPECT_TRUE(IsEqualGUID(guid, GUID_NULL));

  // Anything else never unwinds into the caller.
  EXPECT_EQ(comkit::Guard(kNoSuchClass, failure, [] { throw 42; }), E_UNEXPECTED);
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  info->GetDescription(description.put());
  EXPECT_STREQ(description.get(), L"Unexpected failure");
}

TEST(StringsTest, ConvertsBothWaysAndTreatsNullAsEmpty) {
  EXPECT_EQ(comkit::ToNarrow(nullptr), "");
  comkit::unique_bstr b(SysAllocString(L"xen-host 1"));
  EXPECT_EQ(comkit::ToNarrow(b.get()), "xen-host 1");

  BSTR out = reinterpret_cast<BSTR>(1);
  ASSERT_EQ(comkit::CopyToBstr("", &out), S_OK);
  ASSERT_NE(out, nullptr);  // empty, not null
  EXPECT_EQ(SysStringLen(out), 0u);
  SysFreeString(out);
  EXPECT_EQ(comkit::CopyToBstr("x", nullptr), E_POINTER);

  // A BSTR may carry an embedded NUL: the whole length is converted.
  comkit::unique_bstr withNul(SysAllocStringLen(L"a\0b", 3));
  EXPECT_EQ(comkit::ToNarrow(withNul.get()), std::string("a\0b", 3));
}

TEST(StringsTest, UsesTheThreadCodePage) {
  const LCID saved = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT)));
  // U+00E9 is 0xE9 in code page 1252.
  comkit::unique_bstr e(SysAllocString(L"caf\u00e9"));
  const std::string narrow = comkit::ToNarrow(e.get());
  comkit::unique_bstr back = comkit::ToBstr(narrow);
  SetThreadLocale(saved);
  EXPECT_EQ(narrow, "caf\xe9");
  EXPECT_STREQ(back.get(), L"caf\u00e9");
}

// ---------------------------------------------------------------- registry scripts

namespace registry = comkit::registry;

HKEY g_testRoot = nullptr;
HKEY TestRoot(const std::wstring& root) { return root == L"HKCR" ? g_testRoot : nullptr; }
const wchar_t kTestKey[] = L"Software\\VantrelComkitTest";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, root_.put(),
                              nullptr),
              ERROR_SUCCESS);
    g_testRoot = root_.get();
  }
  void TearDown() override {
    g_testRoot = nullptr;
    root_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
  }
  bool Exists(const std::wstring& path) {
    comkit::unique_hkey k;
    return RegOpenKeyExW(root_.get(), path.c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS;
  }
  std::wstring Text(const std::wstring& path, const wchar_t* name) {
    wchar_t buf[512];
    DWORD size = sizeof(buf);
    if (RegGetValueW(root_.get(), path.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
      return L"<missing>";
    return buf;
  }
  HRESULT Run(const std::wstring& script, bool reg, const registry::Replacements& r = {}) {
    return registry::RunScript(script, r, reg, TestRoot);
  }
  comkit::unique_hkey root_;
};

const wchar_t kScript[] =
    L"HKCR\r\n"
    L"{\r\n"
    L"\tThing.Class.1 = s 'Thing Class'\r\n"
    L"\t{\r\n"
    L"\t\tCLSID = s '%CLSID%'\r\n"
    L"\t}\r\n"
    L"\tNoRemove CLSID\r\n"
    L"\t{\r\n"
    L"\t\tForceRemove %CLSID% = s 'Thing Class'\r\n"
    L"\t\t{\r\n"
    L"\t\t\tForceRemove 'Programmable'\r\n"
    L"\t\t\tInprocServer32 = s '%MODULE%'\r\n"
    L"\t\t\t{\r\n"
    L"\t\t\t\tval ThreadingModel = s 'Apartment'\r\n"
    L"\t\t\t}\r\n"
    L"\t\t\tval AppID = s '%APPID%'\r\n"
    L"\t\t\tval Flags = d 0x10\r\n"
    L"\t\t}\r\n"
    L"\t}\r\n"
    L"}\r\n";

const registry::Replacements kReplacements = {
    {L"CLSID", L"{11111111-2222-3333-4444-555555555555}"},
    {L"MODULE", L"C:\\Program Files\\O'Neill's tools\\Thing.dll"},
    {L"APPID", L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"}};

TEST_F(RegistryTest, RegistersKeysValuesAndReplacements) {
  ASSERT_EQ(Run(kScript, true, kReplacements), S_OK);
  const std::wstring cls = L"CLSID\\{11111111-2222-3333-4444-555555555555}";
  EXPECT_EQ(Text(L"Thing.Class.1", nullptr), L"Thing Class");
  EXPECT_EQ(Text(L"Thing.Class.1\\CLSID", nullptr), L"{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(Text(cls, nullptr), L"Thing Class");
  EXPECT_TRUE(Exists(cls + L"\\Programmable"));
  // A quote inside a replacement is plain text, not a string delimiter.
  EXPECT_EQ(Text(cls + L"\\InprocServer32", nullptr), L"C:\\Program Files\\O'Neill's tools\\Thing.dll");
  EXPECT_EQ(Text(cls + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  EXPECT_EQ(Text(cls, L"AppID"), L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
  DWORD flags = 0, size = sizeof(flags);
  ASSERT_EQ(RegGetValueW(root_.get(), cls.c_str(), L"Flags", RRF_RT_REG_DWORD, nullptr, &flags, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(flags, 0x10u);
}

TEST_F(RegistryTest, ForceRemoveRecreatesTheKeyWhole) {
  const std::wstring cls = L"CLSID\\{11111111-2222-3333-4444-555555555555}";
  ASSERT_EQ(RegSetKeyValueW(root_.get(), (cls + L"\\Stale").c_str(), nullptr, REG_SZ, L"x", 4), ERROR_SUCCESS);
  ASSERT_EQ(Run(kScript, true, kReplacements), S_OK);
  EXPECT_FALSE(Exists(cls + L"\\Stale"));
  EXPECT_TRUE(Exists(cls + L"\\InprocServer32"));
}

TEST_F(RegistryTest, UnregistrationKeepsNoRemoveKeysAndForeignSubkeys) {
  ASSERT_EQ(RegSetKeyValueW(root_.get(), L"CLSID\\{99999999-0000-0000-0000-000000000000}", nullptr, REG_SZ,
                            L"other", 12),
            ERROR_SUCCESS);
  ASSERT_EQ(Run(kScript, true, kReplacements), S_OK);
  // Someone else's subkey under a key of ours keeps that key.
  ASSERT_EQ(RegSetKeyValueW(root_.get(), L"Thing.Class.1\\Extra", nullptr, REG_SZ, L"x", 4), ERROR_SUCCESS);
  ASSERT_EQ(Run(kScript, false, kReplacements), S_OK);

  EXPECT_TRUE(Exists(L"CLSID"));
  EXPECT_TRUE(Exists(L"CLSID\\{99999999-0000-0000-0000-000000000000}"));
  EXPECT_FALSE(Exists(L"CLSID\\{11111111-2222-3333-4444-555555555555}"));
  EXPECT_FALSE(Exists(L"Thing.Class.1\\CLSID"));
  EXPECT_TRUE(Exists(L"Thing.Class.1\\Extra"));

  // A second unregistration finds nothing to do and succeeds.
  EXPECT_EQ(Run(kScript, false, kReplacements), S_OK);
}

TEST_F(RegistryTest, UnregistrationRemovesListedValuesAndEmptyKeys) {
  const wchar_t script[] = L"HKCR { NoRemove AppID { 'App.DLL' { val AppID = s '%APPID%' } } }";
  ASSERT_EQ(Run(script, true, kReplacements), S_OK);
  EXPECT_EQ(Text(L"AppID\\App.DLL", L"AppID"), L"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
  ASSERT_EQ(Run(script, false, kReplacements), S_OK);
  EXPECT_FALSE(Exists(L"AppID\\App.DLL"));
  EXPECT_TRUE(Exists(L"AppID"));
}

TEST(RegistryParseTest, ParsesTheTree) {
  const auto blocks = registry::ParseScript(kScript, kReplacements);
  ASSERT_EQ(blocks.size(), 1u);
  ASSERT_EQ(blocks[0].keys.size(), 2u);
  const registry::Key& clsid = blocks[0].keys[1];
  EXPECT_TRUE(clsid.noRemove);
  ASSERT_EQ(clsid.subkeys.size(), 1u);
  const registry::Key& cls = clsid.subkeys[0];
  EXPECT_TRUE(cls.forceRemove);
  EXPECT_EQ(cls.name, L"{11111111-2222-3333-4444-555555555555}");
  ASSERT_EQ(cls.values.size(), 2u);
  EXPECT_EQ(cls.values[1].type, static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(cls.subkeys.size(), 2u);
  EXPECT_EQ(cls.subkeys[0].name, L"Programmable");
  EXPECT_FALSE(cls.subkeys[0].defaultValue.has_value());
  // Keywords are not case-sensitive; %% is a single percent sign; '' a single quote.
  const auto other = registry::ParseScript(L"hkcu { noremove A { val 'It''s' = S '100%%' } }", {});
  ASSERT_EQ(other[0].keys[0].values.size(), 1u);
  EXPECT_TRUE(other[0].keys[0].noRemove);
  EXPECT_EQ(other[0].keys[0].values[0].name, L"It's");
  EXPECT_EQ(other[0].keys[0].values[0].text, L"100%");
}

TEST(RegistryParseTest, RejectsMalformedScripts) {
  const wchar_t* bad[] = {
      L"HKCR { A = s 'unterminated }",
      L"HKCR { A { }",
      L"HKXX { A }",
      L"HKCR { A = q 'x' }",
      L"HKCR { A = d 12z }",
      L"HKCR { A = d 0x100000000 }",
      L"HKCR { A = s '%UNKNOWN%' }",
      L"HKCR { A = s '%OPEN' }",
      L"HKCR { NoRemove ForceRemove A }",
      L"HKCR { val X = s 'y' }",
      L"HKCR { A { val = s 'y' } }",
      L"HKCR { 'A\\B' }",
      L"HKCR { NoRemove",
      L"HKCR",
  };
  for (const wchar_t* script : bad) {
    EXPECT_THROW(registry::ParseScript(script, {}), registry::ScriptError) << base::ToNarrow(script);
    EXPECT_EQ(registry::RunScript(script, {}, true, TestRoot), DISP_E_EXCEPTION);
  }
  EXPECT_NO_THROW(registry::ParseScript(L"", {}));
}

TEST(RegistryParseTest, ReportsTheLineOfAnError) {
  try {
    registry::ParseScript(L"HKCR\n{\n  A = x 'y'\n}\n", {});
    FAIL() << "no error";
  } catch (const registry::ScriptError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
}

}  // namespace
