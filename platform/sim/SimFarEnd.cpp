// The far end of a simulated line: what a test or the board emulator sends,
// the modem lines it drives, unplugging, and what it sees of the system's
// side.
#include "platform/sim/SimSerial.h"

namespace platform {

void SimSerialLine::StallTx(int bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  txBudget_ = bytes < 0 ? -1 : bytes;
  StartTxLocked();
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
    CompleteLocked(read_, codes_.Removed);
    CompleteLocked(write_, codes_.Removed);
    // The pending wait fails as the device goes, and so does every later
    // one.
    if (wait_.Abandon(codes_.RemovedWait)) waitUncollected_ = true;
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

}  // namespace platform
