// What a program can ask of its XenAPI sessions beyond the connection settings: the
// originator named at login, how the server's certificate is verified, and the time a
// whole check may take. The automation layer uses the defaults.
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

struct Xen4Options {
  // Named at login (the 4th parameter), so that the server counts our sessions apart
  // from other clients'. Servers that refuse it get the 3-parameter login.
  std::string originator = "Vantrel";
  // Non-empty: only the certificates of this PEM file are trusted (no system store), and
  // the host name or address is checked against the certificate.
  std::string caFile;
  // Non-empty: "sha256//BASE64", the SHA-256 of the server's public key (SubjectPublicKeyInfo,
  // in Base64), as libcurl's pinning takes it; ';'-separated alternatives allowed.
  std::string pinnedPublicKey;
  // Set (not the epoch): every request ends early enough that the log-out still fits
  // before this time; what is cut off fails with a time-out.
  std::chrono::steady_clock::time_point deadline{};
  // Set to true from any thread (a signal's handler thread): requests in flight are
  // aborted within about a second, the session logs out (bounded) and the call fails.
  std::shared_ptr<std::atomic<bool>> cancel;
};
