// The tests' access to a RefreshThread's stop time-out and stack reservation.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "refresh_thread.h"

class RefreshThreadTestPeer {
 public:
  static void SetStopTimeout(RefreshThread& thread, std::chrono::milliseconds timeout) {
    thread.stopTimeout_ = timeout;
  }
  // A stack reservation the system cannot give makes the next Start fail for real.
  static void SetStackSize(RefreshThread& thread, std::size_t bytes) { thread.stackSize_ = bytes; }

  // A reservation that no process can make: 3.75 GiB in a 32-bit process, 4 EiB (beyond
  // any 64-bit address space) in a 64-bit one. Both leave the system room to add its
  // guard pages without overflowing its size arithmetic: a size near the end of the
  // address space wraps around in Wine's thread creation, which then aborts the process
  // instead of failing the call.
  static constexpr std::size_t kUnreservableStack =
      sizeof(std::size_t) == 4 ? std::size_t{0xF0000000u} : static_cast<std::size_t>(uint64_t{1} << 62);
};
