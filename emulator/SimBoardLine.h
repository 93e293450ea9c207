// The board's end of a simulated serial line: wires a TLcdBoard to the far
// end of a simulated device, on the platform clock.
#pragma once

#include <memory>

#include "emulator/LcdBoard.h"
#include "platform/Clock.h"
#include "platform/sim/SimSerial.h"

namespace emulator {

class TSimBoardLine final : public IBoardLine {
 public:
  // Connects the board to the line until destroyed.
  TSimBoardLine(platform::IClock& clock, std::shared_ptr<platform::SimSerialLine> line);
  ~TSimBoardLine() override;
  TSimBoardLine(const TSimBoardLine&) = delete;
  TSimBoardLine& operator=(const TSimBoardLine&) = delete;

  TLcdBoard& Board() { return board_; }

  std::int64_t NowUs() override { return clock_.NowUs(); }
  void Send(const std::vector<std::uint8_t>& bytes) override;
  void SetDsr(bool on) override { line_->SetDSR(on); }
  void After(std::int64_t delayUs, std::function<void()> fn) override;
  void InjectLineError() override { line_->InjectErrors(platform::kCeFrame); }
  void Unplug() override { line_->Unplug(); }

 private:
  platform::IClock& clock_;
  std::shared_ptr<platform::SimSerialLine> line_;
  TLcdBoard board_;
  bool dtr_ = false;
};

}  // namespace emulator
