// Compiled into every test program that links the refresh thread's test peer: before the
// program ends, the refresh threads of its last sessions finish their last steps (a
// worker counts itself out, then lets go of OpenSSL's per-thread state), so that a leak
// check at exit never sees a worker caught half-way. Bounded: a worker that does not end
// within ten seconds is left to the leak check.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "refresh_thread.h"

namespace {

class RefreshWorkersEnded : public ::testing::Environment {
 public:
  void TearDown() override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (RefreshThread::LiveThreads() > 0 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
};

::testing::Environment* const kRefreshWorkersEnded = ::testing::AddGlobalTestEnvironment(new RefreshWorkersEnded);

}  // namespace
