// The watchdog of a check: the -t deadline and SIGTERM/SIGINT, read from a signalfd by a
// thread of its own, which cancels the session's requests and reports when the check
// cannot.
#include "supervisor.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "session_settings.h"

namespace check {

Clock::duration LogoutReserve(int mode, int seconds) {
  if (mode != kModeXen3Protocol) return std::chrono::milliseconds(kDeadlineReserveMs);
  return std::min<Clock::duration>(std::chrono::seconds(1), std::chrono::milliseconds(seconds * 250));
}

void Supervisor::BlockSignals() {
  sigset_t set = Signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Supervisor::Supervisor(Reporter& reporter, int seconds, Clock::duration reserve)
    : reporter_(reporter), seconds_(seconds), deadline_(Clock::now() + std::chrono::seconds(seconds)),
      workEnd_(deadline_ - reserve), cancel_(std::make_shared<Xen4Cancel>()) {
  const sigset_t set = Signals();
  signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
  finishedFd_ = eventfd(0, EFD_CLOEXEC);
  if (signalFd_ < 0 || finishedFd_ < 0) {
    const int error = errno;
    if (signalFd_ >= 0) close(signalFd_);
    if (finishedFd_ >= 0) close(finishedFd_);
    throw std::system_error(error, std::generic_category(), "cannot watch the deadline and signals");
  }
  thread_ = std::thread([this] { Run(); });
}

Supervisor::~Supervisor() {
  const std::uint64_t one = 1;
  if (write(finishedFd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) std::_Exit(reporter_.Code());
  thread_.join();
  close(signalFd_);
  close(finishedFd_);
}

std::string Supervisor::TimeoutText() const {
  return "timed out after " + std::to_string(seconds_) + " s while " + phase_.load();
}

std::string Supervisor::SignalText() const {
  return std::string("terminated by ") + (signal_.load() == SIGINT ? "SIGINT" : "SIGTERM") + " while " +
         phase_.load();
}

sigset_t Supervisor::Signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

int Supervisor::MillisecondsUntil(Clock::time_point t) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1000 * 1000));
}

int Supervisor::WaitUntil(Clock::time_point t, bool signals) {
  for (;;) {
    pollfd fds[2] = {{finishedFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
    const int n = poll(fds, signals ? 2 : 1, MillisecondsUntil(t));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (fds[0].revents) return 1;
    if (signals && fds[1].revents) {
      signalfd_siginfo info;
      if (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        signal_.store(static_cast<int>(info.ssi_signo));
        return 2;
      }
      continue;
    }
    if (Clock::now() >= t) return 0;
  }
}

void Supervisor::Run() {
  const int outcome = WaitUntil(deadline_, true);
  if (outcome == 1) return;
  if (outcome == 2) {
    // The session's requests end at once and it logs out; the check then reports. One
    // second for all of it, never beyond the deadline.
    cancel_->Cancel();
    if (WaitUntil(std::min(deadline_, Clock::now() + std::chrono::seconds(1)), false) == 1) return;
    reporter_.Report(kUnknown, Line(kUnknown, SignalText()));
  } else {
    reporter_.Report(kUnknown, Line(kUnknown, TimeoutText()));
  }
  std::_Exit(reporter_.Code());
}

}  // namespace check
