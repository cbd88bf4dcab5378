// What the automation classes of Vantrel share: the interfaces from the type library,
// the type library's identity for dispatch, the connector's failure result.
#pragma once
#include <windows.h>

#include "Vantrel.h"
#include "comkit/object.h"

// The registered type library that answers IDispatch (LIBID, version 1.0, and its own
// locale, tried when the caller's locale is not registered).
inline constexpr comkit::TypeLibRef kVantrelTypeLib{&LIBID_VantrelLib, 1, 0, 0x0409};

// Result of every member that failed on its way to a server: severity error, facility
// ITF, code 0x3000. The thread's error information carries the message.
inline constexpr HRESULT kConnectorFailure = static_cast<HRESULT>(0x80043000UL);
