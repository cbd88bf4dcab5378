#include "comkit/error.h"

#include "comkit/resources.h"
#include "base/text.h"

namespace comkit {

void SetErrorInfo(REFCLSID clsid, const std::wstring& description) noexcept {
  com_ptr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.put()))) return;
  create->SetGUID(GUID_NULL);
  LPOLESTR progId = nullptr;
  if (SUCCEEDED(ProgIDFromCLSID(clsid, &progId)) && progId) {
    create->SetSource(progId);
    CoTaskMemFree(progId);
  }
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  com_ptr<IErrorInfo> info = create.query<IErrorInfo>();
  if (info) ::SetErrorInfo(0, info.get());
}

HRESULT ReportError(REFCLSID clsid, const char* message, HRESULT hr) noexcept {
  try {
    SetErrorInfo(clsid, base::ToWide(message ? message : ""));
  } catch (...) {
    // Out of memory while converting: the result alone must do.
  }
  return hr;
}

}  // namespace comkit
