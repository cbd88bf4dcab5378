// The HTTPS transport of the XenAPI client: one request per new libcurl easy handle (or,
// where the link keeps connections, per thread one handle whose connection is reused),
// the response streamed into the library's result function.
//
// Every request of a session goes through the session's Xen4Link: its certificate policy
// (a CA file, a pinned key, or none), its time limits, and what ends its transfers early
// (Close's abort, the program's cancel, the program's deadline). The link lists the
// sockets of its transfers in flight, so that an abort or a cancel shuts them down and a
// transfer blocked on a silent server ends at once (where the system's wait does not wake
// for a socket shut down, as under Wine, libcurl's progress callback ends it within about
// a second). No request waits without a bound: a connection is given 10 seconds, TCP
// keep-alive finds a peer that has gone, and every request but the power and host
// operations has a total limit.
//
// Beside it: xen4_address.h (the hosts of the URLs), xen4_transfer_text.cpp (the words of
// a failed transfer).
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "xen4_options.h"
#include "xenapi.h"

// What a request is for decides its total limit.
enum class Xen4Request {
  Call,       // a call of the library: 60 s
  Login,      // a login: as a call, but under a deadline it may use the reserve but the
              // last second, so that a session the server makes late is still logged out
  Export,     // a GET of the metrics export: 30 s (under a deadline, a third of the time left)
  Operation,  // a power or host operation: no total limit (keep-alive only)
  Logout,     // the log-out: 10 s (1 s once cancelled), never aborted by Close
};
inline constexpr long kConnectTimeoutMs = 10000;
inline constexpr long kCallLimitMs = 60000;
inline constexpr long kExportLimitMs = 30000;
inline constexpr long kExportMinimumMs = 1000;  // under a deadline, the export's share is no less
inline constexpr long kBoundedRequestMs = 10000;  // the log-out
inline constexpr long kCancelledLogoutMs = 1000;

// A socket as libcurl hands it out (curl_socket_t).
#ifdef _WIN32
using Xen4Socket = std::uintptr_t;
#else
using Xen4Socket = int;
#endif

// What the last request of a thread through a link left behind: libcurl's detailed error
// text (host, port and cause; empty after a success) and the address it connected to.
struct Xen4TransferInfo {
  std::string error;
  std::string primaryIp;
};

// The requests of one session. Shared by the session's threads; it must outlive every
// request made through it (the session's shared state owns it).
class Xen4Link {
 public:
  explicit Xen4Link(Xen4Options options = Xen4Options());
  ~Xen4Link();
  Xen4Link(const Xen4Link&) = delete;
  Xen4Link& operator=(const Xen4Link&) = delete;

  const Xen4Options& Options() const { return options_; }

  // Ends the transfers in flight (at once, see above) and refuses new ones, the log-out
  // excepted (Close); Resume undoes it (a session connected again).
  void Abort();
  void Resume() { aborted_.store(false); }
  bool Aborted() const { return aborted_.load(); }
  // The program has cancelled.
  bool Cancelled() const { return options_.cancel && options_.cancel->Cancelled(); }
  // Whether a login in flight is ended now: once the link is aborted or cancelled, after
  // kCancelledLogoutMs, so that a session the server has made is most likely answered,
  // and then logged out, rather than left on the server.
  bool LoginCutOff() const;
  // A deadline is set and no time for a request is left before it.
  bool PastDeadline() const;

  // The total limit of a request of this kind in milliseconds (0: none), cut so that the
  // log-out still fits before the deadline; negative when no time is left.
  long LimitMs(Xen4Request kind) const;

  // What the calling thread's last request through this link left behind.
  Xen4TransferInfo LastTransfer() const;
  void SetLastTransfer(Xen4TransferInfo info) const;

  // The transport's socket hooks for every request but the log-out: a socket opened for
  // a transfer is listed until it is closed, and none is opened once the link is aborted
  // or cancelled (then the result is Xen4Socket(-1), libcurl's CURL_SOCKET_BAD). A login's
  // socket is passed by until LoginEnded (see LoginCutOff).
  Xen4Socket OpenSocket(int family, int type, int protocol, bool forLogin) const;
  void CloseSocket(Xen4Socket socket) const;
  void LoginEnded() const;  // the calling thread's login

  // With Options().keepConnection: the calling thread's libcurl easy handle (a CURL*),
  // made at its first request and kept, with its connections, until the link goes; null
  // when none could be made. The link keeps none otherwise.
  void* KeptHandle() const;
  // A kept connection between requests: its socket is idle, and Abort and the cancel pass
  // it by (nothing waits on it); Busy marks the calling thread's idle sockets as in use
  // again, before a request that may reuse them.
  void Idle(Xen4Socket socket) const;
  std::vector<Xen4Socket> Busy() const;

 private:
  friend class Xen4Cancel;
  // Shuts the listed sockets down (never closes them: libcurl owns them): a transfer
  // blocked on one of them fails at once.
  void ShutDownSockets() const;

  const Xen4Options options_;
  std::atomic<bool> aborted_{false};
  std::atomic<std::chrono::steady_clock::rep> abortedAt_{0};  // set before aborted_
  // Checked, opened and listed, or unlisted and closed, under the lock, so that an abort
  // either sees a socket or the socket sees the abort, and never touches a closed one.
  mutable std::mutex socketsLock_;
  mutable std::vector<Xen4Socket> sockets_;
  mutable std::map<Xen4Socket, std::thread::id> idle_;  // listed sockets of kept connections
  mutable std::map<Xen4Socket, std::thread::id> logins_;  // listed sockets of logins in flight
  // By thread: the caller's and the refresh thread's (a handful over a session's life).
  mutable std::mutex transfersLock_;
  mutable std::map<std::thread::id, Xen4TransferInfo> transfers_;
  // The kept easy handles by thread (keepConnection).
  mutable std::mutex handlesLock_;
  mutable std::map<std::thread::id, void*> handles_;
};

// The transport handle of a library session: the link and the URL it posts to. It
// must outlive the library session (the session's shared state owns it).
struct Xen4Endpoint {
  const Xen4Link* link = nullptr;  // null: the defaults (no verification, default limits)
  std::string url;
};

// The transport functions; transportHandle is a Xen4Endpoint. Each returns -1 when no
// easy handle could be created, otherwise libcurl's result code (0 on success).
// Calls of the library:
int Xen4Transport(const char* request, size_t length, void* transportHandle, void* resultHandle,
                  xenapi::ResultFunc resultFunc);
// Logins (see Xen4Request::Login):
int Xen4TransportLogin(const char* request, size_t length, void* transportHandle, void* resultHandle,
                       xenapi::ResultFunc resultFunc);
// Power and host operations (no total limit):
int Xen4TransportOperation(const char* request, size_t length, void* transportHandle, void* resultHandle,
                           xenapi::ResultFunc resultFunc);
// The log-out (bounded, never aborted by Close):
int Xen4TransportBounded(const char* request, size_t length, void* transportHandle,
                         void* resultHandle, xenapi::ResultFunc resultFunc);

// One GET of url through link with the given Accept header (the export's limit). Returns
// libcurl's result code (-1: no easy handle); *httpStatus gets the response status and
// *body the response, refused (CURLE_WRITE_ERROR) beyond maxBytes.
int Xen4Get(const Xen4Link* link, const std::string& url, const char* accept, size_t maxBytes,
            long* httpStatus, std::string* body);

// libcurl's write callback: userdata points to the transfer's ResultTarget. Returns the
// byte count when the result function accepts the bytes, 0 (a write error) otherwise.
size_t Xen4Receive(char* data, size_t size, size_t count, void* userdata);

struct Xen4ResultTarget {
  xenapi::ResultFunc func;
  void* handle;
};
