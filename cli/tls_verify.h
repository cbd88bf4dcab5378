// Verification of a XenAPI host's certificate against a CA or pinned certificate file.
#pragma once
#include <string>

namespace check {

// Opens a TLS connection to host:port and verifies the certificate chain the host shows
// against the certificates in caFile (a CA, or the host's own certificate pinned). Throws
// std::runtime_error with the TLS library's reason when the file does not load, the host
// cannot be reached, or the certificate does not verify.
void VerifyServerCertificate(const std::string& host, int port, const std::string& caFile);

}  // namespace check
