// CVantrelModule: the module object of Vantrel.dll. It knows the type library, the
// application identifier with its registry script (resource 101) and the object map:
// the four classes, of which only XenFactory has a class object and a registry script
// (resource 102).
#pragma once
#include <windows.h>

#include "comkit/class_factory.h"
#include "comkit/module.h"
#include "xen_factory.h"

// {7804C496-5DB9-4A54-84E6-9E839B897F5D}
inline constexpr GUID kVantrelAppId = {0x7804c496, 0x5db9, 0x4a54, {0x84, 0xe6, 0x9e, 0x83, 0x9b, 0x89, 0x7f, 0x5d}};
inline constexpr UINT kAppIdScript = 101;
inline constexpr UINT kXenFactoryScript = 102;

class CVantrelModule : public comkit::ModuleBase {
 public:
  struct ClassEntry {
    const CLSID* clsid;
    UINT registryScript;  // 0: registers nothing
    HRESULT (*getClassObject)(REFIID riid, void** ppv);
  };
  static const ClassEntry kObjectMap[4];

  // Starts the libraries (StartLibraries) before it hands out the first class object.
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
  // S_OK when no object of this library lives, no server lock is held and no refresh
  // thread runs; otherwise S_FALSE. Before it answers S_OK it releases what the module
  // keeps (Term) and stops the libraries (StopLibraries): here, and not in DllMain,
  // where no other library may be called.
  HRESULT CanUnloadNow();
  HRESULT RegisterServer();
  HRESULT UnregisterServer();
  // Releases what the module keeps between requests (class object, type information);
  // a later request makes them again.
  void Term() noexcept;

  // The libraries' global start-up, once, under the module's lock, and never inside
  // DllMain: Windows sockets, OpenSSL (reading no configuration file and leaving its
  // clean-up to Unload), libxml2, the XenAPI library and libcurl. S_OK when they are
  // ready; on a failure nothing stays started.
  HRESULT StartLibraries() noexcept;
  // Their clean-up in the reverse order, all but OpenSSL's, which could not start again
  // in this mapping of the library. A later StartLibraries starts them again.
  void StopLibraries() noexcept;
  // Called when the library is unmapped by FreeLibrary (never at process exit, when
  // other threads have been killed wherever they were): OpenSSL's clean-up.
  void Unload() noexcept;

  comkit::ClassFactoryCache<CXenFactory>& FactoryCache() noexcept { return factory_; }

 private:
  comkit::ClassFactoryCache<CXenFactory> factory_;
  bool librariesStarted_ = false;  // under the module's lock
  bool opensslStarted_ = false;
};

CVantrelModule& VantrelModule();
