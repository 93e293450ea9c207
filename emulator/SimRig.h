// The whole simulated workplace for a dry run or a scenario: the simulated
// platform (virtual or real clock), a machine with the board's FTDI adapter
// at COM5 beside a COM1, the serial device of COM5 and the LCD board on its
// far end. Constructing it installs it; destroying it uninstalls it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "emulator/LcdBoard.h"
#include "platform/ErrorFlavour.h"
#include "platform/Scoped.h"

namespace platform {
class SimPlatform;
class SimDevices;
class SimSerialSystem;
class SimSerialLine;
}  // namespace platform

namespace emulator {

class TSimBoardLine;

struct TSimRigOptions {
  bool virtualTime = true;
  // The board's 120 start values; empty: the built-in set.
  std::vector<std::int32_t> boardValues;
  std::vector<TBoardFault> faults;
  // The codes the simulated serial driver fails with.
  platform::ErrorFlavour flavour = platform::kNativeFlavour;
  // The FTDI adapter's latency timer (0: none, bytes arrive as on a UART).
  std::int64_t latencyUs = 16'000;
  // Whether opening the port asks for low latency; unset: as the platform's
  // driver does (Linux yes, Windows no).
  std::optional<bool> lowLatencyRequest;
};

class TSimRig {
 public:
  explicit TSimRig(const TSimRigOptions& options = {});
  ~TSimRig();
  TSimRig(const TSimRig&) = delete;
  TSimRig& operator=(const TSimRig&) = delete;

  platform::SimPlatform& Platform() { return *platform_; }
  platform::SimDevices& Machine() { return *devices_; }
  platform::SimSerialSystem& Serial() { return *serial_; }
  platform::SimSerialLine& BoardLine() { return *line_; }
  TLcdBoard& Board();
  std::vector<std::int32_t> BoardValues() const;

 private:
  std::unique_ptr<platform::SimPlatform> platform_;
  std::unique_ptr<platform::SimDevices> devices_;
  std::unique_ptr<platform::SimSerialSystem> serial_;
  platform::ScopedPlatform usePlatform_;
  platform::ScopedDevices useDevices_;
  platform::ScopedSerial useSerial_;
  std::shared_ptr<platform::SimSerialLine> line_;
  std::unique_ptr<TSimBoardLine> boardLine_;
};

}  // namespace emulator
