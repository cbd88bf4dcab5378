#include "refresh_thread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
std::atomic<int> g_liveThreads{0};
}

struct RefreshThread::Control {
  std::mutex lock;                  // guards the running flag (and the task fields with it)
  std::atomic<int> running{0};
  unsigned generation = 0;          // which worker the flag belongs to
  RefreshTask* task = nullptr;
  std::shared_ptr<void> keepAlive;
  std::chrono::milliseconds stopTimeout = kStopTimeout;

  std::mutex doneMutex;             // the finished signal
  std::condition_variable doneCv;
  unsigned finishedGeneration = 0;  // last worker that has signalled finished
  int alive = 0;                    // workers of this control not yet ended
};

RefreshThread::RefreshThread() : control_(std::make_shared<Control>()) {}

RefreshThread::~RefreshThread() {
  bool kept;
  {
    std::lock_guard<std::mutex> guard(control_->lock);
    kept = control_->keepAlive != nullptr;
  }
  if (!kept) Join();
}

void RefreshThread::SetTask(RefreshTask* task, std::shared_ptr<void> keepAlive) {
  std::lock_guard<std::mutex> guard(control_->lock);
  control_->task = task;
  control_->keepAlive = std::move(keepAlive);
}

void RefreshThread::Start() {
  std::lock_guard<std::mutex> guard(control_->lock);
  if (control_->running.load()) return;
  const unsigned generation = ++control_->generation;
  {
    std::lock_guard<std::mutex> done(control_->doneMutex);
    ++control_->alive;
  }
  g_liveThreads.fetch_add(1);
  std::thread(&RefreshThread::Body, control_, generation).detach();
  control_->running.store(1);
}

void RefreshThread::Body(std::shared_ptr<Control> control, unsigned generation) {
  for (;;) {
    RefreshTask* task;
    std::shared_ptr<void> keepAlive;
    {
      std::lock_guard<std::mutex> guard(control->lock);
      task = control->task;
      keepAlive = control->keepAlive;
    }
    if (task) task->RunOnce();
    keepAlive.reset();
    std::lock_guard<std::mutex> guard(control->lock);
    if (!control->running.load() || control->generation != generation) break;
  }
  {
    RefreshTask* task;
    std::shared_ptr<void> keepAlive;
    {
      std::lock_guard<std::mutex> guard(control->lock);
      task = control->task;
      keepAlive = control->keepAlive;
    }
    if (task) task->WorkerEnding();
  }
  {
    std::lock_guard<std::mutex> done(control->doneMutex);
    if (generation > control->finishedGeneration) control->finishedGeneration = generation;
    --control->alive;
    control->doneCv.notify_all();
  }
  g_liveThreads.fetch_sub(1);
}

bool RefreshThread::Stop() {
  unsigned generation;
  int wasRunning;
  std::chrono::milliseconds timeout;
  {
    std::lock_guard<std::mutex> guard(control_->lock);
    wasRunning = control_->running.exchange(0);
    generation = control_->generation;
    timeout = control_->stopTimeout;
  }
  if (wasRunning) {
    std::unique_lock<std::mutex> done(control_->doneMutex);
    control_->doneCv.wait_for(done, timeout,
                              [&] { return control_->finishedGeneration >= generation; });
  }
  return true;
}

void RefreshThread::ClearRunningFlag() { control_->running.store(0); }

bool RefreshThread::IsRunning() const { return control_->running.load() != 0; }

bool RefreshThread::IsFinished() const {
  std::lock_guard<std::mutex> done(control_->doneMutex);
  return control_->alive == 0;
}

void RefreshThread::Join() {
  std::unique_lock<std::mutex> done(control_->doneMutex);
  control_->doneCv.wait(done, [&] { return control_->alive == 0; });
}

int RefreshThread::LiveThreads() { return g_liveThreads.load(); }

void RefreshThread::SetStopTimeoutForTesting(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> guard(control_->lock);
  control_->stopTimeout = timeout;
}
