#include "vantrel_module.h"

#include <winsock2.h>

#include <curl/curl.h>
#include <libxml/parser.h>
#include <openssl/ssl.h>

#include "comkit/registrar.h"
#include "refresh_thread.h"
#include "xenapi.h"

namespace {

CVantrelModule g_module;

HRESULT XenFactoryClassObject(REFIID riid, void** ppv) { return g_module.FactoryCache().Get(riid, ppv); }

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Runs the registration steps with the thread's locale set to the system default.
class SystemLocale {
 public:
  SystemLocale() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
  ~SystemLocale() { SetThreadLocale(saved_); }
  SystemLocale(const SystemLocale&) = delete;
  SystemLocale& operator=(const SystemLocale&) = delete;

 private:
  LCID saved_;
};

}  // namespace

const CVantrelModule::ClassEntry CVantrelModule::kObjectMap[4] = {
    {&CLSID_XenFactory, kXenFactoryScript, &XenFactoryClassObject},
    {&CLSID_XenSession, 0, nullptr},
    {&CLSID_XenVM, 0, nullptr},
    {&CLSID_XenVMList, 0, nullptr},
};

CVantrelModule& VantrelModule() { return g_module; }

HRESULT CVantrelModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const auto& entry : kObjectMap) {
    if (!IsEqualCLSID(clsid, *entry.clsid) || !entry.getClassObject) continue;
    const HRESULT hr = StartLibraries();
    return FAILED(hr) ? hr : entry.getClassObject(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CVantrelModule::CanUnloadNow() {
  // A refresh thread still finishing a pass runs code of this library: never unload
  // under it, even when every object is gone. (A worker that has counted itself out
  // still holds its own reference to the module until it has left, and touches none of
  // the libraries any more.)
  Guard guard(*this);
  if (LockCount() != 0 || RefreshThread::LiveThreads() != 0) return S_FALSE;
  Term();
  StopLibraries();
  return S_OK;
}

HRESULT CVantrelModule::StartLibraries() noexcept {
  Guard guard(*this);
  if (librariesStarted_) return S_OK;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return E_FAIL;
  // OpenSSL first, before libcurl or a TLS context asks it to start with its defaults:
  // no configuration file, wherever one lies (the first start decides for the whole
  // process), and no clean-up of its own at exit, where it would run in DllMain.
  if (!opensslStarted_) {
    opensslStarted_ = OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT |
                                           OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                                       nullptr) == 1;
    if (!opensslStarted_) {
      WSACleanup();
      return E_FAIL;
    }
  }
  xmlInitParser();
  xenapi_global_init();
  if (curl_global_init(0) != CURLE_OK) {
    xenapi_global_cleanup();
    xmlCleanupParser();
    WSACleanup();
    return E_OUTOFMEMORY;
  }
  librariesStarted_ = true;
  return S_OK;
}

void CVantrelModule::StopLibraries() noexcept {
  Guard guard(*this);
  if (!librariesStarted_) return;
  librariesStarted_ = false;
  curl_global_cleanup();
  xenapi_global_cleanup();
  xmlCleanupParser();
  WSACleanup();
}

void CVantrelModule::Unload() noexcept {
  // The other libraries were stopped when DllCanUnloadNow allowed the unload. Were they
  // not (a client freeing the library without asking), they stay as they are: their
  // clean-up frees libraries of its own, which DllMain must not do.
  if (opensslStarted_) OPENSSL_cleanup();
  opensslStarted_ = false;
}

HRESULT CVantrelModule::RegisterServer() {
  SystemLocale locale;
  const std::wstring path = ModulePath();
  const std::wstring appId = GuidText(kVantrelAppId);
  HRESULT hr = comkit::registry::RunScriptResource(Instance(), kAppIdScript, {{L"APPID", appId}}, true);
  if (FAILED(hr)) return hr;
  for (const auto& entry : kObjectMap) {
    if (!entry.registryScript) continue;
    hr = comkit::registry::RunScriptResource(Instance(), entry.registryScript,
                                             {{L"MODULE", path}, {L"APPID", appId}}, true);
    if (FAILED(hr)) return hr;
  }
  return comkit::registry::RegisterTypeLibrary(path);
}

HRESULT CVantrelModule::UnregisterServer() {
  SystemLocale locale;
  const std::wstring path = ModulePath();
  const std::wstring appId = GuidText(kVantrelAppId);
  HRESULT first = S_OK;
  auto note = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  for (const auto& entry : kObjectMap) {
    if (!entry.registryScript) continue;
    note(comkit::registry::RunScriptResource(Instance(), entry.registryScript,
                                             {{L"MODULE", path}, {L"APPID", appId}}, false));
  }
  note(comkit::registry::UnregisterTypeLibrary(path));
  note(comkit::registry::RunScriptResource(Instance(), kAppIdScript, {{L"APPID", appId}}, false));
  return first;
}

void CVantrelModule::Term() noexcept {
  factory_.Reset();
  comkit::ReleaseTypeInfoCache();
}

// ---------------------------------------------------------------- exports

STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return g_module.GetClassObject(rclsid, riid, ppv);
}

STDAPI DllRegisterServer() { return g_module.RegisterServer(); }

STDAPI DllUnregisterServer() { return g_module.UnregisterServer(); }
