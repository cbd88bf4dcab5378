#include "comkit/strings.h"

#include <new>

#include "base/text.h"

namespace comkit {

std::string ToNarrow(BSTR s) {
  if (!s) return {};
  return base::ToNarrow(std::wstring(s, SysStringLen(s)));
}

unique_bstr ToBstr(const std::wstring& wide) {
  unique_bstr b(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
  if (!b) throw std::bad_alloc();
  return b;
}

unique_bstr ToBstr(const std::string& narrow) { return ToBstr(base::ToWide(narrow)); }

HRESULT CopyToBstr(const std::string& narrow, BSTR* out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    *out = ToBstr(narrow).release();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace comkit
