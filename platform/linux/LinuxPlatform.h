// The real operating system on Linux.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Platform.h"

namespace platform {

class LinuxPlatform final : public IPlatform {
 public:
  // Tunes the real clocks' sleeping threads (see TuneRealClocks).
  LinuxPlatform();

  IClock& Clock() override { return clock_; }
  void MessageBeep() override;
  void PlayWaveAsync(const std::uint8_t* image, std::size_t length) override;
  std::optional<FileVersion> ProgramVersion() override;
  int GetProcessPriorityClass() override;
  void SetProcessPriorityClass(int priorityClass) override;
  std::uint64_t CurrentThreadId() override;
  void SetThreadPriority(std::uint64_t threadId, int level) override;
  void RemoveFile(const std::string& path) override;
  bool FileNamesIgnoreCase() const override { return false; }
  std::tm LocalTime(std::time_t t) override;
  [[noreturn]] void ExitProcess(int code) override;

  // Every thread that sleeps on a real clock, this platform's or a simulated
  // machine's, asks the kernel for a timer slack of 1 ns: the dialogue sleeps
  // a millisecond thousands of times per run, and the default slack of 50 us
  // per wake-up adds a fraction of a second to a run.
  static void TuneRealClocks();

  // The WAVE image the system beep plays.
  static std::vector<std::uint8_t> BeepImage();

 private:
  RealClock clock_;
};

}  // namespace platform
