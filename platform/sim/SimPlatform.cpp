#include "platform/sim/SimPlatform.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace platform {

SimPlatform::SimPlatform(bool virtualTime)
    : version_(FileVersion{QUORVALTINE_VERSION_MAJOR, QUORVALTINE_VERSION_MINOR}) {
  if (virtualTime) {
    auto v = std::make_unique<VirtualClock>();
    virtual_ = v.get();
    clock_ = std::move(v);
  } else {
    clock_ = std::make_unique<RealClock>();
  }
}

std::uint64_t SimPlatform::CurrentThreadId() {
  return static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id())) | 1;
}

void SimPlatform::SetThreadPriority(std::uint64_t threadId, int level) {
  std::lock_guard<std::mutex> lock(threadsMu_);
  threadPriorities_[threadId] = level;
  lastPrioritised_ = threadId;
}

std::uint64_t SimPlatform::LastPrioritisedThread() {
  std::lock_guard<std::mutex> lock(threadsMu_);
  return lastPrioritised_;
}

int SimPlatform::ThreadPriorityOf(std::uint64_t threadId) {
  std::lock_guard<std::mutex> lock(threadsMu_);
  auto it = threadPriorities_.find(threadId);
  return it == threadPriorities_.end() ? -1 : it->second;
}

void SimPlatform::MessageBeep() {
  ++beeps_;
  Transcript::Line("beep");
}

void SimPlatform::PlayWaveAsync(const std::uint8_t* image, std::size_t length) {
  ++tones_;
  lastWave_ = image;
  lastWaveLength_ = length;
  Transcript::Line("tone");
}

void SimPlatform::RemoveFile(const std::string& path) { (void)std::remove(path.c_str()); }

void SimPlatform::ExitProcess(int code) { std::exit(code); }

}  // namespace platform
