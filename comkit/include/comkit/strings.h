// Text at the automation boundary: narrow text in the calling thread's ANSI code page
// inside, BSTR outside. Characters without a mapping become the code page's default.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "comkit/resources.h"

namespace comkit {

// A BSTR argument as narrow text; a null BSTR is the empty text.
std::string ToNarrow(BSTR s);

// A new BSTR holding narrow text (an empty text gives an empty, non-null string).
// Throws std::bad_alloc when out of memory.
unique_bstr ToBstr(const std::string& narrow);
unique_bstr ToBstr(const std::wstring& wide);

// Stores a new BSTR with the text in *out: S_OK, E_POINTER for a null out, or
// E_OUTOFMEMORY (*out is then null).
HRESULT CopyToBstr(const std::string& narrow, BSTR* out) noexcept;

}  // namespace comkit
