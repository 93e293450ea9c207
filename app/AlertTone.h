// The found-port tone: a short square-wave beep built as a WAVE image in
// memory and handed to the system's background playback.
#pragma once

#include <cstddef>
#include <cstdint>

// The static buffer the image is built in, and the image's length in it.
constexpr std::size_t kToneBufferSize = 22200;
constexpr std::size_t kToneImageLength = 2002;

// Rebuilds the image (identical bytes every time) and starts playing it;
// returns at once. Nothing is reported if the sound cannot be played.
void PlayAlertTone();

// Builds the image into the static buffer and returns the buffer; the
// image's length is stored in *length.
const std::uint8_t* BuildAlertToneImage(std::size_t* length);
