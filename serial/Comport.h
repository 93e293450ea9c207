// The serial port component: one serial device opened for overlapped I/O,
// its line settings, line control, purges, transfers, line errors, the error
// path with the OnError hook, and an optional plain-text log.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "discovery/Enumeration.h"
#include "framework/Classes.h"
#include "framework/SysUtils.h"
#include "framework/Thread.h"

namespace platform {
class ISerialDevice;
class ISerialEvent;
struct Dcb;
struct CommProp;
struct WindowMessage;
}  // namespace platform

// A set of the members of an enumeration with at most 32 members.
template <class E>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
  constexpr void Include(E m) { bits_ |= Bit(m); }
  constexpr void Exclude(E m) { bits_ &= ~Bit(m); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr std::uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TEnumSet&) const = default;

 private:
  static constexpr std::uint32_t Bit(E m) { return std::uint32_t{1} << static_cast<unsigned>(m); }
  std::uint32_t bits_ = 0;
};

enum TBaudRate {
  brDefault,
  br50,
  br75,
  br110,
  br134_5,
  br150,
  br300,
  br600,
  br1200,
  br1800,
  br2000,
  br2400,
  br3600,
  br4800,
  br7200,
  br9600,
  br10400,
  br14400,
  br15625,
  br19200,
  br28800,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000,
  brCustom
};
enum TDataBits { dbDefault, db4, db5, db6, db7, db8, db9, db16, db16x };
enum TParity { paDefault, paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sbDefault, sb1, sb1_5, sb2 };
enum TOption {
  opCheckParity,
  opOutputCTSFlow,
  opOutputDSRFlow,
  opDSRSensitivity,
  opTXContinueOnXOff,
  opUseErrorChar,
  opDiscardNullBytes,
  opAbortOnError
};
using TOptions = TEnumSet<TOption>;
enum TDTRControl { dcDefault, dcDisable, dcEnable, dcHandshake };
enum TRTSControl { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
enum TXOnXOffControl { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
enum TPriorityClass { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
enum TComAction { caFail, caAbort };
enum TLineError {
  leBreak,
  leDeviceNotSelected,
  leFrame,
  leIO,
  leMode,
  leOutOfPaper,
  leOverrun,
  leDeviceTimeOut,
  leRxOverflow,
  leParity,
  leTxFull
};
using TLineErrors = TEnumSet<TLineError>;
enum TModemStatusValue { msCTS, msDSR, msRing, msRLSD };
using TModemStatus = TEnumSet<TModemStatusValue>;
enum TSettableParameter {
  spParity,
  spParityCheck,
  spBaudRate,
  spDataBits,
  spStopBits,
  spHandShaking,
  spRLSD
};
using TSettableParameters = TEnumSet<TSettableParameter>;
enum TCapability {
  caDtrDsr,
  caRtsCts,
  caRLSD,
  caParityCheck,
  caXOnXOff,
  caSettableXChar,
  caTotalTimeouts,
  caIntervalTimeouts,
  caSpecialChars,
  ca16BitMode
};
using TCapabilities = TEnumSet<TCapability>;
using TBaudRates = TEnumSet<TBaudRate>;
using TSettableDataBits = TEnumSet<TDataBits>;
using TSettableParity = TEnumSet<TParity>;
using TSettableStopBits = TEnumSet<TStopBits>;

using TBytes = std::vector<std::uint8_t>;

// The rate a member stands for (br134_5: 134); 0 for brDefault and brCustom.
int BaudRateValue(TBaudRate rate);

// An error of the port: the message and the system's error code, 0 for the
// component's own errors.
class EComError : public Exception {
 public:
  EComError(std::string message, int code) : Exception(std::move(message)), ErrorCode(code) {}
  int ErrorCode;
};

class TCustomComPort;
class TComThread;
struct TComThreadGate;
enum class TComThreadState;

using TOpenCloseEvent = TMethod<void(TCustomComPort*)>;
using TReadWriteEvent = TMethod<void(TObject*, const void*, int, bool)>;
using TComErrorEvent = TMethod<void(TCustomComPort*, EComError&, TComAction&)>;
using TLineErrorEvent = TMethod<void(TObject*, TLineErrors)>;
using TDeviceEvent = TMethod<void(TObject*, const std::string&)>;

class TFlowControl : public TPersistent {
 public:
  explicit TFlowControl(TCustomComPort* port) : port_(port) {}
  TDTRControl DTR() const { return dtr_; }
  void SetDTR(TDTRControl v);
  TRTSControl RTS() const { return rts_; }
  void SetRTS(TRTSControl v);
  TXOnXOffControl XOnXOff() const { return xonxoff_; }
  void SetXOnXOff(TXOnXOffControl v);
  std::uint16_t XOnLimit() const { return xonLimit_; }
  void SetXOnLimit(std::uint16_t v);
  std::uint16_t XOffLimit() const { return xoffLimit_; }
  void SetXOffLimit(std::uint16_t v);
  void Assign(const TFlowControl& other);
  TCustomComPort* ComPort() const { return port_; }

 private:
  TCustomComPort* port_;
  TDTRControl dtr_ = dcDefault;
  TRTSControl rts_ = rcDefault;
  TXOnXOffControl xonxoff_ = xcDefault;
  std::uint16_t xonLimit_ = 0;
  std::uint16_t xoffLimit_ = 0;
};

class TCharacters : public TPersistent {
 public:
  explicit TCharacters(TCustomComPort* port) : port_(port) {}
  char XOn() const { return xon_; }
  void SetXOn(char v) { Change(xon_, v); }
  char XOff() const { return xoff_; }
  void SetXOff(char v) { Change(xoff_, v); }
  char Error() const { return error_; }
  void SetError(char v) { Change(error_, v); }
  char Eof() const { return eof_; }
  void SetEof(char v) { Change(eof_, v); }
  char Event() const { return event_; }
  void SetEvent(char v) { Change(event_, v); }
  void Assign(const TCharacters& other);
  TCustomComPort* ComPort() const { return port_; }

 private:
  void Change(char& field, char v);
  TCustomComPort* port_;
  char xon_ = 17;
  char xoff_ = 19;
  char error_ = 0;
  char eof_ = 0;
  char event_ = 0;
};

class TBufferSizes : public TPersistent {
 public:
  explicit TBufferSizes(TCustomComPort* port) : port_(port) {}
  int Input() const { return input_; }
  void SetInput(int v);
  int Output() const { return output_; }
  void SetOutput(int v);
  // From the driver's properties record of an open port.
  int GetMaxInput() const;
  int GetMaxOutput() const;
  int GetCurrentInput() const;
  int GetCurrentOutput() const;
  void Assign(const TBufferSizes& other);
  TCustomComPort* ComPort() const { return port_; }

 private:
  TCustomComPort* port_;
  int input_ = 4096;
  int output_ = 2048;
};

class TTimeouts : public TPersistent {
 public:
  explicit TTimeouts(TCustomComPort* port) : port_(port) {}
  int ReadInterval() const { return v_[0]; }
  void SetReadInterval(int v) { Change(0, v); }
  int ReadMultiplier() const { return v_[1]; }
  void SetReadMultiplier(int v) { Change(1, v); }
  int ReadConstant() const { return v_[2]; }
  void SetReadConstant(int v) { Change(2, v); }
  int WriteMultiplier() const { return v_[3]; }
  void SetWriteMultiplier(int v) { Change(3, v); }
  int WriteConstant() const { return v_[4]; }
  void SetWriteConstant(int v) { Change(4, v); }
  void Assign(const TTimeouts& other);
  TCustomComPort* ComPort() const { return port_; }

 private:
  void Change(int i, int v);
  TCustomComPort* port_;
  int v_[5] = {0, 0, 0, 0, 0};
};

class TCustomComPort : public TComponent {
 public:
  explicit TCustomComPort(TComponent* owner);
  ~TCustomComPort() override;

  // Lifecycle.
  void Open();
  void Close();
  bool GetActive() const;
  void SetActive(bool value);
  bool Active() const { return GetActive(); }

  // Line settings.
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate v);
  int CustomBaudRate() const;
  void SetCustomBaudRate(int v);
  // Whether CustomBaudRate is stored with the form.
  bool StoredCustomBaudRate() const { return baudRate_ == brCustom; }
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits v);
  TParity Parity() const { return parity_; }
  void SetParity(TParity v);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits v);
  TOptions Options() const { return options_; }
  void SetOptions(TOptions v);
  TFlowControl& FlowControl() { return *flowControl_; }
  void SetFlowControl(const TFlowControl& v) { flowControl_->Assign(v); }
  TCharacters& Characters() { return *characters_; }
  void SetCharacters(const TCharacters& v) { characters_->Assign(v); }
  TBufferSizes& BufferSizes() { return *bufferSizes_; }
  void SetBufferSizes(const TBufferSizes& v) { bufferSizes_->Assign(v); }
  TTimeouts& Timeouts() { return *timeouts_; }
  void SetTimeouts(const TTimeouts& v) { timeouts_->Assign(v); }

  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& v);
  TPriorityClass PriorityClass() const { return priorityClass_; }
  void SetPriorityClass(TPriorityClass v);
  bool SynchronizeEvents() const { return synchronizeEvents_; }
  void SetSynchronizeEvents(bool v);
  TThreadPriority ThreadPriority() const { return threadPriority_; }
  void SetThreadPriority(TThreadPriority v);
  const std::string& LogFile() const { return logFile_; }
  void SetLogFile(const std::string& v) { logFile_ = v; }
  TModemStatus ModemStatus() { return GetModemStatus(); }
  std::string GetAbout() const;
  void SetAbout(const std::string&) {}
  std::string About() const { return GetAbout(); }

  // Applying settings to an open port.
  void SetComDCB();
  void CopyDCB(platform::Dcb& dcb, bool toDcb);
  void SetComBufferSizes();
  void SetComTimeouts();
  // Recomputes the driver's event mask from the assigned events.
  void SetComEventMask();

  // Line control.
  void SetDTR();
  void ClearDTR();
  void SetRTS();
  void ClearRTS();
  void SetXOn();
  void SetXOff();
  void ResetDevice();
  void SetBreak();
  void ClearBreak();
  void TransmitChar(char c);
  TModemStatus GetModemStatus();

  // Purges.
  void PurgeInput();
  void PurgeOutput();
  void ClearInput();
  void ClearOutput();
  void AbortInput();
  void AbortOutput();
  void Flush();

  // Errors.
  void Check(bool ok);
  [[noreturn]] void RaiseError(int code, const std::string& message);
  void CheckActive();
  void CheckInactive();

  std::string ShortDeviceName() const;
  bool ConfigDialog();
  bool DefaultConfigDialog();

  // The system's serial devices; none of them touches the instance.
  static void EnumDevices(TStrings& list) { ::EnumDevices(list); }
  static void EnumComDevices(TStrings& list) { ::EnumComDevices(list); }
  static void EnumComDevicesFromRegistry(TStrings& list) { ::EnumComDevicesFromRegistry(list); }
  static void EnumComFriendlyNames(TStrings& list) { ::EnumComFriendlyNames(list); }
  static TDeviceInfos DeviceInfos() { return ::DeviceInfos(); }
  static bool DeviceInfo(const std::string& name, TDeviceInfo& info) { return ::DeviceInfo(name, info); }

  // Capabilities of an open port.
  void GetCommProp(platform::CommProp& prop);
  TBaudRates GetSettableBaudRates();
  TBaudRate GetMaxBaudRate();
  TSettableParameters GetSettableParameters();
  TSettableDataBits GetSettableDataBits();
  TSettableParity GetSettableParity();
  TSettableStopBits GetSettableStopBits();
  TCapabilities GetCapabilities();

  // Transfers.
  void Read(void* buffer, int length, bool waitOnCompletion);
  void Write(const void* buffer, int length, bool waitOnCompletion);
  void WaitForReadCompletion();
  void WaitForWriteCompletion();
  bool ReadPending();
  bool WritePending();
  int InputCount();
  int OutputCount();

  // Line errors.
  static TLineErrors GetLineErrors(unsigned flags);
  void CheckLineErrors();
  void ClearLineErrors();

  // Typed reads.
  std::uint8_t ReadByte();
  char ReadAnsiChar();
  char ReadChar() { return ReadAnsiChar(); }
  std::uint16_t ReadWord();
  std::uint32_t ReadDWord();
  std::string ReadAnsiString();
  std::string ReadString() { return ReadAnsiString(); }
  TBytes ReadBytes();
  void ReadBytes(TBytes& buffer, int index, int count);
  std::wstring ReadUtf8();
  std::string ReadAnsiUntil(char terminator);
  std::string ReadUntil(char terminator) { return ReadAnsiUntil(terminator); }
  TBytes ReadUntilBytes(std::uint8_t terminator);
  std::string ReadAnsiUntil(const std::string& terminator);
  std::string ReadUntil(const std::string& terminator) { return ReadAnsiUntil(terminator); }
  TBytes ReadUntilBytes(const TBytes& terminator);
  std::wstring ReadUntilUtf8(std::uint8_t terminator);
  std::string ReadAnsiLine() { return ReadAnsiUntil('\r'); }
  std::string ReadLine() { return ReadAnsiLine(); }
  TBytes ReadLineBytes() { return ReadUntilBytes(std::uint8_t{13}); }
  std::wstring ReadLineUtf8() { return ReadUntilUtf8(13); }

  // Typed writes; none waits for the line.
  void WriteByte(std::uint8_t b);
  void WriteAnsiChar(char c);
  void WriteChar(char c) { WriteAnsiChar(c); }
  void WriteWord(std::uint16_t w);
  void WriteDWord(std::uint32_t d);
  void WriteAnsiString(const std::string& s);
  void WriteString(const std::string& s) { WriteAnsiString(s); }
  void WriteUtf8(const std::wstring& s);
  void WriteBytes(const TBytes& bytes);
  void WriteBytes(const TBytes& buffer, int index, int count);
  void WriteAnsiLine(const std::string& s);
  void WriteLine(const std::string& s) { WriteAnsiLine(s); }
  void WriteLineUtf8(const std::wstring& s);
  void WriteLineBytes(const TBytes& bytes);

  // The log.
  bool Log() const { return !logFile_.empty(); }
  void WriteLog(const std::string& message, const void* data, int count);

  // Events, plain fields.
  TOpenCloseEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TReadWriteEvent BeforeRead, AfterRead, BeforeWrite, AfterWrite;
  TComErrorEvent OnError;

  // The driver events; assigning one re-computes the event mask.
  const TLineErrorEvent& OnLineError() const { return onLineError_; }
  void SetOnLineError(const TLineErrorEvent& e);
  const TNotifyEvent& OnBreak() const { return notify_[kBreak]; }
  void SetOnBreak(const TNotifyEvent& e) { SetNotify(kBreak, e); }
  const TNotifyEvent& OnCTSChange() const { return notify_[kCTSChange]; }
  void SetOnCTSChange(const TNotifyEvent& e) { SetNotify(kCTSChange, e); }
  const TNotifyEvent& OnDSRChange() const { return notify_[kDSRChange]; }
  void SetOnDSRChange(const TNotifyEvent& e) { SetNotify(kDSRChange, e); }
  const TNotifyEvent& OnEvent1() const { return notify_[kEvent1]; }
  void SetOnEvent1(const TNotifyEvent& e) { SetNotify(kEvent1, e); }
  const TNotifyEvent& OnEvent2() const { return notify_[kEvent2]; }
  void SetOnEvent2(const TNotifyEvent& e) { SetNotify(kEvent2, e); }
  const TNotifyEvent& OnPrinterError() const { return notify_[kPrinterError]; }
  void SetOnPrinterError(const TNotifyEvent& e) { SetNotify(kPrinterError, e); }
  const TNotifyEvent& OnRing() const { return notify_[kRing]; }
  void SetOnRing(const TNotifyEvent& e) { SetNotify(kRing, e); }
  const TNotifyEvent& OnRLSDChange() const { return notify_[kRLSDChange]; }
  void SetOnRLSDChange(const TNotifyEvent& e) { SetNotify(kRLSDChange, e); }
  const TNotifyEvent& OnRx80PercFull() const { return notify_[kRx80PercFull]; }
  void SetOnRx80PercFull(const TNotifyEvent& e) { SetNotify(kRx80PercFull, e); }
  const TNotifyEvent& OnRxChar() const { return notify_[kRxChar]; }
  void SetOnRxChar(const TNotifyEvent& e) { SetNotify(kRxChar, e); }
  const TNotifyEvent& OnRxFlag() const { return notify_[kRxFlag]; }
  void SetOnRxFlag(const TNotifyEvent& e) { SetNotify(kRxFlag, e); }
  const TNotifyEvent& OnTxEmpty() const { return notify_[kTxEmpty]; }
  void SetOnTxEmpty(const TNotifyEvent& e) { SetNotify(kTxEmpty, e); }

  // Device arrival and removal.
  const TDeviceEvent& OnDeviceArrival() const { return onDeviceArrival_; }
  void SetOnDeviceArrival(const TDeviceEvent& e);
  const TDeviceEvent& OnDeviceRemoved() const { return onDeviceRemoved_; }
  void SetOnDeviceRemoved(const TDeviceEvent& e);

  // The event mask the assigned events give.
  std::uint32_t EventMask() const;

  // For the event thread: the device, the wait record and the mask word.
  platform::ISerialDevice* Device() const { return device_.get(); }
  platform::ISerialEvent* WaitEvent() const { return waitEvent_.get(); }
  std::uint32_t& EventMaskWord() { return eventMaskWord_; }

  // --- The event thread and device notifications (ComportThread.cpp) ---

  // The port's hook on the main window's messages: turns device arrival and
  // removal into OnDeviceArrival and OnDeviceRemoved. Never consumes a
  // message (always false).
  bool WindowHook(const platform::WindowMessage& message);
  // What the event thread is doing now; tests settle on it.
  TComThreadState EventThreadState() const;
  // Whether a device notification is registered.
  bool NotificationRegistered() const { return notification_ != nullptr; }

 protected:
  // One wait and its dispatch; the thread calls it inside its wait phase.
  void ThreadProc(TComThread* thread);
  // Dispatches the events of the last completed wait.
  void ThreadDoEvent();
  // Raises the stored thread error; on the UI thread.
  [[noreturn]] void RaiseThreadError();

 private:
  friend class TComThread;
  // Close called on the event thread runs on the UI thread; true when it did.
  bool CloseOnEventThread();
  // At destruction: no thread or queued call of this port touches it after.
  void DetachEventThreads();
  void ApplyThreadPriority();
  std::shared_ptr<TComThreadGate> threadGate_;
  int notificationHook_ = 0;

 public:
 protected:
  void Loaded() override;
  virtual void CreateHandle();
  void FreeHandle();

  // The event thread, started and stopped by SetComEventMask and FreeHandle.
  void CreateThread();
  void DestroyThread();
  bool StartNotification();
  bool StopNotification();

 private:
  enum NotifyIndex {
    kBreak,
    kCTSChange,
    kDSRChange,
    kEvent1,
    kEvent2,
    kPrinterError,
    kRing,
    kRLSDChange,
    kRx80PercFull,
    kRxChar,
    kRxFlag,
    kTxEmpty,
    kNotifyCount
  };
  void SetNotify(int index, const TNotifyEvent& e);
  void Escape(std::uint32_t code);
  void Purge(std::uint32_t flags);
  bool Designing() const;
  bool Loading() const;
  bool IsOpen() const { return device_ != nullptr; }
  void WaitForCompletion(bool write);
  void ReportLineErrors(std::uint32_t errors);
  void CheckIndex(const TBytes& buffer, int index, int count);
  std::uint8_t ReadOneByte();
  std::uint32_t ReadLittleEndian(int bytes);

  bool active_ = false;
  TBaudRate baudRate_ = brDefault;
  int customBaudRate_ = 0;
  TDataBits dataBits_ = dbDefault;
  TParity parity_ = paDefault;
  TStopBits stopBits_ = sbDefault;
  TOptions options_;
  std::unique_ptr<TFlowControl> flowControl_;
  std::unique_ptr<TCharacters> characters_;
  std::unique_ptr<TBufferSizes> bufferSizes_;
  std::unique_ptr<TTimeouts> timeouts_;
  std::string deviceName_ = "COM1";
  TPriorityClass priorityClass_ = pcDefault;
  bool synchronizeEvents_ = true;
  TThreadPriority threadPriority_ = tpTimeCritical;
  std::string logFile_;

  TLineErrorEvent onLineError_;
  TNotifyEvent notify_[kNotifyCount];
  TDeviceEvent onDeviceArrival_, onDeviceRemoved_;

  // The device (null while closed) and the three events of the overlapped
  // records: the wait event (auto-reset), the read and write events
  // (manual-reset, signalled while nothing is pending).
  std::unique_ptr<platform::ISerialDevice> device_;
  std::unique_ptr<platform::ISerialEvent> waitEvent_;
  std::unique_ptr<platform::ISerialEvent> readEvent_;
  std::unique_ptr<platform::ISerialEvent> writeEvent_;
  TComThread* thread_ = nullptr;
  std::uint32_t eventMaskWord_ = 0;
  int readPendingCount_ = 0;
  void* readPendingBuffer_ = nullptr;
  int writePendingCount_ = 0;
  const void* writePendingBuffer_ = nullptr;
  TBytes writeBuffer_;
  int savedPriorityClass_ = -1;
  int threadErrorCode_ = 0;
  void* notification_ = nullptr;
};

class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
};
