// What the drivers that imitate the Windows communications calls on another
// system share: the calling thread's last error, the rules of the time-outs
// record, and the life of an overlapped transfer and of the event wait. Each
// driver brings its own clock, lock and device; this holds only the rules,
// so that the drivers cannot drift apart on them.
#pragma once

#include <cstdint>

#include "platform/SerialDriver.h"

namespace platform {

// The last-error code of the calling thread: one slot for every driver that
// keeps its own, as Windows keeps one per thread for all its calls.
std::uint32_t SerialLastError();
void SetSerialLastError(std::uint32_t code);
// Leaves code as the calling thread's last error; false, for `return
// SerialFail(code);` in a call that fails.
bool SerialFail(std::uint32_t code);

// A serial system that imitates the Windows calls and keeps its last error
// in the slot above.
class ImitatingSerialSystem : public ISerialSystem {
 public:
  std::uint32_t LastError() override { return SerialLastError(); }
  void SetLastError(std::uint32_t code) override { SetSerialLastError(code); }
};

// The properties record of a driver that imitates the Windows one on an
// RS-232 port of any rate: 5 to 8 data bits, every parity, one or two stop
// bits, all settable parameters, the line and time-out capabilities, and
// the queue sizes. The driver adds what it offers beyond that.
CommProp ImitatedCommProp(std::uint32_t inQueue, std::uint32_t outQueue);

// The time-outs of one transfer as the Windows driver applies the record:
// a total for the whole transfer (multiplier times length plus constant, 0
// for none) and, for reads, an interval that starts again with every byte
// once a byte has come. Times are microseconds on the driver's clock.
class TransferTimeouts {
 public:
  // No time-out at all.
  TransferTimeouts() = default;
  static TransferTimeouts Read(const CommTimeouts& t, std::uint32_t length, std::int64_t nowUs);
  static TransferTimeouts Write(const CommTimeouts& t, std::uint32_t length, std::int64_t nowUs);
  // The record asks a read for what is there and no more: interval MAXDWORD,
  // both totals 0.
  static bool ReadReturnsAtOnce(const CommTimeouts& t);

  // Bytes moved at nowUs: the interval runs again from there.
  void Moved(std::int64_t nowUs);
  // When it times out next; -1 while nothing runs.
  std::int64_t NextUs() const;
  bool Expired(std::int64_t nowUs) const;

 private:
  std::int64_t totalAt_ = -1;
  std::int64_t intervalUs_ = 0;  // 0: no interval time-out
  std::int64_t intervalAt_ = -1;
};

// One overlapped read or write as a driver tracks it. Starting it resets
// its event, as overlapped I/O does: a signal left from the last transfer
// must not pass for this one's end. It ends once, with 0 or the code it
// failed with, and then signals the event; the caller may destroy the event
// as soon as it sees it, so nothing is touched after the signal.
struct OverlappedOp {
  bool active = false;  // started since the device was opened
  bool done = true;
  std::uint32_t error = 0;
  std::uint32_t length = 0;
  std::uint32_t transferred = 0;
  ISerialEvent* event = nullptr;
  TransferTimeouts timeouts;

  void Start(ISerialEvent& done, std::uint32_t length);
  bool Running() const { return active && !done; }
  // Ends it; false when it was not running.
  bool Finish(std::uint32_t error);
  // The outcome as GetOverlappedResult gives it once it has ended.
  bool Outcome(std::uint32_t& transferredOut) const;
};

// The pending event wait (WaitCommEvent) as a driver tracks it.
struct EventWaitSlot {
  bool active = false;
  std::uint32_t* word = nullptr;
  ISerialEvent* event = nullptr;
  // How the last pending wait ended: 0, or the code it failed with.
  std::uint32_t error = 0;

  // Starts a wait; its event is reset, as for a transfer.
  void Start(std::uint32_t* eventMask, ISerialEvent& done);
  // Ends the pending wait with bits in its word (none for a new mask) and
  // error as its outcome; false when none was pending.
  bool End(std::uint32_t bits, std::uint32_t error = 0);
  // Ends the pending wait failed and leaves its word as it was, as Windows
  // does for a device that has gone; false when none was pending.
  bool Abandon(std::uint32_t error);
  // GetWaitResult: the outcome of the last wait, collected once.
  bool TakeResult();

 private:
  void Signal();
};

}  // namespace platform
