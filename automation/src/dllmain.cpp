// Library start-up and shut-down of Vantrel.dll.
#include <windows.h>

#include <curl/curl.h>
#include <libxml/parser.h>

#include "vantrel_module.h"
#include "xenapi.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      VantrelModule().SetInstance(instance);
      xmlInitParser();
      xenapi_global_init();
      curl_global_init(0);
      return VantrelModule().LockInitFailed() ? FALSE : TRUE;
    case DLL_PROCESS_DETACH:
      // The module's COM objects were released by DllCanUnloadNow, outside the loader
      // lock; only the libraries' own clean-up runs here.
      curl_global_cleanup();
      xenapi_global_cleanup();
      xmlCleanupParser();
      return TRUE;
    default:
      return TRUE;
  }
}
