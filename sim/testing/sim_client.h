// Test-side access to the simulated Xen host started by sim/xensim.py: its ports, its
// certificate directory, and its control port (one JSON object per line each way).
// Portable: used by native tests and by Windows tests running under Wine.
#pragma once
#include <string>
#include <vector>

namespace simtest {

struct SimHost {
  int xenapiPort = 0;
  int xen3Port = 0;
  int controlPort = 0;
  std::string certs;  // directory with ca.pem, xencert.pem, certChain.pem, key.pem
};

// Reads VANTREL_SIM_* from the environment; available() is false when the test does
// not run under sim/xensim.py.
bool Available();
SimHost FromEnvironment();

// Sends one control line (a JSON object) and returns the reply line. Throws
// std::runtime_error when the control port cannot be reached.
std::string Control(const std::string& jsonLine);

// True when the reply line reports {"ok": true}.
bool ReplyOk(const std::string& reply);

// Decodes standard Base64 (the control port's encoding of raw bytes); padding and
// characters outside the alphabet are skipped.
std::string Base64Decode(const std::string& text);

// The raw bytes of every request the simulated xen3 agent recorded since its last
// "clear_requests", in order.
std::vector<std::string> Xen3RecordedRequests();

// Copies xencert.pem, certChain.pem and key.pem from the certificate directory into
// dir (which must end with a separator or be empty for the current directory).
void CopyClientCertificates(const std::string& dir);

}  // namespace simtest
