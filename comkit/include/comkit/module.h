// The module of an in-process server: one global object per DLL, constructed before
// DllMain runs.
//
// ModuleBase keeps the lock count (one per living object and per server lock), a
// critical section for one-time creations, and the module handle; a test program that
// links objects without a DLL around them makes one of these.
//
// Module adds what every DLL of ours does the same way: the table of its creatable
// classes with their class objects, registration, and the rules of loading and
// unloading. DllMain only remembers the module handle (the loader lock is held: no
// other library may be called there). The DLL's libraries start (Start) before the
// first class object is handed out, and stop (Stop) when DllCanUnloadNow answers S_OK,
// after the class objects and the cached type information are released. Unloading runs
// at DLL_PROCESS_DETACH only when FreeLibrary unmaps the DLL, never at process exit,
// where the other threads have been killed wherever they were. A DLL's module file
// then holds its class table, its hooks and the four exports forwarding here.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace comkit {

class ModuleBase {
 public:
  ModuleBase();
  virtual ~ModuleBase();
  ModuleBase(const ModuleBase&) = delete;
  ModuleBase& operator=(const ModuleBase&) = delete;

  // The module object of this binary, or null before it is constructed.
  static ModuleBase* Current() noexcept;

  LONG Lock() noexcept { return ++locks_; }
  LONG Unlock() noexcept { return --locks_; }
  LONG LockCount() const noexcept { return locks_.load(); }

  // True when the module's critical section could not be initialised; the library must
  // then refuse to load.
  bool LockInitFailed() const noexcept { return !lockReady_; }

  // The binary holding this code (set from DllMain; by default found from an address).
  HINSTANCE Instance() const noexcept { return instance_; }
  void SetInstance(HINSTANCE instance) noexcept { instance_ = instance; }
  // Full path of the binary.
  std::wstring ModulePath() const;

  // Holds the module's critical section for a scope.
  class Guard {
   public:
    explicit Guard(ModuleBase& m) noexcept : m_(m) { m_.Enter(); }
    ~Guard() { m_.Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    ModuleBase& m_;
  };

 private:
  void Enter() noexcept;
  void Leave() noexcept;

  std::atomic<LONG> locks_{0};
  CRITICAL_SECTION cs_;
  bool lockReady_ = false;
  HINSTANCE instance_ = nullptr;
};

// One creatable class of a DLL (see ClassOf in class_factory.h).
struct ClassEntry {
  const CLSID* clsid;
  UINT registryScript;  // resource "REGISTRY" run for the class; 0: registers nothing
  HRESULT (*getClassObject)(REFIID riid, void** ppv);
  void (*releaseClassObject)() noexcept;
};

// The registration of a DLL besides its classes: an application identifier and its
// registry script (0: none), run before the classes and removed after them.
struct AppIdEntry {
  const GUID* appId = nullptr;
  UINT registryScript = 0;
};

class Module : public ModuleBase {
 public:
  // classes: the DLL's creatable classes (a table that outlives the module).
  template <std::size_t N>
  explicit Module(const ClassEntry (&classes)[N], AppIdEntry appId = {}) noexcept
      : classes_(classes), classCount_(N), appId_(appId) {}

  // The four exports and DllMain forward to these.
  BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept;
  // The class object of a class of the table, after Start; CLASS_E_CLASSNOTAVAILABLE for
  // any other class.
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;
  // S_FALSE while an object lives, a server lock is held or Busy says so; otherwise
  // releases the class objects and the type information, stops the libraries and
  // answers S_OK. A later request makes all of them again.
  HRESULT CanUnloadNow() noexcept;
  // With the thread's locale set to the system default: the application identifier's
  // script, each class's script (%MODULE% the DLL's path, %APPID% the identifier), then
  // the type library; the first failure ends it. Unregistration removes them in the
  // reverse order, goes on after a failure and answers the first.
  HRESULT RegisterServer();
  HRESULT UnregisterServer();

  // Start once, under the module's lock; for a caller that needs the libraries while a
  // client keeps a class object across DllCanUnloadNow's S_OK.
  HRESULT EnsureStarted() noexcept;

 protected:
  // The DLL's libraries: started under the module's lock, S_OK when ready (on a failure
  // nothing may stay started); stopped under it, only after a successful Start.
  virtual HRESULT Start() noexcept { return S_OK; }
  virtual void Stop() noexcept {}
  // True while code of the DLL runs without an object of its own (a worker thread).
  virtual bool Busy() noexcept { return false; }
  // DLL_PROCESS_DETACH by FreeLibrary, under the loader lock.
  virtual void Unloading() noexcept {}

 private:
  const ClassEntry* classes_;
  std::size_t classCount_;
  AppIdEntry appId_;
  bool started_ = false;  // under the module's lock
};

}  // namespace comkit
