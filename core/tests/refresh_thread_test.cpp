#include "refresh_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace std::chrono_literals;

namespace {

// A pass that can be held inside RunOnce until the test releases it.
class GateTask : public RefreshTask {
 public:
  void RunOnce() override {
    const int inside = ++concurrent;
    int seen = maxConcurrent.load();
    while (inside > seen && !maxConcurrent.compare_exchange_weak(seen, inside)) {}
    ++passes;
    {
      std::unique_lock<std::mutex> lock(m);
      entered = true;
      cv.notify_all();
      cv.wait(lock, [&] { return open; });
    }
    --concurrent;
    if (clearAfterPass) owner->ClearRunningFlag();
  }
  void WorkerEnding() override { ++endings; }
  void WaitEntered() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return entered; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    cv.notify_all();
  }

  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool open = false;
  bool clearAfterPass = false;
  RefreshThread* owner = nullptr;
  std::atomic<int> passes{0};
  std::atomic<int> endings{0};
  std::atomic<int> concurrent{0};
  std::atomic<int> maxConcurrent{0};
};

class SleepTask : public RefreshTask {
 public:
  void RunOnce() override {
    ++passes;
    worker = std::this_thread::get_id();
    std::this_thread::sleep_for(1ms);
  }
  void WorkerEnding() override {
    passesAtEnd = passes.load();
    endedOn = std::this_thread::get_id();
    ++endings;
  }
  std::atomic<int> passes{0};
  std::atomic<int> endings{0};
  int passesAtEnd = -1;
  std::thread::id worker, endedOn;
};

template <class F>
bool Eventually(F f, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (f()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return f();
}

// CPU time the whole process has used so far.
std::chrono::milliseconds ProcessCpuTime() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return std::chrono::milliseconds((ticks(kernel) + ticks(user)) / 10000);
#else
  return std::chrono::milliseconds(std::clock() * 1000 / CLOCKS_PER_SEC);
#endif
}

}  // namespace

TEST(RefreshThread, RunsTheTaskInALoopUntilStopped) {
  SleepTask task;
  RefreshThread thread;
  thread.SetTask(&task);
  EXPECT_FALSE(thread.IsRunning());
  thread.Start();
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_TRUE(Eventually([&] { return task.passes.load() >= 3; }));
  EXPECT_TRUE(thread.Stop());
  EXPECT_TRUE(thread.IsFinished());
  const int after = task.passes.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(after, task.passes.load());
  // The worker's last use of the task, on the worker, after its last pass.
  EXPECT_EQ(1, task.endings.load());
  EXPECT_EQ(after, task.passesAtEnd);
  EXPECT_EQ(task.worker, task.endedOn);
}

TEST(RefreshThread, SecondStartCreatesNoSecondWorker) {
  GateTask task;
  RefreshThread thread;
  thread.SetTask(&task);
  const int before = RefreshThread::LiveThreads();
  thread.Start();
  thread.Start();
  task.WaitEntered();
  EXPECT_EQ(before + 1, RefreshThread::LiveThreads());
  task.Open();
  thread.Stop();
  EXPECT_EQ(1, task.maxConcurrent.load());
  EXPECT_TRUE(Eventually([&] { return RefreshThread::LiveThreads() == before; }));
}

TEST(RefreshThread, StopOnIdleThreadReturnsAtOnce) {
  RefreshThread thread;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(thread.Stop());
  EXPECT_TRUE(thread.Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(RefreshThread, StopGivesUpAfterTheLimitWhileAPassIsStuck) {
  auto task = std::make_shared<GateTask>();
  RefreshThread thread;
  thread.SetStopTimeoutForTesting(150ms);
  thread.SetTask(task.get(), task);
  thread.Start();
  task->WaitEntered();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(thread.Stop());  // true although the worker has not finished
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 100ms);
  EXPECT_FALSE(thread.IsFinished());
  EXPECT_FALSE(thread.Join());  // bounded as well
  task->Open();
  EXPECT_TRUE(Eventually([&] { return thread.IsFinished(); }));
  EXPECT_EQ(1, task->passes.load());  // the cleared flag ended the loop after that pass
}

TEST(RefreshThread, DefaultStopLimitIsTenSeconds) {
  EXPECT_EQ(10000, RefreshThread::kStopTimeout.count());
}

TEST(RefreshThread, WorkerLeftOverFromATimedOutStopNeverRunsAnotherPass) {
  auto stuck = std::make_shared<GateTask>();
  RefreshThread thread;
  thread.SetStopTimeoutForTesting(50ms);
  thread.SetTask(stuck.get(), stuck);
  thread.Start();
  stuck->WaitEntered();
  thread.Stop();

  // A new worker starts while the old one is still inside its pass.
  auto fresh = std::make_shared<GateTask>();
  fresh->Open();
  thread.SetTask(fresh.get(), fresh);
  thread.Start();
  EXPECT_TRUE(Eventually([&] { return fresh->passes.load() >= 2; }));
  stuck->Open();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(1, stuck->passes.load());
  thread.Stop();
  thread.Join();
}

TEST(RefreshThread, TaskEndsTheLoopFromInsideAndCanBeStartedAgain) {
  GateTask task;
  RefreshThread thread;
  task.owner = &thread;
  task.clearAfterPass = true;
  task.Open();
  thread.SetTask(&task);
  thread.Start();
  EXPECT_TRUE(Eventually([&] { return thread.IsFinished(); }));
  EXPECT_EQ(1, task.passes.load());
  EXPECT_FALSE(thread.IsRunning());
  const auto start = std::chrono::steady_clock::now();
  thread.Stop();  // idle: no wait
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  thread.Start();
  EXPECT_TRUE(Eventually([&] { return task.passes.load() == 2 && thread.IsFinished(); }));
}

// The owner goes away while a pass is still running: with a keep-alive the pass keeps
// what it uses, and destroying the RefreshThread does not wait for it.
TEST(RefreshThread, OwnerDestroyedDuringAPassWithKeepAlive) {
  std::weak_ptr<GateTask> watch;
  {
    auto task = std::make_shared<GateTask>();
    watch = task;
    RefreshThread thread;
    thread.SetStopTimeoutForTesting(20ms);
    thread.SetTask(task.get(), task);
    thread.Start();
    task->WaitEntered();
    thread.Stop();
  }  // RefreshThread and the owner's reference are gone; the worker still holds the task
  auto task = watch.lock();
  ASSERT_TRUE(task);
  task->Open();
  task.reset();
  EXPECT_TRUE(Eventually([&] { return watch.expired(); }));
}

// Without a keep-alive, destruction ends the loop and waits for the pass to leave the task.
TEST(RefreshThread, DestructionWithoutKeepAliveWaitsForThePass) {
  GateTask task;
  std::atomic<bool> destroyed{false};
  std::thread releaser;
  {
    RefreshThread thread;
    thread.SetTask(&task);
    thread.Start();
    task.WaitEntered();
    releaser = std::thread([&] {
      std::this_thread::sleep_for(50ms);
      EXPECT_FALSE(destroyed.load());
      task.Open();
    });
  }
  destroyed = true;
  releaser.join();
  EXPECT_EQ(0, task.concurrent.load());
  EXPECT_EQ(1, task.passes.load());
}

// A pass that never returns cannot hang the owner: destruction waits the stop time-out
// at most, and the worker's last steps no longer reach the task.
TEST(RefreshThread, DestructionGivesUpOnAPassThatNeverReturns) {
  GateTask task;
  // Workers of earlier tests may still be taking their last steps.
  ASSERT_TRUE(Eventually([] { return RefreshThread::LiveThreads() == 0; }));
  const int before = 0;
  {
    RefreshThread thread;
    thread.SetStopTimeoutForTesting(100ms);
    thread.SetTask(&task);
    thread.Start();
    task.WaitEntered();
  }
  EXPECT_EQ(before + 1, RefreshThread::LiveThreads());
  task.Open();  // only so that the test leaves no thread behind
  EXPECT_TRUE(Eventually([&] { return RefreshThread::LiveThreads() == before; }));
  EXPECT_EQ(1, task.passes.load());
  EXPECT_EQ(0, task.endings.load());
}

// A thread the system cannot create fails Start and leaves nothing counted, so neither
// destruction nor the library's unload check waits for a worker that never existed.
TEST(RefreshThread, FailedStartThrowsAndCountsNothing) {
  SleepTask task;
  ASSERT_TRUE(Eventually([] { return RefreshThread::LiveThreads() == 0; }));
  const int before = 0;
  RefreshThread thread;
  thread.SetTask(&task);
  thread.SetStackSizeForTesting(static_cast<std::size_t>(-1) / 4);
  try {
    thread.Start();
    ADD_FAILURE() << "Start did not fail";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Cannot start the refresh thread", e.what());
  }
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_TRUE(thread.IsFinished());
  EXPECT_EQ(before, RefreshThread::LiveThreads());
  EXPECT_TRUE(thread.Join());

  thread.SetStackSizeForTesting(0);
  thread.Start();
  EXPECT_TRUE(Eventually([&] { return task.passes.load() >= 1; }));
  thread.Stop();
  EXPECT_TRUE(thread.IsFinished());
}

// A worker started before its task is set waits for it instead of spinning.
TEST(RefreshThread, WorkerWaitsForItsTask) {
  SleepTask task;
  RefreshThread thread;
  thread.Start();
  const auto cpuBefore = ProcessCpuTime();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(ProcessCpuTime() - cpuBefore, 100ms);
  EXPECT_FALSE(thread.IsFinished());
  thread.SetTask(&task);
  EXPECT_TRUE(Eventually([&] { return task.passes.load() >= 1; }));
  thread.Stop();
  EXPECT_TRUE(thread.IsFinished());
}
