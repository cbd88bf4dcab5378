// Reference-counted automation objects.
//
//   class CThing : public comkit::Object<CThing, comkit::Dispatch<IThing, kLib>,
//                                        comkit::SupportErrorInfo<&IID_IThing>> { ... };
//
// Object implements IUnknown once for all the listed interfaces. Every object has an
// inner, non-delegating IUnknown that owns the reference count, and a controlling
// IUnknown to which the interfaces' IUnknown methods delegate: the inner one for a
// plain object, the outer object's when the object is aggregated (CreateInstance with
// an outer; only classes that declare kAggregatable = true accept one). QueryInterface
// answers IUnknown (the inner unknown), each listed interface, and IDispatch with the
// first listed interface derived from it. Living objects hold one lock on the module.
//
// Reference ownership: Create() returns the only reference in a com_ptr; CreateInstance
// hands the queried interface to the caller. The object deletes itself when the inner
// count reaches zero.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include <new>
#include <type_traits>
#include <utility>

#include "comkit/module.h"
#include "comkit/resources.h"

namespace comkit {

// The interface a listed base stands for: the base itself, or its interface_type when
// it is a mixin that implements part of an interface (Dispatch<I, ...>).
template <class T, class = void>
struct interface_of {
  using type = T;
};
template <class T>
struct interface_of<T, std::void_t<typename T::interface_type>> {
  using type = typename T::interface_type;
};
template <class T>
using interface_of_t = typename interface_of<T>::type;

// The implementation behind an interface pointer that the class hands out (in the
// manner of impl_from_IFoo helpers): only for pointers obtained from Impl itself.
template <class Impl, class Iface>
Impl* impl_from(Iface* iface) noexcept {
  return iface ? static_cast<Impl*>(iface) : nullptr;
}

template <class Derived, class... Bases>
class Object : public Bases... {
 public:
  static constexpr bool kAggregatable = false;

  // IUnknown of every listed interface: delegates to the controlling unknown.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return outer_->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

  // A new plain object with one reference, owned by the result. Throws std::bad_alloc.
  template <class... Args>
  static com_ptr<Derived> Create(Args&&... args) {
    Derived* obj = new Derived(std::forward<Args>(args)...);
    return com_ptr<Derived>::attach(obj);  // the construction reference
  }

  // Creates an object and queries riid from it. With an outer unknown the object is
  // aggregated and riid must be IUnknown (the inner unknown is returned).
  template <class... Args>
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv, Args&&... args) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && (!Derived::kAggregatable || !IsEqualIID(riid, IID_IUnknown))) return CLASS_E_NOAGGREGATION;
    Derived* obj;
    try {
      obj = new Derived(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_UNEXPECTED;
    }
    if (outer) obj->outer_ = outer;
    const HRESULT hr = obj->inner_.QueryInterface(riid, ppv);
    obj->inner_.Release();
    return hr;
  }

  // The non-delegating unknown (what an aggregating outer object holds).
  IUnknown* InnerUnknown() noexcept { return &inner_; }
  // The controlling unknown: the object's identity.
  IUnknown* ControllingUnknown() noexcept { return outer_; }

  // The interface pointer for riid (no reference added), or null. A derived class may
  // hide this with a public function of its own to answer more interfaces.
  void* FindInterface(REFIID riid) noexcept {
    void* found = nullptr;
    ((found = found ? found : Match<Bases>(riid)), ...);
    if (!found && IsEqualIID(riid, IID_IDispatch)) {
      ((found = found ? found : MatchDispatch<Bases>()), ...);
    }
    return found;
  }

 protected:
  Object() : inner_(this), outer_(&inner_) {
    if (ModuleBase* m = ModuleBase::Current()) m->Lock();
  }
  virtual ~Object() {
    if (ModuleBase* m = ModuleBase::Current()) m->Unlock();
  }

 private:
  template <class B>
  void* Match(REFIID riid) noexcept {
    using I = interface_of_t<B>;
    if (!IsEqualIID(riid, __uuidof(I))) return nullptr;
    return static_cast<I*>(static_cast<B*>(this));
  }
  template <class B>
  void* MatchDispatch() noexcept {
    if constexpr (std::is_base_of_v<IDispatch, interface_of_t<B>>) {
      return static_cast<IDispatch*>(static_cast<interface_of_t<B>*>(static_cast<B*>(this)));
    } else {
      return nullptr;
    }
  }

  class Inner final : public IUnknown {
   public:
    explicit Inner(Object* owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      void* p = IsEqualIID(riid, IID_IUnknown) ? static_cast<IUnknown*>(this)
                                               : static_cast<Derived*>(owner_)->FindInterface(riid);
      *ppv = p;
      if (!p) return E_NOINTERFACE;
      static_cast<IUnknown*>(p)->AddRef();
      return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
      const LONG n = InterlockedDecrement(&refs_);
      if (n == 0) delete owner_;
      return static_cast<ULONG>(n);
    }

   private:
    Object* owner_;
    LONG refs_ = 1;  // the construction reference
  };

  Inner inner_;
  IUnknown* outer_;
};

// A dual interface's IDispatch part, answered from the registered type library.
struct TypeLibRef {
  const GUID* libid;
  WORD major;
  WORD minor;
  LCID lcid;  // the library's own locale, tried when the caller's is not registered
};

// Type information of an interface from the type library registered for lib, loaded on
// first use and kept until ReleaseTypeInfoCache. The caller's locale is tried first,
// then the library's own.
HRESULT LoadTypeInfo(const TypeLibRef& lib, REFIID iid, LCID lcid, ITypeInfo** out) noexcept;
// Releases the cached type information (at library unload).
void ReleaseTypeInfoCache() noexcept;

template <class Iface, const TypeLibRef& Lib>
class Dispatch : public Iface {
 public:
  using interface_type = Iface;

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return LoadTypeInfo(Lib, __uuidof(Iface), lcid, info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids) return E_POINTER;
    com_ptr<ITypeInfo> ti;
    HRESULT hr = LoadTypeInfo(Lib, __uuidof(Iface), lcid, ti.put());
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(ti.get(), names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    com_ptr<ITypeInfo> ti;
    HRESULT hr = LoadTypeInfo(Lib, __uuidof(Iface), lcid, ti.put());
    if (FAILED(hr)) return hr;
    hr = ti->Invoke(static_cast<Iface*>(this), id, flags, params, result, excep, argErr);
    // Some controllers call a property get as a method (a script engine's Enumerator
    // asks for the new-enumerator member that way); answer it as the get.
    if (hr == DISP_E_MEMBERNOTFOUND && (flags & DISPATCH_METHOD) && !(flags & DISPATCH_PROPERTYGET))
      hr = ti->Invoke(static_cast<Iface*>(this), id, flags | DISPATCH_PROPERTYGET, params, result, excep, argErr);
    return hr;
  }
};

// ISupportErrorInfo answering S_OK for one interface.
template <const IID* Iid>
class SupportErrorInfo : public ISupportErrorInfo {
 public:
  using interface_type = ISupportErrorInfo;
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualIID(riid, *Iid) ? S_OK : S_FALSE;
  }
};

}  // namespace comkit
