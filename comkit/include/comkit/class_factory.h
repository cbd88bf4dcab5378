// The class object of a creatable class. It creates plain objects, or aggregated ones
// when given a controlling outer object (if the class allows it), and turns server
// locks into module locks. The class object itself holds no module lock: the module
// keeps one until DllCanUnloadNow releases it (ClassFactoryCache); ClassOf makes the
// row of a Module's class table.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include <new>
#include <utility>

#include "comkit/module.h"
#include "comkit/resources.h"

namespace comkit {

template <class T>
class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return T::CreateInstance(outer, riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    ModuleBase* m = ModuleBase::Current();
    if (!m) return E_UNEXPECTED;
    if (lock)
      m->Lock();
    else
      m->Unlock();
    return S_OK;
  }

 private:
  LONG refs_ = 1;
};

// One class object, created on the first request under the module's lock and kept
// until Reset (when the library may be unloaded).
template <class T>
class ClassFactoryCache {
 public:
  HRESULT Get(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ModuleBase* m = ModuleBase::Current();
    if (!m) return E_UNEXPECTED;
    com_ptr<IClassFactory> factory;
    {
      ModuleBase::Guard guard(*m);
      if (!factory_) {
        factory_ = new (std::nothrow) ClassFactory<T>;
        if (!factory_) return E_OUTOFMEMORY;
      }
      factory = com_ptr<IClassFactory>(factory_);
    }
    return factory->QueryInterface(riid, ppv);
  }
  void Reset() noexcept {
    IClassFactory* released;
    if (ModuleBase* m = ModuleBase::Current()) {
      ModuleBase::Guard guard(*m);
      released = std::exchange(factory_, nullptr);
    } else {
      released = std::exchange(factory_, nullptr);
    }
    if (released) released->Release();  // outside the lock: it may free the object
  }

 private:
  IClassFactory* factory_ = nullptr;  // the module's reference
};

// The row of a Module's class table for class T: its class object, kept by the module.
template <class T>
ClassEntry ClassOf(const CLSID& clsid, UINT registryScript) noexcept {
  static ClassFactoryCache<T> cache;
  return {&clsid, registryScript, [](REFIID riid, void** ppv) { return cache.Get(riid, ppv); },
          []() noexcept { cache.Reset(); }};
}

}  // namespace comkit
