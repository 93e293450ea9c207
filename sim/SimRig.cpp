#include "sim/SimRig.h"

#include <algorithm>

#include "platform/Devices.h"
#include "platform/SerialDriver.h"
#include "platform/sim/SimDevices.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimSerial.h"

namespace sim {

// The board's end of the simulated serial line.
class TSimRig::TLine final : public IBoardLine {
 public:
  TLine(platform::IClock& clock, platform::SimSerialLine& line) : clock_(clock), line_(line) {}
  std::int64_t NowUs() override { return clock_.NowUs(); }
  void Send(const std::vector<std::uint8_t>& bytes) override {
    if (!line_.Unplugged()) line_.Send(bytes);
  }
  void SetDsr(bool on) override { line_.SetDSR(on); }
  void After(std::int64_t delayUs, std::function<void()> fn) override {
    clock_.Schedule(clock_.NowUs() + delayUs, std::move(fn));
  }
  void InjectLineError() override { line_.InjectErrors(platform::kCeFrame); }
  void Unplug() override { line_.Unplug(); }

 private:
  platform::IClock& clock_;
  platform::SimSerialLine& line_;
};

TSimRig::TSimRig(const TSimRigOptions& options)
    : platform_(std::make_unique<platform::SimPlatform>(options.virtualTime)),
      devices_(std::make_unique<platform::SimDevices>(true)),
      serial_(std::make_unique<platform::SimSerialSystem>()) {
  platform::Install(platform_.get());
  platform::InstallDevices(devices_.get());
  platform::InstallSerial(serial_.get());
  devices_->AddPort("COM1");
  devices_->AddPort("COM5");
  serial_->AddDevice("COM1", platform_->Clock());
  line_ = serial_->AddDevice("COM5", platform_->Clock());
  boardLine_ = std::make_unique<TLine>(platform_->Clock(), *line_);
  board_ = std::make_unique<TLcdBoard>(*boardLine_);
  if (!options.boardValues.empty())
    std::copy_n(options.boardValues.begin(), std::min<std::size_t>(options.boardValues.size(), 120),
                board_->Values.begin());
  for (const auto& f : options.faults) board_->AddFault(f);
  line_->OnReceive([this](std::uint8_t b, std::int64_t) { board_->OnByte(b); });
  // Line changes come on the thread that drives the lines; the board acts
  // in the clock's context, like on every other event.
  line_->OnLinesChanged([this, dtr = false](bool nowDtr, bool) mutable {
    if (nowDtr == dtr) return;
    dtr = nowDtr;
    platform::IClock& clock = platform_->Clock();
    clock.Schedule(clock.NowUs(), [this, nowDtr] { board_->OnDtr(nowDtr); });
  });
}

TSimRig::~TSimRig() {
  line_->OnReceive(nullptr);
  line_->OnLinesChanged(nullptr);
  platform::InstallSerial(nullptr);
  platform::InstallDevices(nullptr);
  platform::Install(nullptr);
}

std::vector<std::int32_t> TSimRig::BoardValues() const {
  return std::vector<std::int32_t>(board_->Values.begin(), board_->Values.end());
}

}  // namespace sim
