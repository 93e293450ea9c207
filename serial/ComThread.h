// The port's event thread: waits for the driver's communication events and
// hands each dispatch to the port.
//
// Lifetime. The thread frees itself when it ends, and the port neither waits
// for it at a close nor frees it. Port and thread therefore meet only through
// a shared gate (TComThreadGate) that outlives both: the thread touches the
// port's device, wait event and mask word only inside its wait phase, which
// it enters through the gate while the port is alive and still has this
// thread; every call it queues for the UI thread asks the gate again before
// it touches the port. Stopping the thread detaches it at the gate and waits
// only until it has left its wait phase (which the stop itself ends), never
// for the UI thread, so a stop from inside a dispatch cannot deadlock. The
// port's destructor also waits until no thread of it runs a direct
// (unsynchronised) dispatch, and drops their queued calls.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "framework/Thread.h"

class TCustomComPort;
class TComThread;

// What the port's current event thread is doing; for tests that settle the
// thread before each step of virtual time.
enum class TComThreadState {
  None,           // no thread, or it has ended or been detached
  Busy,           // running: between waits, or running a direct dispatch
  Waiting,        // blocked in the wait for driver events
  Synchronizing,  // blocked until the UI thread has run its queued call
};

struct TComThreadGate {
  explicit TComThreadGate(TCustomComPort* p) : port(p) {}

  // The port when it is alive and `generation` is still its thread.
  TCustomComPort* Attached(std::uint64_t generation);
  void SetState(std::uint64_t generation, TComThreadState s);

  std::mutex mu;
  std::condition_variable cv;
  TCustomComPort* port;       // null once the port is being destroyed
  std::uint64_t current = 0;  // generation of the port's thread; 0: none
  std::uint64_t lastGeneration = 0;
  bool currentAlive = false;  // the current thread object still exists
  TComThreadState state = TComThreadState::None;
  std::set<TComThread*> live;  // threads of this port not yet freed
  int inWait = 0;              // threads inside their wait phase
  int inDirectDispatch = 0;    // threads running ThreadDoEvent themselves
  int carrying = 0;            // a Close carried over from a thread runs
};

class TComThread : public TThread {
 public:
  // Created running and free-on-terminate, at the port's ThreadPriority;
  // stores itself as the port's thread before it starts.
  explicit TComThread(TCustomComPort* port);
  ~TComThread() override;

  TComThreadGate* FComPortGate() const;

 protected:
  void Execute() override;

 private:
  friend class TCustomComPort;
  TCustomComPort* FComPort;
  std::shared_ptr<TComThreadGate> gate_;
  std::uint64_t generation_ = 0;
};
