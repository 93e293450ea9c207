#include "platform/sim/SimSerial.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <thread>

#include "platform/CondEvent.h"
#include "platform/Platform.h"

namespace platform {

std::uint32_t SimErrorCodes::NotFound() { return CodesOf(kNativeFlavour).NotFound; }
std::uint32_t SimErrorCodes::Busy() { return CodesOf(kNativeFlavour).Busy; }
std::uint32_t SimErrorCodes::Removed() { return CodesOf(kNativeFlavour).Removed; }
std::uint32_t SimErrorCodes::RemovedWait() { return CodesOf(kNativeFlavour).RemovedWait; }
std::uint32_t SimErrorCodes::Aborted() { return CodesOf(kNativeFlavour).Aborted; }
std::uint32_t SimErrorCodes::InvalidParameter() { return CodesOf(kNativeFlavour).InvalidParameter; }
std::uint32_t SimErrorCodes::InvalidHandle() { return CodesOf(kNativeFlavour).InvalidHandle; }

// What a run leaves behind, shared by a system, its lines, devices and events.
struct SimCounters {
  std::atomic<int> handles{0};
  std::atomic<int> events{0};
  std::atomic<int> threads{0};
  std::thread::id owner = std::this_thread::get_id();
};

namespace {

thread_local std::uint32_t t_lastError = 0;

// The systems a thread is counted in; the thread's end counts it out.
struct ThreadCounts {
  std::vector<std::shared_ptr<SimCounters>> in;
  ~ThreadCounts() {
    for (auto& c : in) --c->threads;
  }
};
thread_local ThreadCounts t_counts;

void NoteThread(const std::shared_ptr<SimCounters>& c) {
  if (!c || std::this_thread::get_id() == c->owner) return;
  for (const auto& x : t_counts.in)
    if (x == c) return;
  t_counts.in.push_back(c);
  ++c->threads;
}

bool Fail(std::uint32_t code) {
  t_lastError = code;
  return false;
}

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// Counts the live events, so tests can see that none is leaked, and the
// threads that use them.
class SimEvent final : public CondSerialEvent {
 public:
  SimEvent(bool manual, bool set, std::shared_ptr<SimCounters> counters)
      : CondSerialEvent(manual, set), counters_(std::move(counters)) {
    ++counters_->events;
  }
  ~SimEvent() override { --counters_->events; }
  bool Set() override {
    NoteThread(counters_);
    return CondSerialEvent::Set();
  }
  bool Reset() override {
    NoteThread(counters_);
    return CondSerialEvent::Reset();
  }
  bool Wait(int timeoutMs) override {
    NoteThread(counters_);
    return CondSerialEvent::Wait(timeoutMs);
  }

 private:
  std::shared_ptr<SimCounters> counters_;
};

void RunAll(std::vector<std::function<void()>>& calls) {
  for (auto& c : calls) c();
  calls.clear();
}

}  // namespace

// ---------------------------------------------------------------------------
// The handle the system hands out.

class SimSerialDevice final : public ISerialDevice {
 public:
  // restoreLowLatency: the open set the low-latency flag, and closing gives
  // back previousLowLatency.
  SimSerialDevice(std::shared_ptr<SimSerialLine> line, bool restoreLowLatency, bool previousLowLatency)
      : line_(std::move(line)),
        restoreLowLatency_(restoreLowLatency),
        previousLowLatency_(previousLowLatency) {
    if (line_->counters_) ++line_->counters_->handles;
  }
  ~SimSerialDevice() override {
    if (line_->counters_) --line_->counters_->handles;
    SimSerialLine::Calls calls;
    {
      std::lock_guard<std::mutex> lock(line_->mu_);
      line_->CloseLocked(calls);
      if (restoreLowLatency_) line_->lowLatency_ = previousLowLatency_;
    }
    line_->cv_.notify_all();
    RunAll(calls);
  }

  bool GetCommState(Dcb& dcb) override {
    Guard g(*this, SimCall::GetCommState);
    if (!g.ok) return false;
    dcb = line_->dcb_;
    return true;
  }
  bool SetCommState(const Dcb& dcb) override {
    SimSerialLine::Calls calls;
    {
      Guard g(*this, SimCall::SetCommState);
      if (!g.ok) return false;
      bool stop15 = dcb.StopBits == kOne5StopBits;
      if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > kSpaceParity ||
          dcb.StopBits > kTwoStopBits || (stop15 && dcb.ByteSize != 5) ||
          (dcb.StopBits == kTwoStopBits && dcb.ByteSize == 5))
        return Fail(line_->codes_.InvalidParameter);
      line_->dcb_ = dcb;
      line_->ApplyLineControlLocked(calls);
    }
    RunAll(calls);
    return true;
  }
  bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override {
    Guard g(*this, SimCall::SetupComm);
    if (!g.ok) return false;
    if (inQueue == 0) return Fail(line_->codes_.InvalidParameter);
    line_->inQueueSize_ = inQueue;
    line_->outQueueSize_ = outQueue;
    return true;
  }
  bool GetCommTimeouts(CommTimeouts& t) override {
    Guard g(*this, SimCall::GetCommTimeouts);
    if (!g.ok) return false;
    t = line_->timeouts_;
    return true;
  }
  bool SetCommTimeouts(const CommTimeouts& t) override {
    Guard g(*this, SimCall::SetCommTimeouts);
    if (!g.ok) return false;
    line_->timeouts_ = t;
    return true;
  }
  bool PurgeComm(std::uint32_t flags) override {
    Guard g(*this, SimCall::PurgeComm);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    if (flags & kPurgeRxAbort) l.AbortLocked(l.read_, l.codes_.Aborted);
    if (flags & kPurgeRxClear) {
      l.input_.clear();
      l.rx80Raised_ = false;
    }
    if (flags & kPurgeTxAbort) l.AbortLocked(l.write_, l.codes_.Aborted);
    if (flags & (kPurgeTxAbort | kPurgeTxClear)) {
      // The character on the line finishes; the rest is dropped.
      std::size_t keep = l.txBusy_ ? 1 : 0;
      while (l.tx_.size() > keep) l.tx_.pop_back();
      if (flags & kPurgeTxClear) l.AbortLocked(l.write_, l.codes_.Aborted);
    }
    l.cv_.notify_all();
    return true;
  }
  bool FlushBuffers() override {
    std::unique_lock<std::mutex> lock(line_->mu_);
    std::uint32_t code;
    if (!Usable(SimCall::Flush, code)) return Fail(code);
    // Waits until the transmitter is idle.
    for (;;) {
      if (line_->unplugged_) return Fail(line_->codes_.Removed);
      if (line_->tx_.empty()) return true;
      AdvanceOrWait(lock);
    }
  }
  bool EscapeCommFunction(std::uint32_t code) override {
    SimSerialLine::Calls calls;
    {
      Guard g(*this, SimCall::EscapeCommFunction);
      if (!g.ok) return false;
      SimSerialLine& l = *line_;
      switch (code) {
        case kEscSetDtr:
        case kEscClrDtr:
          if ((l.dcb_.Flags & kDcbDtrControlMask) == kDcbDtrControlHandshake)
            return Fail(line_->codes_.InvalidParameter);
          l.dtr_ = code == kEscSetDtr;
          break;
        case kEscSetRts:
        case kEscClrRts:
          if ((l.dcb_.Flags & kDcbRtsControlMask) == kDcbRtsControlHandshake ||
              (l.dcb_.Flags & kDcbRtsControlMask) == kDcbRtsControlToggle)
            return Fail(line_->codes_.InvalidParameter);
          l.rts_ = code == kEscSetRts;
          break;
        case kEscSetXOff:
        case kEscSetXOn:
        case kEscResetDev:
          return true;
        case kEscSetBreak:
        case kEscClrBreak:
          l.break_ = code == kEscSetBreak;
          break;
        default:
          return Fail(line_->codes_.InvalidParameter);
      }
      l.LinesChangedLocked(calls);
    }
    RunAll(calls);
    return true;
  }
  bool SetCommBreak() override { return BreakCall(true); }
  bool ClearCommBreak() override { return BreakCall(false); }
  bool TransmitCommChar(char c) override {
    Guard g(*this, SimCall::TransmitCommChar);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    std::size_t at = l.txBusy_ ? 1 : 0;
    l.tx_.insert(l.tx_.begin() + static_cast<std::ptrdiff_t>(at), {static_cast<std::uint8_t>(c), 0});
    l.StartTxLocked();
    return true;
  }
  bool GetCommModemStatus(std::uint32_t& status) override {
    Guard g(*this, SimCall::GetCommModemStatus);
    if (!g.ok) return false;
    status = line_->modem_;
    return true;
  }
  bool ClearCommError(std::uint32_t& errors, CommQueues* queues) override {
    Guard g(*this, SimCall::ClearCommError);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    errors = l.errors_;
    l.errors_ = 0;
    if (queues) {
      queues->InQueue = static_cast<std::uint32_t>(l.input_.size());
      std::uint32_t out = 0;
      for (const auto& b : l.tx_)
        if (b.write != 0) ++out;
      queues->OutQueue = out;
    }
    return true;
  }
  bool GetCommProperties(CommProp& p) override {
    Guard g(*this, SimCall::GetCommProperties);
    if (!g.ok) return false;
    p = CommProp{};
    p.wPacketLength = sizeof(CommProp);
    p.wPacketVersion = 2;
    p.dwServiceMask = 1;
    p.dwMaxBaud = kBaudUser;
    p.dwProvSubType = 1;
    p.dwProvCapabilities = kPcfDtrDsr | kPcfRtsCts | kPcfRlsd | kPcfParityCheck | kPcfXOnXOff | kPcfSetXChar |
                           kPcfTotalTimeouts | kPcfIntTimeouts | kPcfSpecialChars;
    p.dwSettableParams =
        kSpParity | kSpBaud | kSpDataBits | kSpStopBits | kSpHandshaking | kSpParityCheck | kSpRlsd;
    p.dwSettableBaud = 0x7FFFF | kBaudUser;
    p.wSettableData = kDataBits5 | kDataBits6 | kDataBits7 | kDataBits8;
    p.wSettableStopParity = kStopBits10 | kStopBits15 | kStopBits20 | kParityNone | kParityOdd | kParityEven |
                            kParityMark | kParitySpace;
    p.dwCurrentTxQueue = line_->outQueueSize_;
    p.dwCurrentRxQueue = line_->inQueueSize_;
    return true;
  }

  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t& transferred, ISerialEvent& done) override {
    Guard g(*this, SimCall::ReadFile);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    auto& r = l.read_;
    if (r.timer) l.clock_.Cancel(r.timer);
    if (r.intervalTimer) l.clock_.Cancel(r.intervalTimer);
    std::uint64_t serial = r.serial + 1;
    r = SimSerialLine::Pending{};
    r.serial = serial;
    r.active = true;
    r.done = false;
    r.length = length;
    r.buffer = static_cast<std::uint8_t*>(buffer);
    r.event = &done;
    l.FillReadLocked();
    const CommTimeouts& t = l.timeouts_;
    bool immediate = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0;
    if (!r.done && immediate) l.CompleteLocked(r, true, 0);
    if (r.done) {
      transferred = r.transferred;
      done.Set();
      return true;
    }
    l.ArmReadTimersLocked(false);
    return Fail(kErrorIoPending);
  }
  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t& transferred,
                 ISerialEvent& done) override {
    Guard g(*this, SimCall::WriteFile);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    auto& w = l.write_;
    w = SimSerialLine::Pending{};
    w.active = true;
    w.length = length;
    w.event = &done;
    if (length == 0) {
      w.done = true;
      transferred = 0;
      done.Set();
      return true;
    }
    w.done = false;
    w.serial = l.nextWrite_++;
    l.writeLeft_ = length;
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    for (std::uint32_t i = 0; i < length; ++i) l.tx_.push_back({p[i], w.serial});
    l.StartTxLocked();
    return Fail(kErrorIoPending);
  }
  bool GetReadResult(std::uint32_t& transferred, bool wait) override {
    return Result(line_->read_, transferred, wait);
  }
  bool GetWriteResult(std::uint32_t& transferred, bool wait) override {
    return Result(line_->write_, transferred, wait);
  }
  bool SetCommMask(std::uint32_t mask) override {
    Guard g(*this, SimCall::SetCommMask);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    l.mask_ = mask & kEvAll;
    l.history_ = 0;
    if (l.waitActive_) {
      *l.waitMaskWord_ = 0;
      l.waitActive_ = false;
      l.waitUncollected_ = true;
      l.waitEvent_->Set();
    }
    return true;
  }
  bool GetCommMask(std::uint32_t& mask) override {
    Guard g(*this, SimCall::SetCommMask);
    if (!g.ok) return false;
    mask = line_->mask_;
    return true;
  }
  bool WaitCommEvent(std::uint32_t* eventMask, ISerialEvent& done) override {
    NoteThread(line_->counters_);
    std::lock_guard<std::mutex> lock(line_->mu_);
    SimSerialLine& l = *line_;
    // The waiter has come back for more: its last wait is collected.
    l.waitUncollected_ = false;
    std::uint32_t code;
    if (l.unplugged_) return Fail(l.codes_.RemovedWait);
    if (l.TakeFailure(SimCall::WaitCommEvent, code)) return Fail(code);
    if (l.waitActive_ || l.mask_ == 0) return Fail(line_->codes_.InvalidParameter);
    if (l.history_ & l.mask_) {
      *eventMask = l.history_ & l.mask_;
      l.history_ = 0;
      return true;
    }
    l.waitActive_ = true;
    l.waitMaskWord_ = eventMask;
    l.waitEvent_ = &done;
    l.waitError_ = 0;
    return Fail(kErrorIoPending);
  }
  bool GetWaitResult() override {
    std::lock_guard<std::mutex> lock(line_->mu_);
    std::uint32_t code = line_->waitError_;
    line_->waitError_ = 0;
    return code == 0 || Fail(code);
  }

 private:
  // Locks the line and checks that the handle is still usable.
  struct Guard {
    Guard(SimSerialDevice& d, SimCall call) : lock(d.line_->mu_) {
      std::uint32_t code;
      ok = d.Usable(call, code);
      if (!ok) Fail(code);
    }
    std::lock_guard<std::mutex> lock;
    bool ok;
  };

  bool Usable(SimCall call, std::uint32_t& code) {
    NoteThread(line_->counters_);
    if (line_->unplugged_) {
      code = line_->codes_.Removed;
      return false;
    }
    return !line_->TakeFailure(call, code);
  }

  bool BreakCall(bool on) {
    SimSerialLine::Calls calls;
    {
      Guard g(*this, SimCall::Break);
      if (!g.ok) return false;
      line_->break_ = on;
      line_->LinesChangedLocked(calls);
    }
    RunAll(calls);
    return true;
  }

  // One step of waiting: on the virtual clock, advance to the next event;
  // else block a little. Returns false when it only waited.
  bool AdvanceOrWait(std::unique_lock<std::mutex>& lock) {
    if (line_->clock_.IsVirtual()) {
      auto& vc = static_cast<VirtualClock&>(line_->clock_);
      std::int64_t next = vc.NextEventUs();
      if (next >= 0) {
        lock.unlock();
        vc.AdvanceTo(next);
        lock.lock();
        return true;
      }
    }
    line_->cv_.wait_for(lock, std::chrono::milliseconds(5));
    return false;
  }

  bool Result(SimSerialLine::Pending& p, std::uint32_t& transferred, bool wait) {
    NoteThread(line_->counters_);
    std::unique_lock<std::mutex> lock(line_->mu_);
    std::uint32_t code;
    if (line_->TakeFailure(SimCall::GetResult, code)) return Fail(code);
    while (!p.done) {
      if (!wait) return Fail(line_->codes_.Incomplete);
      AdvanceOrWait(lock);
    }
    transferred = p.transferred;
    if (!p.ok) return Fail(p.error);
    return true;
  }

  std::shared_ptr<SimSerialLine> line_;
  bool restoreLowLatency_;
  bool previousLowLatency_;
};

// ---------------------------------------------------------------------------
// The line.

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

bool SimSerialLine::TakeFailure(SimCall call, std::uint32_t& code) {
  auto it = failures_.find(call);
  if (it == failures_.end()) return false;
  code = it->second;
  failures_.erase(it);
  return true;
}

void SimSerialLine::FailNext(SimCall call, std::uint32_t code) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_[call] = code;
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

void SimSerialLine::StallTx(int bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  txBudget_ = bytes < 0 ? -1 : bytes;
  StartTxLocked();
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
      if (--writeLeft_ == 0) CompleteLocked(write_, true, 0);
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
    if (!read_.done) ArmReadTimersLocked(true);
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
  if (r.transferred == r.length) CompleteLocked(r, true, 0);
}

void SimSerialLine::ArmReadTimersLocked(bool afterByte) {
  Pending& r = read_;
  const CommTimeouts& t = timeouts_;
  std::weak_ptr<SimSerialLine> self = weak_from_this();
  std::uint64_t serial = r.serial;
  auto expire = [self, serial] {
    if (auto s = self.lock()) {
      {
        std::lock_guard<std::mutex> lock(s->mu_);
        if (s->read_.serial != serial || s->read_.done) return;
        s->CompleteLocked(s->read_, true, 0);
      }
      s->cv_.notify_all();
    }
  };
  if (!afterByte) {
    std::uint64_t total = std::uint64_t{t.ReadTotalTimeoutMultiplier} * r.length + t.ReadTotalTimeoutConstant;
    if (total > 0)
      r.timer = clock_.Schedule(clock_.NowUs() + static_cast<std::int64_t>(total) * 1000, expire);
    return;
  }
  if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword && r.transferred > 0) {
    // Interval time-out: the next byte must follow within the interval.
    if (r.intervalTimer) clock_.Cancel(r.intervalTimer);
    r.intervalTimer =
        clock_.Schedule(clock_.NowUs() + static_cast<std::int64_t>(t.ReadIntervalTimeout) * 1000, expire);
  }
}

void SimSerialLine::CompleteLocked(Pending& p, bool ok, std::uint32_t error) {
  if (p.done) return;
  p.done = true;
  p.ok = ok;
  p.error = error;
  if (p.timer) clock_.Cancel(p.timer);
  if (p.intervalTimer) clock_.Cancel(p.intervalTimer);
  p.timer = p.intervalTimer = 0;
  ++p.serial;
  if (p.event) p.event->Set();
}

void SimSerialLine::AbortLocked(Pending& p, std::uint32_t code) {
  if (p.active && !p.done) CompleteLocked(p, false, code);
}

void SimSerialLine::RaiseEventsLocked(std::uint32_t bits) {
  bits &= mask_;
  if (bits == 0) return;
  if (waitActive_) {
    *waitMaskWord_ = bits;
    waitActive_ = false;
    waitUncollected_ = true;
    waitEvent_->Set();
  } else {
    history_ |= bits;
  }
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
  AbortLocked(read_, codes_.Aborted);
  AbortLocked(write_, codes_.Aborted);
  read_ = Pending{};
  write_ = Pending{};
  if (waitActive_) {
    *waitMaskWord_ = 0;
    waitActive_ = false;
    waitError_ = codes_.Aborted;
    waitEvent_->Set();
  }
  waitEvent_ = nullptr;
  waitMaskWord_ = nullptr;
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

void SimSerialLine::OnReceive(std::function<void(std::uint8_t, std::int64_t)> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  onReceive_ = std::move(fn);
}

void SimSerialLine::OnLinesChanged(std::function<void(bool, bool)> fn) {
  std::lock_guard<std::mutex> lock(mu_);
  onLines_ = std::move(fn);
}

std::vector<SimSerialLine::Received> SimSerialLine::ReceivedBytes() {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

std::vector<SimSerialLine::Received> SimSerialLine::TakeReceived() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Received> r;
  r.swap(received_);
  return r;
}

void SimSerialLine::Send(const void* data, std::size_t length, std::uint32_t errors) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < length; ++i) rx_.push_back({p[i], errors});
  StartRxLocked();
}

void SimSerialLine::InjectErrors(std::uint32_t errors) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_ || unplugged_) return;
    errors_ |= errors;
    RaiseEventsLocked(kEvErr | ((errors & kCeBreak) ? kEvBreak : 0));
  }
  cv_.notify_all();
}

#define QV_SIM_MODEM(Name, Bit, Event)       \
  void SimSerialLine::Set##Name(bool on) {   \
    Calls calls;                             \
    {                                        \
      std::lock_guard<std::mutex> lock(mu_); \
      SetModemLocked(Bit, on, Event, calls); \
    }                                        \
    RunAll(calls);                           \
  }
QV_SIM_MODEM(CTS, kMsCtsOn, kEvCts)
QV_SIM_MODEM(DSR, kMsDsrOn, kEvDsr)
QV_SIM_MODEM(Ring, kMsRingOn, kEvRing)
QV_SIM_MODEM(RLSD, kMsRlsdOn, kEvRlsd)
#undef QV_SIM_MODEM

void SimSerialLine::Unplug() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (unplugged_) return;
    unplugged_ = true;
    AbortLocked(read_, codes_.Removed);
    AbortLocked(write_, codes_.Removed);
    if (waitActive_) {
      // The pending wait fails as the device goes, and so does every later
      // one. A failed wait leaves the mask word as it was, as Windows does.
      waitActive_ = false;
      waitUncollected_ = true;
      waitError_ = codes_.RemovedWait;
      waitEvent_->Set();
    }
    tx_.clear();
    if (txBusy_) {
      txBusy_ = false;
      ++txToken_;
    }
    rx_.clear();
    if (rxBusy_) {
      rxBusy_ = false;
      ++rxToken_;
    }
    DropChipLocked();
    input_.clear();
    modem_ = 0;
  }
  cv_.notify_all();
}

void SimSerialLine::Replug() {
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = false;
}

bool SimSerialLine::DTR() {
  std::lock_guard<std::mutex> lock(mu_);
  return dtr_;
}
bool SimSerialLine::RTS() {
  std::lock_guard<std::mutex> lock(mu_);
  return rts_;
}
bool SimSerialLine::InBreak() {
  std::lock_guard<std::mutex> lock(mu_);
  return break_;
}
bool SimSerialLine::IsOpen() {
  std::lock_guard<std::mutex> lock(mu_);
  return open_;
}
bool SimSerialLine::Unplugged() {
  std::lock_guard<std::mutex> lock(mu_);
  return unplugged_;
}
Dcb SimSerialLine::CurrentDcb() {
  std::lock_guard<std::mutex> lock(mu_);
  return dcb_;
}
CommTimeouts SimSerialLine::CurrentTimeouts() {
  std::lock_guard<std::mutex> lock(mu_);
  return timeouts_;
}
std::uint32_t SimSerialLine::InputQueueSize() {
  std::lock_guard<std::mutex> lock(mu_);
  return inQueueSize_;
}
std::uint32_t SimSerialLine::InputQueued() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<std::uint32_t>(input_.size());
}
std::uint32_t SimSerialLine::EventMask() {
  std::lock_guard<std::mutex> lock(mu_);
  return mask_;
}
bool SimSerialLine::EventWaitSettled() {
  std::lock_guard<std::mutex> lock(mu_);
  return !waitUncollected_;
}
int SimSerialLine::OpenCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return openCount_;
}

// ---------------------------------------------------------------------------
// The system.

SimSerialSystem::SimSerialSystem(ErrorFlavour flavour)
    : flavour_(flavour), counters_(std::make_shared<SimCounters>()) {}
SimSerialSystem::~SimSerialSystem() = default;

std::string SimSerialSystem::Key(const std::string& name) {
  std::string n = name;
  if (n.rfind("\\\\.\\", 0) == 0) n = n.substr(4);
  for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return n;
}

std::shared_ptr<SimSerialLine> SimSerialSystem::AddDevice(const std::string& name) {
  return AddDevice(name, Current().Clock());
}

std::shared_ptr<SimSerialLine> SimSerialSystem::AddDevice(const std::string& name, IClock& clock) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& d = devices_[Key(name)];
  if (!d) {
    d = std::make_shared<SimSerialLine>(clock, flavour_);
    d->counters_ = counters_;
  }
  return d;
}

std::shared_ptr<SimSerialLine> SimSerialSystem::Device(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = devices_.find(Key(name));
  return it == devices_.end() ? nullptr : it->second;
}

void SimSerialSystem::RemoveDevice(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  devices_.erase(Key(name));
}

int SimSerialSystem::LiveEvents() const { return counters_->events; }
int SimSerialSystem::LiveHandles() const { return counters_->handles; }
int SimSerialSystem::LiveThreads() const { return counters_->threads; }

std::unique_ptr<ISerialDevice> SimSerialSystem::Open(const std::string& name) {
  std::shared_ptr<SimSerialLine> line = Device(name);
  if (!line) {
    Fail(CodesOf(flavour_).NotFound);
    return nullptr;
  }
  SimSerialLine::Calls calls;
  bool previousLowLatency = false;
  {
    std::lock_guard<std::mutex> lock(line->mu_);
    std::uint32_t code;
    if (line->unplugged_) {
      Fail(line->codes_.NotFound);
      return nullptr;
    }
    if (line->TakeFailure(SimCall::Open, code)) {
      Fail(code);
      return nullptr;
    }
    if (line->open_) {
      Fail(line->codes_.Busy);
      return nullptr;
    }
    line->open_ = true;
    ++line->openCount_;
    line->ApplyLineControlLocked(calls);
    previousLowLatency = line->lowLatency_;
    if (lowLatencyRequest_) line->lowLatency_ = true;
  }
  RunAll(calls);
  return std::make_unique<SimSerialDevice>(line, lowLatencyRequest_, previousLowLatency);
}

std::unique_ptr<ISerialEvent> SimSerialSystem::NewEvent(bool manualReset, bool initiallySet) {
  if (failEvent_ != 0) {
    Fail(failEvent_);
    failEvent_ = 0;
    return nullptr;
  }
  return std::make_unique<SimEvent>(manualReset, initiallySet, counters_);
}

std::uint32_t SimSerialSystem::LastError() { return t_lastError; }
void SimSerialSystem::SetLastError(std::uint32_t code) { t_lastError = code; }

std::string SimSerialSystem::ErrorText(std::uint32_t code) { return FlavourErrorText(flavour_, code); }

}  // namespace platform
