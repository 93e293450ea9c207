// The clock seam: every sleep and every timer goes through it, so the same
// code runs on the real clock or on a virtual one.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace platform {

class IClock {
 public:
  using EventId = std::uint64_t;
  virtual ~IClock() = default;
  // Monotonic time in microseconds.
  virtual std::int64_t NowUs() = 0;
  virtual void SleepMs(int ms) = 0;
  virtual bool IsVirtual() const = 0;
  // Runs fn once the clock has reached atUs. On the real clock fn runs on the
  // clock's own scheduler thread; on the virtual clock it runs on whichever
  // thread advances time past atUs. Events run in time order, equal times in
  // the order they were scheduled.
  virtual EventId Schedule(std::int64_t atUs, std::function<void()> fn) = 0;
  virtual void Cancel(EventId id) = 0;

  std::int64_t NowMs() { return NowUs() / 1000; }
};

// Runs once on every thread before its first sleep on a real clock, and on
// each real clock's scheduler thread: a system backend may make such threads
// wake more punctually. Process-wide; nullptr (the default) for none.
// Returns the previous one.
using ThreadTuning = void (*)();
ThreadTuning SetRealClockThreadTuning(ThreadTuning tune);

class RealClock final : public IClock {
 public:
  RealClock();
  ~RealClock() override;
  std::int64_t NowUs() override;
  void SleepMs(int ms) override;
  bool IsVirtual() const override { return false; }
  EventId Schedule(std::int64_t atUs, std::function<void()> fn) override;
  void Cancel(EventId id) override;

 private:
  void SchedulerLoop();
  std::mutex mu_;
  std::condition_variable cv_;
  std::multimap<std::int64_t, std::pair<EventId, std::function<void()>>> events_;
  EventId nextId_ = 1;
  bool stop_ = false;
  std::thread scheduler_;
};

// Virtual time: a sleep advances the clock at once and runs every event that
// falls due on the way, so a run of many seconds takes milliseconds and every
// timing is repeatable.
class VirtualClock final : public IClock {
 public:
  std::int64_t NowUs() override;
  void SleepMs(int ms) override;
  bool IsVirtual() const override { return true; }
  EventId Schedule(std::int64_t atUs, std::function<void()> fn) override;
  void Cancel(EventId id) override;

  // Advances to atUs (never backwards), running due events in order; an event
  // sees NowUs() equal to its own time.
  void AdvanceTo(std::int64_t atUs);
  // Time of the earliest scheduled event, or -1 when none is scheduled.
  std::int64_t NextEventUs();

  // Called before every step of virtual time, so that helpers on other
  // threads (which react to the previous step) can settle first.
  void SetSettleHook(std::function<void()> hook);

 private:
  std::mutex mu_;
  std::int64_t now_ = 0;
  std::multimap<std::int64_t, std::pair<EventId, std::function<void()>>> events_;
  EventId nextId_ = 1;
  std::function<void()> settle_;
};

}  // namespace platform
