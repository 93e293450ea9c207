// The simulated serial system: the calls on a device handle, the system that
// opens lines by name, and the counts of what a run leaves behind.
#include "platform/sim/SimSerial.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/CondEvent.h"
#include "platform/Platform.h"
#include "platform/SerialCore.h"

namespace platform {

// What a run leaves behind, shared by a system, its lines, devices and events.
struct SimCounters {
  std::atomic<int> handles{0};
  std::atomic<int> events{0};
  std::atomic<int> threads{0};
  std::thread::id owner = std::this_thread::get_id();
};

namespace {

// The systems each thread is counted in, by thread. Never destroyed: threads
// may end after the static objects are gone.
std::mutex g_threadsMu;
std::map<std::thread::id, std::vector<std::shared_ptr<SimCounters>>>& ThreadsIn() {
  static auto* in = new std::map<std::thread::id, std::vector<std::shared_ptr<SimCounters>>>;
  return *in;
}

// The thread's end counts it out. It keeps nothing itself: MinGW's emulated
// thread-local storage may free a thread's variables before their
// destructors have run, so the destructor finds its thread's systems by the
// thread's id.
struct ThreadEnd {
  ~ThreadEnd() {
    std::vector<std::shared_ptr<SimCounters>> in;
    {
      std::lock_guard<std::mutex> lock(g_threadsMu);
      auto it = ThreadsIn().find(std::this_thread::get_id());
      if (it == ThreadsIn().end()) return;
      in.swap(it->second);
      ThreadsIn().erase(it);
    }
    for (auto& c : in) --c->threads;
  }
};
thread_local ThreadEnd t_end;

void NoteThread(const std::shared_ptr<SimCounters>& c) {
  if (!c || std::this_thread::get_id() == c->owner) return;
  {
    std::lock_guard<std::mutex> lock(g_threadsMu);
    auto& in = ThreadsIn()[std::this_thread::get_id()];
    for (const auto& x : in)
      if (x == c) return;
    in.push_back(c);
    ++c->threads;
  }
  // Taking its address makes the thread construct it, and so count itself
  // out at its end.
  static_cast<void>(&t_end);
}

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

}  // namespace

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
    SimSerialLine::RunAll(calls);
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
        return SerialFail(line_->codes_.InvalidParameter);
      line_->dcb_ = dcb;
      line_->ApplyLineControlLocked(calls);
    }
    SimSerialLine::RunAll(calls);
    return true;
  }
  bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override {
    Guard g(*this, SimCall::SetupComm);
    if (!g.ok) return false;
    if (inQueue == 0) return SerialFail(line_->codes_.InvalidParameter);
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
    if (flags & kPurgeRxAbort) l.CompleteLocked(l.read_, l.codes_.Aborted);
    if (flags & kPurgeRxClear) {
      l.input_.clear();
      l.rx80Raised_ = false;
    }
    if (flags & kPurgeTxAbort) l.CompleteLocked(l.write_, l.codes_.Aborted);
    if (flags & (kPurgeTxAbort | kPurgeTxClear)) {
      // The character on the line finishes; the rest is dropped.
      std::size_t keep = l.txBusy_ ? 1 : 0;
      while (l.tx_.size() > keep) l.tx_.pop_back();
      if (flags & kPurgeTxClear) l.CompleteLocked(l.write_, l.codes_.Aborted);
    }
    l.cv_.notify_all();
    return true;
  }
  bool FlushBuffers() override {
    std::unique_lock<std::mutex> lock(line_->mu_);
    std::uint32_t code;
    if (!Usable(SimCall::Flush, code)) return SerialFail(code);
    // Waits until the transmitter is idle.
    for (;;) {
      if (line_->unplugged_) return SerialFail(line_->codes_.Removed);
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
            return SerialFail(line_->codes_.InvalidParameter);
          l.dtr_ = code == kEscSetDtr;
          break;
        case kEscSetRts:
        case kEscClrRts:
          if ((l.dcb_.Flags & kDcbRtsControlMask) == kDcbRtsControlHandshake ||
              (l.dcb_.Flags & kDcbRtsControlMask) == kDcbRtsControlToggle)
            return SerialFail(line_->codes_.InvalidParameter);
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
          return SerialFail(line_->codes_.InvalidParameter);
      }
      l.LinesChangedLocked(calls);
    }
    SimSerialLine::RunAll(calls);
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
    p = ImitatedCommProp(line_->inQueueSize_, line_->outQueueSize_);
    // The simulated device offers special characters and 1.5 stop bits too.
    p.dwProvCapabilities |= kPcfSpecialChars;
    p.wSettableStopParity |= kStopBits15;
    p.dwSettableBaud = 0x7FFFF | kBaudUser;
    return true;
  }

  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t& transferred, ISerialEvent& done) override {
    Guard g(*this, SimCall::ReadFile);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    auto& r = l.read_;
    if (r.timer) l.clock_.Cancel(r.timer);
    std::uint64_t serial = r.serial + 1;
    r = SimSerialLine::Pending{};
    r.serial = serial;
    r.Start(done, length);
    r.buffer = static_cast<std::uint8_t*>(buffer);
    l.FillReadLocked();
    if (!r.done && TransferTimeouts::ReadReturnsAtOnce(l.timeouts_)) l.CompleteLocked(r, 0);
    if (r.done) return r.Outcome(transferred);
    l.StartReadTimeoutsLocked();
    return SerialFail(kErrorIoPending);
  }
  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t& transferred,
                 ISerialEvent& done) override {
    Guard g(*this, SimCall::WriteFile);
    if (!g.ok) return false;
    SimSerialLine& l = *line_;
    auto& w = l.write_;
    if (w.timer) l.clock_.Cancel(w.timer);
    w = SimSerialLine::Pending{};
    w.Start(done, length);
    if (length == 0) {
      l.CompleteLocked(w, 0);
      return w.Outcome(transferred);
    }
    w.serial = l.nextWrite_++;
    l.writeLeft_ = length;
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    for (std::uint32_t i = 0; i < length; ++i) l.tx_.push_back({p[i], w.serial});
    l.StartWriteTimeoutLocked();
    l.StartTxLocked();
    return SerialFail(kErrorIoPending);
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
    if (l.wait_.End(0)) l.waitUncollected_ = true;
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
    if (l.unplugged_) return SerialFail(l.codes_.RemovedWait);
    if (l.TakeFailure(SimCall::WaitCommEvent, code)) return SerialFail(code);
    if (l.wait_.active || l.mask_ == 0) return SerialFail(line_->codes_.InvalidParameter);
    l.wait_.Start(eventMask, done);
    // Events since the last wait end this one at once.
    if (l.history_ & l.mask_) {
      l.wait_.End(l.history_ & l.mask_);
      l.history_ = 0;
      return true;
    }
    return SerialFail(kErrorIoPending);
  }
  bool GetWaitResult() override {
    std::lock_guard<std::mutex> lock(line_->mu_);
    return line_->wait_.TakeResult();
  }

 private:
  // Locks the line and checks that the handle is still usable.
  struct Guard {
    Guard(SimSerialDevice& d, SimCall call) : lock(d.line_->mu_) {
      std::uint32_t code;
      ok = d.Usable(call, code);
      if (!ok) SerialFail(code);
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
    SimSerialLine::RunAll(calls);
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
    if (line_->TakeFailure(SimCall::GetResult, code)) return SerialFail(code);
    while (!p.done) {
      if (!wait) return SerialFail(line_->codes_.Incomplete);
      AdvanceOrWait(lock);
    }
    return p.Outcome(transferred);
  }

  std::shared_ptr<SimSerialLine> line_;
  bool restoreLowLatency_;
  bool previousLowLatency_;
};

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
    SerialFail(CodesOf(flavour_).NotFound);
    return nullptr;
  }
  SimSerialLine::Calls calls;
  bool previousLowLatency = false;
  {
    std::lock_guard<std::mutex> lock(line->mu_);
    std::uint32_t code;
    if (line->unplugged_) {
      SerialFail(line->codes_.NotFound);
      return nullptr;
    }
    if (line->TakeFailure(SimCall::Open, code)) {
      SerialFail(code);
      return nullptr;
    }
    if (line->open_) {
      SerialFail(line->codes_.Busy);
      return nullptr;
    }
    line->open_ = true;
    ++line->openCount_;
    line->ApplyLineControlLocked(calls);
    previousLowLatency = line->lowLatency_;
    if (lowLatencyRequest_) line->lowLatency_ = true;
  }
  SimSerialLine::RunAll(calls);
  return std::make_unique<SimSerialDevice>(line, lowLatencyRequest_, previousLowLatency);
}

std::unique_ptr<ISerialEvent> SimSerialSystem::NewEvent(bool manualReset, bool initiallySet) {
  if (failEvent_ != 0) {
    SerialFail(failEvent_);
    failEvent_ = 0;
    return nullptr;
  }
  return std::make_unique<SimEvent>(manualReset, initiallySet, counters_);
}

std::string SimSerialSystem::ErrorText(std::uint32_t code) { return FlavourErrorText(flavour_, code); }

}  // namespace platform
