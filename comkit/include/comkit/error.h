// The one place where failures thrown inside a member become a COM result with the
// thread's error information.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <exception>
#include <string>

namespace comkit {

// Sets the thread's error information: null GUID, as source the ProgID registered for
// clsid (empty when none is registered), the description, no help file or context.
void SetErrorInfo(REFCLSID clsid, const std::wstring& description) noexcept;

// Reports a failure: error information with the narrow message converted from the
// thread's ANSI code page, and hr as result.
HRESULT ReportError(REFCLSID clsid, const char* message, HRESULT hr) noexcept;

// Runs body; a std::exception thrown by it becomes error information with its what()
// text and the result `failure`. Any other exception is reported the same way with a
// fixed text and E_UNEXPECTED, so that nothing ever unwinds into the caller.
template <class Body>
HRESULT Guard(REFCLSID clsid, HRESULT failure, Body&& body) noexcept {
  try {
    body();
    return S_OK;
  } catch (const std::exception& e) {
    return ReportError(clsid, e.what(), failure);
  } catch (...) {
    return ReportError(clsid, "Unexpected failure", E_UNEXPECTED);
  }
}

}  // namespace comkit
