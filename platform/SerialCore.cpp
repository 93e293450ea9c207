#include "platform/SerialCore.h"

#include <algorithm>

namespace platform {

namespace {

thread_local std::uint32_t t_lastError = 0;

constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

std::int64_t TotalUs(std::uint32_t multiplier, std::uint32_t constant, std::uint32_t length) {
  return static_cast<std::int64_t>(std::uint64_t{multiplier} * length + constant) * 1000;
}

}  // namespace

std::uint32_t SerialLastError() { return t_lastError; }
void SetSerialLastError(std::uint32_t code) { t_lastError = code; }

bool SerialFail(std::uint32_t code) {
  t_lastError = code;
  return false;
}

CommProp ImitatedCommProp(std::uint32_t inQueue, std::uint32_t outQueue) {
  CommProp p;
  p.wPacketLength = sizeof(CommProp);
  p.wPacketVersion = 2;
  p.dwServiceMask = 1;
  p.dwMaxBaud = kBaudUser;
  p.dwProvSubType = 1;
  p.dwProvCapabilities = kPcfDtrDsr | kPcfRtsCts | kPcfRlsd | kPcfParityCheck | kPcfXOnXOff | kPcfSetXChar |
                         kPcfTotalTimeouts | kPcfIntTimeouts;
  p.dwSettableParams =
      kSpParity | kSpBaud | kSpDataBits | kSpStopBits | kSpHandshaking | kSpParityCheck | kSpRlsd;
  p.wSettableData = kDataBits5 | kDataBits6 | kDataBits7 | kDataBits8;
  p.wSettableStopParity =
      kStopBits10 | kStopBits20 | kParityNone | kParityOdd | kParityEven | kParityMark | kParitySpace;
  p.dwCurrentTxQueue = outQueue;
  p.dwCurrentRxQueue = inQueue;
  return p;
}

// ---------------------------------------------------------------------------

TransferTimeouts TransferTimeouts::Read(const CommTimeouts& t, std::uint32_t length, std::int64_t nowUs) {
  TransferTimeouts r;
  const std::int64_t total = TotalUs(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, length);
  if (total > 0) r.totalAt_ = nowUs + total;
  if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword)
    r.intervalUs_ = static_cast<std::int64_t>(t.ReadIntervalTimeout) * 1000;
  return r;
}

TransferTimeouts TransferTimeouts::Write(const CommTimeouts& t, std::uint32_t length, std::int64_t nowUs) {
  TransferTimeouts r;
  const std::int64_t total = TotalUs(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, length);
  if (total > 0) r.totalAt_ = nowUs + total;
  return r;
}

bool TransferTimeouts::ReadReturnsAtOnce(const CommTimeouts& t) {
  return t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
         t.ReadTotalTimeoutConstant == 0;
}

void TransferTimeouts::Moved(std::int64_t nowUs) {
  if (intervalUs_ > 0) intervalAt_ = nowUs + intervalUs_;
}

std::int64_t TransferTimeouts::NextUs() const {
  if (totalAt_ < 0) return intervalAt_;
  if (intervalAt_ < 0) return totalAt_;
  return std::min(totalAt_, intervalAt_);
}

bool TransferTimeouts::Expired(std::int64_t nowUs) const {
  const std::int64_t at = NextUs();
  return at >= 0 && nowUs >= at;
}

// ---------------------------------------------------------------------------

void OverlappedOp::Start(ISerialEvent& doneEvent, std::uint32_t len) {
  *this = OverlappedOp{};
  active = true;
  done = false;
  length = len;
  event = &doneEvent;
  doneEvent.Reset();
}

bool OverlappedOp::Finish(std::uint32_t code) {
  if (!Running()) return false;
  done = true;
  error = code;
  if (event) event->Set();
  return true;
}

bool OverlappedOp::Outcome(std::uint32_t& transferredOut) const {
  transferredOut = transferred;
  return error == 0 || SerialFail(error);
}

// ---------------------------------------------------------------------------

void EventWaitSlot::Start(std::uint32_t* eventMask, ISerialEvent& done) {
  active = true;
  error = 0;
  word = eventMask;
  event = &done;
  done.Reset();
}

bool EventWaitSlot::End(std::uint32_t bits, std::uint32_t code) {
  if (!active) return false;
  *word = bits;
  error = code;
  Signal();
  return true;
}

bool EventWaitSlot::Abandon(std::uint32_t code) {
  if (!active) return false;
  error = code;
  Signal();
  return true;
}

bool EventWaitSlot::TakeResult() {
  const std::uint32_t code = error;
  error = 0;
  return code == 0 || SerialFail(code);
}

void EventWaitSlot::Signal() {
  // The waiter may destroy the event once it sees it: forget it first.
  ISerialEvent* e = event;
  active = false;
  event = nullptr;
  word = nullptr;
  e->Set();
}

}  // namespace platform
