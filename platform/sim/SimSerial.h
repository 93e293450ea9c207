// The simulated serial system: in-process virtual devices on the platform
// clock, each with a far end that a test or the board emulator drives.
//
// Timing. A character takes (start + data + parity + stop bits) / baud rate
// on the line, in both directions, one after the other. Bytes written by the
// system reach the far end when their last bit has left; a write ends when
// its last byte has left. Bytes sent by the far end enter the input queue
// when they have fully arrived. All of it runs as events of the platform
// clock: on the virtual clock they run on the thread that advances time (the
// UI thread's Sleep), on the real clock on the clock's scheduler thread.
//
// Threads. Every device is guarded by its own mutex, so one thread may wait
// for device events (WaitCommEvent + ISerialEvent::Wait) while another reads
// and writes. A blocking completion wait (GetReadResult/GetWriteResult with
// wait, FlushBuffers) on the virtual clock advances virtual time itself, from
// event to event, until the transfer has ended: such waits belong on the
// thread that owns the virtual clock. Event waits never advance time.
//
// Time-outs and events follow the rules every imitating driver shares
// (platform/SerialCore.h): starting a transfer or an event wait resets its
// event, and a write that outlasts its total time-out ends with the bytes
// that have gone; the rest of it is dropped unsent.
//
// Settling a waiter on the virtual clock. A thread blocked in an event wait
// reacts to a step of virtual time only after the step. A VirtualClock settle
// hook can wait until every such thread has caught up: SimSerialLine::
// EventWaitSettled() is true while no completed event wait is left
// uncollected (the waiter has seen its ISerialEvent signalled and gone on, or
// no wait is pending). A hook that also needs the waiter's follow-up work
// (for example a synchronised dispatch) waits for that by its own means.
//
// Far-end callbacks (OnReceive, OnLinesChanged) run without the device's
// lock held, so they may call the far-end API again.
//
// The FTDI latency timer. A line given a latency timer (SetLatencyTimer)
// behaves like an FTDI adapter on the receive side: a character that has
// arrived waits in the chip's 62-byte buffer, and the chip hands the buffer
// to the host when it is full, when the timer expires, or at once when a
// modem line (CTS, DSR, RI, DCD) changes, since the line state travels in
// the same packet. Every packet restarts the timer, an empty buffer included
// (the chip then sends its status alone), so the timer ticks every latency
// period from the last packet on. The low-latency flag (ASYNC_LOW_LATENCY on
// Linux) makes the period 1 ms. The system asks for that flag on every open
// and gives the previous one back on close where the imitated platform's
// driver does (Linux); on Windows the adapter keeps its timer.
//
// Failures give the codes of an error flavour (platform/ErrorFlavour.h),
// by default the platform the program is built for: Windows codes (2 for a
// missing port, 5 for a busy one, 22 for calls on a removed device and 5 for
// its event wait, 995 for an aborted transfer, 87 for bad settings) or
// errno values (ENOENT, EBUSY, EIO, ECANCELED, EINVAL).
//
// The system counts what a run leaves behind: open handles, live event
// objects, and live threads (other than the one that created the system)
// that have called a device or an event of it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/ErrorFlavour.h"
#include "platform/SerialCore.h"
#include "platform/SerialDriver.h"

namespace platform {

// Codes of the platform the program is built for.
struct SimErrorCodes {
  static std::uint32_t NotFound();
  static std::uint32_t Busy();
  static std::uint32_t Removed();
  static std::uint32_t RemovedWait();
  static std::uint32_t Aborted();
  static std::uint32_t InvalidParameter();
  static std::uint32_t InvalidHandle();
};

// The device calls a test can make fail once (FailNext).
enum class SimCall {
  Open,
  GetCommState,
  SetCommState,
  SetupComm,
  GetCommTimeouts,
  SetCommTimeouts,
  PurgeComm,
  Flush,
  EscapeCommFunction,
  Break,
  TransmitCommChar,
  GetCommModemStatus,
  ClearCommError,
  GetCommProperties,
  ReadFile,
  WriteFile,
  GetResult,
  SetCommMask,
  WaitCommEvent
};

class SimSerialDevice;
struct SimCounters;

// One simulated device with its far end.
class SimSerialLine : public std::enable_shared_from_this<SimSerialLine> {
 public:
  explicit SimSerialLine(IClock& clock, ErrorFlavour flavour = kNativeFlavour);
  ~SimSerialLine();

  // --- The far end ---

  struct Received {
    std::uint8_t Byte;
    std::int64_t AtUs;  // when its last bit arrived at the far end
  };
  // Called for every byte the system sends, when it has fully arrived.
  void OnReceive(std::function<void(std::uint8_t byte, std::int64_t atUs)> fn);
  // Called whenever DTR, RTS or the break state the system drives changes.
  void OnLinesChanged(std::function<void(bool dtr, bool rts)> fn);
  // Every byte received so far, oldest first; TakeReceived empties it.
  std::vector<Received> ReceivedBytes();
  std::vector<Received> TakeReceived();

  // Sends bytes to the system: each enters the input queue one character
  // time after the previous one has (starting now when the line is idle).
  // `errors` (error-word flags such as kCeFrame) go with every byte of this
  // call and are reported when it arrives.
  void Send(const void* data, std::size_t length, std::uint32_t errors = 0);
  void Send(const std::vector<std::uint8_t>& bytes) { Send(bytes.data(), bytes.size()); }
  // Sets error-word flags at once (raising the line-error event; kCeBreak
  // also raises the break event).
  void InjectErrors(std::uint32_t errors);
  void SetCTS(bool on);
  void SetDSR(bool on);
  void SetRing(bool on);
  void SetRLSD(bool on);
  // Unplugs the device: every later call on an open handle fails, pending
  // transfers and the event wait end with a failure, and opening fails.
  void Unplug();
  void Replug();
  // A transmitter held off (as by flow control): after `bytes` more bytes
  // have gone out nothing more leaves until StallTx(-1) releases it.
  void StallTx(int bytes);
  // The adapter's latency timer (0: received bytes reach the input queue
  // as they arrive, as on a plain UART).
  void SetLatencyTimer(std::int64_t us);
  // The port's low-latency flag, as a driver sets it: a timer of 1 ms.
  void SetLowLatency(bool on);
  bool LowLatency();
  // The period the chip sends its buffer with now (0: no latency timer).
  std::int64_t EffectiveLatencyUs();

  // The chip's receive buffer.
  static constexpr std::size_t kChipBuffer = 62;
  static constexpr std::int64_t kLowLatencyUs = 1'000;

  // What the system drives and has configured.
  bool DTR();
  bool RTS();
  bool InBreak();
  bool IsOpen();
  bool Unplugged();
  Dcb CurrentDcb();
  CommTimeouts CurrentTimeouts();
  std::uint32_t InputQueueSize();
  std::uint32_t InputQueued();
  std::uint32_t EventMask();
  // Duration of one character at the current settings.
  std::int64_t CharTimeUs();
  // True while no completed event wait is waiting to be collected.
  bool EventWaitSettled();
  // How often the device has been opened.
  int OpenCount();

  // --- Test hooks ---
  // The next call of that kind fails with code.
  void FailNext(SimCall call, std::uint32_t code);

 private:
  friend class SimSerialDevice;
  friend class SimSerialSystem;
  // A transfer with its time-out on the line's clock.
  struct Pending : OverlappedOp {
    std::uint8_t* buffer = nullptr;
    IClock::EventId timer = 0;
    std::int64_t timerAtUs = -1;
    // Tells a late time-out from the transfer it was armed for; a write's
    // bytes carry it.
    std::uint64_t serial = 0;
  };
  struct TxByte {
    std::uint8_t byte;
    std::uint64_t write;  // 0: not part of a write (TransmitCommChar)
  };
  struct RxByte {
    std::uint8_t byte;
    std::uint32_t errors;
  };
  using Calls = std::vector<std::function<void()>>;
  // Runs the far end's callbacks gathered under the lock, after it.
  static void RunAll(Calls& calls);

  bool TakeFailure(SimCall call, std::uint32_t& code);
  std::int64_t CharTimeLocked() const;
  void StartTxLocked();
  void TxDone(std::uint64_t token);
  void StartRxLocked();
  void RxDone(std::uint64_t token);
  void DeliverLocked(const RxByte& b);
  std::int64_t EffectiveLatencyLocked() const;
  void ArmChipTimerLocked();
  void FlushChipLocked();
  void DropChipLocked();
  void ChipTick(std::uint64_t token);
  void RaiseEventsLocked(std::uint32_t bits);
  // Ends a running transfer with 0 or the code it failed with.
  void CompleteLocked(Pending& p, std::uint32_t error);
  void FillReadLocked();
  void StartReadTimeoutsLocked();
  void StartWriteTimeoutLocked();
  void ScheduleTimeoutLocked(Pending& p);
  void TimedOut(bool isRead, std::uint64_t serial);
  void SetModemLocked(std::uint32_t bit, bool on, std::uint32_t event, Calls& calls);
  void ApplyLineControlLocked(Calls& calls);
  void LinesChangedLocked(Calls& calls);
  void CloseLocked(Calls& calls);
  bool WaitDone(Pending& p, std::unique_lock<std::mutex>& lock);

  IClock& clock_;
  const FlavourCodes& codes_;
  std::shared_ptr<SimCounters> counters_;  // set by the system that adds the line
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
  bool unplugged_ = false;
  int openCount_ = 0;
  Dcb dcb_;
  CommTimeouts timeouts_;
  std::uint32_t inQueueSize_ = 4096;
  std::uint32_t outQueueSize_ = 2048;
  std::deque<std::uint8_t> input_;
  std::uint32_t errors_ = 0;
  std::uint32_t modem_ = 0;  // kMsCtsOn..kMsRlsdOn
  bool dtr_ = false, rts_ = false, break_ = false;
  bool rx80Raised_ = false;

  std::deque<TxByte> tx_;  // front: the byte on the line when txBusy_
  bool txBusy_ = false;
  int txBudget_ = -1;  // bytes still allowed out; -1: no stall
  std::uint64_t txToken_ = 0;
  IClock::EventId txEvent_ = 0;
  std::deque<RxByte> rx_;
  bool rxBusy_ = false;
  std::uint64_t rxToken_ = 0;
  // The FTDI chip's side of the receive path.
  std::int64_t latencyUs_ = 0;
  bool lowLatency_ = false;
  std::deque<RxByte> chip_;
  std::int64_t lastPacketUs_ = 0;
  IClock::EventId chipTimer_ = 0;
  std::uint64_t chipToken_ = 0;

  Pending read_, write_;
  std::uint64_t nextWrite_ = 1;
  std::uint32_t writeLeft_ = 0;

  std::uint32_t mask_ = 0;
  std::uint32_t history_ = 0;
  EventWaitSlot wait_;
  bool waitUncollected_ = false;

  std::vector<Received> received_;
  std::function<void(std::uint8_t, std::int64_t)> onReceive_;
  std::function<void(bool, bool)> onLines_;
  std::map<SimCall, std::uint32_t> failures_;
};

// The serial system over the simulated devices, by name ("COM5" and
// "\\\\.\\COM5" name the same device; case does not matter).
class SimSerialSystem final : public ImitatingSerialSystem {
 public:
  explicit SimSerialSystem(ErrorFlavour flavour = kNativeFlavour);
  ~SimSerialSystem() override;

  ErrorFlavour Flavour() const { return flavour_; }

  // Adds a device on the platform clock (or returns the existing one).
  std::shared_ptr<SimSerialLine> AddDevice(const std::string& name);
  std::shared_ptr<SimSerialLine> AddDevice(const std::string& name, IClock& clock);
  std::shared_ptr<SimSerialLine> Device(const std::string& name);
  void RemoveDevice(const std::string& name);

  // Event objects alive now; tests check that nothing is left behind.
  int LiveEvents() const;
  // Devices open now.
  int LiveHandles() const;
  // Threads other than the creator's that have used a device or an event
  // of this system and have not ended yet.
  int LiveThreads() const;
  // The next NewEvent fails with code.
  void FailNextEvent(std::uint32_t code) { failEvent_ = code; }
  // Whether an open asks for the low-latency flag (and a close gives the
  // previous one back), as the imitated platform's driver does: yes on
  // Linux, no on Windows.
  void SetLowLatencyRequest(bool on) { lowLatencyRequest_ = on; }
  bool LowLatencyRequest() const { return lowLatencyRequest_; }

  std::unique_ptr<ISerialDevice> Open(const std::string& name) override;
  std::unique_ptr<ISerialEvent> NewEvent(bool manualReset, bool initiallySet) override;
  std::string ErrorText(std::uint32_t code) override;
  std::uint32_t InvalidHandleCode() override { return CodesOf(flavour_).InvalidHandle; }
  std::uint32_t DeviceGoneCode() override { return CodesOf(flavour_).RemovedWait; }

  static std::string Key(const std::string& name);

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<SimSerialLine>> devices_;
  ErrorFlavour flavour_;
  std::shared_ptr<SimCounters> counters_;
  std::uint32_t failEvent_ = 0;
#ifdef _WIN32
  bool lowLatencyRequest_ = false;
#else
  bool lowLatencyRequest_ = true;
#endif
};

}  // namespace platform
