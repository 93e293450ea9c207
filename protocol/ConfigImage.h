// The configuration image: the one in-memory copy of the board's
// configuration for the whole run. Reading fills it, the patch file changes
// single values, programming sends it back. Plain data, touched only on the
// user-interface thread, statically allocated.
#pragma once

#include <cstdint>

// The number of values in the board's configuration; fixed for the process.
constexpr int ImageLength = 120;
// Room of the board's device text, without the terminating zero.
constexpr int kDeviceTextLength = 16;

struct TConfigImage {
  // The values in board order. They mean nothing until a read succeeds.
  std::int32_t Values[ImageLength] = {};
  // Set as the very last step of a successful read; never cleared.
  bool ConfigLoaded = false;
  // Identity data of the board's dump; 0xFF until the first read.
  std::uint8_t Language = 0xFF;
  std::uint8_t DeviceType = 0xFF;
  // Zero-terminated texts of the dump, with placeholders until the first read.
  char DeviceText[kDeviceTextLength + 1] = "?";
  char TailText4[4 + 1] = "????";
  char TailText3[3 + 1] = "???";
};

extern TConfigImage ConfigImage;
