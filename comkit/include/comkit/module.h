// The module object of an in-process server: one global instance per binary,
// constructed before DllMain runs. It keeps the lock count (one per living object and
// per server lock), a critical section for one-time creations, and the module handle.
#pragma once
#include <windows.h>

#include <atomic>
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

}  // namespace comkit
