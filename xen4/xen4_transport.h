// The HTTPS transport of the XenAPI client: one POST per request with a new libcurl easy
// handle, the response streamed into the library's result function.
#pragma once
#include <cstddef>
#include <string>

#include "xenapi.h"

// transportHandle is the request URL as NUL-terminated text. Returns -1 when no easy
// handle could be created, otherwise libcurl's result code (0 on success).
int Xen4Transport(const char* request, size_t length, void* transportHandle, void* resultHandle,
                  xenapi::ResultFunc resultFunc);

// The same POST, given up after timeoutMs milliseconds in all (CURLE_OPERATION_TIMEDOUT):
// for the log-out at Close, which must not wait on a server that hangs.
int Xen4TransportBounded(const char* request, size_t length, void* transportHandle,
                         void* resultHandle, xenapi::ResultFunc resultFunc);
inline constexpr long kBoundedRequestMs = 10000;

// One GET of url with the given Accept header, on the same certificate policy. Returns
// libcurl's result code (-1: no easy handle); *httpStatus gets the response status and
// *body the response, refused (CURLE_WRITE_ERROR) beyond maxBytes.
int Xen4Get(const std::string& url, const char* accept, size_t maxBytes, long* httpStatus,
            std::string* body);

// From now on every request of the process verifies the server's certificate chain
// against the PEM certificates in caFile (a CA, or the server's own certificate pinned);
// an empty text restores the default, no verification. The connector library never calls
// it; the native monitoring command does for its --ca-file.
void Xen4TrustCertificatesFrom(const std::string& caFile);

// libcurl's write callback: userdata points to the transfer's ResultTarget. Returns the
// byte count when the result function accepts the bytes, 0 (a write error) otherwise.
size_t Xen4Receive(char* data, size_t size, size_t count, void* userdata);

struct Xen4ResultTarget {
  xenapi::ResultFunc func;
  void* handle;
};
