// A serial driver's event on a mutex and a condition variable: manual or
// automatic reset, as the Windows event objects it stands for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/SerialDriver.h"

namespace platform {

class CondSerialEvent : public ISerialEvent {
 public:
  CondSerialEvent(bool manual, bool set) : manual_(manual), set_(set) {}
  // Notifies under the lock: once the lock is given up, a waiter that sees
  // the event set may destroy it at once, condition variable included.
  bool Set() override {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = true;
    cv_.notify_all();
    return true;
  }
  bool Reset() override {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = false;
    return true;
  }
  bool Wait(int timeoutMs) override {
    std::unique_lock<std::mutex> lock(mu_);
    if (timeoutMs < 0)
      cv_.wait(lock, [&] { return set_; });
    else if (timeoutMs > 0)
      cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return set_; });
    bool was = set_;
    if (was && !manual_) set_ = false;
    return was;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool manual_;
  bool set_;
};

}  // namespace platform
