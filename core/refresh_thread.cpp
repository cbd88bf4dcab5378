#include "refresh_thread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <openssl/crypto.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace {
std::atomic<int> g_liveThreads{0};
const char kCannotStart[] = "Cannot start the refresh thread";
}  // namespace

struct RefreshThread::Control {
  std::mutex lock;                  // guards the running flag and the task fields with it
  std::condition_variable changed;  // wakes a worker waiting for its task (or its end)
  std::atomic<int> running{0};
  unsigned generation = 0;          // which worker the flag belongs to
  std::shared_ptr<RefreshTask> task;
  bool orphaned = false;            // the RefreshThread has gone: the last worker drops the task

  std::mutex doneMutex;             // the finished signal
  std::condition_variable doneCv;
  unsigned finishedGeneration = 0;  // last worker that has signalled finished
  int alive = 0;                    // workers of this control not yet ended

  // Under lock: whether the worker of that generation is still to run passes.
  bool Current(unsigned g) const { return running.load() && generation == g; }
};

// What a new worker receives, and the system's thread around Body.
struct RefreshThread::Launch {
  std::shared_ptr<Control> control;
  unsigned generation = 0;

#ifdef _WIN32
  HMODULE module = nullptr;  // the worker's own reference to the module holding this code

  static DWORD WINAPI Proc(LPVOID parameter) {
    HMODULE module;
    {
      std::unique_ptr<Launch> launch(static_cast<Launch*>(parameter));
      module = launch->module;
      Body(std::move(launch->control), launch->generation);
    }
    // Nothing of this library runs after this call: it drops the worker's reference
    // (perhaps the last one, unmapping the library) and ends the thread inside the system.
    FreeLibraryAndExitThread(module, 0);
    return 0;
  }

  static bool Create(std::unique_ptr<Launch> launch, std::size_t stackSize) {
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Proc),
                            &launch->module))
      return false;
    const HANDLE thread = CreateThread(nullptr, stackSize, &Proc, launch.get(),
                                       stackSize ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
    if (!thread) {
      FreeLibrary(launch->module);
      return false;
    }
    launch.release();  // the worker owns it now
    CloseHandle(thread);
    return true;
  }
#else
  static void* Proc(void* parameter) {
    std::unique_ptr<Launch> launch(static_cast<Launch*>(parameter));
    Body(std::move(launch->control), launch->generation);
    return nullptr;
  }

  static bool Create(std::unique_ptr<Launch> launch, std::size_t stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_t thread;
    const bool started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                         (!stackSize || pthread_attr_setstacksize(&attributes, stackSize) == 0) &&
                         pthread_create(&thread, &attributes, &Proc, launch.get()) == 0;
    pthread_attr_destroy(&attributes);
    if (started) launch.release();  // the worker owns it now
    return started;
  }
#endif
};

RefreshThread::RefreshThread() : control_(std::make_shared<Control>()) {}

RefreshThread::~RefreshThread() {
  std::shared_ptr<RefreshTask> task;
  {
    // Nothing can stop a worker of a destroyed RefreshThread: it ends after this pass,
    // and the last one alive drops the task. Without a worker the task goes here.
    std::lock_guard<std::mutex> guard(control_->lock);
    control_->running.store(0);
    control_->orphaned = true;
    control_->changed.notify_all();
    std::lock_guard<std::mutex> done(control_->doneMutex);
    if (control_->alive == 0) task = std::move(control_->task);
  }
}

void RefreshThread::SetTask(std::shared_ptr<RefreshTask> task) {
  std::lock_guard<std::mutex> guard(control_->lock);
  // The task replaced goes outside the lock, when this function returns.
  std::swap(control_->task, task);
  control_->changed.notify_all();
}

void RefreshThread::Start() {
  std::lock_guard<std::mutex> guard(control_->lock);
  if (control_->running.load()) return;
  auto launch = std::make_unique<Launch>();
  launch->control = control_;
  launch->generation = control_->generation + 1;
  // Counted before the worker exists, so that it can never count itself out first.
  {
    std::lock_guard<std::mutex> done(control_->doneMutex);
    ++control_->alive;
  }
  g_liveThreads.fetch_add(1);
  if (!Launch::Create(std::move(launch), stackSize_)) {
    {
      std::lock_guard<std::mutex> done(control_->doneMutex);
      --control_->alive;
      control_->doneCv.notify_all();
    }
    g_liveThreads.fetch_sub(1);
    throw std::runtime_error(kCannotStart);
  }
  ++control_->generation;
  control_->running.store(1);
}

void RefreshThread::Body(std::shared_ptr<Control> control, unsigned generation) {
  for (;;) {
    std::shared_ptr<RefreshTask> task;
    {
      std::unique_lock<std::mutex> guard(control->lock);
      control->changed.wait(guard, [&] { return control->task || !control->Current(generation); });
      if (!control->Current(generation)) break;  // also: ended before it was given a task
      task = control->task;
    }
    const bool goOn = task->RunOnce();
    std::lock_guard<std::mutex> guard(control->lock);
    if (!goOn && control->Current(generation)) control->running.store(0);
    if (!control->Current(generation)) break;
  }
  // The worker's last steps: it counts itself out, and when the RefreshThread has gone,
  // the last worker destroys the task, here, before this thread lets go of the TLS
  // library. The live-thread count still holds the library until the very end.
  std::shared_ptr<RefreshTask> orphan;
  {
    std::lock_guard<std::mutex> guard(control->lock);
    std::lock_guard<std::mutex> done(control->doneMutex);
    if (generation > control->finishedGeneration) control->finishedGeneration = generation;
    --control->alive;
    if (control->orphaned && control->alive == 0) orphan = std::move(control->task);
    control->doneCv.notify_all();
  }
  orphan.reset();
  // However the loop ended, this thread touches OpenSSL (directly, or through libcurl) no
  // more. A statically linked OpenSSL learns nothing of thread ends on Windows, so its
  // per-thread state (error queue and the like) would stay behind with every session.
  OPENSSL_thread_stop();
  g_liveThreads.fetch_sub(1);
}

bool RefreshThread::Stop() {
  unsigned generation;
  int wasRunning;
  {
    std::lock_guard<std::mutex> guard(control_->lock);
    wasRunning = control_->running.exchange(0);
    generation = control_->generation;
    control_->changed.notify_all();
  }
  if (wasRunning) {
    std::unique_lock<std::mutex> done(control_->doneMutex);
    control_->doneCv.wait_for(done, stopTimeout_,
                              [&] { return control_->finishedGeneration >= generation; });
  }
  return true;
}

void RefreshThread::ClearRunningFlag() {
  std::lock_guard<std::mutex> guard(control_->lock);
  control_->running.store(0);
  control_->changed.notify_all();
}

bool RefreshThread::IsRunning() const { return control_->running.load() != 0; }

bool RefreshThread::IsFinished() const {
  std::lock_guard<std::mutex> done(control_->doneMutex);
  return control_->alive == 0;
}

bool RefreshThread::Join() {
  std::unique_lock<std::mutex> done(control_->doneMutex);
  return control_->doneCv.wait_for(done, stopTimeout_, [&] { return control_->alive == 0; });
}

int RefreshThread::LiveThreads() { return g_liveThreads.load(); }
