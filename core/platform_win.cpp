#include "platform.h"

#include <windows.h>
#include <rpc.h>

#include "base/module.h"
#include "base/text.h"

namespace platform {

std::string LibraryDirectory() {
  // Found from this code's own address, so a renamed copy of the library looks next to
  // itself; the path may be longer than MAX_PATH.
  const std::wstring path = base::ModuleFileName(base::ModuleOf(reinterpret_cast<const void*>(&LibraryDirectory)));
  const std::string narrow = base::ToNarrow(path);
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
