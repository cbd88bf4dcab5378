#include "platform.h"

#include <windows.h>
#include <rpc.h>

namespace platform {

std::string LibraryDirectory() {
  // GetModuleHandle gives NULL when no module of that name is loaded, and the path
  // query then answers with the executable's own path.
  wchar_t path[1024];
  const DWORD n = GetModuleFileNameW(GetModuleHandleW(L"Vantrel.dll"), path, 1024);
  std::string narrow = ToNarrow(std::wstring(path, n));
  const auto cut = narrow.find_last_of('\\');
  return cut == std::string::npos ? std::string() : narrow.substr(0, cut + 1);
}

std::string NewUuid() {
  UUID id;
  UuidCreate(&id);
  RPC_CSTR text = nullptr;
  std::string result;
  if (UuidToStringA(&id, &text) == RPC_S_OK) {
    result = reinterpret_cast<const char*>(text);
    RpcStringFreeA(&text);
  }
  for (auto& c : result)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

std::string ToNarrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring ToWide(const std::string& narrow) {
  if (narrow.empty()) return {};
  const int n = MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), out.data(), n);
  return out;
}

}  // namespace platform
