// The real operating system on Windows.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace platform {

// The real clock, with sleeps through the system's Sleep. The owner of the
// platform raises the system timer resolution to 1 ms (a 1 ms sleep would
// otherwise last a whole scheduler tick, about 15.6 ms).
class Win32Clock final : public IClock {
 public:
  std::int64_t NowUs() override { return real_.NowUs(); }
  void SleepMs(int ms) override;
  bool IsVirtual() const override { return false; }
  EventId Schedule(std::int64_t atUs, std::function<void()> fn) override {
    return real_.Schedule(atUs, std::move(fn));
  }
  void Cancel(EventId id) override { real_.Cancel(id); }

 private:
  RealClock real_;
};

class Win32Platform final : public IPlatform {
 public:
  // Raises the timer resolution to 1 ms until the platform is destroyed or
  // the process is ended through ExitProcess.
  Win32Platform();
  ~Win32Platform() override;

  IClock& Clock() override { return clock_; }
  void MessageBeep() override;
  void PlayWaveAsync(const std::uint8_t* image, std::size_t length) override;
  std::optional<FileVersion> ProgramVersion() override;
  int GetProcessPriorityClass() override;
  void SetProcessPriorityClass(int priorityClass) override;
  std::uint64_t CurrentThreadId() override;
  void SetThreadPriority(std::uint64_t threadId, int level) override;
  void RemoveFile(const std::string& path) override;
  bool FileNamesIgnoreCase() const override { return true; }
  std::tm LocalTime(std::time_t t) override;
  [[noreturn]] void ExitProcess(int code) override;

 private:
  void RestoreTimerResolution();
  Win32Clock clock_;
  bool periodRaised_ = false;
};

// The file version of a program file, by the rules of ProgramVersion.
std::optional<FileVersion> FileVersionOf(const std::string& path);

}  // namespace platform
