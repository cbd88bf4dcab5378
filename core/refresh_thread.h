// The background refresh of a back-end session: a task run in a loop on a worker thread.
#pragma once
#include <chrono>
#include <cstddef>
#include <memory>

// One refresh pass, including any pause that follows it. Must return normally: a pass
// that fails handles its failure itself, and returns false to end the loop.
class RefreshTask {
 public:
  virtual ~RefreshTask() = default;
  virtual bool RunOnce() = 0;
};

// Worker-thread control. The lock guards only the running flag (and the task with it).
//
// Lifetime: the RefreshThread and its worker share the task. A worker holds it for as
// long as it runs, so the owner can go at any time: nothing here waits without limit
// (Stop and Join wait at most the stop time-out, destruction not at all), and a pass that
// is still running when the owner has gone finds its task intact. Everything a pass
// touches must therefore be reached through the task, never through its owner. The last
// holder destroys the task: the worker, as it ends, when the RefreshThread has gone.
//
// The worker's own duties stay here: when it ends, it releases the TLS library's
// per-thread state (a statically linked OpenSSL learns nothing of thread ends on Windows).
// The control block with the flag and the finished signal is shared with the worker, so
// the worker's last steps never touch a destroyed RefreshThread. On Windows each worker
// also holds a reference to the module holding this code and drops it as it exits, so
// the library cannot be unmapped under a worker that is still ending.
class RefreshThread {
 public:
  static constexpr std::chrono::milliseconds kStopTimeout{10000};

  RefreshThread();
  ~RefreshThread();
  RefreshThread(const RefreshThread&) = delete;
  RefreshThread& operator=(const RefreshThread&) = delete;

  // A worker started before its task is set waits (without running passes) until it is.
  void SetTask(std::shared_ptr<RefreshTask> task);

  // Starts the worker unless it is running. A worker left over from an earlier Stop that
  // timed out ends after its current pass and never runs another. Throws
  // std::runtime_error("Cannot start the refresh thread") when the system cannot create
  // the thread; nothing is then counted as running.
  void Start();
  // Clears the running flag and waits at most the stop time-out for the worker to
  // finish. Returns true in every case, also when the wait timed out.
  bool Stop();
  // Clears the running flag without waiting: the worker ends after its current pass.
  void ClearRunningFlag();
  bool IsRunning() const;
  // True when no worker of this object is alive.
  bool IsFinished() const;
  // Waits at most the stop time-out until no worker of this object is alive; true when
  // none is.
  bool Join();

  // Workers alive in the whole process; a library must not be unloaded while any is.
  static int LiveThreads();

 private:
  friend class RefreshThreadTestPeer;  // the tests' access to the time-out and the stack size

  struct Control;
  struct Launch;  // creates the system's thread
  static void Body(std::shared_ptr<Control> control, unsigned generation);

  std::shared_ptr<Control> control_;
  std::chrono::milliseconds stopTimeout_ = kStopTimeout;
  std::size_t stackSize_ = 0;  // the worker's stack reservation; 0: the system's default
};
