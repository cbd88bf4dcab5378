// What the automation classes of Vantrel share: the interfaces from the type library,
// the type library's identity for dispatch, the connector's failure result, and the
// property reads from a held back-end object.
#pragma once
#include <windows.h>

#include <string>

#include "Vantrel.h"
#include "comkit/object.h"
#include "comkit/strings.h"

// The registered type library that answers IDispatch (LIBID, version 1.0, and its own
// locale, tried when the caller's locale is not registered).
inline constexpr comkit::TypeLibRef kVantrelTypeLib{&LIBID_VantrelLib, 1, 0, 0x0409};

// Result of every member that failed on its way to a server: severity error, facility
// ITF, code 0x3000. The thread's error information carries the message.
inline constexpr HRESULT kConnectorFailure = static_cast<HRESULT>(0x80043000UL);

// A number property read from the held back-end object: E_POINTER for a null result,
// E_UNEXPECTED when no back-end object is held.
template <class Held, class Impl, class T, class V>
HRESULT ReadProperty(const Held& impl, T* out, V (Impl::*getter)() const) {
  if (!out) return E_POINTER;
  if (!impl) return E_UNEXPECTED;
  *out = static_cast<T>((impl.get()->*getter)());
  return S_OK;
}

// A text property, as a new BSTR in the thread's ANSI code page (*out null on failure).
template <class Held, class Impl>
HRESULT ReadTextProperty(const Held& impl, BSTR* out, const std::string& (Impl::*getter)() const) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!impl) return E_UNEXPECTED;
  return comkit::CopyToBstr((impl.get()->*getter)(), out);
}
