#include "vantrel_module.h"

#include "comkit/registrar.h"
#include "refresh_thread.h"

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
    if (IsEqualCLSID(clsid, *entry.clsid) && entry.getClassObject) return entry.getClassObject(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CVantrelModule::CanUnloadNow() {
  // A refresh thread still finishing a pass runs code of this library: never unload
  // under it, even when every object is gone. (A worker that has counted itself out
  // still holds its own reference to the module until it has left.)
  if (LockCount() != 0 || RefreshThread::LiveThreads() != 0) return S_FALSE;
  Term();
  return S_OK;
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
