// The entry point of Vantrel.dll. Under the loader lock it only remembers the module:
// the libraries start before the first class object is handed out and stop when
// DllCanUnloadNow allows the unload (CVantrelModule), and at process exit nothing is
// released, since the other threads have been killed wherever they were.
#include <windows.h>

#include <asio/detail/winsock_init.hpp>

#include "vantrel_module.h"

// asio starts Windows sockets from a static object of every unit that includes it, that
// is inside DllMain. This object, made before all of them, tells asio that the module
// does it itself (CVantrelModule::StartLibraries).
__attribute__((init_priority(101))) asio::detail::winsock_init<>::manual g_winsockStartedByTheModule;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      VantrelModule().SetInstance(instance);
      return VantrelModule().LockInitFailed() ? FALSE : TRUE;
    case DLL_PROCESS_DETACH:
      if (!reserved) VantrelModule().Unload();  // FreeLibrary, not process exit
      return TRUE;
    default:
      return TRUE;
  }
}
