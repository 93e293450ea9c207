#include "emulator/SimBoardLine.h"

namespace emulator {

TSimBoardLine::TSimBoardLine(platform::IClock& clock, std::shared_ptr<platform::SimSerialLine> line)
    : clock_(clock), line_(std::move(line)), board_(*this) {
  line_->OnReceive([this](std::uint8_t b, std::int64_t) { board_.OnByte(b); });
  // Line changes come on the thread that drives the lines; the board acts in
  // the clock's context, as on every other event.
  line_->OnLinesChanged([this](bool dtr, bool) {
    if (dtr == dtr_) return;
    dtr_ = dtr;
    clock_.Schedule(clock_.NowUs(), [this, dtr] { board_.OnDtr(dtr); });
  });
}

TSimBoardLine::~TSimBoardLine() {
  line_->OnReceive(nullptr);
  line_->OnLinesChanged(nullptr);
}

void TSimBoardLine::Send(const std::vector<std::uint8_t>& bytes) {
  if (!line_->Unplugged()) line_->Send(bytes);
}

void TSimBoardLine::After(std::int64_t delayUs, std::function<void()> fn) {
  clock_.Schedule(clock_.NowUs() + delayUs, std::move(fn));
}

}  // namespace emulator
