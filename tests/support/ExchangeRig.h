// The board emulator on a simulated COM5 with a run host in place of the
// main window, its port open: the setting of the in-process board
// exchanges. Installs the sim platform, driver and headless toolkit for its
// lifetime.
#pragma once

#include <memory>

#include "emulator/SimBoardLine.h"
#include "framework/Forms.h"
#include "framework/ScopedToolkit.h"
#include "framework/headless/Headless.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"
#include "protocol/ConfigImage.h"
#include "protocol/RunHost.h"
#include "tests/support/RunHostDouble.h"

namespace qvtest {

class TExchangeRig {
 public:
  TExchangeRig() {
    tk.SetTraceControls(false);
    line = serial.AddDevice("COM5", sim.Clock());
    board = std::make_unique<emulator::TSimBoardLine>(sim.Clock(), line);
    host = std::make_unique<TRunHostDouble>(&app);
    SetRunHost(host.get());
    host->OpenPort("\\\\.\\COM5");
    ConfigImage = TConfigImage{};
  }
  ~TExchangeRig() {
    SetRunHost(nullptr);
    host.reset();
    board.reset();
  }
  TExchangeRig(const TExchangeRig&) = delete;
  TExchangeRig& operator=(const TExchangeRig&) = delete;

  platform::SimPlatform sim{true};
  platform::SimSerialSystem serial;
  THeadlessToolkit tk;
  TApplication app;
  std::shared_ptr<platform::SimSerialLine> line;
  std::unique_ptr<emulator::TSimBoardLine> board;
  std::unique_ptr<TRunHostDouble> host;
  platform::ScopedPlatform useSim{sim};
  platform::ScopedSerial useSerial{serial};
  ScopedToolkit useTk{tk};
};

}  // namespace qvtest
