#include "platform/sim/SimPlatform.h"

#include <cstdio>
#include <cstdlib>

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
