// What a program can ask of its XenAPI sessions beyond the connection settings: the
// originator named at login, how the server's certificate is verified, and the time a
// whole check may take. The automation layer uses the defaults.
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Xen4Link;

// The program's cancel of its XenAPI sessions. Cancel may be called from any thread (a
// thread that waits for signals; it takes a lock, so not from a signal handler): the
// requests in flight of every session made with it end at once, later ones are refused,
// and each session logs out (bounded) and fails its call.
class Xen4Cancel {
 public:
  Xen4Cancel() = default;
  Xen4Cancel(const Xen4Cancel&) = delete;
  Xen4Cancel& operator=(const Xen4Cancel&) = delete;

  void Cancel();  // xen4_transport.cpp
  bool Cancelled() const { return cancelled_.load(); }

 private:
  friend class Xen4Link;  // a link enters the list for its life
  std::atomic<bool> cancelled_{false};
  std::atomic<std::chrono::steady_clock::rep> cancelledAt_{0};  // set before cancelled_
  std::mutex lock_;
  std::vector<const Xen4Link*> links_;  // under lock_
};

// The time kept free before a deadline for the log-out: requests end that much earlier.
inline constexpr long kDeadlineReserveMs = 2000;

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
  // Set (not the epoch): every request ends kDeadlineReserveMs before this time, so that
  // the log-out still fits; what is cut off fails with a time-out.
  std::chrono::steady_clock::time_point deadline{};
  // Set: the program's cancel (see Xen4Cancel); null: never cancelled.
  std::shared_ptr<Xen4Cancel> cancel;
  // Non-empty: the session lists only the VM of this name (none where no VM has it), read
  // by name at connect with its figures, which count as the first refresh pass.
  std::string onlyVm;
  // Each thread keeps its connection between requests (one libcurl easy handle per thread
  // and link) where the server keeps it open; otherwise each request has its own.
  bool keepConnection = false;
  // False: a session of one VM (onlyVm) reads of its host only what finds the VM's
  // figures; the host's facts and figures stay unread.
  bool hostFacts = true;
  // False: a session of the whole list (no onlyVm, or a name the server's lookup finds on
  // no guest VM) reads its VMs' states alone, never their metrics or figures, and
  // Connect's reads are its first refresh pass: a check of the host and its count of VMs
  // reads the list once.
  bool listFigures = true;
};
