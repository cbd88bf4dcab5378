// Owners of the platform's resources: BSTR, VARIANT, registry key, GDI object and
// interface pointer. Each has one owner; moving transfers it, copying a com_ptr adds a
// reference. put() releases what is held and returns the address for an out parameter.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <type_traits>
#include <utility>

namespace comkit {

// The owner of one handle that Close frees: empty when null.
template <class H, void (*Close)(H)>
class unique_any {
 public:
  unique_any() = default;
  explicit unique_any(H h) noexcept : h_(h) {}
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  unique_any(unique_any&& other) noexcept : h_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_any() { reset(); }

  H get() const noexcept { return h_; }
  H* put() noexcept {
    reset();
    return &h_;
  }
  H release() noexcept { return std::exchange(h_, nullptr); }
  void reset(H h = nullptr) noexcept {
    if (h_ && h_ != h) Close(h_);
    h_ = h;
  }
  explicit operator bool() const noexcept { return h_ != nullptr; }

 private:
  H h_ = nullptr;
};

namespace detail {
inline void FreeBstr(BSTR s) { SysFreeString(s); }
inline void CloseKey(HKEY k) { RegCloseKey(k); }
// A GDI object must not be selected into a device context when it is deleted.
template <class H>
void DeleteGdiObject(H h) {
  DeleteObject(h);
}
}  // namespace detail

class unique_bstr : public unique_any<BSTR, &detail::FreeBstr> {
 public:
  using unique_any::unique_any;
  UINT length() const noexcept { return SysStringLen(get()); }
};

using unique_hkey = unique_any<HKEY, &detail::CloseKey>;
template <class H>
using unique_gdi = unique_any<H, &detail::DeleteGdiObject<H>>;
using unique_hfont = unique_gdi<HFONT>;

class unique_variant {
 public:
  unique_variant() noexcept { VariantInit(&v_); }
  unique_variant(const unique_variant&) = delete;
  unique_variant& operator=(const unique_variant&) = delete;
  unique_variant(unique_variant&& other) noexcept {
    v_ = other.v_;
    VariantInit(&other.v_);
  }
  unique_variant& operator=(unique_variant&& other) noexcept {
    if (this != &other) {
      reset();
      v_ = other.v_;
      VariantInit(&other.v_);
    }
    return *this;
  }
  ~unique_variant() { reset(); }

  const VARIANT* get() const noexcept { return &v_; }
  VARIANT* get() noexcept { return &v_; }
  VARIANT* put() noexcept {
    reset();
    return &v_;
  }
  VARTYPE vt() const noexcept { return V_VT(&v_); }
  // Moves the value into *out (which must not own anything) and leaves this empty.
  void release_to(VARIANT* out) noexcept {
    *out = v_;
    VariantInit(&v_);
  }
  void reset() noexcept {
    VariantClear(&v_);
    VariantInit(&v_);
  }

 private:
  VARIANT v_;
};

// An interface pointer holding one reference. T is an interface or a class that
// implements IUnknown. It converts implicitly where U* converts to T* (to a base
// interface); any other interface is asked for with query().
template <class T>
class com_ptr {
 public:
  com_ptr() = default;
  com_ptr(std::nullptr_t) noexcept {}
  // Adds a reference to p.
  explicit com_ptr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  com_ptr(const com_ptr& other) noexcept : com_ptr(other.p_) {}
  com_ptr(com_ptr&& other) noexcept : p_(other.detach()) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  com_ptr(const com_ptr<U>& other) noexcept : com_ptr(other.get()) {}
  com_ptr& operator=(const com_ptr& other) noexcept {
    com_ptr(other).swap(*this);
    return *this;
  }
  com_ptr& operator=(com_ptr&& other) noexcept {
    com_ptr(std::move(other)).swap(*this);
    return *this;
  }
  ~com_ptr() { reset(); }

  // Takes over a reference the caller already holds.
  static com_ptr attach(T* p) noexcept {
    com_ptr r;
    r.p_ = p;
    return r;
  }
  T* detach() noexcept { return std::exchange(p_, nullptr); }

  T* get() const noexcept { return p_; }
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void swap(com_ptr& other) noexcept { std::swap(p_, other.p_); }

  // QueryInterface for U; an empty pointer when the object does not offer it.
  template <class U>
  com_ptr<U> query() const noexcept {
    com_ptr<U> r;
    if (p_) p_->QueryInterface(__uuidof(U), r.put_void());
    return r;
  }
  // Hands out one new reference through an out parameter.
  template <class U>
  void copy_to(U** out) const noexcept {
    *out = p_;
    if (p_) p_->AddRef();
  }

 private:
  T* p_ = nullptr;
};

template <class T, class U>
bool operator==(const com_ptr<T>& a, const com_ptr<U>& b) noexcept {
  return a.get() == b.get();
}

}  // namespace comkit
