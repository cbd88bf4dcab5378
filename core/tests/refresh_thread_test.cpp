#include "refresh_thread.h"

#include "openssl_release_log.h"
#include "refresh_thread_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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
  bool RunOnce() override {
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
    return !endAfterPass;
  }
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
  bool endAfterPass = false;
  std::atomic<int> passes{0};
  std::atomic<int> concurrent{0};
  std::atomic<int> maxConcurrent{0};
};

class SleepTask : public RefreshTask {
 public:
  bool RunOnce() override {
    ++passes;
    worker = std::this_thread::get_id();
    lastPass = releaselog::Stamp();
    std::this_thread::sleep_for(1ms);
    return true;
  }
  std::atomic<int> passes{0};
  std::thread::id worker;
  std::uint64_t lastPass = 0;
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

// A worker counts itself out of the live threads as the very last thing it does.
bool NoWorkerAlive() { return RefreshThread::LiveThreads() == 0; }

// Waits until the workers of earlier tests have ended, then forgets their releases.
void ForgetEarlierReleases() {
  ASSERT_TRUE(Eventually(NoWorkerAlive));
  releaselog::Clear();
}

// Once its only worker has ended: that worker released OpenSSL's state for its thread,
// exactly once, after everything it did before (stamped `after`).
void ExpectOneReleaseBy(std::thread::id worker, std::uint64_t after) {
  if (!releaselog::kRecorded) return;
  const auto releases = releaselog::Releases();
  ASSERT_EQ(1u, releases.size());
  EXPECT_EQ(worker, releases[0].thread);
  EXPECT_GT(releases[0].stamp, after);
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
  ForgetEarlierReleases();
  auto task = std::make_shared<SleepTask>();
  RefreshThread thread;
  thread.SetTask(task);
  EXPECT_FALSE(thread.IsRunning());
  thread.Start();
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_TRUE(Eventually([&] { return task->passes.load() >= 3; }));
  EXPECT_TRUE(thread.Stop());
  EXPECT_TRUE(thread.IsFinished());
  const int after = task->passes.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(after, task->passes.load());
  ASSERT_TRUE(Eventually(NoWorkerAlive));
  ExpectOneReleaseBy(task->worker, task->lastPass);
}

TEST(RefreshThread, SecondStartCreatesNoSecondWorker) {
  auto task = std::make_shared<GateTask>();
  RefreshThread thread;
  thread.SetTask(task);
  const int before = RefreshThread::LiveThreads();
  thread.Start();
  thread.Start();
  task->WaitEntered();
  EXPECT_EQ(before + 1, RefreshThread::LiveThreads());
  task->Open();
  thread.Stop();
  EXPECT_EQ(1, task->maxConcurrent.load());
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
  RefreshThreadTestPeer::SetStopTimeout(thread, 150ms);
  thread.SetTask(task);
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
  ForgetEarlierReleases();
  auto stuck = std::make_shared<GateTask>();
  RefreshThread thread;
  RefreshThreadTestPeer::SetStopTimeout(thread, 50ms);
  thread.SetTask(stuck);
  thread.Start();
  stuck->WaitEntered();
  thread.Stop();

  // A new worker starts while the old one is still inside its pass.
  auto fresh = std::make_shared<GateTask>();
  fresh->Open();
  thread.SetTask(fresh);
  thread.Start();
  EXPECT_TRUE(Eventually([&] { return fresh->passes.load() >= 2; }));
  stuck->Open();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(1, stuck->passes.load());
  thread.Stop();
  thread.Join();
  // Each worker releases OpenSSL's state for its own thread, the left-over one too.
  ASSERT_TRUE(Eventually(NoWorkerAlive));
  if (releaselog::kRecorded) {
    const auto releases = releaselog::Releases();
    ASSERT_EQ(2u, releases.size());
    EXPECT_NE(releases[0].thread, releases[1].thread);
  }
}

TEST(RefreshThread, TaskEndsTheLoopFromInsideAndCanBeStartedAgain) {
  auto task = std::make_shared<GateTask>();
  RefreshThread thread;
  task->endAfterPass = true;
  task->Open();
  thread.SetTask(task);
  thread.Start();
  EXPECT_TRUE(Eventually([&] { return thread.IsFinished(); }));
  EXPECT_EQ(1, task->passes.load());
  EXPECT_FALSE(thread.IsRunning());
  const auto start = std::chrono::steady_clock::now();
  thread.Stop();  // idle: no wait
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  thread.Start();
  EXPECT_TRUE(Eventually([&] { return task->passes.load() == 2 && thread.IsFinished(); }));
}

// A task that notes the thread it is destroyed on, and when.
struct Destruction {
  std::thread::id thread;
  std::uint64_t stamp = 0;
};

class NotingTask : public GateTask {
 public:
  explicit NotingTask(Destruction* destroyed) : destroyed_(destroyed) {}
  ~NotingTask() override { *destroyed_ = {std::this_thread::get_id(), releaselog::Stamp()}; }
  bool RunOnce() override {
    worker = std::this_thread::get_id();
    return GateTask::RunOnce();
  }
  std::thread::id worker;

 private:
  Destruction* destroyed_;
};

// The owner goes away while a pass is still running: destruction does not wait, the
// pass keeps its task, and the worker destroys it as it ends, on its own thread, before
// it lets go of OpenSSL (which the task's destruction may still use).
TEST(RefreshThread, OwnerDestroyedDuringAPassLeavesTheTaskToTheWorker) {
  ForgetEarlierReleases();
  Destruction destroyed;
  std::weak_ptr<NotingTask> watch;
  std::thread::id worker;
  {
    auto task = std::make_shared<NotingTask>(&destroyed);
    watch = task;
    auto thread = std::make_unique<RefreshThread>();
    thread->SetTask(task);
    thread->Start();
    task->WaitEntered();
    worker = task->worker;
    const auto start = std::chrono::steady_clock::now();
    thread.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  }
  NotingTask* task = watch.lock().get();
  ASSERT_TRUE(task);  // the owner's references are gone; the worker still holds it
  task->Open();       // the worker's reference is the only one left
  EXPECT_TRUE(Eventually([&] { return watch.expired(); }));
  ASSERT_TRUE(Eventually(NoWorkerAlive));  // so the destructor has returned as well
  EXPECT_EQ(worker, destroyed.thread);
  ExpectOneReleaseBy(worker, destroyed.stamp);
}

// Without a worker, the task goes with the RefreshThread, on the owner's thread.
TEST(RefreshThread, IdleOwnerDestroysItsTask) {
  Destruction destroyed;
  std::weak_ptr<NotingTask> watch;
  {
    auto task = std::make_shared<NotingTask>(&destroyed);
    task->endAfterPass = true;
    task->Open();
    watch = task;
    RefreshThread thread;
    thread.SetTask(std::move(task));
    thread.Start();
    ASSERT_TRUE(Eventually([&] { return thread.IsFinished(); }));
    EXPECT_FALSE(watch.expired());
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(std::this_thread::get_id(), destroyed.thread);
}

// A thread the system cannot create fails Start and leaves nothing counted, so neither
// destruction nor the library's unload check waits for a worker that never existed.
TEST(RefreshThread, FailedStartThrowsAndCountsNothing) {
  auto task = std::make_shared<SleepTask>();
  ASSERT_TRUE(Eventually([] { return RefreshThread::LiveThreads() == 0; }));
  const int before = 0;
  RefreshThread thread;
  thread.SetTask(task);
  RefreshThreadTestPeer::SetStackSize(thread, RefreshThreadTestPeer::kUnreservableStack);
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

  RefreshThreadTestPeer::SetStackSize(thread, 0);
  thread.Start();
  EXPECT_TRUE(Eventually([&] { return task->passes.load() >= 1; }));
  thread.Stop();
  EXPECT_TRUE(thread.IsFinished());
}

// A worker started before its task is set waits for it instead of spinning.
TEST(RefreshThread, WorkerWaitsForItsTask) {
  auto task = std::make_shared<SleepTask>();
  RefreshThread thread;
  thread.Start();
  const auto cpuBefore = ProcessCpuTime();
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(ProcessCpuTime() - cpuBefore, 100ms);
  EXPECT_FALSE(thread.IsFinished());
  thread.SetTask(task);
  EXPECT_TRUE(Eventually([&] { return task->passes.load() >= 1; }));
  thread.Stop();
  EXPECT_TRUE(thread.IsFinished());
}
