// The check's answer: its exit code and the one line the monitoring engine reads, written
// once by whoever comes first, the check or the supervisor.
#pragma once
#include <cstdio>
#include <mutex>
#include <string>

namespace check {

enum ExitCode { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* const kStateWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// The output goes to standard output only, once, by whoever comes first: the check or
// the supervisor (deadline, signal).
class Reporter {
 public:
  // Prints and returns true unless a report was already printed.
  bool Report(ExitCode code, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (reported_) return false;
    reported_ = true;
    code_ = code;
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return true;
  }
  ExitCode Code() {
    std::lock_guard<std::mutex> guard(lock_);
    return code_;
  }

 private:
  std::mutex lock_;
  bool reported_ = false;
  ExitCode code_ = kUnknown;
};

inline std::string Line(ExitCode code, const std::string& text) {
  return std::string("XEN ") + kStateWords[code] + " - " + text + "\n";
}

}  // namespace check
