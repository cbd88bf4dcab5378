// The entry point of Vantrel.dll, apart from the module because of asio's start-up
// object below. Under the loader lock it only remembers the module (comkit::Module).
#include <windows.h>

#include <asio/detail/winsock_init.hpp>

#include "vantrel_module.h"

// asio starts Windows sockets from a static object of every unit that includes it, that
// is inside DllMain. This object, made before all of them, tells asio that the module
// does it itself (CVantrelModule::Start).
__attribute__((init_priority(101))) asio::detail::winsock_init<>::manual g_winsockStartedByTheModule;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  return VantrelModule().DllMain(instance, reason, reserved);
}
