// The HTTPS transport of the XenAPI client: one POST per request with a new libcurl easy
// handle, the response streamed into the library's result function.
#pragma once
#include <cstddef>

#include "xenapi.h"

// transportHandle is the request URL as NUL-terminated text. Returns -1 when no easy
// handle could be created, otherwise libcurl's result code (0 on success).
int Xen4Transport(const char* request, size_t length, void* transportHandle, void* resultHandle,
                  xenapi::ResultFunc resultFunc);

// libcurl's write callback: userdata points to the transfer's ResultTarget. Returns the
// byte count when the result function accepts the bytes, 0 (a write error) otherwise.
size_t Xen4Receive(char* data, size_t size, size_t count, void* userdata);

struct Xen4ResultTarget {
  xenapi::ResultFunc func;
  void* handle;
};
