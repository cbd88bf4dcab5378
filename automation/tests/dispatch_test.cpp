// The registered type library, late binding through IDispatch, the factory object and
// the module's exports, with the automation objects of this test program over a fake
// back end. Needs the type library registered (fixture vantrel_registered).
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "comkit/resources.h"
#include "fake_backend.h"
#include "base/text.h"
#include "refresh_thread.h"
#include "refresh_thread_peer.h"
#include "vantrel_module.h"
#include "xen_factory.h"

namespace {

using comkit::com_ptr;
using comkit::unique_bstr;
using comkit::unique_variant;

// ---------------------------------------------------------------- expected library

struct Member {
  const wchar_t* name;
  DISPID id;
  INVOKEKIND kind;
  std::vector<std::wstring> params;  // as GetNames reports them (a put's value is unnamed)
  const wchar_t* help;               // nullptr: none
};

const INVOKEKIND M = INVOKE_FUNC, G = INVOKE_PROPERTYGET, P = INVOKE_PROPERTYPUT;

const std::vector<Member> kFactoryMembers = {
    {L"CreateSession", 1, M, {L"address", L"userName", L"password", L"so"},
     L"method CreateSession open admin session to xen server"},
    {L"ConnectionMode", 3, G, {L"pVal"}, L"property Connection Method"},
    {L"ConnectionMode", 3, P, {}, L"property Connection Method"},
    {L"Port", 4, G, {L"pVal"}, L"property Port"},
    {L"Port", 4, P, {}, L"property Port"},
    {L"RefreshingDelay", 5, G, {L"pVal"}, L"property RefreshingDelay"},
    {L"RefreshingDelay", 5, P, {}, L"property RefreshingDelay"},
};

const std::vector<Member> kSessionMembers = {
    {L"CpuUsage", 1, G, {L"pVal"}, L"xen server cpu usage"},
    {L"VMList", 2, G, {L"pVal"}, L"property VMList"},
    {L"Update", 3, M, {}, L"method Update - synchronize session attributes with server"},
    {L"ShutdownServer", 4, M, {}, L"method ShutdownServer"},
    {L"ServerName", 5, G, {L"pVal"}, L"property ServerName"},
    {L"XenVersion", 6, G, {L"pVal"}, L"property Xen version"},
    {L"Status", 7, G, {L"pVal"}, L"property Status"},
    {L"Memory", 8, G, {L"pVal"}, L"property Memory"},
    {L"NumCpus", 9, G, {L"pVal"}, L"property NumCpus"},
    {L"MemoryUsage", 10, G, {L"pVal"}, L"property MemoryUsage"},
    {L"RestartServer", 11, M, {}, L"method Restart"},
    {L"DiskIO", 12, G, {L"pVal"}, L"property DiskIO"},
    {L"NetworkIO", 13, G, {L"pVal"}, L"property NetworkIO"},
    {L"ServerDescription", 14, G, {L"pVal"}, L"property ServerDescription"},
    {L"Close", 15, M, {}, L"method Close"},
};

const std::vector<Member> kListMembers = {
    {L"_NewEnum", DISPID_NEWENUM, G, {L"ppUnk"}, nullptr},
    {L"Item", DISPID_VALUE, G, {L"Index", L"pVal"}, nullptr},
    {L"Count", 1, G, {L"pVal"}, nullptr},
};

const std::vector<Member> kVmMembers = {
    {L"CpuUsage", 1, G, {L"pVal"}, L"property CpuUsage"},
    {L"Name", 2, G, {L"pVal"}, L"property Name"},
    {L"Description", 3, G, {L"pVal"}, L"property Description"},
    {L"Status", 4, G, {L"pVal"}, L"property Status"},
    {L"Start", 5, M, {}, L"method Start"},
    {L"Shutdown", 6, M, {}, L"method Shutdown"},
    {L"Reboot", 7, M, {}, L"method Reboot"},
    {L"Suspend", 8, M, {}, L"method Suspend"},
    {L"Restore", 9, M, {}, L"method Restore"},
    {L"DiskIO", 10, G, {L"pVal"}, L"property DiskIO"},
    {L"Memory", 11, G, {L"pVal"}, L"property Memory"},
    {L"NetworkIO", 12, G, {L"pVal"}, L"property NetworkIO"},
    {L"MemoryUsage", 13, G, {L"pVal"}, L"property MemoryUsage"},
    {L"NumCpus", 14, G, {L"pVal"}, L"property NumCpus"},
};

std::wstring Doc(ITypeInfo* ti, MEMBERID id, std::wstring* name = nullptr) {
  unique_bstr n, d;
  EXPECT_EQ(ti->GetDocumentation(id, n.put(), d.put(), nullptr, nullptr), S_OK);
  if (name) *name = n ? n.get() : L"";
  return d ? d.get() : L"";
}

class ComEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    CXenFactory::SetSessionMakerForTesting(nullptr);
  }
  void TearDown() override {
    CXenFactory::SetSessionMakerForTesting(nullptr);
    CoUninitialize();
  }
};

class TypeLibraryTest : public ComEnv {
 protected:
  void SetUp() override {
    ComEnv::SetUp();
    ASSERT_EQ(LoadRegTypeLib(LIBID_VantrelLib, 1, 0, 0x409, tl.put()), S_OK) << "is Vantrel.dll registered?";
  }
  // The vtable interface behind a dual interface's type information.
  com_ptr<ITypeInfo> InterfaceInfo(REFIID iid) {
    com_ptr<ITypeInfo> disp, itf;
    EXPECT_EQ(tl->GetTypeInfoOfGuid(iid, disp.put()), S_OK);
    HREFTYPE ref = 0;
    EXPECT_EQ(disp->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    EXPECT_EQ(disp->GetRefTypeInfo(ref, itf.put()), S_OK);
    return itf;
  }
  void ExpectMembers(REFIID iid, const std::vector<Member>& members) {
    com_ptr<ITypeInfo> ti = InterfaceInfo(iid);
    ASSERT_TRUE(ti);
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(ti->GetTypeAttr(&ta), S_OK);
    const UINT funcs = ta->cFuncs;
    ti->ReleaseTypeAttr(ta);
    ASSERT_EQ(funcs, members.size());
    for (UINT i = 0; i < funcs; ++i) {
      const Member& m = members[i];
      FUNCDESC* fd = nullptr;
      ASSERT_EQ(ti->GetFuncDesc(i, &fd), S_OK);
      EXPECT_EQ(fd->memid, m.id) << m.name;
      EXPECT_EQ(fd->invkind, m.kind) << m.name;
      // Slot order: right after the seven slots of IDispatch.
      EXPECT_EQ(static_cast<size_t>(fd->oVft), (7 + i) * sizeof(void*)) << m.name;
      EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_HRESULT) << m.name;
      BSTR names[8] = {};
      UINT count = 0;
      EXPECT_EQ(ti->GetNames(fd->memid, names, 8, &count), S_OK);
      // GetNames answers for the first function with that id; compare the full list
      // for that one, and the parameter count for the others.
      if (fd->invkind == G || fd->invkind == M) {
        ASSERT_EQ(count, 1 + m.params.size()) << m.name;
        EXPECT_STREQ(names[0], m.name);
        for (size_t p = 0; p < m.params.size(); ++p) EXPECT_EQ(std::wstring(names[1 + p]), m.params[p]) << m.name;
      }
      for (UINT k = 0; k < count; ++k) SysFreeString(names[k]);
      EXPECT_EQ(static_cast<size_t>(fd->cParams), m.kind == P ? 1u : m.params.size()) << m.name;
      if (!m.params.empty() && (m.kind == G || (m.kind == M && m.params.back() == L"so"))) {
        const USHORT flags = fd->lprgelemdescParam[fd->cParams - 1].paramdesc.wParamFlags;
        EXPECT_EQ(flags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL) << m.name;
      }
      ti->ReleaseFuncDesc(fd);
      EXPECT_EQ(Doc(ti.get(), m.id), m.help ? m.help : L"") << m.name;
    }
  }
  com_ptr<ITypeLib> tl;
};

TEST_F(TypeLibraryTest, LibraryAttributes) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(tl->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_VantrelLib));
  EXPECT_EQ(attr->lcid, 0x409u);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  tl->ReleaseTLibAttr(attr);
  unique_bstr name, doc;
  ASSERT_EQ(tl->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr), S_OK);
  EXPECT_STREQ(name.get(), L"VantrelLib");
  EXPECT_STREQ(doc.get(), L"Vantrel 1.0 Type Library");
}

TEST_F(TypeLibraryTest, TypesInLibraryOrder) {
  struct Type {
    const wchar_t* name;
    TYPEKIND kind;
    const GUID* guid;  // nullptr: none of its own
    const wchar_t* help;
  };
  const Type expected[] = {
      {L"XenFactory", TKIND_COCLASS, &CLSID_XenFactory, L"XenFactory Class"},
      {L"IXenFactory", TKIND_DISPATCH, &IID_IXenFactory, L"IXenFactory Interface"},
      {L"IXenSession", TKIND_DISPATCH, &IID_IXenSession, L"IXenSession Interface"},
      {L"IXenVMList", TKIND_DISPATCH, &IID_IXenVMList, L"IXenVMList Interface"},
      {L"IXenVM", TKIND_DISPATCH, &IID_IXenVM, L"IXenVM Interface"},
      {L"XenConnectionMode", TKIND_ENUM, nullptr, L""},
      {L"XenSession", TKIND_COCLASS, &CLSID_XenSession, L"XenSession Class"},
      {L"XenVM", TKIND_COCLASS, &CLSID_XenVM, L"XenVM Class"},
      {L"XenVMList", TKIND_COCLASS, &CLSID_XenVMList, L"XenVMList Class"},
  };
  ASSERT_EQ(tl->GetTypeInfoCount(), 9u);
  for (UINT i = 0; i < 9; ++i) {
    com_ptr<ITypeInfo> ti;
    ASSERT_EQ(tl->GetTypeInfo(i, ti.put()), S_OK);
    std::wstring name;
    const std::wstring help = Doc(ti.get(), MEMBERID_NIL, &name);
    EXPECT_EQ(name, expected[i].name) << i;
    EXPECT_EQ(help, expected[i].help) << i;
    TYPEATTR* ta = nullptr;
    ASSERT_EQ(ti->GetTypeAttr(&ta), S_OK);
    EXPECT_EQ(ta->typekind, expected[i].kind) << i;
    EXPECT_TRUE(IsEqualGUID(ta->guid, expected[i].guid ? *expected[i].guid : GUID_NULL)) << i;
    if (ta->typekind == TKIND_DISPATCH) {
      const WORD want = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
      EXPECT_EQ(ta->wTypeFlags & want, want) << i;
      // The vtable half of the dual interface is the OLE-automation compatible one.
      TYPEATTR* ia = nullptr;
      com_ptr<ITypeInfo> itf = InterfaceInfo(ta->guid);
      ASSERT_EQ(itf->GetTypeAttr(&ia), S_OK);
      EXPECT_EQ(ia->typekind, TKIND_INTERFACE) << i;
      const WORD itfWant = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
      EXPECT_EQ(ia->wTypeFlags & itfWant, itfWant) << i;
      itf->ReleaseTypeAttr(ia);
    }
    if (ta->typekind == TKIND_COCLASS) {
      EXPECT_EQ((ta->wTypeFlags & TYPEFLAG_FCANCREATE) != 0, i == 0) << i;  // only XenFactory
      ASSERT_EQ(ta->cImplTypes, 1);
      INT flags = 0;
      EXPECT_EQ(ti->GetImplTypeFlags(0, &flags), S_OK);
      EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT) << i;
      HREFTYPE ref = 0;
      com_ptr<ITypeInfo> itf;
      ASSERT_EQ(ti->GetRefTypeOfImplType(0, &ref), S_OK);
      ASSERT_EQ(ti->GetRefTypeInfo(ref, itf.put()), S_OK);
      std::wstring itfName;
      Doc(itf.get(), MEMBERID_NIL, &itfName);
      EXPECT_EQ(itfName, L"I" + name);
    }
    ti->ReleaseTypeAttr(ta);
  }
}

TEST_F(TypeLibraryTest, ConnectionModeValues) {
  com_ptr<ITypeInfo> ti;
  ASSERT_EQ(tl->GetTypeInfo(5, ti.put()), S_OK);
  struct Value {
    const wchar_t* name;
    LONG value;
    const wchar_t* help;
  };
  const Value expected[] = {
      {L"MODE_AUTODETECT", 1, L"Try to connect with xen3 and xen4 protocol"},
      {L"MODE_XEN3_PROTOCOL", 2, L"Connect with xen3 protocol only"},
      {L"MODE_XEN4_PROTOCOL", 3, L"Connect with xen4 protocol only"},
  };
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(ti->GetTypeAttr(&ta), S_OK);
  ASSERT_EQ(ta->cVars, 3);
  ti->ReleaseTypeAttr(ta);
  for (UINT i = 0; i < 3; ++i) {
    VARDESC* vd = nullptr;
    ASSERT_EQ(ti->GetVarDesc(i, &vd), S_OK);
    EXPECT_EQ(vd->varkind, VAR_CONST);
    EXPECT_EQ(V_VT(vd->lpvarValue), VT_I4);
    EXPECT_EQ(V_I4(vd->lpvarValue), expected[i].value);
    std::wstring name;
    EXPECT_EQ(Doc(ti.get(), vd->memid, &name), expected[i].help);
    EXPECT_EQ(name, expected[i].name);
    ti->ReleaseVarDesc(vd);
  }
}

TEST_F(TypeLibraryTest, InterfaceMembersInSlotOrder) {
  ExpectMembers(IID_IXenFactory, kFactoryMembers);
  ExpectMembers(IID_IXenSession, kSessionMembers);
  ExpectMembers(IID_IXenVMList, kListMembers);
  ExpectMembers(IID_IXenVM, kVmMembers);
}

TEST_F(TypeLibraryTest, InterfacesDeriveFromTheStandardIDispatch) {
  com_ptr<ITypeInfo> itf = InterfaceInfo(IID_IXenVM);
  HREFTYPE ref = 0;
  com_ptr<ITypeInfo> base;
  ASSERT_EQ(itf->GetRefTypeOfImplType(0, &ref), S_OK);
  ASSERT_EQ(itf->GetRefTypeInfo(ref, base.put()), S_OK);
  com_ptr<ITypeLib> container;
  UINT index = 0;
  ASSERT_EQ(base->GetContainingTypeLib(container.put(), &index), S_OK);
  unique_bstr name;
  container->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr);
  EXPECT_STREQ(name.get(), L"stdole");
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(base->GetTypeAttr(&ta), S_OK);
  EXPECT_TRUE(IsEqualGUID(ta->guid, IID_IDispatch));
  base->ReleaseTypeAttr(ta);
}

// ---------------------------------------------------------------- late binding

class DispatchTest : public ComEnv {
 protected:
  void SetUp() override {
    ComEnv::SetUp();
    log = std::make_shared<FakeLog>();
    auto l = log;
    CXenFactory::SetSessionMakerForTesting(
        [l](const SessionSettings&, const std::string&, const std::string&, const std::string&) {
          return new FakeSession(l, 3);
        });
    ASSERT_EQ(CXenFactory::CreateInstance(nullptr, IID_IDispatch, factory.put_void()), S_OK);
  }

  // Invokes a member. A member that fails makes Invoke answer DISP_E_EXCEPTION with the
  // member's result and error information in the EXCEPINFO: that result is returned,
  // and the description is kept in lastDescription.
  static HRESULT Call(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
    // Arguments go in reverse order.
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
      params.rgdispidNamedArgs = &named;
      params.cNamedArgs = 1;
    }
    EXCEPINFO excep{};
    UINT argErr = 0;
    HRESULT hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &excep, &argErr);
    lastDescription.clear();
    if (hr == DISP_E_EXCEPTION) {
      if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
      hr = excep.scode;
      if (excep.bstrDescription) lastDescription = excep.bstrDescription;
      SysFreeString(excep.bstrDescription);
      SysFreeString(excep.bstrSource);
      SysFreeString(excep.bstrHelpFile);
    }
    return hr;
  }
  static inline std::wstring lastDescription;
  static DISPID IdOf(IDispatch* d, const wchar_t* name, LCID lcid = LOCALE_USER_DEFAULT) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 12345;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, lcid, &id), S_OK) << base::ToNarrow(name);
    return id;
  }
  static VARIANT Long(LONG v) {
    VARIANT x;
    VariantInit(&x);
    V_VT(&x) = VT_I4;
    V_I4(&x) = v;
    return x;
  }
  static VARIANT Text(const wchar_t* s) {
    VARIANT x;
    VariantInit(&x);
    V_VT(&x) = VT_BSTR;
    V_BSTR(&x) = const_cast<BSTR>(s);  // callee does not free [in] arguments
    return x;
  }
  com_ptr<IDispatch> Get(IDispatch* d, const wchar_t* name, std::vector<VARIANT> args = {}) {
    unique_variant r;
    EXPECT_EQ(Call(d, IdOf(d, name), DISPATCH_PROPERTYGET, args, r.put()), S_OK) << base::ToNarrow(name);
    EXPECT_EQ(r.vt(), VT_DISPATCH) << base::ToNarrow(name);
    return r.vt() == VT_DISPATCH ? com_ptr<IDispatch>(V_DISPATCH(r.get())) : com_ptr<IDispatch>();
  }
  com_ptr<IDispatch> OpenSession() {
    unique_variant r;
    EXPECT_EQ(Call(factory.get(), 1, DISPATCH_METHOD, {Text(L"xenhost"), Text(L"root"), Text(L"pw")}, r.put()), S_OK);
    EXPECT_EQ(r.vt(), VT_DISPATCH);
    return com_ptr<IDispatch>(V_DISPATCH(r.get()));
  }
  void ExpectIds(IDispatch* d, const std::vector<Member>& members) {
    for (const auto& m : members) EXPECT_EQ(IdOf(d, m.name), m.id) << base::ToNarrow(m.name);
  }

  std::shared_ptr<FakeLog> log;
  com_ptr<IDispatch> factory;
};

TEST_F(DispatchTest, EveryNameHasTheIdOfTheLibrary) {
  ExpectIds(factory.get(), kFactoryMembers);
  com_ptr<IDispatch> session = OpenSession();
  ExpectIds(session.get(), kSessionMembers);
  com_ptr<IDispatch> list = Get(session.get(), L"VMList");
  ExpectIds(list.get(), kListMembers);
  com_ptr<IDispatch> vm = Get(list.get(), L"Item", {Long(1)});
  ExpectIds(vm.get(), kVmMembers);
  // Names are matched without regard to case, in the caller's locale, also one the
  // library was not registered for.
  EXPECT_EQ(IdOf(vm.get(), L"numcpus"), 14);
  EXPECT_EQ(IdOf(vm.get(), L"Name", MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT)), 2);
}

TEST_F(DispatchTest, DispatchArgumentChecks) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
  DISPID id = 0;
  EXPECT_EQ(factory->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(factory->GetIDsOfNames(IID_IXenFactory, names, 1, LOCALE_USER_DEFAULT, &id), DISP_E_UNKNOWNINTERFACE);
  UINT count = 0;
  EXPECT_EQ(factory->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  com_ptr<ITypeInfo> ti;
  EXPECT_EQ(factory->GetTypeInfo(1, LOCALE_USER_DEFAULT, ti.put()), DISP_E_BADINDEX);
  ASSERT_EQ(factory->GetTypeInfo(0, LOCALE_USER_DEFAULT, ti.put()), S_OK);
  std::wstring name;
  Doc(ti.get(), MEMBERID_NIL, &name);
  EXPECT_EQ(name, L"IXenFactory");
  unique_variant r;
  EXPECT_EQ(Call(factory.get(), 99, DISPATCH_PROPERTYGET, {}, r.put()), DISP_E_MEMBERNOTFOUND);
}

TEST_F(DispatchTest, FactoryPropertiesByInvoke) {
  unique_variant r;
  ASSERT_EQ(Call(factory.get(), 3, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_EQ(V_I4(r.get()), 2);
  EXPECT_EQ(Call(factory.get(), 3, DISPATCH_PROPERTYPUT, {Long(0)}, nullptr), E_INVALIDARG);
  EXPECT_EQ(Call(factory.get(), 3, DISPATCH_PROPERTYPUT, {Long(4)}, nullptr), E_INVALIDARG);
  EXPECT_EQ(Call(factory.get(), 3, DISPATCH_PROPERTYPUT, {Long(3)}, nullptr), S_OK);
  ASSERT_EQ(Call(factory.get(), 4, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_EQ(V_I4(r.get()), 443);
  EXPECT_EQ(Call(factory.get(), 5, DISPATCH_PROPERTYPUT, {Long(1)}, nullptr), S_OK);
  ASSERT_EQ(Call(factory.get(), 5, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_EQ(V_I4(r.get()), 1);
}

TEST_F(DispatchTest, SessionListAndVmByInvoke) {
  com_ptr<IDispatch> session = OpenSession();
  unique_variant r;
  ASSERT_EQ(Call(session.get(), 5, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  ASSERT_EQ(r.vt(), VT_BSTR);
  EXPECT_STREQ(V_BSTR(r.get()), L"xenhost01");
  ASSERT_EQ(Call(session.get(), 7, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_STREQ(V_BSTR(r.get()), L"On");
  ASSERT_EQ(Call(session.get(), 1, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_EQ(r.vt(), VT_R8);
  EXPECT_EQ(V_R8(r.get()), 12.5);
  ASSERT_EQ(Call(session.get(), 9, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_EQ(V_I4(r.get()), 8);
  EXPECT_EQ(Call(session.get(), 3, DISPATCH_METHOD, {}, nullptr), S_OK);
  EXPECT_EQ(log->count("update"), 2);

  com_ptr<IDispatch> list = Get(session.get(), L"VMList");
  ASSERT_EQ(Call(list.get(), 1, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_EQ(V_I4(r.get()), 3);
  // Item is the default member; out-of-range indexes come back as the codes.
  ASSERT_EQ(Call(list.get(), DISPID_VALUE, DISPATCH_PROPERTYGET | DISPATCH_METHOD, {Long(3)}, r.put()), S_OK);
  com_ptr<IDispatch> vm(V_DISPATCH(r.get()));
  EXPECT_EQ(Call(list.get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {Long(0)}, r.put()), E_INVALIDARG);
  EXPECT_EQ(Call(list.get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {Long(4)}, r.put()), E_FAIL);
  // The new-enumerator member, also when asked for as a method (JScript's Enumerator).
  for (WORD flags : {WORD(DISPATCH_PROPERTYGET), WORD(DISPATCH_METHOD)}) {
    ASSERT_EQ(Call(list.get(), DISPID_NEWENUM, flags, {}, r.put()), S_OK) << flags;
    ASSERT_EQ(r.vt(), VT_UNKNOWN);
    com_ptr<IEnumVARIANT> e = com_ptr<IUnknown>(V_UNKNOWN(r.get())).query<IEnumVARIANT>();
    EXPECT_TRUE(e);
  }

  ASSERT_EQ(Call(vm.get(), 2, DISPATCH_PROPERTYGET, {}, r.put()), S_OK);
  EXPECT_STREQ(V_BSTR(r.get()), L"vm3");
  EXPECT_EQ(Call(vm.get(), 5, DISPATCH_METHOD, {}, nullptr), S_OK);
  EXPECT_TRUE(log->contains("Start vm3"));
}

TEST_F(DispatchTest, FailuresComeBackWithTheirResult) {
  com_ptr<IDispatch> session = OpenSession();
  com_ptr<IDispatch> vm = Get(Get(session.get(), L"VMList").get(), L"Item", {Long(1)});
  session.reset();  // the VM is detached
  EXPECT_EQ(Call(vm.get(), 5, DISPATCH_METHOD, {}, nullptr), kConnectorFailure);
  EXPECT_EQ(lastDescription, L"no session");
}

// ---------------------------------------------------------------- the factory

class FactoryTest : public ComEnv {
 protected:
  void SetUp() override {
    ComEnv::SetUp();
    log = std::make_shared<FakeLog>();
    ASSERT_EQ(CXenFactory::CreateInstance(nullptr, IID_IXenFactory, factory.put_void()), S_OK);
  }
  void UseMaker(int vms, std::string failFill = "") {
    auto l = log;
    CXenFactory::SetSessionMakerForTesting([=](const SessionSettings& s, const std::string& a, const std::string& u,
                                               const std::string& p) {
      seen = {s.GetConnectionMode(), s.GetPort(), s.GetRefreshingDelay()};
      args = {a, u, p};
      auto* session = new FakeSession(l, vms);
      session->failFill = failFill;
      return session;
    });
  }
  static std::pair<std::wstring, std::wstring> TakeError() {
    com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK) return {L"<none>", L"<none>"};
    unique_bstr d, s;
    GUID guid;
    info->GetDescription(d.put());
    info->GetSource(s.put());
    info->GetGUID(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, GUID_NULL));
    return {d ? d.get() : L"", s ? s.get() : L""};
  }
  LONG Mode() {
    XenConnectionMode m;
    EXPECT_EQ(factory->get_ConnectionMode(&m), S_OK);
    return m;
  }
  LONG Port() {
    LONG p = 0;
    EXPECT_EQ(factory->get_Port(&p), S_OK);
    return p;
  }

  std::shared_ptr<FakeLog> log;
  com_ptr<IXenFactory> factory;
  std::vector<LONG> seen;
  std::vector<std::string> args;
};

TEST_F(FactoryTest, SettingsAndTheirDefaults) {
  LONG delay = 0;
  EXPECT_EQ(Mode(), 2);
  EXPECT_EQ(Port(), 6936);
  EXPECT_EQ(factory->get_RefreshingDelay(&delay), S_OK);
  EXPECT_EQ(delay, 5);
  EXPECT_EQ(factory->put_ConnectionMode(static_cast<XenConnectionMode>(0)), E_INVALIDARG);
  EXPECT_EQ(factory->put_ConnectionMode(static_cast<XenConnectionMode>(4)), E_INVALIDARG);
  EXPECT_EQ(Mode(), 2);
  EXPECT_EQ(Port(), 6936);
  EXPECT_EQ(factory->put_ConnectionMode(MODE_XEN4_PROTOCOL), S_OK);
  EXPECT_EQ(Port(), 443);
  EXPECT_EQ(factory->put_ConnectionMode(MODE_AUTODETECT), S_OK);
  EXPECT_EQ(Port(), -1);
  EXPECT_EQ(factory->put_Port(8443), S_OK);
  EXPECT_EQ(factory->put_ConnectionMode(MODE_XEN3_PROTOCOL), S_OK);
  EXPECT_EQ(Port(), 6936);  // setting the mode discards the port set before
  EXPECT_EQ(factory->put_RefreshingDelay(-3), S_OK);
  EXPECT_EQ(factory->get_RefreshingDelay(&delay), S_OK);
  EXPECT_EQ(delay, -3);
  EXPECT_EQ(factory->get_Port(nullptr), E_POINTER);
  EXPECT_EQ(factory->get_ConnectionMode(nullptr), E_POINTER);
}

TEST_F(FactoryTest, CreateSessionHandsTheConvertedArgumentsAndSettingsOn) {
  UseMaker(2);
  factory->put_ConnectionMode(MODE_XEN4_PROTOCOL);
  factory->put_Port(8443);
  factory->put_RefreshingDelay(9);
  const LCID saved = GetThreadLocale();
  SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT));
  unique_bstr a(SysAllocString(L"xen-host")), u(SysAllocString(L"admin")), p(SysAllocString(L"p\u00e4ss"));
  com_ptr<IXenSession> session;
  const HRESULT hr = factory->CreateSession(a.get(), u.get(), p.get(), session.put());
  SetThreadLocale(saved);
  ASSERT_EQ(hr, S_OK);
  ASSERT_TRUE(session);
  EXPECT_EQ(args, (std::vector<std::string>{"xen-host", "admin", "p\xe4ss"}));
  EXPECT_EQ(seen, (std::vector<LONG>{3, 8443, 9}));
  com_ptr<IXenVMList> list;
  LONG count = 0;
  ASSERT_EQ(session->get_VMList(list.put()), S_OK);
  list->get_Count(&count);
  EXPECT_EQ(count, 2);
  // Null strings are empty ones.
  com_ptr<IXenSession> other;
  ASSERT_EQ(factory->CreateSession(nullptr, nullptr, nullptr, other.put()), S_OK);
  EXPECT_EQ(args, (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(factory->CreateSession(nullptr, nullptr, nullptr, nullptr), E_POINTER);
}

TEST_F(FactoryTest, AConnectFailureBecomesErrorInformationOfTheFactory) {
  CXenFactory::SetSessionMakerForTesting(
      [](const SessionSettings&, const std::string&, const std::string&, const std::string&) -> XenSessionImpl* {
        throw std::runtime_error("Wrong user or password");
      });
  IXenSession* so = reinterpret_cast<IXenSession*>(1);
  EXPECT_EQ(factory->CreateSession(nullptr, nullptr, nullptr, &so), kConnectorFailure);
  EXPECT_EQ(so, nullptr);
  const auto e = TakeError();
  EXPECT_EQ(e.first, L"Wrong user or password");
  EXPECT_EQ(e.second, L"Vantrel.XenFactory.1");  // the registered ProgID of the class
}

TEST_F(FactoryTest, AFillingFailureReleasesTheNewSessionAndItsBackEnd) {
  UseMaker(2, "Connection to server lost");
  const LONG locks = VantrelModule().LockCount();
  com_ptr<IXenSession> session;
  EXPECT_EQ(factory->CreateSession(nullptr, nullptr, nullptr, session.put()), kConnectorFailure);
  EXPECT_FALSE(session);
  EXPECT_EQ(TakeError().first, L"Connection to server lost");
  EXPECT_TRUE(log->contains("close"));
  EXPECT_EQ(log->liveSessions, 0);
  EXPECT_EQ(log->liveVms, 0);
  EXPECT_EQ(VantrelModule().LockCount(), locks);  // no object left behind
}

// A back end whose Connect starts a refresh thread that the system cannot create.
class UnstartableSession : public FakeSession {
 public:
  using FakeSession::FakeSession;
  void Connect(const std::string&, const std::string&, const std::string&, int32_t) override {
    struct Idle : RefreshTask {
      bool RunOnce() override { return false; }
    };
    thread_.SetTask(std::make_shared<Idle>());
    RefreshThreadTestPeer::SetStackSize(thread_, RefreshThreadTestPeer::kUnreservableStack);
    thread_.Start();
  }

 private:
  RefreshThread thread_;
};

TEST_F(FactoryTest, ARefreshThreadThatCannotStartFailsCreateSession) {
  auto l = log;
  CXenFactory::SetSessionMakerForTesting([l](const SessionSettings&, const std::string&, const std::string&,
                                             const std::string&) -> XenSessionImpl* {
    auto session = std::make_unique<UnstartableSession>(l, 2);
    session->Connect("", "", "", 0);
    return session.release();
  });
  const int threads = RefreshThread::LiveThreads();
  com_ptr<IXenSession> session;
  EXPECT_EQ(factory->CreateSession(nullptr, nullptr, nullptr, session.put()), kConnectorFailure);
  EXPECT_FALSE(session);
  EXPECT_EQ(TakeError().first, L"Cannot start the refresh thread");
  EXPECT_EQ(log->liveSessions, 0);
  EXPECT_EQ(RefreshThread::LiveThreads(), threads);  // nothing left that would keep the DLL loaded
}

TEST_F(FactoryTest, AnExceptionOutsideTheStandardFamilyDoesNotEscape) {
  CXenFactory::SetSessionMakerForTesting(
      [](const SessionSettings&, const std::string&, const std::string&, const std::string&) -> XenSessionImpl* {
        throw 42;
      });
  com_ptr<IXenSession> session;
  EXPECT_EQ(factory->CreateSession(nullptr, nullptr, nullptr, session.put()), E_UNEXPECTED);
  EXPECT_FALSE(session);
}

TEST_F(FactoryTest, InterfacesAndErrorInfoSupport) {
  EXPECT_TRUE(factory.query<IDispatch>());
  EXPECT_FALSE(factory.query<IXenSession>());
  EXPECT_FALSE(factory.query<IClassFactory>());
  com_ptr<ISupportErrorInfo> sei = factory.query<ISupportErrorInfo>();
  ASSERT_TRUE(sei);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IXenFactory), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IXenSession), S_FALSE);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
}

// ---------------------------------------------------------------- the module
// (The exports of the built DLL, class object and aggregation included, are tested by
// vantrel_client_test.)

class ModuleTest : public ComEnv {};

TEST_F(ModuleTest, CanUnloadOnlyWhenNothingLives) {
  auto log = std::make_shared<FakeLog>();
  CXenFactory::SetSessionMakerForTesting(
      [log](const SessionSettings&, const std::string&, const std::string&, const std::string&) {
        return new FakeSession(log, 2);
      });
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  com_ptr<IXenFactory> f;
  ASSERT_EQ(CXenFactory::CreateInstance(nullptr, IID_IXenFactory, f.put_void()), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  com_ptr<IXenSession> s;
  ASSERT_EQ(f->CreateSession(nullptr, nullptr, nullptr, s.put()), S_OK);
  com_ptr<IXenVMList> list;
  s->get_VMList(list.put());
  com_ptr<IXenVM> vm;
  list->get_Item(1, vm.put());
  com_ptr<IUnknown> e;
  list->get__NewEnum(e.put());
  f.reset();
  s.reset();
  list.reset();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // a VM and the enumerator (with its list)
  e.reset();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the VM
  vm.reset();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  com_ptr<IClassFactory> cf;
  ASSERT_EQ(DllGetClassObject(CLSID_XenFactory, IID_IClassFactory, cf.put_void()), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);  // the class object itself holds no lock
  cf->LockServer(TRUE);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  cf->LockServer(FALSE);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

// What the module keeps between requests goes when it may be unloaded, so that nothing
// is left to release under the loader lock; the next request makes it again.
TEST_F(ModuleTest, CanUnloadNowReleasesTheClassObject) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  com_ptr<IClassFactory> cf;
  ASSERT_EQ(DllGetClassObject(CLSID_XenFactory, IID_IClassFactory, cf.put_void()), S_OK);
  auto refs = [](IUnknown* u) {
    u->AddRef();
    return u->Release();
  };
  const ULONG held = refs(cf.get());  // the module's reference and this test's
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(refs(cf.get()), held - 1);
  com_ptr<IClassFactory> again;
  ASSERT_EQ(DllGetClassObject(CLSID_XenFactory, IID_IClassFactory, again.put_void()), S_OK);
  EXPECT_NE(again.get(), cf.get());
  com_ptr<IXenFactory> f;
  EXPECT_EQ(again->CreateInstance(nullptr, IID_IXenFactory, f.put_void()), S_OK);
}

// A refresh pass that blocks until released.
class BlockingTask : public RefreshTask {
 public:
  bool RunOnce() override {
    std::unique_lock<std::mutex> lock(m_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return released_; });
    return true;
  }
  void WaitEntered() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool entered_ = false, released_ = false;
};

// (That the built library goes once a blocked pass has been ended by the release of the
// last object is FreshProcessTest.ABlockedRefreshPassEndsWithTheLastObjectAndTheLibraryGoes
// of vantrel_unload_test.)
TEST_F(ModuleTest, CanUnloadNowAnswersFalseWhileARefreshPassRuns) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  auto task = std::make_shared<BlockingTask>();
  RefreshThread thread;
  thread.SetTask(task);
  thread.Start();
  task->WaitEntered();
  // No object of the library lives, but a refresh pass still runs its code.
  EXPECT_EQ(VantrelModule().LockCount(), 0);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  thread.ClearRunningFlag();
  task->Release();
  thread.Join();
  // The worker counts itself out as its very last step, just after Join returns.
  HRESULT hr = S_FALSE;
  for (int i = 0; i < 200 && hr != S_OK; ++i) {
    hr = DllCanUnloadNow();
    if (hr != S_OK) Sleep(10);
  }
  EXPECT_EQ(hr, S_OK);
}

}  // namespace
