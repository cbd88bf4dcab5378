#include "comkit/module.h"

#include "base/module.h"
#include "comkit/object.h"
#include "comkit/registrar.h"

namespace comkit {
namespace {
ModuleBase* g_current = nullptr;
}  // namespace

ModuleBase::ModuleBase() : instance_(base::ModuleOf(&g_current)) {
  lockReady_ = InitializeCriticalSectionEx(&cs_, 0, 0) != FALSE;
  g_current = this;
}

ModuleBase::~ModuleBase() {
  if (g_current == this) g_current = nullptr;
  if (lockReady_) DeleteCriticalSection(&cs_);
}

ModuleBase* ModuleBase::Current() noexcept { return g_current; }

std::wstring ModuleBase::ModulePath() const { return base::ModuleFileName(instance_); }

void ModuleBase::Enter() noexcept {
  if (lockReady_) EnterCriticalSection(&cs_);
}

void ModuleBase::Leave() noexcept {
  if (lockReady_) LeaveCriticalSection(&cs_);
}

namespace {

// %MODULE% and, when the DLL has one, %APPID% in its registry scripts.
registry::Replacements ScriptValues(const std::wstring& path, const GUID* appId) {
  registry::Replacements with{{L"MODULE", path}};
  if (appId) {
    wchar_t text[40] = {};
    StringFromGUID2(*appId, text, 40);
    with[L"APPID"] = text;
  }
  return with;
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

BOOL Module::DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      SetInstance(instance);
      return LockInitFailed() ? FALSE : TRUE;
    case DLL_PROCESS_DETACH:
      if (!reserved) Unloading();  // FreeLibrary, not process exit
      return TRUE;
    default:
      return TRUE;
  }
}

HRESULT Module::EnsureStarted() noexcept {
  Guard guard(*this);
  if (started_) return S_OK;
  const HRESULT hr = Start();
  started_ = SUCCEEDED(hr);
  return hr;
}

HRESULT Module::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (std::size_t i = 0; i < classCount_; ++i) {
    if (!IsEqualCLSID(clsid, *classes_[i].clsid)) continue;
    // Under the lock throughout: no class object is handed out while CanUnloadNow
    // releases it or stops the libraries.
    Guard guard(*this);
    const HRESULT hr = EnsureStarted();
    return FAILED(hr) ? hr : classes_[i].getClassObject(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT Module::CanUnloadNow() noexcept {
  Guard guard(*this);
  if (LockCount() != 0 || Busy()) return S_FALSE;
  for (std::size_t i = 0; i < classCount_; ++i) classes_[i].releaseClassObject();
  ReleaseTypeInfoCache();
  if (started_) Stop();
  started_ = false;
  return S_OK;
}

HRESULT Module::RegisterServer() {
  SystemLocale locale;
  const std::wstring path = ModulePath();
  const registry::Replacements with = ScriptValues(path, appId_.appId);
  HRESULT hr = S_OK;
  if (appId_.registryScript) hr = registry::RunScriptResource(Instance(), appId_.registryScript, with, true);
  for (std::size_t i = 0; i < classCount_ && SUCCEEDED(hr); ++i) {
    if (classes_[i].registryScript)
      hr = registry::RunScriptResource(Instance(), classes_[i].registryScript, with, true);
  }
  return FAILED(hr) ? hr : registry::RegisterTypeLibrary(path);
}

HRESULT Module::UnregisterServer() {
  SystemLocale locale;
  const std::wstring path = ModulePath();
  const registry::Replacements with = ScriptValues(path, appId_.appId);
  HRESULT first = S_OK;
  auto note = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  for (std::size_t i = 0; i < classCount_; ++i) {
    if (classes_[i].registryScript)
      note(registry::RunScriptResource(Instance(), classes_[i].registryScript, with, false));
  }
  note(registry::UnregisterTypeLibrary(path));
  if (appId_.registryScript) note(registry::RunScriptResource(Instance(), appId_.registryScript, with, false));
  return first;
}

}  // namespace comkit
