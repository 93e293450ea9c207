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

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

struct TRunEnded {};

class TFuzzHost final : public IRunHost {
 public:
  explicit TFuzzHost(TComponent* owner)
      : progress(new TProgressBar(owner)),
        status(new TLabel(owner)),
        panel(new TPanel(owner)),
        port(new TComPort(owner)) {}
  void ShowErrorMessage(const std::string& text) override { messages.push_back(text); }
  void ShowInfoMessage(const std::string& text) override { messages.push_back(text); }
  [[noreturn]] void EndRun() override {
    port->SetActive(false);
    throw TRunEnded{};
  }
  void SetControlsEnabled(bool) override {}
  void ProcessMessages() override { Application->ProcessMessages(); }
  TProgressBar& Progress() override { return *progress; }
  TLabel& Status() override { return *status; }
  TPanel& ResetIndicatorPanel() override { return *panel; }
  std::uint32_t ResetColorOn() override { return clLime; }
  std::uint32_t ResetColorOff() override { return clGreen; }
  TComPort& Port() override { return *port; }

  TProgressBar* progress;
  TLabel* status;
  TPanel* panel;
  TComPort* port;
  std::vector<std::string> messages;
};

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
    auto host = std::make_unique<TFuzzHost>(&app);
    SetRunHost(host.get());
    TComPort& p = *host->port;
    p.SetBaudRate(br9600);
    p.FlowControl().SetDTR(dcDisable);
    p.FlowControl().SetRTS(rcDisable);
    p.BufferSizes().SetInput(64000);
    p.SetDeviceName("\\\\.\\COM5");
    p.SetActive(true);
    ConfigImage = TConfigImage{};
    try {
      ReadConfiguration();
    } catch (const TRunEnded&) {
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
