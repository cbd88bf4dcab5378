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

}  // namespace platform
