#include "variant_text.h"

#include "comkit/resources.h"
#include "vantrel_client.h"

namespace brenmo {

std::wstring VariantText(const VARIANT& value) {
  const VARIANT* v = &value;
  while (V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  if (V_VT(v) == VT_EMPTY) return std::wstring();
  if (V_VT(v) == VT_NULL) throw CallError{DISP_E_TYPEMISMATCH, L"Invalid use of Null"};
  if (V_VT(v) == VT_BSTR) return V_BSTR(v) ? std::wstring(V_BSTR(v), SysStringLen(V_BSTR(v))) : std::wstring();
  comkit::unique_variant text;
  const HRESULT hr = VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(v), LOCALE_USER_DEFAULT, 0, VT_BSTR);
  if (FAILED(hr) || text.vt() != VT_BSTR) {
    if (hr == DISP_E_OVERFLOW) throw CallError{hr, L"Overflow"};
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_BADVARTYPE || SUCCEEDED(hr)) {
      throw CallError{DISP_E_TYPEMISMATCH, L"Type mismatch"};
    }
    throw CallError{hr, FailureDescription(hr)};
  }
  BSTR s = V_BSTR(text.get());
  return s ? std::wstring(s, SysStringLen(s)) : std::wstring();
}

bool VariantIsBlank(const VARIANT& value) {
  const VARIANT* v = &value;
  while (V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
  if (V_VT(v) == VT_EMPTY || V_VT(v) == VT_NULL) return true;
  if (V_VT(v) == VT_BSTR) return !V_BSTR(v) || SysStringLen(V_BSTR(v)) == 0;
  return false;
}

}  // namespace brenmo
