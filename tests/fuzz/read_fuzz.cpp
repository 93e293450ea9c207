// The board's side of reading over arbitrary bytes: after the read command
// the emulated board sends the input in place of its dump and trailer, and
// the real receive and parse run on the simulated line and virtual clock.
// Besides the sanitizers, checks that the image is only ever marked loaded
// for a layout that ends as the board's does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "framework/Controls.h"
#include "framework/Forms.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "protocol/ConfigImage.h"
#include "protocol/Protocol.h"
#include "protocol/RunHost.h"
#include "serial/Comport.h"
#include "sim/SimBoardLine.h"
#include "tests/support/RunHostDouble.h"

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::SimPlatform sim(true);
  platform::SimSerialSystem serial;
  THeadlessToolkit tk;
  platform::Install(&sim);
  platform::InstallSerial(&serial);
  InstallToolkit(&tk);
  tk.SetTraceControls(false);
  bool loaded = false;
  std::size_t messages = 0;
  {
    TApplication app;
    auto line = serial.AddDevice("COM5", sim.Clock());
    auto board = std::make_unique<sim::TSimBoardLine>(sim.Clock(), line);
    board->Board().ReadReply = std::vector<std::uint8_t>(data, data + size);
    auto host = std::make_unique<qvtest::TRunHostDouble>(&app);
    SetRunHost(host.get());
    host->OpenPort("\\\\.\\COM5");
    ConfigImage = TConfigImage{};
    try {
      ReadConfiguration();
    } catch (const qvtest::TRunEnded&) {
    }
    loaded = ConfigImage.ConfigLoaded;
    messages = host->messages.size();
    SetRunHost(nullptr);
    host.reset();
    board.reset();
  }
  InstallToolkit(nullptr);
  platform::InstallSerial(nullptr);
  platform::Install(nullptr);

  // Exactly one outcome: loaded without a message, or one message.
  Require(loaded ? messages == 0 : messages == 1);
  if (loaded) {
    // The layout ends in 0xAF, and the trailer's device text in a separator.
    Require(size >= 1120 + 8 + 4);
    Require(ConfigImage.DeviceText[protocol::kMaxDeviceText] == '\0');
  }
  return 0;
}
