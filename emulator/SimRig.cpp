#include "emulator/SimRig.h"

#include <algorithm>

#include "emulator/SimBoardLine.h"
#include "platform/Devices.h"
#include "platform/SerialDriver.h"
#include "platform/sim/SimDevices.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"

namespace emulator {

TSimRig::TSimRig(const TSimRigOptions& options)
    : platform_(std::make_unique<platform::SimPlatform>(options.virtualTime)),
      devices_(std::make_unique<platform::SimDevices>(true)),
      serial_(std::make_unique<platform::SimSerialSystem>(options.flavour)),
      usePlatform_(*platform_),
      useDevices_(*devices_),
      useSerial_(*serial_) {
  devices_->AddPort("COM1");
  devices_->AddPort("COM5");
  // The program's own open port is held like any other program's.
  devices_->SetOwnPortQuery([this](const std::string& port) {
    auto dev = serial_->Device(port);
    return dev != nullptr && dev->IsOpen();
  });
  serial_->AddDevice("COM1", platform_->Clock());
  line_ = serial_->AddDevice("COM5", platform_->Clock());
  line_->SetLatencyTimer(options.latencyUs);
  if (options.lowLatencyRequest) serial_->SetLowLatencyRequest(*options.lowLatencyRequest);
  boardLine_ = std::make_unique<TSimBoardLine>(platform_->Clock(), line_);
  TLcdBoard& board = boardLine_->Board();
  if (!options.boardValues.empty())
    std::copy_n(options.boardValues.begin(), std::min<std::size_t>(options.boardValues.size(), 120),
                board.Values.begin());
  for (const auto& f : options.faults) board.AddFault(f);
}

TLcdBoard& TSimRig::Board() { return boardLine_->Board(); }

// The board goes before the backends are given back.
TSimRig::~TSimRig() { boardLine_.reset(); }

std::vector<std::int32_t> TSimRig::BoardValues() const {
  const auto& v = boardLine_->Board().Values;
  return std::vector<std::int32_t>(v.begin(), v.end());
}

}  // namespace emulator
