#include "app/AlertTone.h"

#include <cstring>

#include "platform/Platform.h"

namespace {

// The playback reads this buffer in the background; a later call rewrites it
// with the same bytes, which leaves a running playback undisturbed.
std::uint8_t g_toneBuffer[kToneBufferSize];

void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

}  // namespace

const std::uint8_t* BuildAlertToneImage(std::size_t* length) {
  std::uint8_t* b = g_toneBuffer;
  std::memcpy(b, "RIFF", 4);
  std::memcpy(b + 8, "WAVEfmt ", 8);
  Put32(b + 16, 18);     // the 18-byte format chunk
  Put16(b + 20, 1);      // PCM
  Put16(b + 22, 1);      // mono
  Put32(b + 24, 22050);  // samples per second
  Put32(b + 28, 22050);  // bytes per second
  Put16(b + 32, 1);      // block alignment
  Put16(b + 34, 8);      // bits per sample
  Put16(b + 36, 0);      // no extra format bytes
  std::memcpy(b + 38, "data", 4);

  // A square wave of period 6: the phase runs 1..5, 0, and the level is high
  // while 2.5 exceeds it. The wave ends on a whole period after offset 2000.
  const int phaseLimit = 5;
  int phase = 0;
  std::size_t n = 46;
  for (;; ++n) {
    phase = phase < phaseLimit ? phase + 1 : 0;
    b[n] = phaseLimit * 0.5 > phase ? 0xDF : 0x1F;
    if (n > 2000 && phase == 0) break;
  }
  const auto samples = static_cast<std::uint32_t>(n - 45);
  Put32(b + 42, samples);
  Put32(b + 4, samples + 38);
  if (length != nullptr) *length = n + 1;
  return b;
}

void PlayAlertTone() {
  std::size_t length = 0;
  const std::uint8_t* image = BuildAlertToneImage(&length);
  platform::Current().PlayWaveAsync(image, length);
}
