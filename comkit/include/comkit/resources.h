// Owners of the platform's resources: BSTR, VARIANT, registry key and interface
// pointer. Each has one owner; moving transfers it, copying a com_ptr adds a reference.
// put() releases what is held and returns the address for an out parameter.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <type_traits>
#include <utility>

namespace comkit {

class unique_bstr {
 public:
  unique_bstr() = default;
  explicit unique_bstr(BSTR s) noexcept : s_(s) {}
  unique_bstr(const unique_bstr&) = delete;
  unique_bstr& operator=(const unique_bstr&) = delete;
  unique_bstr(unique_bstr&& other) noexcept : s_(other.release()) {}
  unique_bstr& operator=(unique_bstr&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_bstr() { reset(); }

  BSTR get() const noexcept { return s_; }
  BSTR* put() noexcept {
    reset();
    return &s_;
  }
  BSTR release() noexcept { return std::exchange(s_, nullptr); }
  void reset(BSTR s = nullptr) noexcept {
    if (s_ && s_ != s) SysFreeString(s_);
    s_ = s;
  }
  UINT length() const noexcept { return SysStringLen(s_); }
  explicit operator bool() const noexcept { return s_ != nullptr; }

 private:
  BSTR s_ = nullptr;
};

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

class unique_hkey {
 public:
  unique_hkey() = default;
  explicit unique_hkey(HKEY k) noexcept : k_(k) {}
  unique_hkey(const unique_hkey&) = delete;
  unique_hkey& operator=(const unique_hkey&) = delete;
  unique_hkey(unique_hkey&& other) noexcept : k_(other.release()) {}
  unique_hkey& operator=(unique_hkey&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_hkey() { reset(); }

  HKEY get() const noexcept { return k_; }
  HKEY* put() noexcept {
    reset();
    return &k_;
  }
  HKEY release() noexcept { return std::exchange(k_, nullptr); }
  void reset(HKEY k = nullptr) noexcept {
    if (k_ && k_ != k) RegCloseKey(k_);
    k_ = k;
  }
  explicit operator bool() const noexcept { return k_ != nullptr; }

 private:
  HKEY k_ = nullptr;
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
