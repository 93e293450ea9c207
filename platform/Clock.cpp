#include "platform/Clock.h"

#include <atomic>
#include <chrono>

namespace platform {

namespace {
std::int64_t SteadyUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<ThreadTuning> g_tuning{nullptr};

// A tuning such as the timer slack is per thread, so every sleeping thread
// asks once; one that slept before a tuning was set asks at its next sleep.
void TuneThread() {
  thread_local bool done = false;
  if (done) return;
  ThreadTuning tune = g_tuning.load();
  if (tune == nullptr) return;
  done = true;
  tune();
}
}  // namespace

ThreadTuning SetRealClockThreadTuning(ThreadTuning tune) { return g_tuning.exchange(tune); }

RealClock::RealClock() = default;

RealClock::~RealClock() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (scheduler_.joinable()) scheduler_.join();
}

std::int64_t RealClock::NowUs() { return SteadyUs(); }

void RealClock::SleepMs(int ms) {
  if (ms <= 0) return;
  TuneThread();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

IClock::EventId RealClock::Schedule(std::int64_t atUs, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  EventId id = nextId_++;
  events_.emplace(atUs, std::make_pair(id, std::move(fn)));
  if (!scheduler_.joinable()) scheduler_ = std::thread([this] { SchedulerLoop(); });
  cv_.notify_all();
  return id;
}

void RealClock::Cancel(EventId id) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = events_.begin(); it != events_.end(); ++it)
    if (it->second.first == id) {
      events_.erase(it);
      return;
    }
}

void RealClock::SchedulerLoop() {
  TuneThread();
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    if (events_.empty()) {
      cv_.wait(lock);
      continue;
    }
    auto first = events_.begin();
    std::int64_t now = SteadyUs();
    if (first->first > now) {
      cv_.wait_for(lock, std::chrono::microseconds(first->first - now));
      continue;
    }
    auto fn = std::move(first->second.second);
    events_.erase(first);
    lock.unlock();
    fn();
    lock.lock();
  }
}

std::int64_t VirtualClock::NowUs() {
  std::lock_guard<std::mutex> lock(mu_);
  return now_;
}

void VirtualClock::SleepMs(int ms) {
  if (ms <= 0) return;
  AdvanceTo(NowUs() + static_cast<std::int64_t>(ms) * 1000);
}

IClock::EventId VirtualClock::Schedule(std::int64_t atUs, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  EventId id = nextId_++;
  events_.emplace(atUs, std::make_pair(id, std::move(fn)));
  return id;
}

void VirtualClock::Cancel(EventId id) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = events_.begin(); it != events_.end(); ++it)
    if (it->second.first == id) {
      events_.erase(it);
      return;
    }
}

std::int64_t VirtualClock::NextEventUs() {
  std::lock_guard<std::mutex> lock(mu_);
  return events_.empty() ? -1 : events_.begin()->first;
}

void VirtualClock::SetSettleHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  settle_ = std::move(hook);
}

void VirtualClock::AdvanceTo(std::int64_t atUs) {
  for (;;) {
    std::function<void()> settle;
    {
      std::lock_guard<std::mutex> lock(mu_);
      settle = settle_;
    }
    if (settle) settle();
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (events_.empty() || events_.begin()->first > atUs) {
        if (atUs > now_) now_ = atUs;
        return;
      }
      auto first = events_.begin();
      if (first->first > now_) now_ = first->first;
      fn = std::move(first->second.second);
      events_.erase(first);
    }
    fn();
  }
}

}  // namespace platform
