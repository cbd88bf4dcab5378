// Brenmo.dll's module: the four exports of an in-process server and the library's
// start and end. DllMain only remembers the module; what the library keeps between
// requests goes when DllCanUnloadNow allows the unload.
#include <windows.h>
#include <olectl.h>

#include "Brenmo.h"
#include "comkit/class_factory.h"
#include "comkit/module.h"
#include "comkit/registrar.h"
#include "frmmain.h"
#include "frmvmlist.h"
#include "resource.h"
#include "ui.h"
#include "xencom.h"

namespace {

class BrenmoModule : public comkit::ModuleBase {};

BrenmoModule g_module;
comkit::ClassFactoryCache<brenmo::Xencom> g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module.SetInstance(instance);
    brenmo::SetModuleInstance(instance);
    return g_module.LockInitFailed() ? FALSE : TRUE;
  }
  return TRUE;
}

// With no object alive the library may go: the class object, the cached type
// information and the window classes (which the system does not remove with a library)
// are released here, outside the loader lock. A later request makes them again.
// Both run under the module's lock: a class object is never handed out while it is being
// released.
STDAPI DllCanUnloadNow() {
  comkit::ModuleBase::Guard guard(g_module);
  if (g_module.LockCount() != 0) return S_FALSE;
  g_factory.Reset();
  comkit::ReleaseTypeInfoCache();
  brenmo::FrmMain::UnregisterWindowClass();
  brenmo::FrmVmList::UnregisterWindowClass();
  return S_OK;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_xencom)) return CLASS_E_CLASSNOTAVAILABLE;
  comkit::ModuleBase::Guard guard(g_module);
  return g_factory.Get(riid, ppv);
}

STDAPI DllRegisterServer() {
  const std::wstring path = g_module.ModulePath();
  HRESULT hr = comkit::registry::RunScriptResource(g_module.Instance(), IDR_XENCOM, {{L"MODULE", path}}, true);
  if (SUCCEEDED(hr)) hr = comkit::registry::RegisterTypeLibrary(path);
  return hr;
}

STDAPI DllUnregisterServer() {
  const std::wstring path = g_module.ModulePath();
  const HRESULT classes = comkit::registry::RunScriptResource(g_module.Instance(), IDR_XENCOM, {{L"MODULE", path}},
                                                              false);
  const HRESULT library = comkit::registry::UnregisterTypeLibrary(path);
  return FAILED(classes) ? classes : library;
}
