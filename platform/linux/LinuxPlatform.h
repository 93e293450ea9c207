// The real operating system on Linux.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Platform.h"

namespace platform {

class LinuxPlatform final : public IPlatform {
 public:
  IClock& Clock() override { return clock_; }
  void MessageBeep() override;
  void PlayWaveAsync(const std::uint8_t* image, std::size_t length) override;
  std::optional<FileVersion> ProgramVersion() override;
  int GetProcessPriorityClass() override;
  void SetProcessPriorityClass(int priorityClass) override;
  std::uint64_t CurrentThreadId() override;
  void SetThreadPriority(std::uint64_t threadId, int level) override;
  void RemoveFile(const std::string& path) override;
  [[noreturn]] void ExitProcess(int code) override;

  // The WAVE image the system beep plays.
  static std::vector<std::uint8_t> BeepImage();

 private:
  RealClock clock_;
};

}  // namespace platform
