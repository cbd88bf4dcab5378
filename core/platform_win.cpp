#include "platform.h"

#include <windows.h>
#include <rpc.h>

#include "base/module.h"
#include "base/text.h"

namespace platform {

std::string LibraryDirectory() {
  // Found from this code's own address, so a renamed copy of the library looks next to
  // itself; the path may be longer than MAX_PATH.
  return base::ToNarrow(base::ModuleDirectory(base::ThisModule()));
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
