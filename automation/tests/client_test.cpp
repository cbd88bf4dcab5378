// A C++ client of the built Vantrel.dll, written against the type library's
// declarations only: the four exports loaded from the DLL, and the registered factory
// driven early and late bound against the simulated host (both protocols).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Vantrel.h"
#include "comkit/resources.h"
#include "base/text.h"
#include "sim_client.h"

namespace {

using comkit::com_ptr;
using comkit::unique_bstr;
using comkit::unique_variant;

const HRESULT kConnectorFailure = static_cast<HRESULT>(0x80043000UL);

std::wstring DllPath() {
  const char* dir = std::getenv("VANTREL_BINARY_DIR");
  std::string path = std::string("Z:") + (dir ? dir : "") + "/automation/Vantrel.dll";
  for (auto& c : path)
    if (c == '/') c = '\\';
  return base::ToWide(path);
}

// An export as the function it is (through the generic function pointer type).
template <class F>
F Proc(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The DLL loaded once for the whole program (COM loads the same module again).
struct Exports {
  HMODULE module = nullptr;
  HRESULT(STDAPICALLTYPE* canUnloadNow)() = nullptr;
  HRESULT(STDAPICALLTYPE* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
};

const Exports& Dll() {
  static Exports e = [] {
    Exports x;
    x.module = LoadLibraryW(DllPath().c_str());
    if (x.module) {
      x.canUnloadNow = Proc<decltype(x.canUnloadNow)>(x.module, "DllCanUnloadNow");
      x.getClassObject = Proc<decltype(x.getClassObject)>(x.module, "DllGetClassObject");
    }
    return x;
  }();
  return e;
}

// S_OK from DllCanUnloadNow within the time given (refresh threads end after their pass).
HRESULT CanUnloadWithin(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  HRESULT hr = Dll().canUnloadNow();
  while (hr != S_OK && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    hr = Dll().canUnloadNow();
  }
  return hr;
}

std::wstring TakeErrorDescription() {
  com_ptr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK) return L"<none>";
  unique_bstr d;
  info->GetDescription(d.put());
  return d ? d.get() : L"";
}

// A session of the simulated host (refreshed every second), or null after a failure.
com_ptr<IXenSession> OpenSession(IXenFactory* f, XenConnectionMode mode, int port) {
  EXPECT_EQ(f->put_ConnectionMode(mode), S_OK);
  EXPECT_EQ(f->put_Port(port), S_OK);
  EXPECT_EQ(f->put_RefreshingDelay(1), S_OK);
  unique_bstr host(SysAllocString(L"127.0.0.1")), user(SysAllocString(L"root")), pass(SysAllocString(L"xenroot"));
  com_ptr<IXenSession> s;
  const HRESULT hr = f->CreateSession(host.get(), user.get(), pass.get(), s.put());
  EXPECT_EQ(hr, S_OK) << base::ToNarrow(TakeErrorDescription());
  return s;
}

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_NE(Dll().module, nullptr) << "cannot load " << base::ToNarrow(DllPath());
  }
  void TearDown() override { CoUninitialize(); }
};

// ---------------------------------------------------------------- exports

TEST_F(ComTest, ExportsByNameAndOrdinal) {
  const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"};
  for (WORD ordinal = 1; ordinal <= 4; ++ordinal) {
    FARPROC byName = GetProcAddress(Dll().module, names[ordinal - 1]);
    FARPROC byOrdinal = GetProcAddress(Dll().module, MAKEINTRESOURCEA(ordinal));
    ASSERT_NE(byName, nullptr) << names[ordinal - 1];
    EXPECT_EQ(byName, byOrdinal) << names[ordinal - 1];
  }
  EXPECT_EQ(GetProcAddress(Dll().module, MAKEINTRESOURCEA(5)), nullptr);
}

TEST_F(ComTest, VersionResource) {
  const std::wstring path = DllPath();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> data(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length));
  EXPECT_EQ(info->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(info->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(info->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(info->dwProductVersionLS, 0x00000001u);
  wchar_t* name = nullptr;
  ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                             reinterpret_cast<void**>(&name), &length));
  EXPECT_STREQ(name, L"Vantrel.dll");
}

TEST_F(ComTest, ClassObjectOnlyForTheFactory) {
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(Dll().getClassObject(CLSID_XenSession, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(Dll().getClassObject(CLSID_XenVMList, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(Dll().getClassObject(CLSID_XenFactory, IID_IClassFactory, nullptr), E_POINTER);
  com_ptr<IClassFactory> cf;
  ASSERT_EQ(Dll().getClassObject(CLSID_XenFactory, IID_IClassFactory, cf.put_void()), S_OK);
}

TEST_F(ComTest, CanUnloadNowFollowsTheObjects) {
  ASSERT_EQ(CanUnloadWithin(std::chrono::seconds(15)), S_OK);
  com_ptr<IClassFactory> cf;
  ASSERT_EQ(Dll().getClassObject(CLSID_XenFactory, IID_IClassFactory, cf.put_void()), S_OK);
  com_ptr<IXenFactory> f;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_IXenFactory, f.put_void()), S_OK);
  EXPECT_EQ(Dll().canUnloadNow(), S_FALSE);
  f.reset();
  EXPECT_EQ(Dll().canUnloadNow(), S_OK);
  ASSERT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(Dll().canUnloadNow(), S_FALSE);
  ASSERT_EQ(cf->LockServer(FALSE), S_OK);
  EXPECT_EQ(Dll().canUnloadNow(), S_OK);
}

class Outer : public IUnknown {
 public:
  explicit Outer(IClassFactory* cf) { hr = cf->CreateInstance(this, IID_IUnknown, reinterpret_cast<void**>(&inner)); }
  ~Outer() {
    if (inner) inner->Release();
  }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  IUnknown* inner = nullptr;
  HRESULT hr;
  LONG refs = 1;
};

TEST_F(ComTest, TheFactoryCanBeAggregated) {
  com_ptr<IClassFactory> cf;
  ASSERT_EQ(Dll().getClassObject(CLSID_XenFactory, IID_IClassFactory, cf.put_void()), S_OK);
  Outer outer(cf.get());
  ASSERT_EQ(outer.hr, S_OK);
  com_ptr<IXenFactory> f;
  ASSERT_EQ(outer.QueryInterface(IID_IXenFactory, f.put_void()), S_OK);
  com_ptr<IUnknown> identity;
  ASSERT_EQ(f->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
  EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
  EXPECT_EQ(f->put_ConnectionMode(MODE_XEN4_PROTOCOL), S_OK);
  LONG port = 0;
  EXPECT_EQ(f->get_Port(&port), S_OK);
  EXPECT_EQ(port, 443);
  void* p = nullptr;
  EXPECT_EQ(cf->CreateInstance(&outer, IID_IXenFactory, &p), CLASS_E_NOAGGREGATION);
}

// ---------------------------------------------------------------- against the host

class HostTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
    ASSERT_TRUE(simtest::ReplyOk(simtest::Control(R"({"cmd": "reset"})")));
    ASSERT_EQ(CoCreateInstance(CLSID_XenFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IXenFactory,
                               factory.put_void()),
              S_OK)
        << "is Vantrel.dll registered?";
  }
  // A session from the registered factory, or from the one given.
  com_ptr<IXenSession> Open(XenConnectionMode mode, int port, IXenFactory* from = nullptr) {
    return OpenSession(from ? from : factory.get(), mode, port);
  }
  static std::wstring Text(HRESULT (STDMETHODCALLTYPE IXenVM::*get)(BSTR*), IXenVM* vm) {
    unique_bstr b;
    EXPECT_EQ((vm->*get)(b.put()), S_OK);
    return b ? b.get() : L"";
  }
  // Reads a member by name through IDispatch: the id must be the library's.
  static unique_variant Late(IDispatch* d, const wchar_t* name, DISPID expected, WORD flags = DISPATCH_PROPERTYGET) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << base::ToNarrow(name);
    EXPECT_EQ(id, expected) << base::ToNarrow(name);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    unique_variant r;
    EXCEPINFO excep{};
    EXPECT_EQ(d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &none, r.get(), &excep, nullptr), S_OK)
        << base::ToNarrow(name);
    return r;
  }
  static com_ptr<IXenVM> Item(IXenVMList* list, LONG index) {
    com_ptr<IXenVM> vm;
    EXPECT_EQ(list->get_Item(index, vm.put()), S_OK);
    return vm;
  }
  static com_ptr<IXenVM> Find(IXenVMList* list, const wchar_t* name) {
    LONG n = 0;
    list->get_Count(&n);
    for (LONG i = 1; i <= n; ++i) {
      com_ptr<IXenVM> vm = Item(list, i);
      if (Text(&IXenVM::get_Name, vm.get()) == name) return vm;
    }
    return {};
  }

  com_ptr<IXenFactory> factory;
};

TEST_F(HostTest, Xen4EveryMemberEarlyAndLateBound) {
  com_ptr<IXenSession> s = Open(MODE_XEN4_PROTOCOL, simtest::FromEnvironment().xenapiPort);
  ASSERT_TRUE(s);
  unique_bstr name;
  ASSERT_EQ(s->get_ServerName(name.put()), S_OK);
  EXPECT_STREQ(name.get(), L"xenhost01");

  com_ptr<IDispatch> ds = s.query<IDispatch>();
  EXPECT_STREQ(V_BSTR(Late(ds.get(), L"ServerName", 5).get()), L"xenhost01");
  EXPECT_STREQ(V_BSTR(Late(ds.get(), L"ServerDescription", 14).get()), L"Lab rack 3, dual socket");
  EXPECT_STREQ(V_BSTR(Late(ds.get(), L"XenVersion", 6).get()), L"6.0.2");
  EXPECT_STREQ(V_BSTR(Late(ds.get(), L"Status", 7).get()), L"On");
  EXPECT_EQ(V_I4(Late(ds.get(), L"NumCpus", 9).get()), 4);
  EXPECT_EQ(Late(ds.get(), L"Memory", 8).vt(), VT_I4);
  for (auto [n, id] : {std::pair{L"CpuUsage", 1}, {L"MemoryUsage", 10}, {L"DiskIO", 12}, {L"NetworkIO", 13}})
    EXPECT_EQ(Late(ds.get(), n, id).vt(), VT_R8) << base::ToNarrow(n);
  Late(ds.get(), L"Update", 3, DISPATCH_METHOD);

  unique_variant listVar = Late(ds.get(), L"VMList", 2);
  ASSERT_EQ(listVar.vt(), VT_DISPATCH);
  com_ptr<IDispatch> dl(V_DISPATCH(listVar.get()));
  EXPECT_EQ(V_I4(Late(dl.get(), L"Count", 1).get()), 4);
  unique_variant e = Late(dl.get(), L"_NewEnum", DISPID_NEWENUM);
  ASSERT_EQ(e.vt(), VT_UNKNOWN);
  com_ptr<IEnumVARIANT> en = com_ptr<IUnknown>(V_UNKNOWN(e.get())).query<IEnumVARIANT>();
  ASSERT_TRUE(en);
  unique_variant first;
  ASSERT_EQ(en->Next(1, first.put(), nullptr), S_OK);
  ASSERT_EQ(first.vt(), VT_DISPATCH);
  com_ptr<IDispatch> dv(V_DISPATCH(first.get()));
  EXPECT_STREQ(V_BSTR(Late(dv.get(), L"Name", 2).get()), L"web01");
  EXPECT_STREQ(V_BSTR(Late(dv.get(), L"Description", 3).get()), L"Front-end web server");
  EXPECT_EQ(Late(dv.get(), L"Status", 4).vt(), VT_BSTR);
  EXPECT_EQ(V_I4(Late(dv.get(), L"NumCpus", 14).get()), 2);
  EXPECT_EQ(Late(dv.get(), L"Memory", 11).vt(), VT_I4);
  for (auto [n, id] : {std::pair{L"CpuUsage", 1}, {L"DiskIO", 10}, {L"NetworkIO", 12}, {L"MemoryUsage", 13}})
    EXPECT_EQ(Late(dv.get(), n, id).vt(), VT_R8) << base::ToNarrow(n);

  // Early bound: the list by index, a VM started shows its transitional state at once.
  com_ptr<IXenVMList> list;
  ASSERT_EQ(s->get_VMList(list.put()), S_OK);
  com_ptr<IXenVM> build = Find(list.get(), L"build01");
  ASSERT_TRUE(build);
  EXPECT_EQ(build->Start(), S_OK) << base::ToNarrow(TakeErrorDescription());
  EXPECT_EQ(Text(&IXenVM::get_Status, build.get()), L"STARTING");
  // A second start while the first runs is refused by the server.
  EXPECT_EQ(build->Start(), kConnectorFailure);
  EXPECT_NE(TakeErrorDescription(), L"");
}

TEST_F(HostTest, Xen4VmKeptAfterTheSessionAndCloseTwice) {
  com_ptr<IXenSession> s = Open(MODE_XEN4_PROTOCOL, simtest::FromEnvironment().xenapiPort);
  ASSERT_TRUE(s);
  com_ptr<IXenVMList> list;
  ASSERT_EQ(s->get_VMList(list.put()), S_OK);
  com_ptr<IXenVM> vm = Item(list.get(), 1);
  ASSERT_TRUE(simtest::ReplyOk(simtest::Control(R"({"target": "xenapi", "cmd": "clear_calls"})")));

  // Close, then the release closes again: the back end logs out once, nothing fails.
  EXPECT_EQ(s->Close(), S_OK) << base::ToNarrow(TakeErrorDescription());
  list.reset();
  s.reset();
  const std::string calls = simtest::Control(R"({"target": "xenapi", "cmd": "calls"})");
  size_t logouts = 0;
  for (size_t at = calls.find("session.logout"); at != std::string::npos; at = calls.find("session.logout", at + 1))
    ++logouts;
  EXPECT_EQ(logouts, 1u) << calls;

  EXPECT_EQ(Text(&IXenVM::get_Name, vm.get()), L"web01");
  EXPECT_EQ(vm->Start(), kConnectorFailure);
  EXPECT_EQ(TakeErrorDescription(), L"no session");
  {
    com_ptr<ISupportErrorInfo> sei = vm.query<ISupportErrorInfo>();
    ASSERT_TRUE(sei);
    EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IXenVM), S_OK);
  }
  vm.reset();
  factory.reset();
  // Everything released and the refresh thread stopped: the library may go.
  EXPECT_EQ(CanUnloadWithin(std::chrono::seconds(15)), S_OK);
}

// A session released without Close is logged out on the server all the same.
TEST_F(HostTest, Xen4SessionReleasedWithoutCloseLogsOut) {
  com_ptr<IXenSession> s = Open(MODE_XEN4_PROTOCOL, simtest::FromEnvironment().xenapiPort);
  ASSERT_TRUE(s);
  const auto live = [] {
    const std::string reply = simtest::Control(R"({"target": "xenapi", "cmd": "sessions"})");
    return reply.find("\"live\": 0") == std::string::npos;
  };
  EXPECT_TRUE(live());
  s.reset();
  EXPECT_FALSE(live());
}

TEST_F(HostTest, Xen4LostConnectionReachesUpdate) {
  com_ptr<IXenSession> s = Open(MODE_XEN4_PROTOCOL, simtest::FromEnvironment().xenapiPort);
  ASSERT_TRUE(s);
  ASSERT_EQ(s->Update(), S_OK);
  // From now on the server drops every request: the next refresh pass fails.
  ASSERT_TRUE(simtest::ReplyOk(simtest::Control(R"({"target": "xenapi", "cmd": "fault", "mode": "drop"})")));
  HRESULT hr = S_OK;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (hr == S_OK && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    hr = s->Update();
  }
  EXPECT_EQ(hr, kConnectorFailure);
  EXPECT_EQ(TakeErrorDescription(), L"Connection to xen4 lost");
  simtest::Control(R"({"target": "xenapi", "cmd": "clear_faults"})");
}

TEST_F(HostTest, WrongPasswordIsReportedByTheFactory) {
  factory->put_ConnectionMode(MODE_XEN4_PROTOCOL);
  factory->put_Port(simtest::FromEnvironment().xenapiPort);
  unique_bstr host(SysAllocString(L"127.0.0.1")), user(SysAllocString(L"root")), pass(SysAllocString(L"nope"));
  com_ptr<IXenSession> s;
  EXPECT_EQ(factory->CreateSession(host.get(), user.get(), pass.get(), s.put()), kConnectorFailure);
  EXPECT_FALSE(s);
  com_ptr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  unique_bstr d, src;
  info->GetDescription(d.put());
  info->GetSource(src.put());
  EXPECT_STREQ(d.get(), L"Wrong user or password");
  EXPECT_STREQ(src.get(), L"Vantrel.XenFactory.1");
}

// Folder of a file, with its trailing backslash.
std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

// Puts the client certificate files into a folder (by default the DLL's), each replaced
// whole.
void PlaceCertificates(const std::wstring& dir = FolderOf(DllPath())) {
  const simtest::SimHost host = simtest::FromEnvironment();
  for (const wchar_t* name : {L"xencert.pem", L"certChain.pem", L"key.pem"}) {
    std::wstring from = base::ToWide("Z:" + host.certs + "\\") + name;
    // Another test process may place the same files at the same time.
    const std::wstring temp = dir + name + L".client_test" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CopyFileW(from.c_str(), temp.c_str(), FALSE)) << base::ToNarrow(from);
    ASSERT_TRUE(MoveFileExW(temp.c_str(), (dir + name).c_str(), MOVEFILE_REPLACE_EXISTING));
  }
}

TEST_F(HostTest, Xen3SessionWithCertificatesNextToTheLibrary) {
  PlaceCertificates();
  com_ptr<IXenSession> s = Open(MODE_XEN3_PROTOCOL, simtest::FromEnvironment().xen3Port);
  ASSERT_TRUE(s);
  unique_bstr version;
  ASSERT_EQ(s->get_XenVersion(version.put()), S_OK);
  EXPECT_STREQ(version.get(), L"4.1.2");
  com_ptr<IXenVMList> list;
  ASSERT_EQ(s->get_VMList(list.put()), S_OK);
  LONG count = 0;
  list->get_Count(&count);
  EXPECT_EQ(count, 4);
  com_ptr<IXenVM> build = Find(list.get(), L"build01");
  ASSERT_TRUE(build);
  EXPECT_EQ(build->Start(), S_OK) << base::ToNarrow(TakeErrorDescription());
  // xen3 shows the agent's state, which Update brings into the list.
  std::wstring status;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (status != L"UP" && std::chrono::steady_clock::now() < end) {
    EXPECT_EQ(s->Update(), S_OK);
    status = Text(&IXenVM::get_Status, build.get());
    if (status != L"UP") std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(status, L"UP");
  EXPECT_EQ(s->Close(), S_OK);
  EXPECT_EQ(s->Update(), kConnectorFailure);
  EXPECT_EQ(TakeErrorDescription(), L"Connection to server lost");
}

// ---------------------------------------------------------------- loading and unloading
// These tests run in a process of their own (vantrel_unload_test) in which nothing but
// COM loads the library, so that they can see it go, one after the other in this order.
// Throughout, OpenSSL would find broken configuration files wherever it used to look or
// could be sent to look: the build machine's dependency cache (the Unix path, on the
// current drive), the Windows folder set by the build, and OPENSSL_CONF. The library
// must read none of them.

// Fails OpenSSL's start-up wherever it is read: a provider module that does not exist,
// with the configuration's errors reported.
const char kBrokenOpenSslConfiguration[] =
    "config_diagnostics = 1\n"
    "openssl_conf = openssl_init\n"
    "[openssl_init]\n"
    "providers = provider_sect\n"
    "[provider_sect]\n"
    "planted = planted_sect\n"
    "[planted_sect]\n"
    "module = Z:\\nonexistent\\planted-provider.dll\n"
    "activate = 1\n";

bool VantrelLoaded() { return GetModuleHandleW(L"Vantrel.dll") != nullptr; }

// Lets COM free the libraries it may, in a tight loop (the library may go while a
// refresh thread is still ending), until Vantrel.dll has gone; false when it is still
// there when the time is up.
bool VantrelGoneWithin(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    CoFreeUnusedLibrariesEx(0, 0);
    if (!VantrelLoaded()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(1);
  }
}

class FreshProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::vector<std::wstring> files = {L"C:\\Program Files\\Common Files\\SSL\\openssl.cnf"};
    if (const char* prefix = std::getenv("VANTREL_DEPS_PREFIX"))
      files.push_back(base::ToWide(std::string("Z:") + prefix + "/ssl/openssl.cnf"));
    // OPENSSL_CONF is set here, for this process alone, before anything loads the library.
    const char* binary = std::getenv("VANTREL_BINARY_DIR");
    ASSERT_NE(binary, nullptr) << "VANTREL_BINARY_DIR names the build folder";
    const std::string conf = std::string("Z:") + binary + "/automation/tests/planted-openssl.cnf";
    ASSERT_EQ(_putenv_s("OPENSSL_CONF", conf.c_str()), 0);
    files.push_back(base::ToWide(conf));
    for (std::wstring file : files) {
      for (auto& c : file)
        if (c == L'/') c = L'\\';
      // The folders that do not exist yet are made, and removed again afterwards.
      for (size_t at = file.find(L'\\', 3); at != std::wstring::npos; at = file.find(L'\\', at + 1)) {
        const std::wstring folder = file.substr(0, at);
        if (CreateDirectoryW(folder.c_str(), nullptr)) planted_.insert(planted_.begin(), folder);
      }
      const HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << base::ToNarrow(file);
      DWORD written = 0;
      WriteFile(h, kBrokenOpenSslConfiguration, sizeof kBrokenOpenSslConfiguration - 1, &written, nullptr);
      CloseHandle(h);
      planted_.insert(planted_.begin(), file);
    }
  }
  static void TearDownTestSuite() {
    for (const std::wstring& path : planted_)
      if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
    planted_.clear();
  }
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
    // Gone after the test before (CoUninitialize frees it, its refresh threads let go).
    ASSERT_TRUE(VantrelGoneWithin(std::chrono::seconds(20))) << "loaded by another than COM, or never let go";
    ASSERT_TRUE(simtest::ReplyOk(simtest::Control(R"({"cmd": "reset"})")));
    PlaceCertificates();
  }
  void TearDown() override { CoUninitialize(); }

  static com_ptr<IXenFactory> Factory() {
    com_ptr<IXenFactory> f;
    EXPECT_EQ(CoCreateInstance(CLSID_XenFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IXenFactory, f.put_void()), S_OK);
    return f;
  }
  // A session of each protocol, opened, updated and released.
  static void SessionsOfBothProtocols(IXenFactory* f) {
    const simtest::SimHost host = simtest::FromEnvironment();
    com_ptr<IXenSession> xen4 = OpenSession(f, MODE_XEN4_PROTOCOL, host.xenapiPort);
    com_ptr<IXenSession> xen3 = OpenSession(f, MODE_XEN3_PROTOCOL, host.xen3Port);
    ASSERT_TRUE(xen4 && xen3);
    EXPECT_EQ(xen4->Update(), S_OK) << base::ToNarrow(TakeErrorDescription());
    EXPECT_EQ(xen3->Update(), S_OK) << base::ToNarrow(TakeErrorDescription());
    unique_bstr name, version;
    EXPECT_EQ(xen4->get_ServerName(name.put()), S_OK);
    EXPECT_STREQ(name.get(), L"xenhost01");
    EXPECT_EQ(xen3->get_XenVersion(version.put()), S_OK);
    EXPECT_STREQ(version.get(), L"4.1.2");
  }

  static std::vector<std::wstring> planted_;  // files and folders to remove, newest first
};

std::vector<std::wstring> FreshProcessTest::planted_;

// The first start of the libraries in this process, with the broken files in place.
TEST_F(FreshProcessTest, SessionsWorkWithBrokenOpenSslConfigurationsAround) {
  com_ptr<IXenFactory> f = Factory();
  ASSERT_TRUE(f);
  SessionsOfBothProtocols(f.get());
}

// Released and freed by COM as soon as the last refresh thread has ended, and loaded and
// started again (OpenSSL as well) by the next request.
TEST_F(FreshProcessTest, UnloadsWhenItsLastObjectIsGoneAndLoadsAgain) {
  for (int round = 0; round < 2; ++round) {
    {
      com_ptr<IXenFactory> f = Factory();
      ASSERT_TRUE(f);
      ASSERT_TRUE(VantrelLoaded());
      SessionsOfBothProtocols(f.get());
    }
    EXPECT_TRUE(VantrelGoneWithin(std::chrono::seconds(20))) << "round " << round;
  }
}

// A refresh pass still blocked on the server when the last object goes: Close aborts its
// request instead of waiting for the answer (20 seconds away), the session is logged out
// (the simulated host fails the test otherwise), and the library goes once the pass's
// thread has ended, long before the answer would have come.
TEST_F(FreshProcessTest, ABlockedRefreshPassEndsWithTheLastObjectAndTheLibraryGoes) {
  {
    com_ptr<IXenFactory> f = Factory();
    ASSERT_TRUE(f);
    com_ptr<IXenSession> s = OpenSession(f.get(), MODE_XEN4_PROTOCOL, simtest::FromEnvironment().xenapiPort);
    ASSERT_TRUE(s);
    // The refresh pass's next VM metrics read is answered after 20 seconds (only the
    // pass makes that call, so the log-out is never the one delayed).
    ASSERT_TRUE(simtest::ReplyOk(simtest::Control(R"({"target": "xenapi", "cmd": "clear_calls"})")));
    ASSERT_TRUE(simtest::ReplyOk(simtest::Control(
        R"({"target": "xenapi", "cmd": "fault", "mode": "delay", "seconds": 20, "method": "VM_metrics.get_record", "count": 1})")));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (simtest::Control(R"({"target": "xenapi", "cmd": "calls"})").find("VM_metrics.get_record") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "no refresh pass reached the server";
      Sleep(20);
    }
  }
  EXPECT_TRUE(VantrelGoneWithin(std::chrono::seconds(12))) << "the blocked pass held the library";
}

// A renamed copy of the DLL in a folder whose path is longer than MAX_PATH (and than
// 1024 characters), with the certificate files beside it: the copy finds them there,
// since it looks next to its own file. Each time the client releases everything and
// frees the library as soon as DllCanUnloadNow allows, with the session's listener
// perhaps still ending: the worker's own module reference keeps the code mapped until
// it has left, and then the copy goes.
TEST_F(HostTest, RenamedCopyInALongPathWorksAndCanBeFreedWhileItsWorkersEnd) {
  std::wstring dir = FolderOf(DllPath());
  for (wchar_t part = L'a'; part < L'f'; ++part) {
    dir += std::wstring(220, part) + L"\\";
    CreateDirectoryW(dir.c_str(), nullptr);
  }
  const std::wstring copy = dir + L"Connector Copy.dll";
  ASSERT_GT(copy.size(), 1024u);
  ASSERT_TRUE(CopyFileW(DllPath().c_str(), copy.c_str(), FALSE)) << GetLastError();
  PlaceCertificates(dir);

  for (int round = 0; round < 3; ++round) {
    HMODULE module = LoadLibraryW(copy.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    ASSERT_NE(module, Dll().module);
    auto getClassObject = Proc<decltype(Exports::getClassObject)>(module, "DllGetClassObject");
    auto canUnloadNow = Proc<decltype(Exports::canUnloadNow)>(module, "DllCanUnloadNow");
    {
      com_ptr<IClassFactory> cf;
      ASSERT_EQ(getClassObject(CLSID_XenFactory, IID_IClassFactory, cf.put_void()), S_OK);
      com_ptr<IXenFactory> f;
      ASSERT_EQ(cf->CreateInstance(nullptr, IID_IXenFactory, f.put_void()), S_OK);
      com_ptr<IXenSession> s = Open(MODE_XEN3_PROTOCOL, simtest::FromEnvironment().xen3Port, f.get());
      ASSERT_TRUE(s);
      EXPECT_EQ(s->Update(), S_OK) << base::ToNarrow(TakeErrorDescription());
      EXPECT_EQ(s->Close(), S_OK);
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (canUnloadNow() != S_OK && std::chrono::steady_clock::now() < end) Sleep(1);
    ASSERT_EQ(canUnloadNow(), S_OK);
    EXPECT_TRUE(FreeLibrary(module)) << "round " << round;
    while (GetModuleHandleW(L"Connector Copy.dll") && std::chrono::steady_clock::now() < end) Sleep(1);
    EXPECT_EQ(GetModuleHandleW(L"Connector Copy.dll"), nullptr) << "round " << round;
  }
}

}  // namespace
