// Brenmo.dll's module: its one creatable class, xencom (registry script IDR_XENCOM),
// and the four exports of an in-process server (comkit::Module). Nothing starts with the
// first class object; when DllCanUnloadNow allows the unload, the window classes go as
// well, since the system does not remove them with a library.
#include <windows.h>

#include "Brenmo.h"
#include "comkit/class_factory.h"
#include "comkit/module.h"
#include "frmmain.h"
#include "frmvmlist.h"
#include "resource.h"
#include "xencom.h"

namespace {

class BrenmoModule final : public comkit::Module {
 public:
  using Module::Module;

 protected:
  void Stop() noexcept override {
    brenmo::FrmMain::UnregisterWindowClass();
    brenmo::FrmVmList::UnregisterWindowClass();
  }
};

const comkit::ClassEntry kClasses[] = {comkit::ClassOf<brenmo::Xencom>(CLSID_xencom, IDR_XENCOM)};

BrenmoModule g_module(kClasses);

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  return g_module.DllMain(instance, reason, reserved);
}

STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) { return g_module.GetClassObject(clsid, riid, ppv); }

STDAPI DllRegisterServer() { return g_module.RegisterServer(); }

STDAPI DllUnregisterServer() { return g_module.UnregisterServer(); }
