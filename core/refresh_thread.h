// The background refresh of a back-end session: a task run in a loop on a worker thread.
#pragma once
#include <chrono>
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

// Worker-thread control. The lock guards only the running flag.
//
// Lifetime: Stop waits a bounded time, so a pass can still be running when it returns.
// The worker therefore never reaches the task without a guarantee that it is alive:
//  - either the owner gives a keep-alive with the task (SetTask's second argument): the
//    worker holds it for as long as it runs, and destroying the RefreshThread does not
//    wait; the owner must route everything the pass touches through that object;
//  - or no keep-alive is given, and destroying the RefreshThread (or Join) waits until
//    the worker has left the task. The owner must make its pass end first (for example
//    by closing the connection the pass reads) before it releases anything.
// The control block with the flag and the finished signal is shared with the worker, so
// the worker's last steps never touch a destroyed RefreshThread.
class RefreshThread {
 public:
  static constexpr std::chrono::milliseconds kStopTimeout{10000};

  RefreshThread();
  ~RefreshThread();
  RefreshThread(const RefreshThread&) = delete;
  RefreshThread& operator=(const RefreshThread&) = delete;

  void SetTask(RefreshTask* task, std::shared_ptr<void> keepAlive = nullptr);

  // Starts the worker unless it is running. A worker left over from an earlier Stop that
  // timed out ends after its current pass and never runs another.
  void Start();
  // Clears the running flag and waits at most kStopTimeout for the worker to finish.
  // Returns true in every case, also when the wait timed out.
  bool Stop();
  // For a task ending the loop from inside its pass.
  void ClearRunningFlag();
  bool IsRunning() const;
  // True when no worker of this object is alive.
  bool IsFinished() const;
  // Waits, without limit, until no worker of this object is alive.
  void Join();

  // Workers alive in the whole process; a library must not be unloaded while any is.
  static int LiveThreads();

  // The stop time-out, shortened by tests.
  void SetStopTimeoutForTesting(std::chrono::milliseconds timeout);

 private:
  struct Control;
  static void Body(std::shared_ptr<Control> control, unsigned generation);
  std::shared_ptr<Control> control_;
};
