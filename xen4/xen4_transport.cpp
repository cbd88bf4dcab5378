#include "xen4_transport.h"

#include <curl/curl.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "xen4_transfer_text.h"

size_t Xen4Receive(char* data, size_t size, size_t count, void* userdata) {
  const size_t n = size * count;
  const auto* target = static_cast<const Xen4ResultTarget*>(userdata);
  return target->func(data, n, target->handle) ? n : 0;
}

void Xen4Cancel::Cancel() {
  if (!cancelled_.load()) cancelledAt_.store(std::chrono::steady_clock::now().time_since_epoch().count());
  cancelled_.store(true);
  std::lock_guard<std::mutex> guard(lock_);
  for (const Xen4Link* link : links_) link->ShutDownSockets();
}

Xen4Link::Xen4Link(Xen4Options options) : options_(std::move(options)) {
  if (!options_.cancel) return;
  std::lock_guard<std::mutex> guard(options_.cancel->lock_);
  options_.cancel->links_.push_back(this);
}

Xen4Link::~Xen4Link() {
  // First the kept handles: closing their connections unlists their sockets.
  for (auto& kv : handles_) curl_easy_cleanup(static_cast<CURL*>(kv.second));
  handles_.clear();
  if (!options_.cancel) return;
  std::lock_guard<std::mutex> guard(options_.cancel->lock_);
  auto& links = options_.cancel->links_;
  links.erase(std::remove(links.begin(), links.end(), this), links.end());
}

void Xen4Link::Abort() {
  if (!aborted_.load()) abortedAt_.store(std::chrono::steady_clock::now().time_since_epoch().count());
  aborted_.store(true);
  ShutDownSockets();
}

bool Xen4Link::LoginCutOff() const {
  using Clock = std::chrono::steady_clock;
  Clock::rep since = 0;
  if (Aborted()) since = abortedAt_.load();
  if (Cancelled()) {
    const Clock::rep at = options_.cancel->cancelledAt_.load();
    since = since == 0 ? at : std::min(since, at);
  }
  if (since == 0) return false;
  return Clock::now() - Clock::time_point(Clock::duration(since)) >= std::chrono::milliseconds(kCancelledLogoutMs);
}

void Xen4Link::ShutDownSockets() const {
  std::lock_guard<std::mutex> guard(socketsLock_);
  for (const Xen4Socket s : sockets_) {
    if (idle_.count(s) || logins_.count(s)) continue;
#ifdef _WIN32
    shutdown(static_cast<SOCKET>(s), SD_BOTH);
#else
    shutdown(s, SHUT_RDWR);
#endif
  }
}

Xen4Socket Xen4Link::OpenSocket(int family, int type, int protocol, bool forLogin) const {
  std::lock_guard<std::mutex> guard(socketsLock_);
  // The flags are set before the list is shut down: a socket opened after that sees them.
  if (Aborted() || Cancelled()) return static_cast<Xen4Socket>(-1);
#ifdef _WIN32
  const SOCKET s = socket(family, type, protocol);
  if (s == INVALID_SOCKET) return static_cast<Xen4Socket>(-1);
#else
#ifdef SOCK_CLOEXEC
  type |= SOCK_CLOEXEC;  // never inherited by a program the host process starts
#endif
  const int s = socket(family, type, protocol);
  if (s < 0) return -1;
#endif
  sockets_.push_back(static_cast<Xen4Socket>(s));
  if (forLogin) logins_[static_cast<Xen4Socket>(s)] = std::this_thread::get_id();
  return static_cast<Xen4Socket>(s);
}

void Xen4Link::LoginEnded() const {
  std::lock_guard<std::mutex> guard(socketsLock_);
  for (auto it = logins_.begin(); it != logins_.end();)
    it = it->second == std::this_thread::get_id() ? logins_.erase(it) : std::next(it);
}

void Xen4Link::CloseSocket(Xen4Socket s) const {
  std::lock_guard<std::mutex> guard(socketsLock_);
  sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), s), sockets_.end());
  idle_.erase(s);
  logins_.erase(s);
#ifdef _WIN32
  closesocket(static_cast<SOCKET>(s));
#else
  close(s);
#endif
}

Xen4TransferInfo Xen4Link::LastTransfer() const {
  std::lock_guard<std::mutex> guard(transfersLock_);
  const auto it = transfers_.find(std::this_thread::get_id());
  return it == transfers_.end() ? Xen4TransferInfo() : it->second;
}

void Xen4Link::SetLastTransfer(Xen4TransferInfo info) const {
  std::lock_guard<std::mutex> guard(transfersLock_);
  if (transfers_.size() > 32) transfers_.clear();  // threads long gone
  transfers_[std::this_thread::get_id()] = std::move(info);
}

void* Xen4Link::KeptHandle() const {
  if (!options_.keepConnection) return nullptr;
  std::lock_guard<std::mutex> guard(handlesLock_);
  void*& handle = handles_[std::this_thread::get_id()];
  if (!handle) handle = curl_easy_init();
  return handle;
}

void Xen4Link::Idle(Xen4Socket socket) const {
  std::lock_guard<std::mutex> guard(socketsLock_);
  if (std::find(sockets_.begin(), sockets_.end(), socket) != sockets_.end())
    idle_[socket] = std::this_thread::get_id();
}

std::vector<Xen4Socket> Xen4Link::Busy() const {
  std::lock_guard<std::mutex> guard(socketsLock_);
  std::vector<Xen4Socket> were;
  for (auto it = idle_.begin(); it != idle_.end();) {
    if (it->second != std::this_thread::get_id()) {
      ++it;
      continue;
    }
    were.push_back(it->first);
    it = idle_.erase(it);
  }
  return were;
}

bool Xen4Link::PastDeadline() const { return LimitMs(Xen4Request::Call) < 0; }

long Xen4Link::LimitMs(Xen4Request kind) const {
  long limit = 0;
  switch (kind) {
    case Xen4Request::Call:
    case Xen4Request::Login: limit = kCallLimitMs; break;
    case Xen4Request::Export: limit = kExportLimitMs; break;
    case Xen4Request::Operation: limit = 0; break;
    case Xen4Request::Logout: limit = Cancelled() ? kCancelledLogoutMs : kBoundedRequestMs; break;
  }
  if (options_.deadline == std::chrono::steady_clock::time_point{}) return limit;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(options_.deadline -
                                                                          std::chrono::steady_clock::now())
                        .count();
  if (kind == Xen4Request::Logout) {
    // The reserve before the deadline is the log-out's; past it, a last short attempt.
    const long room = static_cast<long>(std::max<long long>(left, kCancelledLogoutMs));
    return std::min(limit, room);
  }
  long long room = left - (kind == Xen4Request::Login ? kCancelledLogoutMs : kDeadlineReserveMs);
  if (room <= 0) return -1;
  // A hung export must not take all the time a check has: the figures of the records
  // and calls can still stand in for it.
  if (kind == Xen4Request::Export) room = std::max<long long>(room / 3, std::min<long long>(room, kExportMinimumMs));
  return limit == 0 ? static_cast<long>(room) : static_cast<long>(std::min<long long>(limit, room));
}

namespace {

// The certificate policy of a request: the link's CA file (alone: no system store) with
// the host name checked, and/or its pinned public key; without either, no verification.
void ApplyCertificatePolicy(CURL* curl, const Xen4Link* link) {
  const std::string& caFile = link->Options().caFile;
  const std::string& pin = link->Options().pinnedPublicKey;
  if (!caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());  // libcurl copies the text
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, 0L);  // no native CA store
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  }
  if (!pin.empty()) {
    curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
    if (caFile.empty()) {
      // The self-signed certificates of these hosts are pinned, not verified.
      curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
  }
  if (!caFile.empty() || !pin.empty()) return;
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
}

struct Progress {
  const Xen4Link* link;
  Xen4Request kind;
};

// The link's socket hooks (opening: clientp the request's Progress, which lives as long as
// the transfer; closing, which may come as late as the kept handle's clean-up: the link).
curl_socket_t OnOpenSocket(void* clientp, curlsocktype, curl_sockaddr* address) {
  const auto* p = static_cast<const Progress*>(clientp);
  return static_cast<curl_socket_t>(p->link->OpenSocket(address->family, address->socktype, address->protocol,
                                                        p->kind == Xen4Request::Login));
}

int OnCloseSocket(void* clientp, curl_socket_t s) {
  static_cast<const Xen4Link*>(clientp)->CloseSocket(static_cast<Xen4Socket>(s));
  return 0;
}

// Called by libcurl about once a second while a transfer waits, and whenever data moves:
// a set abort or cancel ends a transfer that has no socket to shut down yet (a name being
// resolved), or whose wait a shut-down socket does not wake; a login only once it is cut
// off. The log-out ignores both.
int OnProgress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* p = static_cast<const Progress*>(clientp);
  if (p->kind == Xen4Request::Logout) return 0;
  if (p->kind == Xen4Request::Login) return p->link->LoginCutOff() ? 1 : 0;
  return p->link->Aborted() || p->link->Cancelled() ? 1 : 0;
}

// Runs the transfer prepared on curl with the limits, keep-alive and certificate policy
// of link, and records what it left behind for the link's LastTransfer.
int Perform(CURL* curl, const Xen4Link* link, Xen4Request kind) {
  Xen4TransferInfo info;
  static const Xen4Link kDefaults;
  if (!link) link = &kDefaults;
  const bool kept = link->Options().keepConnection;
  // A request that may reuse the thread's kept connection makes it abortable again first
  // (then the abort is seen below or shuts it down); the log-out leaves it idle, so that
  // nothing ends it, and closes it after.
  std::vector<Xen4Socket> wereIdle;
  if (kept && kind != Xen4Request::Logout) wereIdle = link->Busy();
  const long limit = link->LimitMs(kind);
  if (kind != Xen4Request::Logout && (link->Aborted() || link->Cancelled())) {
    info.error = link->Cancelled() ? "cancelled before the request was sent" : "the session is closing";
    link->SetLastTransfer(std::move(info));
    return CURLE_ABORTED_BY_CALLBACK;
  }
  if (limit < 0) {
    info.error = "no time left before the deadline";
    link->SetLastTransfer(std::move(info));
    return CURLE_OPERATION_TIMEDOUT;
  }
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  Progress progress{link, kind};
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limit > 0 ? std::min(limit, kConnectTimeoutMs) : kConnectTimeoutMs);
  if (limit > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limit);
  // Hosts are reached directly: a proxy named in the environment (https_proxy, all_proxy)
  // would otherwise see every request, the password among them.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, 30L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, 10L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &progress);
  if (kind == Xen4Request::Logout && kept) curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  if (kind == Xen4Request::Login && kept) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  if (kind != Xen4Request::Logout) {
    // Listed for Abort and the cancel; the link outlives the handle, which may close its
    // socket as late as curl_easy_cleanup.
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &OnOpenSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &progress);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, &OnCloseSocket);
    curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, const_cast<Xen4Link*>(link));
  }
  ApplyCertificatePolicy(curl, link);
  CURLcode code = curl_easy_perform(curl);
  if (kind == Xen4Request::Login) link->LoginEnded();  // its kept connection is one like any
  curl_socket_t keptSocket = CURL_SOCKET_BAD;
  if (kept && kind != Xen4Request::Logout && code == CURLE_OK &&
      curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &keptSocket) == CURLE_OK && keptSocket != CURL_SOCKET_BAD)
    link->Idle(static_cast<Xen4Socket>(keptSocket));
  for (const Xen4Socket other : wereIdle)
    if (other != static_cast<Xen4Socket>(keptSocket)) link->Idle(other);  // still listed: not used
  char* ip = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip) info.primaryIp = ip;
  // However the transfer noticed (a socket shut down, a socket refused, the progress
  // callback), an abort or a cancel is reported as such.
  if (code != CURLE_OK && kind != Xen4Request::Logout && (link->Aborted() || link->Cancelled()))
    code = CURLE_ABORTED_BY_CALLBACK;
  if (code != CURLE_OK) {
    if (code == CURLE_ABORTED_BY_CALLBACK && link->Cancelled()) {
      info.error = "cancelled";
    } else if (code == CURLE_ABORTED_BY_CALLBACK && link->Aborted()) {
      info.error = "the session is closing";
    } else {
      info.error = WithoutElapsedTime(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
      // libcurl ends some texts with a line break.
      while (!info.error.empty() && (info.error.back() == '\n' || info.error.back() == '\r')) info.error.pop_back();
      long osError = 0;
      if (code == CURLE_COULDNT_CONNECT && curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError) == CURLE_OK)
        info.error = WithSystemReason(std::move(info.error), code, osError);
    }
  }
  link->SetLastTransfer(std::move(info));
  return static_cast<int>(code);
}

// The easy handle of one request: the link's kept one of this thread (reset, its
// connections kept) or a new one, cleaned up after the request.
struct EasyHandle {
  explicit EasyHandle(const Xen4Link* link)
      : kept(link && link->Options().keepConnection),
        curl(kept ? static_cast<CURL*>(link->KeptHandle()) : curl_easy_init()) {
    if (kept && curl) curl_easy_reset(curl);
  }
  ~EasyHandle() { Release(); }
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;
  // A kept handle forgets what pointed into the request (buffers, callbacks' data).
  void Release() {
    if (!curl) return;
    if (kept)
      curl_easy_reset(curl);
    else
      curl_easy_cleanup(curl);
    curl = nullptr;
  }
  const bool kept;
  CURL* curl;
};

int Post(const char* request, size_t length, void* transportHandle, void* resultHandle,
         xenapi::ResultFunc resultFunc, Xen4Request kind) {
  const auto* endpoint = static_cast<const Xen4Endpoint*>(transportHandle);
  EasyHandle easy(endpoint->link);
  CURL* curl = easy.curl;
  if (!curl) return -1;
  Xen4ResultTarget target{resultFunc, resultHandle};
  // No extra header and no proxy setting: the server is reached directly.
  curl_easy_setopt(curl, CURLOPT_URL, endpoint->url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Xen4Receive);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(length));
  return Perform(curl, endpoint->link, kind);
}

struct GetTarget {
  std::string* body;
  size_t maxBytes;
};

size_t GetReceive(char* data, size_t size, size_t count, void* userdata) {
  const size_t n = size * count;
  auto* target = static_cast<GetTarget*>(userdata);
  if (n > target->maxBytes - target->body->size()) return 0;
  target->body->append(data, n);
  return n;
}

}  // namespace


int Xen4Transport(const char* request, size_t length, void* transportHandle, void* resultHandle,
                  xenapi::ResultFunc resultFunc) {
  return Post(request, length, transportHandle, resultHandle, resultFunc, Xen4Request::Call);
}

int Xen4TransportLogin(const char* request, size_t length, void* transportHandle, void* resultHandle,
                       xenapi::ResultFunc resultFunc) {
  return Post(request, length, transportHandle, resultHandle, resultFunc, Xen4Request::Login);
}

int Xen4TransportOperation(const char* request, size_t length, void* transportHandle, void* resultHandle,
                           xenapi::ResultFunc resultFunc) {
  return Post(request, length, transportHandle, resultHandle, resultFunc, Xen4Request::Operation);
}

int Xen4TransportBounded(const char* request, size_t length, void* transportHandle,
                         void* resultHandle, xenapi::ResultFunc resultFunc) {
  return Post(request, length, transportHandle, resultHandle, resultFunc, Xen4Request::Logout);
}

int Xen4Get(const Xen4Link* link, const std::string& url, const char* accept, size_t maxBytes,
            long* httpStatus, std::string* body) {
  body->clear();
  *httpStatus = 0;
  EasyHandle easy(link);
  CURL* curl = easy.curl;
  if (!curl) return -1;
  GetTarget target{body, maxBytes};
  const std::string header = std::string("Accept: ") + accept;
  curl_slist* headers = curl_slist_append(nullptr, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &GetReceive);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  const int code = Perform(curl, link, Xen4Request::Export);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, httpStatus);
  easy.Release();  // before the header list it points to
  curl_slist_free_all(headers);
  return code;
}
