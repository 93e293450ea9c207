// Deterministic event threads on the virtual clock. Before every step of
// virtual time the settler waits until each watched port's event thread has
// caught up with the previous step: it is blocked in a driver wait that has
// not completed, or blocked on a synchronised call that is queued for the UI
// thread, or it has no thread. Pump() then runs the UI thread's side.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "framework/Thread.h"
#include "framework/headless/Headless.h"
#include "platform/Clock.h"
#include "platform/sim/SimSerial.h"
#include "serial/ComThread.h"
#include "serial/Comport.h"

namespace qvtest {

class EventSettler {
 public:
  EventSettler(platform::VirtualClock& clock, THeadlessToolkit& toolkit) : clock_(clock), toolkit_(toolkit) {
    clock_.SetSettleHook([this] { Settle(); });
  }
  ~EventSettler() { clock_.SetSettleHook(nullptr); }
  EventSettler(const EventSettler&) = delete;
  EventSettler& operator=(const EventSettler&) = delete;

  void Watch(TCustomComPort* port, std::shared_ptr<platform::SimSerialLine> line) {
    watched_.emplace_back(port, std::move(line));
  }
  void Forget(TCustomComPort* port) {
    for (auto it = watched_.begin(); it != watched_.end();)
      it = it->first == port ? watched_.erase(it) : it + 1;
  }

  bool Settled() {
    for (auto& [port, line] : watched_) {
      switch (port->EventThreadState()) {
        case TComThreadState::None:
          break;
        case TComThreadState::Waiting:
          if (!line->EventWaitSettled()) return false;
          break;
        case TComThreadState::Synchronizing:
          if (!SynchronizePending()) return false;
          break;
        case TComThreadState::Busy:
          return false;
      }
    }
    return true;
  }

  // Bounded: a thread that never settles fails the test instead of hanging.
  void Settle() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Settled()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the event thread did not settle";
        return;
      }
      std::this_thread::yield();
    }
  }

  // Runs everything the UI thread has to do now, queued dispatches included.
  void Drain() {
    for (int i = 0; i < 1000; ++i) {
      Settle();
      toolkit_.ProcessMessages();
      Settle();
      if (!SynchronizePending()) return;
    }
    ADD_FAILURE() << "the event thread keeps queueing calls";
  }

  // Lets ms milliseconds of virtual time pass in 1 ms steps, with the UI
  // thread's messages processed after each.
  void Pump(int ms) {
    Drain();
    for (int i = 0; i < ms; ++i) {
      clock_.AdvanceTo(clock_.NowUs() + 1000);
      Drain();
    }
  }

 private:
  platform::VirtualClock& clock_;
  THeadlessToolkit& toolkit_;
  std::vector<std::pair<TCustomComPort*, std::shared_ptr<platform::SimSerialLine>>> watched_;
};

}  // namespace qvtest
