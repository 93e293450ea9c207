// The board's side of reading over arbitrary bytes: after the read command
// the emulated board sends the input in place of its dump and trailer, and
// the real receive and parse run on the simulated line and virtual clock.
// Besides the sanitizers, checks the outcome against a plain restatement of
// the dump's layout: the image is loaded exactly when the input is a dump and
// trailer the layout allows, and then holds what the input says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ConfigImage.h"
#include "protocol/Protocol.h"
#include "tests/support/ExchangeRig.h"
#include "tests/support/RunHostDouble.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

constexpr std::uint8_t kSeparator = 0x5F, kConfirm = 0xAF;
constexpr std::size_t kFields = ImageLength + 2 * protocol::kRunFields;

struct TExpected {
  std::int32_t values[ImageLength] = {};
  std::uint8_t language = 0, deviceType = 0;
  std::string deviceText, tail4, tail3;
};

// A decimal field as the C library reads one, clamped to int32.
std::int32_t FieldValue(const std::uint8_t* begin, const std::uint8_t* end) {
  std::string s(begin, end);
  long long v = std::strtoll(s.c_str(), nullptr, 10);
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

// What a successful read leaves, or nothing when the input is no dump and
// trailer the layout allows: the dump runs to the first 0xAF and is at most
// 63994 bytes; it holds 2120 fields of at most 49 characters, each ended by
// a separator, then exactly 4 + 3 bytes; the trailer is 0x04, a language
// below 2, a device type, and at most 16 characters ended by a separator.
std::optional<TExpected> ExpectedRead(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t* end = data + size;
  const std::uint8_t* confirm = std::find(data, end, kConfirm);
  if (confirm == end || confirm - data + 1 > protocol::kMaxDumpBytes) return std::nullopt;
  TExpected e;
  const std::uint8_t* pos = data;
  for (std::size_t f = 0; f < kFields; ++f) {
    const std::uint8_t* sep = std::find(pos, confirm, kSeparator);
    if (sep == confirm || sep - pos >= protocol::kFieldBufferSize) return std::nullopt;
    if (f < ImageLength) e.values[f] = FieldValue(pos, sep);
    pos = sep + 1;
  }
  if (confirm - pos != 7) return std::nullopt;
  e.tail4.assign(pos, pos + 4);
  e.tail3.assign(pos + 4, pos + 7);
  const std::uint8_t* t = confirm + 1;
  if (end - t < 4 || t[0] != protocol::ControlChar || t[1] >= protocol::LanguageCount) return std::nullopt;
  e.language = t[1];
  e.deviceType = t[2];
  const std::uint8_t* text = t + 3;
  const std::uint8_t* limit = std::min(end, text + protocol::kMaxDeviceText + 1);
  const std::uint8_t* textEnd = std::find(text, limit, kSeparator);
  if (textEnd == limit) return std::nullopt;
  e.deviceText.assign(text, textEnd);
  return e;
}

bool SameBytes(const char* stored, const std::string& expected) {
  return std::memcmp(stored, expected.data(), expected.size()) == 0 && stored[expected.size()] == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool loaded = false;
  std::size_t messages = 0;
  {
    qvtest::TExchangeRig rig;
    rig.board->Board().ReadReply = std::vector<std::uint8_t>(data, data + size);
    try {
      ReadConfiguration();
    } catch (const qvtest::TRunEnded&) {
    }
    loaded = ConfigImage.ConfigLoaded;
    messages = rig.host->messages.size();
  }

  // Exactly one outcome: loaded without a message, or one message.
  Require(loaded ? messages == 0 : messages == 1);
  const std::optional<TExpected> expected = ExpectedRead(data, size);
  Require(loaded == expected.has_value());
  if (loaded) {
    for (int i = 0; i < ImageLength; ++i) Require(ConfigImage.Values[i] == expected->values[i]);
    Require(ConfigImage.Language == expected->language);
    Require(ConfigImage.DeviceType == expected->deviceType);
    Require(SameBytes(ConfigImage.DeviceText, expected->deviceText));
    Require(SameBytes(ConfigImage.TailText4, expected->tail4));
    Require(SameBytes(ConfigImage.TailText3, expected->tail3));
  }
  return 0;
}
