// The one configuration image of the process: the board's 120 values as
// read, patched and programmed, and the identity data of the last read.
#pragma once

#include <cstdint>

constexpr int ImageLength = 120;

struct TConfigImage {
  std::int32_t Values[ImageLength];
  bool ConfigLoaded;
  std::uint8_t Language;
  std::uint8_t DeviceType;
  char DeviceText[16 + 1];
  char TailText4[4 + 1];
  char TailText3[3 + 1];
};

// Statically allocated; the values start at zero and mean nothing until a
// read has set ConfigLoaded.
extern TConfigImage ConfigImage;
