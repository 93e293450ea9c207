// The toolkit's thread class with the synchronised call onto the UI thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "framework/Classes.h"

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread : public TObject {
 public:
  TThread();
  // A thread that is not free-on-terminate is asked to terminate and joined.
  ~TThread() override;

  // Starts Execute on a new thread. Derived classes that are "created
  // running" call it at the end of their constructor.
  void Start();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  bool Finished() const { return finished_; }
  // Waits until Execute has returned (not for free-on-terminate threads).
  void WaitFor();

  bool FreeOnTerminate() const { return freeOnTerminate_; }
  void SetFreeOnTerminate(bool on) { freeOnTerminate_ = on; }
  TThreadPriority Priority() const { return priority_; }
  void SetPriority(TThreadPriority p);

  // Runs fn on the UI thread and waits until it has run; an exception that
  // fn raises is raised again here. On the UI thread itself fn runs at once.
  void Synchronize(const std::function<void()>& fn);
  static void Synchronize(TThread* thread, const std::function<void()>& fn);
  // The same, but dropped when the thread has been asked to terminate by
  // the time the call would be queued: false then, fn has not run. Whoever
  // terminates the thread and then drops its queued calls knows that no
  // call of it can come after.
  static bool SynchronizeUnlessTerminated(TThread* thread, const std::function<void()>& fn);

  // Drops the queued synchronised calls of one thread; their callers return
  // without the call having run.
  static void RemoveQueuedEvents(TThread* thread);

  // A free-on-terminate thread that has freed itself still has its system
  // thread to end. Nothing of it may still run when the process ends: with
  // the MinGW thread library a thread that ends while the exit routines run
  // can deadlock them. JoinFreedThreads joins every one that has freed
  // itself so far (Start does, too); EndThreads, for the program's end,
  // first waits up to the limit for every started thread's body to end.
  // False if a thread was still running at the limit.
  static void JoinFreedThreads();
  static bool EndThreads(std::chrono::milliseconds limit);

 protected:
  virtual void Execute() = 0;

 private:
  void Body();
  static bool SynchronizeCall(TThread* thread, const std::function<void()>& fn, bool unlessTerminated);
  std::thread thread_;
  std::mutex startMu_;
  bool started_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> freeOnTerminate_{false};
  TThreadPriority priority_ = tpNormal;
  // The system's id of the running thread (0 before it runs and after).
  std::uint64_t systemId_ = 0;
  std::mutex priorityMu_;
  std::condition_variable priorityCv_;
  bool prioritised_ = false, startDone_ = false;
  void ApplyPriorityLocked();
};

// The UI thread runs the queued synchronised calls; returns whether any ran.
bool CheckSynchronize();
// Marks the calling thread as the UI thread.
void SetMainThread();
bool IsMainThread();
// Whether a synchronised call is waiting for the UI thread.
bool SynchronizePending();
