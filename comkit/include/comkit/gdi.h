// Owner of a GDI object (a font, brush, pen or bitmap): it deletes the object when it
// goes. One owner; moving transfers it. The object must not be selected into a device
// context when it is deleted.
#pragma once
#include <windows.h>

#include <utility>

namespace comkit {

template <class H>
class unique_gdi {
 public:
  unique_gdi() = default;
  explicit unique_gdi(H h) noexcept : h_(h) {}
  unique_gdi(const unique_gdi&) = delete;
  unique_gdi& operator=(const unique_gdi&) = delete;
  unique_gdi(unique_gdi&& other) noexcept : h_(other.release()) {}
  unique_gdi& operator=(unique_gdi&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_gdi() { reset(); }

  H get() const noexcept { return h_; }
  H release() noexcept { return std::exchange(h_, nullptr); }
  void reset(H h = nullptr) noexcept {
    if (h_ && h_ != h) DeleteObject(h_);
    h_ = h;
  }
  explicit operator bool() const noexcept { return h_ != nullptr; }

 private:
  H h_ = nullptr;
};

using unique_hfont = unique_gdi<HFONT>;

}  // namespace comkit
