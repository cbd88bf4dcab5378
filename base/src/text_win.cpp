#include "base/text.h"

#include <windows.h>

namespace base {

namespace {

std::string FromWide(UINT codePage, const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

std::wstring ToWideFrom(UINT codePage, const std::string& narrow) {
  if (narrow.empty()) return {};
  const int n = MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(codePage, 0, narrow.data(), static_cast<int>(narrow.size()), out.data(), n);
  return out;
}

}  // namespace

std::string ToNarrow(const std::wstring& wide) { return FromWide(CP_THREAD_ACP, wide); }
std::wstring ToWide(const std::string& narrow) { return ToWideFrom(CP_THREAD_ACP, narrow); }
std::string ToUtf8(const std::wstring& wide) { return FromWide(CP_UTF8, wide); }
std::wstring FromUtf8(const std::string& utf8) { return ToWideFrom(CP_UTF8, utf8); }

}  // namespace base
