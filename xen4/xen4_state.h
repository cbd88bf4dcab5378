// The shared state of a xen4 session: everything a refresh pass touches, and the
// library session with its logins. The refresh thread keeps this object alive, so a pass
// that is still blocked in a call when the session goes away finds it intact.
//
// Files: xen4_session.cpp (lifetime, logins, the error check, Close, Update),
// xen4_connect.cpp (Connect and the host it reads), xen4_connect_vms.cpp (the VMs read at
// connect), xen4_pass.cpp (the refresh pass), xen4_sources.cpp (the figures' sources: the
// metrics export and the metric calls), xen4_host.cpp (the host operations). The VM
// operations (xen4_vm.cpp) see the session only as a Xen4VmSession.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rrd_updates.h"
#include "xen4_session.h"
#include "xen4_transport.h"

// Where the live figures come from. The export is tried at Connect: a server without it
// (404) gets the metric calls for good; one whose export failed otherwise is asked again
// in every pass, the metric calls standing in until it answers.
enum class Xen4ExportMode { Working, Absent, Retrying };

struct Xen4SessionImpl::State : RefreshTask {
  State(int32_t refreshDelaySeconds, const Xen4Options& opts)
      : link(opts), delayMs(static_cast<int64_t>(std::max<int32_t>(refreshDelaySeconds, 0)) * 1000) {}

  Xen4Link link;

  // --- Logins (xen4_session.cpp) ---------------------------------------------------
  // One login at a time. Guards the credentials, the endpoints and the login counters.
  std::mutex loginLock;
  std::string openedAddress;  // the address the session was opened with, as given
  std::string user, password;  // UTF-8; cleared at Close
  int loginParams = 4;  // 4: with the originator; fewer where the server refused more
  std::atomic<int> loginsInARow{0};  // re-logins since the last call that succeeded
  // The transport handles of the library sessions, by URL; kept for the state's life
  // (a library session holds a raw pointer to its endpoint).
  std::map<std::string, std::unique_ptr<Xen4Endpoint>> endpoints;

  // Logs in at the opened address, following a pool member to its master. loginLock
  // held. *redirected: the session lives on another host than the one named; *namedIp:
  // the address the first login connected to.
  xenapi::SessionPtr Login(xenapi::Status& st, bool* redirected, std::string* namedIp);
  // After SESSION_INVALID with `stale`: a new login (one for both threads: a caller that
  // finds a newer handle than its own takes it). Null when no new session could be had;
  // st then tells why (or keeps SESSION_INVALID after 3 logins in a row).
  xenapi::SessionPtr Relogin(const xenapi::SessionPtr& stale, xenapi::Status& st);
  void ClearCredentials();

  // --- The library session (xen4_session.cpp) ----------------------------------------
  // Each user takes its own reference for the duration of a call, so dropping the
  // handle never frees a session that a call still uses.
  mutable std::mutex handleLock;
  xenapi::SessionPtr handle;
  bool closing = false;  // under handleLock: Close has begun, no new session is kept
  std::atomic<bool> connected{false};

  xenapi::SessionPtr Handle() const {
    std::lock_guard<std::mutex> guard(handleLock);
    return handle;
  }

  // The outcome of one library call made through Try.
  struct Outcome {
    xenapi::SessionPtr used;  // the library session the call ended with (null: none)
    xenapi::Status st;
    bool Is(const char* name) const { return st.Is(name); }
  };
  // Runs call with the library session (carried by `transport` when given); where the
  // server has forgotten the session, logs in again and repeats the call once. The
  // status is left for the caller to check.
  template <typename F>
  Outcome Try(const F& call, xenapi::TransportFunc transport = nullptr) {
    Outcome o;
    o.used = Handle();
    if (!o.used) return o;
    const auto run = [&](const xenapi::SessionPtr& h) {
      o.st.Clear();
      if (transport)
        call(*xenapi::WithTransport(*h, transport, h->TransportHandle()), o.st);
      else
        call(*h, o.st);
    };
    run(o.used);
    // Forgotten by a restart, or by a master that is one no more (a new master).
    if (o.Is("SESSION_INVALID") || o.Is("HOST_IS_SLAVE")) {
      if (xenapi::SessionPtr fresh = Relogin(o.used, o.st)) {
        o.used = fresh;
        run(fresh);
      }
    }
    if (o.st.ok) CallSucceeded();
    return o;
  }
  // Try, then the error check.
  template <typename F>
  void Call(const F& call, xenapi::TransportFunc transport = nullptr) {
    Outcome o = Try(call, transport);
    Check(o.used, o.st);
  }
  void CallSucceeded();
  // The error check after a library call; throws the message of the failure. Ends the
  // library session (logged out, then dropped) where the failure leaves it unusable.
  void Check(const xenapi::SessionPtr& used, xenapi::Status& status);
  void Check(Outcome& o) { Check(o.used, o.st); }
  // Logs the library session out (bounded) and drops it: `used` only when it is still
  // the current one; null: whichever is current.
  void EndSession(const xenapi::SessionPtr& used);
  // Throws "Cancelled" or "Deadline reached" once the program's time is up: before a wait
  // that the transfers' limits do not cover (the system's resolver).
  void ThrowIfOutOfTime() const;
  // Logs session out, within the log-out's bound; errors are of no interest there.
  static void LogOut(const xenapi::SessionPtr& session);

  // --- Written by Connect before the refresh thread starts, read-only afterwards -------
  int32_t port = 0;
  std::string hostRef;      // the host the user named (the acting host)
  std::string hostUuid;
  std::string hostMetricsRef;
  std::vector<std::string> hostCpus;
  std::vector<std::string> pifMetrics;
  std::atomic<int64_t> memoryBytes{0};
  std::vector<std::unique_ptr<Xen4VMImpl>> vms;
  // What the server offers, learned at connect: the bulk reads of VM (with a condition
  // where offered) and VM-metrics records, and the per-device metrics.
  bool bulkVms = false;
  bool vmsWhere = false;
  bool bulkMetrics = false;
  bool bulkGuests = false;  // the guest metrics of all VMs in one call
  bool vifSource = true;
  bool vbdSource = true;
  // The session lists the one VM of Options().onlyVm (found at connect): Connect's reads
  // are the first pass, and the refresh thread waits its delay before the next.
  bool oneVm = false;
  // The session lists every guest VM and reads their states only (!Options().listFigures):
  // Connect's reads are the first pass too.
  bool statesOnly = false;
  // The passes read the host's figures (false: a session of one VM without host facts).
  bool hostFigures = true;
  std::atomic<bool> connectPassed{false};
  // Read at connect for the first pass, which takes (and drops) them: the acting host's
  // export and the listed VMs' records.
  std::unique_ptr<rrd::Updates> connectExport;
  std::unique_ptr<xenapi::RecordList<xenapi::VmRecord>> connectRecords;
  bool PassAtConnect() const { return oneVm || statesOnly; }

  // --- The passes' own (xen4_pass.cpp, xen4_sources.cpp) ---------------------------
  Xen4ExportMode exportMode = Xen4ExportMode::Absent;
  // The server reports the metric getters removed: its remaining legacy figures (host
  // CPU utilisation, PIF and VCPU rates) are constant zeros, not measurements.
  bool legacyDead = false;
  // Whether the free-memory getter is gone (then the host-metrics record is read), and
  // the addresses of the pool's other hosts.
  bool memoryFreeFromRecord = false;
  std::map<std::string, std::string> hostAddresses;

  // The session's live host figures, which the passes write.
  std::shared_ptr<HostLiveFigures> figures;

  // The stop event (manual reset) and the refresh delay.
  std::mutex stopMutex;
  std::condition_variable stopCv;
  bool stopSignalled = false;
  const int64_t delayMs;

  // The passes that wrote the figures since Connect, and whether the refresh has ended
  // (a failed pass, or Close); those waiting for the first figures sleep on figuresCv.
  std::mutex figuresLock;
  std::condition_variable figuresCv;
  uint64_t passes = 0;
  bool refreshEnded = false;

  // Passes begun, and the number of the last pass that wrote the figures: a VM's power
  // operation notes the passes begun when it returned, and until a later pass has written
  // the figures they may predate the operation.
  std::atomic<uint64_t> passesBegun{0};
  std::atomic<uint64_t> lastWritingPass{0};

  void FiguresChanged(bool passed) {
    {
      std::lock_guard<std::mutex> guard(figuresLock);
      if (passed)
        ++passes;
      else
        refreshEnded = true;
    }
    figuresCv.notify_all();
  }

  void SignalStop() {
    std::lock_guard<std::mutex> guard(stopMutex);
    stopSignalled = true;
    stopCv.notify_all();
  }

  bool StopSignalled() {
    std::lock_guard<std::mutex> guard(stopMutex);
    return stopSignalled;
  }

  void WaitStop() {
    std::unique_lock<std::mutex> lock(stopMutex);
    stopCv.wait_for(lock, std::chrono::milliseconds(delayMs), [&] { return stopSignalled; });
  }

  enum class ExportResult { Read, NotFound, Failed };
  // The newest row of a host's metrics export (vmUuid: only that VM's columns, "none"
  // for none; empty: every VM's), logging in again once where the server has forgotten
  // the session.
  ExportResult ReadExport(const std::string& address, rrd::Updates* out, const std::string& vmUuid = std::string());
  // The address of a host of the pool (the acting host's for its own); empty when the
  // server no longer knows the host.
  std::string AddressOf(const std::string& host);
  // The host's free memory by its getter; false (and the legacy figures known dead) where
  // the server has removed it.
  bool ReadMemoryFree(int64_t* bytes);
  void HostFiguresFromCalls();
  // False when the export has no row of the acting host.
  bool HostFiguresFromExport(const rrd::Updates* own);
  // The host's memory in use out of total, where the total is known (else not measured).
  void PutMemoryUsage(double total, double free, FigureSource source);
  // One refresh pass; false when it left off because the session is closing.
  bool Pass();
  bool RunOnce() override;
};

namespace xen4 {
inline constexpr char kRemoved[] = "MESSAGE_REMOVED";
inline constexpr char kUnknownMethod[] = "MESSAGE_METHOD_UNKNOWN";
inline constexpr char kHandleInvalid[] = "HANDLE_INVALID";
inline constexpr char kConnectionClosed[] = "connection closed";

// Memory usage from the first (free) and second (total) entries of a guest-metrics
// memory map; false when they do not give a usable percentage.
bool GuestMemoryUsage(const xenapi::GuestMetricsRecord& g, double* usage);
double MeanUtilisationPercent(const xenapi::VmMetricsRecord& m);
int32_t ToMiB(int64_t bytes);
int32_t ClampInt32(int64_t v);

// Index of a record list by reference (bulk answers hold every object of the class).
template <typename Record>
std::map<std::string, const Record*> IndexOf(const xenapi::RecordList<Record>& list) {
  std::map<std::string, const Record*> index;
  for (const auto& kv : list) index.emplace(kv.first, &kv.second);
  return index;
}

template <typename Record>
const Record* Lookup(const std::map<std::string, const Record*>& index, const std::string& ref) {
  const auto it = index.find(ref);
  return it == index.end() ? nullptr : it->second;
}

// The VMs a session lists: no templates, snapshots or control domain.
inline constexpr char kGuestsOnly[] =
    "field \"is_a_template\"=\"false\" and field \"is_control_domain\"=\"false\" and "
    "field \"is_a_snapshot\"=\"false\"";
inline bool IsGuest(const xenapi::VmRecord& r) {
  return !r.is_a_template && !r.is_control_domain && !r.is_a_snapshot;
}
}  // namespace xen4
