// The board's side of reading over arbitrary bytes: after the read command
// the emulated board sends the input in place of its dump and trailer, and
// the real receive and parse run on the simulated line and virtual clock.
// Besides the sanitizers, checks that the image is only ever marked loaded
// for a layout that ends as the board's does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/ConfigImage.h"
#include "protocol/Protocol.h"
#include "tests/support/ExchangeRig.h"
#include "tests/support/RunHostDouble.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
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
  if (loaded) {
    // The layout ends in 0xAF, and the trailer's device text in a separator.
    Require(size >= 1120 + 8 + 4);
    Require(ConfigImage.DeviceText[protocol::kMaxDeviceText] == '\0');
  }
  return 0;
}
