// The background refresh of a back-end session: a task run in a loop on a worker thread.
#pragma once
#include <chrono>
#include <cstddef>
#include <memory>

// One refresh pass, including any pause that follows it. Must return normally: a pass
// that fails handles its failure itself (and may end the loop with ClearRunningFlag).
class RefreshTask {
 public:
  virtual void RunOnce() = 0;
  // Runs on the worker thread as the worker's last use of the task, after its last pass,
  // whatever ended the loop: the place to release per-thread state of libraries.
  virtual void WorkerEnding() {}

 protected:
  ~RefreshTask() = default;
};

// Worker-thread control. The lock guards only the running flag (and the task with it).
//
// Lifetime: nothing here waits without limit. Stop, Join and destruction each wait at
// most the stop time-out, so a pass can still be running when they return. The worker
// therefore never reaches the task without a guarantee that it is alive:
//  - either the owner gives a keep-alive with the task (SetTask's second argument): the
//    worker holds it for as long as it runs, and destroying the RefreshThread does not
//    wait; the owner must route everything the pass touches through that object;
//  - or no keep-alive is given, and destroying the RefreshThread waits (at most the stop
//    time-out) until the worker has left the task. The owner must make its pass end
//    within that time (for example by closing the connection the pass reads).
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
  void SetTask(RefreshTask* task, std::shared_ptr<void> keepAlive = nullptr);

  // Starts the worker unless it is running. A worker left over from an earlier Stop that
  // timed out ends after its current pass and never runs another. Throws
  // std::runtime_error("Cannot start the refresh thread") when the system cannot create
  // the thread; nothing is then counted as running.
  void Start();
  // Clears the running flag and waits at most the stop time-out for the worker to
  // finish. Returns true in every case, also when the wait timed out.
  bool Stop();
  // For a task ending the loop from inside its pass.
  void ClearRunningFlag();
  bool IsRunning() const;
  // True when no worker of this object is alive.
  bool IsFinished() const;
  // Waits at most the stop time-out until no worker of this object is alive; true when
  // none is.
  bool Join();

  // Workers alive in the whole process; a library must not be unloaded while any is.
  static int LiveThreads();

  // Test hooks, defined here so that only code calling them (tests) contains them.
  void SetStopTimeoutForTesting(std::chrono::milliseconds timeout) { stopTimeout_ = timeout; }
  // A stack reservation the system cannot give makes the next Start fail for real.
  void SetStackSizeForTesting(std::size_t bytes) { stackSize_ = bytes; }

 private:
  struct Control;
  struct Launch;  // creates the system's thread
  static void Body(std::shared_ptr<Control> control, unsigned generation);

  std::shared_ptr<Control> control_;
  std::chrono::milliseconds stopTimeout_ = kStopTimeout;
  std::size_t stackSize_ = 0;  // the worker's stack reservation; 0: the system's default
};
