// The check's deadline and the engine's signals, watched from a thread of their own; what
// the check is doing, for the message of a time-out or a signal.
#pragma once
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "report.h"
#include "xen4_options.h"

namespace check {

using Clock = std::chrono::steady_clock;

// What the check is doing, for the messages of a time-out or a signal.
inline constexpr char kStarting[] = "starting";
inline constexpr char kConnecting[] = "opening the session";  // connection, log-in, first reads
inline constexpr char kListing[] = "reading the virtual machines";
inline constexpr char kWaiting[] = "waiting for the first figures";
inline constexpr char kLoggingOut[] = "logging out";

// Thrown by the check's own waits.
struct TimedOut : std::runtime_error {
  TimedOut() : std::runtime_error("timed out") {}
};
struct Interrupted : std::runtime_error {
  Interrupted() : std::runtime_error("interrupted") {}
};

// The time kept free before the deadline for the log-out. A XenAPI session stops its
// requests that long before the deadline, and the check's own waits end with them; the
// xen3 sign-off gets a second (a quarter of -t when that is shorter).
Clock::duration LogoutReserve(int mode, int seconds);

// Watches the check from a thread of its own: the -t deadline and the engine's signals.
// SIGTERM and SIGINT are blocked in every thread (BlockSignals before any thread starts)
// and read here from a signalfd. On a signal the XenAPI session is cancelled: its requests
// in flight end at once, it logs out (a second at most), and the check reports UNKNOWN;
// when that takes more than a second, this thread reports and ends the process. At the
// deadline it reports UNKNOWN and ends the process. The check's own work ends a reserve
// before the deadline (WorkEnd), so that the log-out fits before it.
class Supervisor {
 public:
  static void BlockSignals();

  Supervisor(Reporter& reporter, int seconds, Clock::duration reserve);
  ~Supervisor();
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  Clock::time_point Deadline() const { return deadline_; }
  Clock::time_point WorkEnd() const { return workEnd_; }
  const std::shared_ptr<Xen4Cancel>& Cancel() const { return cancel_; }
  void Enter(const char* phase) { phase_.store(phase); }
  bool Signalled() const { return signal_.load() != 0; }

  std::string TimeoutText() const;
  std::string SignalText() const;

 private:
  static sigset_t Signals();
  static int MillisecondsUntil(Clock::time_point t);
  // Waits for the check's end or a signal until t. 1: finished, 2: a signal, 0: t passed.
  int WaitUntil(Clock::time_point t, bool signals);
  void Run();

  Reporter& reporter_;
  const int seconds_;
  const Clock::time_point deadline_;
  const Clock::time_point workEnd_;
  const std::shared_ptr<Xen4Cancel> cancel_;
  std::atomic<const char*> phase_{kStarting};
  std::atomic<int> signal_{0};
  int signalFd_ = -1;
  int finishedFd_ = -1;
  std::thread thread_;
};

}  // namespace check
