// A client of Vantrel.dll hosted out of process by the COM surrogate (run by
// surrogate_test.py, which registers the DLL and adds DllSurrogate under its AppID):
// the factory is created as a local server, and properties, methods, an interface
// pointer handed back and a failure's code cross the process boundary through the type
// library's marshaler.
#include <gtest/gtest.h>

#include "Vantrel.h"
#include "comkit/resources.h"
#include "sim_client.h"

namespace {

using comkit::com_ptr;
using comkit::unique_bstr;

TEST(SurrogateTest, FactoryInDllhostAnswersAcrossTheProcessBoundary) {
  if (!simtest::Available()) GTEST_SKIP() << "needs the simulated host";
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    com_ptr<IXenFactory> factory;
    ASSERT_EQ(CoCreateInstance(CLSID_XenFactory, nullptr, CLSCTX_LOCAL_SERVER, IID_IXenFactory, factory.put_void()),
              S_OK);
    EXPECT_EQ(GetModuleHandleW(L"Vantrel.dll"), nullptr) << "the DLL was loaded into the client";

    XenConnectionMode mode = MODE_AUTODETECT;
    LONG port = 0;
    ASSERT_EQ(factory->get_ConnectionMode(&mode), S_OK);
    EXPECT_EQ(mode, MODE_XEN3_PROTOCOL);
    ASSERT_EQ(factory->put_ConnectionMode(MODE_XEN4_PROTOCOL), S_OK);
    ASSERT_EQ(factory->get_Port(&port), S_OK);
    EXPECT_EQ(port, 443);
    EXPECT_EQ(factory->put_ConnectionMode(static_cast<XenConnectionMode>(7)), E_INVALIDARG);

    ASSERT_EQ(factory->put_Port(simtest::FromEnvironment().xenapiPort), S_OK);
    unique_bstr host(SysAllocString(L"127.0.0.1")), user(SysAllocString(L"root"));
    unique_bstr wrong(SysAllocString(L"wrong")), password(SysAllocString(L"xenroot"));
    com_ptr<IXenSession> session;
    // The failure's code crosses; its description does not under Wine, whose channel
    // does not carry error information between processes.
    EXPECT_EQ(factory->CreateSession(host.get(), user.get(), wrong.get(), session.put()),
              static_cast<HRESULT>(0x80043000UL));

    ASSERT_EQ(factory->CreateSession(host.get(), user.get(), password.get(), session.put()), S_OK);
    unique_bstr name;
    ASSERT_EQ(session->get_ServerName(name.put()), S_OK);
    EXPECT_STREQ(name.get(), L"xenhost01");
    com_ptr<IXenVMList> list;
    ASSERT_EQ(session->get_VMList(list.put()), S_OK);
    LONG count = 0;
    ASSERT_EQ(list->get_Count(&count), S_OK);
    EXPECT_GT(count, 0);
    EXPECT_EQ(session->Close(), S_OK);
  }
  CoUninitialize();
}

}  // namespace
