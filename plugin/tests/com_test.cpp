// Brenmo.dll as a COM server: its type library (names, dispatch ids, kinds, flags),
// the class's Variant properties, the exports, and late binding by name once the
// library is registered.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Brenmo.h"
#include "check.h"
#include "comkit/resources.h"
#include "fake_vantrel.h"
#include "xencom.h"

using namespace brenmo;
using comkit::com_ptr;
using comkit::unique_bstr;
using comkit::unique_variant;

namespace {

// The DLL's path from BRENMO_DLL (a Unix path under Wine becomes a Z: path).
std::wstring DllPath() {
  const char* env = std::getenv("BRENMO_DLL");
  std::string path = env ? env : "";
  if (!path.empty() && path[0] == '/') {
    path = "Z:" + path;
    for (char& c : path) c = c == '/' ? '\\' : c;
  }
  return std::wstring(path.begin(), path.end());
}

unique_variant Text(const std::wstring& text) {
  unique_variant v;
  V_VT(v.get()) = VT_BSTR;
  V_BSTR(v.get()) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

std::wstring AsText(const VARIANT& v) {
  return V_VT(&v) == VT_BSTR ? std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))) : L"<not text>";
}

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitialize(nullptr); }
  void TearDown() override { CoUninitialize(); }
};

struct Member {
  const wchar_t* name;
  MEMBERID id;
};
const Member kMembers[] = {{L"ck_docheck", 0x60030004}, {L"ck_showGUI", 0x60030005},
                           {L"ck_result", 0x68030003},  {L"ck_parameter", 0x68030002},
                           {L"ck_timeout", 0x68030001}, {L"ck_hostname", 0x68030000}};

TEST_F(ComTest, TypeLibraryDescribesTheClassAndItsMembers) {
  com_ptr<ITypeLib> lib;
  ASSERT_EQ(LoadTypeLibEx(DllPath().c_str(), REGKIND_NONE, lib.put()), S_OK) << "BRENMO_DLL";
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_Brenmo));
  EXPECT_EQ(attr->lcid, 0x409u);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  lib->ReleaseTLibAttr(attr);
  unique_bstr name, help;
  ASSERT_EQ(lib->GetDocumentation(-1, name.put(), nullptr, nullptr, help.put()), S_OK);
  EXPECT_EQ(std::wstring(name.get()), L"Brenmo");
  const std::wstring helpFile = help ? help.get() : L"";
  EXPECT_EQ(helpFile.substr(helpFile.size() >= 10 ? helpFile.size() - 10 : 0), L"Tolvix.chm");

  // The class: its default interface is _xencom.
  com_ptr<ITypeInfo> coclass;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(CLSID_xencom, coclass.put()), S_OK);
  unique_bstr className;
  coclass->GetDocumentation(MEMBERID_NIL, className.put(), nullptr, nullptr, nullptr);
  EXPECT_EQ(std::wstring(className.get()), L"xencom");
  INT implFlags = 0;
  ASSERT_EQ(coclass->GetImplTypeFlags(0, &implFlags), S_OK);
  EXPECT_TRUE(implFlags & IMPLTYPEFLAG_FDEFAULT);
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
  com_ptr<ITypeInfo> iface;
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, iface.put()), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(iface->GetTypeAttr(&ta), S_OK);
  EXPECT_TRUE(IsEqualGUID(ta->guid, IID__xencom));
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_TRUE(ta->wTypeFlags & TYPEFLAG_FHIDDEN);
  iface->ReleaseTypeAttr(ta);

  // Names to dispatch ids, and the kinds of every member.
  for (const auto& m : kMembers) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(m.name)};
    MEMBERID id = 0;
    ASSERT_EQ(iface->GetIDsOfNames(names, 1, &id), S_OK) << m.name;
    EXPECT_EQ(id, m.id) << m.name;
  }
  int gets = 0, puts = 0, putrefs = 0, methods = 0;
  ASSERT_EQ(iface->GetTypeAttr(&ta), S_OK);
  const WORD functions = ta->cFuncs;
  iface->ReleaseTypeAttr(ta);
  for (WORD i = 0; i < functions; ++i) {
    FUNCDESC* fd = nullptr;
    ASSERT_EQ(iface->GetFuncDesc(i, &fd), S_OK);
    if (fd->memid >= 0x68030000 && fd->memid <= 0x68030003) {
      const VARTYPE vt = fd->invkind == INVOKE_PROPERTYGET ? fd->elemdescFunc.tdesc.vt
                                                            : fd->lprgelemdescParam[0].tdesc.vt;
      EXPECT_EQ(vt, VT_VARIANT) << fd->memid;
      if (fd->invkind == INVOKE_PROPERTYGET) ++gets;
      if (fd->invkind == INVOKE_PROPERTYPUT) ++puts;
      if (fd->invkind == INVOKE_PROPERTYPUTREF) ++putrefs;
    } else if (fd->memid == 0x60030004) {
      EXPECT_EQ(fd->invkind, INVOKE_FUNC);
      EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_BOOL);
      ++methods;
    } else if (fd->memid == 0x60030005) {
      EXPECT_EQ(fd->invkind, INVOKE_FUNC);
      EXPECT_EQ(fd->cParams, 0);
      ++methods;
    }
    iface->ReleaseFuncDesc(fd);
  }
  EXPECT_EQ(gets, 4);
  EXPECT_EQ(puts, 4);
  EXPECT_EQ(putrefs, 4);
  EXPECT_EQ(methods, 2);
}

TEST_F(ComTest, PropertiesAreEmptyVariantsThatKeepCopies) {
  com_ptr<Xencom> plugin = Xencom::Create();
  unique_variant value;
  ASSERT_EQ(plugin->get_ck_hostname(value.put()), S_OK);
  EXPECT_EQ(value.vt(), VT_EMPTY);
  ASSERT_EQ(plugin->get_ck_result(value.put()), S_OK);
  EXPECT_EQ(value.vt(), VT_EMPTY);

  // Put stores a copy: changing the caller's value afterwards changes nothing.
  unique_variant host = Text(L"xenhost01");
  ASSERT_EQ(plugin->put_ck_hostname(*host.get()), S_OK);
  V_BSTR(host.get())[0] = L'X';
  ASSERT_EQ(plugin->get_ck_hostname(value.put()), S_OK);
  EXPECT_EQ(AsText(*value.get()), L"xenhost01");

  // A value passed by reference is stored as the value it refers to.
  LONG seconds = 30;
  VARIANT byRef;
  VariantInit(&byRef);
  V_VT(&byRef) = VT_I4 | VT_BYREF;
  V_I4REF(&byRef) = &seconds;
  ASSERT_EQ(plugin->put_ck_timeout(byRef), S_OK);
  seconds = 99;
  ASSERT_EQ(plugin->get_ck_timeout(value.put()), S_OK);
  ASSERT_EQ(value.vt(), VT_I4);
  EXPECT_EQ(V_I4(value.get()), 30);

  // Put by reference keeps the object itself; get hands out that same object.
  com_ptr<Xencom> other = Xencom::Create();
  unique_variant object;
  V_VT(object.get()) = VT_DISPATCH;
  V_DISPATCH(object.get()) = static_cast<_xencom*>(other.get());
  other->AddRef();
  ASSERT_EQ(plugin->putref_ck_parameter(*object.get()), S_OK);
  ASSERT_EQ(plugin->get_ck_parameter(value.put()), S_OK);
  ASSERT_EQ(value.vt(), VT_DISPATCH);
  EXPECT_EQ(V_DISPATCH(value.get()), static_cast<IDispatch*>(static_cast<_xencom*>(other.get())));

  EXPECT_EQ(plugin->get_ck_result(nullptr), E_POINTER);
}

TEST_F(ComTest, CheckWritesItsSentenceIntoResult) {
  auto server = std::make_shared<brenmo::testing::FakeServer>();
  server->vms = {{L"web01", L"UP"}, {L"db01", L"DOWN"}};
  CheckOptions options;
  options.waitMilliseconds = 0;
  options.createFactory = brenmo::testing::MakeFakeFactory(server);
  com_ptr<Xencom> plugin = Xencom::Create(options);
  auto host = Text(L"xenhost01");
  auto parameter = Text(L"#VSTP=XEN#USR=root#PWD=c2VjcmV0#XVR=3#VMN=db01#VMS=DOWN#");
  plugin->put_ck_hostname(*host.get());
  plugin->put_ck_parameter(*parameter.get());
  VARIANT_BOOL passed = VARIANT_FALSE;
  ASSERT_EQ(plugin->ck_docheck(&passed), S_OK);
  EXPECT_EQ(passed, VARIANT_TRUE);
  unique_variant result;
  plugin->get_ck_result(result.put());
  EXPECT_EQ(AsText(*result.get()), L"Virtual machine (db01) is DOWN");
  EXPECT_EQ(server->mode, MODE_XEN3_PROTOCOL);

  // A second check on the same object replaces the sentence; an error is no failure
  // of the call itself.
  server->createSession = {static_cast<HRESULT>(0x80043000), L"Wrong user or password"};
  ASSERT_EQ(plugin->ck_docheck(&passed), S_OK);
  EXPECT_EQ(passed, VARIANT_FALSE);
  plugin->get_ck_result(result.put());
  EXPECT_EQ(AsText(*result.get()), L"ERR: Wrong user or password(at  180)");
  EXPECT_EQ(plugin->ck_docheck(nullptr), E_POINTER);
}

// The exports, with the library loaded as a client's CoCreateInstance would load it.
TEST_F(ComTest, ExportsHandOutTheClassAndTrackLivingObjects) {
  HMODULE dll = LoadLibraryW(DllPath().c_str());
  ASSERT_NE(dll, nullptr) << "BRENMO_DLL";
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  auto canUnload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  ASSERT_TRUE(getClassObject && canUnload);
  EXPECT_NE(GetProcAddress(dll, "DllRegisterServer"), nullptr);
  EXPECT_NE(GetProcAddress(dll, "DllUnregisterServer"), nullptr);

  com_ptr<IClassFactory> factory;
  EXPECT_EQ(getClassObject(IID__xencom, IID_IClassFactory, factory.put_void()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(getClassObject(CLSID_xencom, IID_IClassFactory, nullptr), E_POINTER);
  ASSERT_EQ(getClassObject(CLSID_xencom, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(canUnload(), S_OK);
  {
    com_ptr<IDispatch> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);
    com_ptr<_xencom> typed = object.query<_xencom>();
    EXPECT_TRUE(typed);
    com_ptr<IUnknown> outer = object.query<IUnknown>();
    com_ptr<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.put_void()), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(canUnload(), S_FALSE);
  }
  EXPECT_EQ(canUnload(), S_OK);
  factory.reset();
  FreeLibrary(dll);
}

// Late binding as a monitoring host does it: by ProgID and by member name.
TEST_F(ComTest, RegisteredClassAnswersByName) {
  if (!std::getenv("BRENMO_REGISTERED")) GTEST_SKIP() << "needs the registration fixture";
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(L"Brenmo.xencom", &clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_xencom));
  com_ptr<IDispatch> plugin;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, plugin.put_void()), S_OK);
  for (const auto& m : kMembers) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(m.name)};
    DISPID id = 0;
    ASSERT_EQ(plugin->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << m.name;
    EXPECT_EQ(id, m.id);
  }
  // Put and get ck_parameter by name.
  auto text = Text(L"#VMN=web01#");
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS put{text.get(), &named, 1, 1};
  ASSERT_EQ(plugin->Invoke(0x68030002, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr,
                           nullptr),
            S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  unique_variant value;
  ASSERT_EQ(plugin->Invoke(0x68030002, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.get(),
                           nullptr, nullptr),
            S_OK);
  EXPECT_EQ(AsText(*value.get()), L"#VMN=web01#");
}

}  // namespace
