// The simulated line's timing: characters on the wire at the configured
// rate, the adapter's receive buffer and latency timer, transfers with their
// time-outs, and the events the line raises.
#include <algorithm>

#include "platform/sim/SimSerial.h"

namespace platform {

SimSerialLine::SimSerialLine(IClock& clock, ErrorFlavour flavour) : clock_(clock), codes_(CodesOf(flavour)) {
  dcb_.BaudRate = 9600;
  dcb_.ByteSize = 8;
  dcb_.Flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
  dcb_.XonChar = 17;
  dcb_.XoffChar = 19;
  dcb_.XonLim = 2048;
  dcb_.XoffLim = 512;
}

SimSerialLine::~SimSerialLine() {
  if (txEvent_) clock_.Cancel(txEvent_);
  if (chipTimer_) clock_.Cancel(chipTimer_);
}

std::int64_t SimSerialLine::CharTimeLocked() const {
  // In half bits, for 1.5 stop bits.
  std::int64_t half = 2 * (1 + dcb_.ByteSize + (dcb_.Parity != kNoParity ? 1 : 0));
  half += dcb_.StopBits == kOne5StopBits ? 3 : dcb_.StopBits == kTwoStopBits ? 4 : 2;
  std::int64_t baud = dcb_.BaudRate > 0 ? dcb_.BaudRate : 9600;
  return (half * 1'000'000 + 2 * baud - 1) / (2 * baud);
}

std::int64_t SimSerialLine::CharTimeUs() {
  std::lock_guard<std::mutex> lock(mu_);
  return CharTimeLocked();
}

void SimSerialLine::StartTxLocked() {
  if (txBusy_ || tx_.empty() || !open_ || txBudget_ == 0) return;
  txBusy_ = true;
  std::uint64_t token = ++txToken_;
  std::weak_ptr<SimSerialLine> self = weak_from_this();
  txEvent_ = clock_.Schedule(clock_.NowUs() + CharTimeLocked(), [self, token] {
    if (auto s = self.lock()) s->TxDone(token);
  });
}

void SimSerialLine::TxDone(std::uint64_t token) {
  std::function<void(std::uint8_t, std::int64_t)> cb;
  std::uint8_t byte;
  std::int64_t at;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (token != txToken_ || !txBusy_ || tx_.empty()) return;
    txEvent_ = 0;
    txBusy_ = false;
    TxByte b = tx_.front();
    tx_.pop_front();
    if (txBudget_ > 0) --txBudget_;
    byte = b.byte;
    at = clock_.NowUs();
    received_.push_back({byte, at});
    cb = onReceive_;
    if (b.write != 0 && write_.active && !write_.done && b.write == write_.serial) {
      ++write_.transferred;
      if (--writeLeft_ == 0) CompleteLocked(write_, 0);
    }
    if (tx_.empty())
      RaiseEventsLocked(kEvTxEmpty);
    else
      StartTxLocked();
  }
  cv_.notify_all();
  if (cb) cb(byte, at);
}

void SimSerialLine::StartRxLocked() {
  if (rxBusy_ || rx_.empty()) return;
  rxBusy_ = true;
  std::uint64_t token = ++rxToken_;
  std::weak_ptr<SimSerialLine> self = weak_from_this();
  clock_.Schedule(clock_.NowUs() + CharTimeLocked(), [self, token] {
    if (auto s = self.lock()) s->RxDone(token);
  });
}

void SimSerialLine::RxDone(std::uint64_t token) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (token != rxToken_ || !rxBusy_ || rx_.empty()) return;
    rxBusy_ = false;
    RxByte b = rx_.front();
    rx_.pop_front();
    // A closed or removed port loses what arrives.
    if (open_ && !unplugged_) {
      if (EffectiveLatencyLocked() == 0) {
        DeliverLocked(b);
      } else {
        chip_.push_back(b);
        if (chip_.size() >= kChipBuffer)
          FlushChipLocked();
        else
          ArmChipTimerLocked();
      }
    }
    StartRxLocked();
  }
  cv_.notify_all();
}

void SimSerialLine::DeliverLocked(const RxByte& b) {
  std::uint32_t events = 0;
  if (b.errors) {
    errors_ |= b.errors;
    events |= kEvErr;
    if (b.errors & kCeBreak) events |= kEvBreak;
  }
  if (input_.size() >= inQueueSize_) {
    errors_ |= kCeRxOver;
    events |= kEvErr;
  } else {
    input_.push_back(b.byte);
    events |= kEvRxChar;
    if (static_cast<char>(b.byte) == dcb_.EvtChar) events |= kEvRxFlag;
    if (!rx80Raised_ && input_.size() * 5 >= static_cast<std::size_t>(inQueueSize_) * 4) {
      rx80Raised_ = true;
      events |= kEvRx80Full;
    }
    FillReadLocked();
    if (read_.Running()) {
      read_.timeouts.Moved(clock_.NowUs());
      ScheduleTimeoutLocked(read_);
    }
  }
  RaiseEventsLocked(events);
}

std::int64_t SimSerialLine::EffectiveLatencyLocked() const {
  if (latencyUs_ <= 0) return 0;
  return lowLatency_ ? std::min(latencyUs_, kLowLatencyUs) : latencyUs_;
}

void SimSerialLine::ArmChipTimerLocked() {
  if (chipTimer_ != 0) return;
  // The timer has ticked every period since the last packet; the buffer
  // goes with the first tick after now.
  const std::int64_t period = EffectiveLatencyLocked();
  const std::int64_t now = clock_.NowUs();
  const std::int64_t ticks = (now - lastPacketUs_) / period + 1;
  const std::uint64_t token = ++chipToken_;
  std::weak_ptr<SimSerialLine> self = weak_from_this();
  chipTimer_ = clock_.Schedule(lastPacketUs_ + ticks * period, [self, token] {
    if (auto s = self.lock()) s->ChipTick(token);
  });
}

void SimSerialLine::FlushChipLocked() {
  if (chipTimer_ != 0) clock_.Cancel(chipTimer_);
  chipTimer_ = 0;
  ++chipToken_;
  lastPacketUs_ = clock_.NowUs();
  std::deque<RxByte> packet;
  packet.swap(chip_);
  for (const RxByte& b : packet) DeliverLocked(b);
}

void SimSerialLine::DropChipLocked() {
  if (chipTimer_ != 0) clock_.Cancel(chipTimer_);
  chipTimer_ = 0;
  ++chipToken_;
  chip_.clear();
}

void SimSerialLine::ChipTick(std::uint64_t token) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (token != chipToken_) return;
    chipTimer_ = 0;
    if (open_ && !unplugged_) FlushChipLocked();
  }
  cv_.notify_all();
}

void SimSerialLine::SetLatencyTimer(std::int64_t us) {
  std::lock_guard<std::mutex> lock(mu_);
  latencyUs_ = std::max<std::int64_t>(0, us);
  // What waits goes out with the old setting's next packet at the latest.
  if (!chip_.empty()) FlushChipLocked();
}

void SimSerialLine::SetLowLatency(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  lowLatency_ = on;
}

bool SimSerialLine::LowLatency() {
  std::lock_guard<std::mutex> lock(mu_);
  return lowLatency_;
}

std::int64_t SimSerialLine::EffectiveLatencyUs() {
  std::lock_guard<std::mutex> lock(mu_);
  return EffectiveLatencyLocked();
}

void SimSerialLine::FillReadLocked() {
  Pending& r = read_;
  if (!r.active || r.done) return;
  while (r.transferred < r.length && !input_.empty()) {
    r.buffer[r.transferred++] = input_.front();
    input_.pop_front();
  }
  if (input_.size() * 5 < static_cast<std::size_t>(inQueueSize_) * 4) rx80Raised_ = false;
  if (r.transferred == r.length) CompleteLocked(r, 0);
}

void SimSerialLine::StartReadTimeoutsLocked() {
  Pending& r = read_;
  const std::int64_t now = clock_.NowUs();
  r.timeouts = TransferTimeouts::Read(timeouts_, r.length, now);
  // Bytes taken at the start count as the first: the interval runs.
  if (r.transferred > 0) r.timeouts.Moved(now);
  ScheduleTimeoutLocked(r);
}

void SimSerialLine::StartWriteTimeoutLocked() {
  write_.timeouts = TransferTimeouts::Write(timeouts_, write_.length, clock_.NowUs());
  ScheduleTimeoutLocked(write_);
}

void SimSerialLine::ScheduleTimeoutLocked(Pending& p) {
  const std::int64_t at = p.timeouts.NextUs();
  // An unchanged moment keeps its place among the clock's events.
  if (p.timer != 0 && at == p.timerAtUs) return;
  if (p.timer != 0) clock_.Cancel(p.timer);
  p.timer = 0;
  if (at < 0) return;
  std::weak_ptr<SimSerialLine> self = weak_from_this();
  const bool isRead = &p == &read_;
  const std::uint64_t serial = p.serial;
  p.timerAtUs = at;
  p.timer = clock_.Schedule(at, [self, isRead, serial] {
    if (auto s = self.lock()) s->TimedOut(isRead, serial);
  });
}

void SimSerialLine::TimedOut(bool isRead, std::uint64_t serial) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    Pending& p = isRead ? read_ : write_;
    if (p.serial != serial || !p.Running()) return;
    p.timer = 0;
    if (!isRead) {
      // What has not gone on the line stays unsent; the character on the
      // line finishes.
      auto from = tx_.begin() + (txBusy_ ? 1 : 0);
      tx_.erase(std::remove_if(from, tx_.end(), [serial](const TxByte& b) { return b.write == serial; }),
                tx_.end());
    }
    CompleteLocked(p, 0);
  }
  cv_.notify_all();
}

void SimSerialLine::CompleteLocked(Pending& p, std::uint32_t error) {
  if (p.done) return;
  if (p.timer) clock_.Cancel(p.timer);
  p.timer = 0;
  ++p.serial;
  p.Finish(error);
}

void SimSerialLine::RaiseEventsLocked(std::uint32_t bits) {
  bits &= mask_;
  if (bits == 0) return;
  if (wait_.End(bits))
    waitUncollected_ = true;
  else
    history_ |= bits;
}

void SimSerialLine::ApplyLineControlLocked(Calls& calls) {
  std::uint32_t dtr = dcb_.Flags & kDcbDtrControlMask;
  std::uint32_t rts = dcb_.Flags & kDcbRtsControlMask;
  dtr_ = dtr != 0;
  if (rts != kDcbRtsControlToggle) rts_ = rts != 0;
  LinesChangedLocked(calls);
}

void SimSerialLine::LinesChangedLocked(Calls& calls) {
  if (onLines_) {
    auto fn = onLines_;
    bool d = dtr_, r = rts_;
    calls.push_back([fn, d, r] { fn(d, r); });
  }
}

void SimSerialLine::CloseLocked(Calls& calls) {
  CompleteLocked(read_, codes_.Aborted);
  CompleteLocked(write_, codes_.Aborted);
  read_ = Pending{};
  write_ = Pending{};
  wait_.End(0, codes_.Aborted);
  waitUncollected_ = false;
  mask_ = 0;
  history_ = 0;
  // Unsent output is dropped; the lines fall.
  std::size_t keep = txBusy_ ? 1 : 0;
  while (tx_.size() > keep) tx_.pop_back();
  input_.clear();
  DropChipLocked();
  errors_ = 0;
  open_ = false;
  if (dtr_ || rts_ || break_) {
    dtr_ = rts_ = break_ = false;
    LinesChangedLocked(calls);
  }
}

void SimSerialLine::SetModemLocked(std::uint32_t bit, bool on, std::uint32_t event, Calls&) {
  bool was = (modem_ & bit) != 0;
  if (was == on) return;
  if (on)
    modem_ |= bit;
  else
    modem_ &= ~bit;
  // The chip sends the new line state at once, behind what it holds.
  if (open_ && !unplugged_) FlushChipLocked();
  if (open_ && !unplugged_ && (event != kEvRing || on)) RaiseEventsLocked(event);
}

void SimSerialLine::RunAll(Calls& calls) {
  for (auto& c : calls) c();
  calls.clear();
}

}  // namespace platform
