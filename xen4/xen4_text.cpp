#include "xen4_text.h"

#ifdef _WIN32
#include <windows.h>

#include "base/text.h"

std::string Utf8FromNarrow(const std::string& narrow) {
  const std::wstring wide = base::ToWide(narrow);
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

std::string NarrowFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  // Bytes that are not UTF-8 become U+FFFD, then the code page's default character.
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return base::ToNarrow(wide);
}

#else

std::string Utf8FromNarrow(const std::string& narrow) { return narrow; }
std::string NarrowFromUtf8(const std::string& utf8) { return utf8; }

#endif
