// The serial driver seam: one opened serial device with the semantics of the
// Windows communications interface (device control block, queue sizes,
// time-outs, purges, escape functions, modem status, the error word with the
// queue counts, overlapped reads and writes, the event mask and the event
// wait), and the "serial system" that opens devices by name and carries the
// last-error code of the calling thread.
//
// Every call returns true on success. On failure it returns false and leaves
// the code in the system's LastError() of the calling thread: Windows codes on
// Windows, errno values on Linux. An overlapped call that is still running
// returns false with kErrorIoPending, which is no failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

constexpr std::uint32_t kErrorIoPending = 997;
// An overlapped result asked for before the operation has ended.
constexpr std::uint32_t kErrorIoIncomplete = 996;

// The device control block, field for field as the Windows one (28 bytes).
struct Dcb {
  std::uint32_t DCBlength = 28;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;  // the flag bits below
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;    // kNoParity..kSpaceParity
  std::uint8_t StopBits = 0;  // kOneStopBit, kOne5StopBits, kTwoStopBits
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(Dcb) == 28);

// Dcb::Flags.
constexpr std::uint32_t kDcbBinary = 0x1;
constexpr std::uint32_t kDcbParity = 0x2;
constexpr std::uint32_t kDcbOutxCtsFlow = 0x4;
constexpr std::uint32_t kDcbOutxDsrFlow = 0x8;
constexpr std::uint32_t kDcbDtrControlMask = 0x30;
constexpr std::uint32_t kDcbDtrControlEnable = 0x10;
constexpr std::uint32_t kDcbDtrControlHandshake = 0x20;
constexpr std::uint32_t kDcbDsrSensitivity = 0x40;
constexpr std::uint32_t kDcbTXContinueOnXoff = 0x80;
constexpr std::uint32_t kDcbOutX = 0x100;
constexpr std::uint32_t kDcbInX = 0x200;
constexpr std::uint32_t kDcbErrorChar = 0x400;
constexpr std::uint32_t kDcbNull = 0x800;
constexpr std::uint32_t kDcbRtsControlMask = 0x3000;
constexpr std::uint32_t kDcbRtsControlEnable = 0x1000;
constexpr std::uint32_t kDcbRtsControlHandshake = 0x2000;
constexpr std::uint32_t kDcbRtsControlToggle = 0x3000;
constexpr std::uint32_t kDcbAbortOnError = 0x4000;

constexpr std::uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4;
constexpr std::uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

// Time-outs in milliseconds, as the Windows record.
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The driver's properties record, as the Windows one (64 bytes).
struct CommProp {
  std::uint16_t wPacketLength = 0;
  std::uint16_t wPacketVersion = 0;
  std::uint32_t dwServiceMask = 0;
  std::uint32_t dwReserved1 = 0;
  std::uint32_t dwMaxTxQueue = 0;
  std::uint32_t dwMaxRxQueue = 0;
  std::uint32_t dwMaxBaud = 0;
  std::uint32_t dwProvSubType = 0;
  std::uint32_t dwProvCapabilities = 0;
  std::uint32_t dwSettableParams = 0;
  std::uint32_t dwSettableBaud = 0;
  std::uint16_t wSettableData = 0;
  std::uint16_t wSettableStopParity = 0;
  std::uint32_t dwCurrentTxQueue = 0;
  std::uint32_t dwCurrentRxQueue = 0;
  std::uint32_t dwProvSpec1 = 0;
  std::uint32_t dwProvSpec2 = 0;
  std::uint16_t wcProvChar[2] = {};
};
static_assert(sizeof(CommProp) == 64);

// CommProp::dwSettableBaud and dwMaxBaud.
constexpr std::uint32_t kBaud075 = 0x1, kBaud110 = 0x2, kBaud134_5 = 0x4, kBaud150 = 0x8, kBaud300 = 0x10,
                        kBaud600 = 0x20, kBaud1200 = 0x40, kBaud1800 = 0x80, kBaud2400 = 0x100,
                        kBaud4800 = 0x200, kBaud7200 = 0x400, kBaud9600 = 0x800, kBaud14400 = 0x1000,
                        kBaud19200 = 0x2000, kBaud38400 = 0x4000, kBaud56k = 0x8000, kBaud128k = 0x10000,
                        kBaud115200 = 0x20000, kBaud57600 = 0x40000, kBaudUser = 0x10000000;
// CommProp::dwProvCapabilities.
constexpr std::uint32_t kPcfDtrDsr = 0x1, kPcfRtsCts = 0x2, kPcfRlsd = 0x4, kPcfParityCheck = 0x8,
                        kPcfXOnXOff = 0x10, kPcfSetXChar = 0x20, kPcfTotalTimeouts = 0x40,
                        kPcfIntTimeouts = 0x80, kPcfSpecialChars = 0x100, kPcf16BitMode = 0x200;
// CommProp::dwSettableParams.
constexpr std::uint32_t kSpParity = 0x1, kSpBaud = 0x2, kSpDataBits = 0x4, kSpStopBits = 0x8,
                        kSpHandshaking = 0x10, kSpParityCheck = 0x20, kSpRlsd = 0x40;
// CommProp::wSettableData.
constexpr std::uint16_t kDataBits5 = 0x1, kDataBits6 = 0x2, kDataBits7 = 0x4, kDataBits8 = 0x8,
                        kDataBits16 = 0x10, kDataBits16X = 0x20;
// CommProp::wSettableStopParity.
constexpr std::uint16_t kStopBits10 = 0x1, kStopBits15 = 0x2, kStopBits20 = 0x4, kParityNone = 0x100,
                        kParityOdd = 0x200, kParityEven = 0x400, kParityMark = 0x800, kParitySpace = 0x1000;

// PurgeComm flags.
constexpr std::uint32_t kPurgeTxAbort = 0x1, kPurgeRxAbort = 0x2, kPurgeTxClear = 0x4, kPurgeRxClear = 0x8;

// EscapeCommFunction codes.
constexpr std::uint32_t kEscSetXOff = 1, kEscSetXOn = 2, kEscSetRts = 3, kEscClrRts = 4, kEscSetDtr = 5,
                        kEscClrDtr = 6, kEscResetDev = 7, kEscSetBreak = 8, kEscClrBreak = 9;

// GetCommModemStatus bits.
constexpr std::uint32_t kMsCtsOn = 0x10, kMsDsrOn = 0x20, kMsRingOn = 0x40, kMsRlsdOn = 0x80;

// The error word of ClearCommError.
constexpr std::uint32_t kCeRxOver = 0x1, kCeOverrun = 0x2, kCeRxParity = 0x4, kCeFrame = 0x8, kCeBreak = 0x10,
                        kCeTxFull = 0x100, kCePto = 0x200, kCeIOE = 0x400, kCeDns = 0x800, kCeOop = 0x1000,
                        kCeMode = 0x8000;

// Event mask bits of SetCommMask and WaitCommEvent.
constexpr std::uint32_t kEvRxChar = 0x1, kEvRxFlag = 0x2, kEvTxEmpty = 0x4, kEvCts = 0x8, kEvDsr = 0x10,
                        kEvRlsd = 0x20, kEvBreak = 0x40, kEvErr = 0x80, kEvRing = 0x100, kEvPErr = 0x200,
                        kEvRx80Full = 0x400, kEvEvent1 = 0x800, kEvEvent2 = 0x1000;
constexpr std::uint32_t kEvAll = 0x1FFF;

// The queue counts of ClearCommError.
struct CommQueues {
  std::uint32_t InQueue = 0;
  std::uint32_t OutQueue = 0;
};

// An event object as an overlapped operation uses it: the driver signals it
// when the operation ends. Manual-reset events stay signalled until Reset;
// an auto-reset event is reset by the Wait that sees it.
class ISerialEvent {
 public:
  virtual ~ISerialEvent() = default;
  virtual bool Set() = 0;
  virtual bool Reset() = 0;
  // Waits up to timeoutMs (-1: without limit); true when it was signalled.
  // A wait of 0 only looks.
  virtual bool Wait(int timeoutMs) = 0;
};

// One opened device. Destroying it closes the device; a pending wait for
// events ends, pending transfers are abandoned. A read, a write and an event
// wait can each be outstanding at the same time.
class ISerialDevice {
 public:
  virtual ~ISerialDevice() = default;

  virtual bool GetCommState(Dcb& dcb) = 0;
  virtual bool SetCommState(const Dcb& dcb) = 0;
  virtual bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual bool GetCommTimeouts(CommTimeouts& t) = 0;
  virtual bool SetCommTimeouts(const CommTimeouts& t) = 0;
  virtual bool PurgeComm(std::uint32_t flags) = 0;
  // Returns when everything queued has been sent.
  virtual bool FlushBuffers() = 0;
  virtual bool EscapeCommFunction(std::uint32_t code) = 0;
  virtual bool SetCommBreak() = 0;
  virtual bool ClearCommBreak() = 0;
  virtual bool TransmitCommChar(char c) = 0;
  virtual bool GetCommModemStatus(std::uint32_t& status) = 0;
  // Returns and clears the error word; queues may be null.
  virtual bool ClearCommError(std::uint32_t& errors, CommQueues* queues) = 0;
  virtual bool GetCommProperties(CommProp& prop) = 0;

  // Overlapped transfers. `done` is reset as the transfer starts (the
  // caller resets it beforehand as well) and signalled by the driver when
  // the transfer ends; buffer and event stay valid until then. True: ended
  // at once, `transferred` set. False with kErrorIoPending: running.
  virtual bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t& transferred,
                        ISerialEvent& done) = 0;
  virtual bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t& transferred,
                         ISerialEvent& done) = 0;
  // The result of the last read or write; with wait, blocks until it ends.
  virtual bool GetReadResult(std::uint32_t& transferred, bool wait) = 0;
  virtual bool GetWriteResult(std::uint32_t& transferred, bool wait) = 0;

  // The event mask. A new mask ends a pending event wait at once with an
  // empty mask word.
  virtual bool SetCommMask(std::uint32_t mask) = 0;
  virtual bool GetCommMask(std::uint32_t& mask) = 0;
  // Starts a wait for one of the masked events, resetting `done`; fills
  // *eventMask and signals `done` when it ends (true: ended at once). Meant
  // to be called from the event thread while other threads use the device.
  virtual bool WaitCommEvent(std::uint32_t* eventMask, ISerialEvent& done) = 0;
  // The outcome of the last wait that WaitCommEvent left running, once its
  // event has been signalled: false with the code when the wait failed (the
  // device went away, for one). The mask word is then not the driver's
  // answer and holds nothing to dispatch.
  virtual bool GetWaitResult() = 0;
};

// Opens devices and keeps the last-error code of each thread.
class ISerialSystem {
 public:
  virtual ~ISerialSystem() = default;

  // Opens the device exactly by name for reading and writing, exclusively,
  // in overlapped mode; nullptr with LastError() set when it fails.
  virtual std::unique_ptr<ISerialDevice> Open(const std::string& name) = 0;
  // nullptr with LastError() set when it fails.
  virtual std::unique_ptr<ISerialEvent> NewEvent(bool manualReset, bool initiallySet) = 0;

  virtual std::uint32_t LastError() = 0;
  virtual void SetLastError(std::uint32_t code) = 0;
  // The system's message text for a code.
  virtual std::string ErrorText(std::uint32_t code) = 0;
  // The code a call on a closed (invalid) device gives.
  virtual std::uint32_t InvalidHandleCode() = 0;
  // The code an event wait gives when the device has gone away (unplugged):
  // each driver maps its system's ways of saying so onto this one code, and
  // the port closes itself when its event wait fails with it.
  virtual std::uint32_t DeviceGoneCode() = 0;

  // The system's configuration dialog for a port by short name. Systems
  // without one answer false from HasConfigDialog.
  virtual bool HasConfigDialog() { return false; }
  virtual bool GetDefaultConfig(const std::string& shortName, Dcb& dcb);
  // Shows the dialog on dcb; `confirmed` tells whether the user pressed OK.
  virtual bool RunConfigDialog(const std::string& shortName, Dcb& dcb, bool& confirmed);
  virtual bool SetDefaultConfig(const std::string& shortName, const Dcb& dcb);
};

ISerialSystem& Serial();
// Installs the serial system; the caller keeps ownership. Returns the
// previous one.
ISerialSystem* InstallSerial(ISerialSystem* s);

}  // namespace platform
