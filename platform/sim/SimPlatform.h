// The simulated platform: a virtual (or real) clock, the beep and the tone as
// transcript lines, a version the test chooses, and a recorded priority.
#pragma once

#include <map>
#include <mutex>

#include <memory>

#include "platform/ErrorFlavour.h"
#include "platform/Platform.h"

namespace platform {

class SimPlatform final : public IPlatform {
 public:
  explicit SimPlatform(bool virtualTime = true);

  IClock& Clock() override { return *clock_; }
  void MessageBeep() override;
  void PlayWaveAsync(const std::uint8_t* image, std::size_t length) override;
  std::optional<FileVersion> ProgramVersion() override { return version_; }
  int GetProcessPriorityClass() override { return priority_; }
  void SetProcessPriorityClass(int priorityClass) override { priority_ = priorityClass; }
  std::uint64_t CurrentThreadId() override;
  void SetThreadPriority(std::uint64_t threadId, int level) override;
  // The last level given to a thread, -1 when none was.
  int ThreadPriorityOf(std::uint64_t threadId);
  // The thread that was last given a priority, 0 when none was.
  std::uint64_t LastPrioritisedThread();
  void RemoveFile(const std::string& path) override;
  // As the system of this build does, unless the test says otherwise.
  bool FileNamesIgnoreCase() const override { return namesIgnoreCase_; }
  void SetFileNamesIgnoreCase(bool ignore) { namesIgnoreCase_ = ignore; }
  [[noreturn]] void ExitProcess(int code) override;

  // nullopt: the program has no version resource.
  void SetProgramVersion(std::optional<FileVersion> v) { version_ = v; }
  // The virtual clock, or nullptr when running on the real clock.
  VirtualClock* Virtual() { return virtual_; }

  int Beeps() const { return beeps_; }
  int Tones() const { return tones_; }
  const std::uint8_t* LastWave() const { return lastWave_; }
  std::size_t LastWaveLength() const { return lastWaveLength_; }

 private:
  std::unique_ptr<IClock> clock_;
  VirtualClock* virtual_ = nullptr;
  std::optional<FileVersion> version_;
  int priority_ = kNormalPriorityClass;
  std::mutex threadsMu_;
  std::map<std::uint64_t, int> threadPriorities_;
  std::uint64_t lastPrioritised_ = 0;
  bool namesIgnoreCase_ = kNativeFlavour == ErrorFlavour::Windows;
  int beeps_ = 0;
  int tones_ = 0;
  const std::uint8_t* lastWave_ = nullptr;
  std::size_t lastWaveLength_ = 0;
};

}  // namespace platform
