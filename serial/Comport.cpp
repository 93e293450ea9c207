#include "serial/Comport.h"

#include "platform/Platform.h"
#include "platform/SerialDriver.h"

namespace {

constexpr const char* kClosedPort = "Can't perform this operation on a closed port";
constexpr const char* kOpenPort = "Can't perform this operation on an open port";

const int kBaudRateValues[] = {0,     50,    75,    110,   134,    150,    300,    600,   1200,  1800,
                               2000,  2400,  3600,  4800,  7200,   9600,   10400,  14400, 15625, 19200,
                               28800, 38400, 56000, 57600, 115200, 128000, 256000, 0};
// Device control block codes of the members; the Default members share 0.
const int kDataBitsCodes[] = {0, 4, 5, 6, 7, 8, 9, 16, 16};
const int kParityCodes[] = {0, 0, 1, 2, 3, 4};
const int kStopBitsCodes[] = {0, 0, 1, 2};
const std::uint32_t kDtrCodes[] = {0, 0, platform::kDcbDtrControlEnable, platform::kDcbDtrControlHandshake};
const std::uint32_t kRtsCodes[] = {0, 0, platform::kDcbRtsControlEnable, platform::kDcbRtsControlHandshake,
                                   platform::kDcbRtsControlToggle};
const std::uint32_t kXOnXOffCodes[] = {0, 0, platform::kDcbInX, platform::kDcbOutX,
                                       platform::kDcbInX | platform::kDcbOutX};
const std::uint32_t kOptionBits[] = {
    platform::kDcbParity,         platform::kDcbOutxCtsFlow,      platform::kDcbOutxDsrFlow,
    platform::kDcbDsrSensitivity, platform::kDcbTXContinueOnXoff, platform::kDcbErrorChar,
    platform::kDcbNull,           platform::kDcbAbortOnError};
const int kPriorityClasses[] = {0, platform::kIdlePriorityClass, platform::kNormalPriorityClass,
                                platform::kHighPriorityClass, platform::kRealtimePriorityClass};

// Supported-rate flags of the properties record and their members.
struct BaudFlag {
  std::uint32_t flag;
  TBaudRate rate;
};
const BaudFlag kBaudFlags[] = {
    {platform::kBaud075, br75},      {platform::kBaud110, br110},     {platform::kBaud134_5, br134_5},
    {platform::kBaud150, br150},     {platform::kBaud300, br300},     {platform::kBaud600, br600},
    {platform::kBaud1200, br1200},   {platform::kBaud1800, br1800},   {platform::kBaud2400, br2400},
    {platform::kBaud4800, br4800},   {platform::kBaud7200, br7200},   {platform::kBaud9600, br9600},
    {platform::kBaud14400, br14400}, {platform::kBaud19200, br19200}, {platform::kBaud38400, br38400},
    {platform::kBaud56k, br56000},   {platform::kBaud57600, br57600}, {platform::kBaud115200, br115200},
    {platform::kBaud128k, br128000}, {platform::kBaudUser, brCustom}};

template <class E, std::size_t N, class C>
bool FirstMatch(const C (&codes)[N], C code, E& out) {
  for (std::size_t i = 0; i < N; ++i)
    if (codes[i] == code) {
      out = static_cast<E>(i);
      return true;
    }
  return false;
}

}  // namespace

int BaudRateValue(TBaudRate rate) { return kBaudRateValues[rate]; }

// ---------------------------------------------------------------------------
// Settings objects.

void TFlowControl::SetDTR(TDTRControl v) {
  if (v == dtr_) return;
  dtr_ = v;
  port_->SetComDCB();
}
void TFlowControl::SetRTS(TRTSControl v) {
  if (v == rts_) return;
  rts_ = v;
  port_->SetComDCB();
}
void TFlowControl::SetXOnXOff(TXOnXOffControl v) {
  if (v == xonxoff_) return;
  xonxoff_ = v;
  port_->SetComDCB();
}
void TFlowControl::SetXOnLimit(std::uint16_t v) {
  if (v == xonLimit_) return;
  xonLimit_ = v;
  port_->SetComDCB();
}
void TFlowControl::SetXOffLimit(std::uint16_t v) {
  if (v == xoffLimit_) return;
  xoffLimit_ = v;
  port_->SetComDCB();
}
void TFlowControl::Assign(const TFlowControl& o) {
  SetDTR(o.dtr_);
  SetRTS(o.rts_);
  SetXOnXOff(o.xonxoff_);
  SetXOnLimit(o.xonLimit_);
  SetXOffLimit(o.xoffLimit_);
}

void TCharacters::Change(char& field, char v) {
  if (v == field) return;
  field = v;
  port_->SetComDCB();
}
void TCharacters::Assign(const TCharacters& o) {
  SetXOn(o.xon_);
  SetXOff(o.xoff_);
  SetError(o.error_);
  SetEof(o.eof_);
  SetEvent(o.event_);
}

void TBufferSizes::SetInput(int v) {
  if (v == input_) return;
  input_ = v;
  port_->SetComBufferSizes();
}
void TBufferSizes::SetOutput(int v) {
  if (v == output_) return;
  output_ = v;
  port_->SetComBufferSizes();
}
void TBufferSizes::Assign(const TBufferSizes& o) {
  SetInput(o.input_);
  SetOutput(o.output_);
}
int TBufferSizes::GetMaxInput() const {
  platform::CommProp p;
  port_->GetCommProp(p);
  return static_cast<int>(p.dwMaxRxQueue);
}
int TBufferSizes::GetMaxOutput() const {
  platform::CommProp p;
  port_->GetCommProp(p);
  return static_cast<int>(p.dwMaxTxQueue);
}
int TBufferSizes::GetCurrentInput() const {
  platform::CommProp p;
  port_->GetCommProp(p);
  return static_cast<int>(p.dwCurrentRxQueue);
}
int TBufferSizes::GetCurrentOutput() const {
  platform::CommProp p;
  port_->GetCommProp(p);
  return static_cast<int>(p.dwCurrentTxQueue);
}

void TTimeouts::Change(int i, int v) {
  if (v == v_[i]) return;
  v_[i] = v;
  port_->SetComTimeouts();
}
void TTimeouts::Assign(const TTimeouts& o) {
  for (int i = 0; i < 5; ++i) Change(i, o.v_[i]);
}

// ---------------------------------------------------------------------------
// Lifecycle.

TCustomComPort::TCustomComPort(TComponent* owner)
    : TComponent(owner),
      flowControl_(std::make_unique<TFlowControl>(this)),
      characters_(std::make_unique<TCharacters>(this)),
      bufferSizes_(std::make_unique<TBufferSizes>(this)),
      timeouts_(std::make_unique<TTimeouts>(this)) {}

TCustomComPort::~TCustomComPort() {
  StopNotification();
  try {
    Close();
  } catch (const Exception&) {
    // A destructor cannot report; the device and its resources are released
    // by FreeHandle before any handler could raise.
  }
  DetachEventThreads();
  timeouts_.reset();
  bufferSizes_.reset();
  characters_.reset();
  flowControl_.reset();
}

bool TCustomComPort::Designing() const { return ComponentState().Contains(csDesigning); }
bool TCustomComPort::Loading() const { return ComponentState().Contains(csLoading); }

bool TCustomComPort::GetActive() const { return Designing() ? active_ : IsOpen(); }

void TCustomComPort::SetActive(bool value) {
  if (value != GetActive() && !Loading() && !Designing()) {
    if (value)
      Open();
    else
      Close();
  }
  active_ = value;
}

void TCustomComPort::Loaded() {
  TComponent::Loaded();
  SetActive(active_);
}

void TCustomComPort::Open() {
  if (IsOpen()) return;
  if (BeforeOpen) BeforeOpen(this);
  CreateHandle();
  if (Log()) WriteLog("Open " + deviceName_, nullptr, 0);
  if (IsOpen() && AfterOpen) AfterOpen(this);
}

void TCustomComPort::Close() {
  // The event thread's Close is carried over to the UI thread here.
  if (CloseOnEventThread()) return;
  if (!IsOpen()) return;
  if (BeforeClose) BeforeClose(this);
  FreeHandle();
  if (Log()) WriteLog("Close " + deviceName_, nullptr, 0);
  if (!IsOpen() && AfterClose) AfterClose(this);
}

void TCustomComPort::CreateHandle() {
  platform::ISerialSystem& sys = platform::Serial();
  try {
    FreeHandle();
    sys.SetLastError(0);
    if (priorityClass_ != pcDefault) {
      savedPriorityClass_ = platform::Current().GetProcessPriorityClass();
      platform::Current().SetProcessPriorityClass(kPriorityClasses[priorityClass_]);
    }
    eventMaskWord_ = 0;
    waitEvent_ = sys.NewEvent(false, false);
    Check(waitEvent_ != nullptr);
    readEvent_ = sys.NewEvent(true, true);
    Check(readEvent_ != nullptr);
    writeEvent_ = sys.NewEvent(true, true);
    Check(writeEvent_ != nullptr);
    if (!waitEvent_ || !readEvent_ || !writeEvent_) RaiseError(0, sys.ErrorText(0));
    device_ = sys.Open(deviceName_);
    Check(device_ != nullptr);
    if (!device_) RaiseError(0, sys.ErrorText(0));
    PurgeInput();
    PurgeOutput();
    SetComBufferSizes();
    SetComDCB();
    SetComTimeouts();
    SetComEventMask();
  } catch (...) {
    FreeHandle();
    throw;
  }
}

void TCustomComPort::FreeHandle() {
  DestroyThread();
  device_.reset();
  writeEvent_.reset();
  readEvent_.reset();
  waitEvent_.reset();
  if (savedPriorityClass_ != -1) {
    platform::Current().SetProcessPriorityClass(savedPriorityClass_);
    savedPriorityClass_ = -1;
  }
}

// ---------------------------------------------------------------------------
// Properties.

void TCustomComPort::SetBaudRate(TBaudRate v) {
  if (v == baudRate_) return;
  baudRate_ = v;
  SetComDCB();
}

int TCustomComPort::CustomBaudRate() const {
  return baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_);
}

void TCustomComPort::SetCustomBaudRate(int v) {
  if (v == customBaudRate_) return;
  customBaudRate_ = v;
  baudRate_ = brCustom;
  SetComDCB();
}

void TCustomComPort::SetDataBits(TDataBits v) {
  if (v == dataBits_) return;
  dataBits_ = v;
  SetComDCB();
}
void TCustomComPort::SetParity(TParity v) {
  if (v == parity_) return;
  parity_ = v;
  SetComDCB();
}
void TCustomComPort::SetStopBits(TStopBits v) {
  if (v == stopBits_) return;
  stopBits_ = v;
  SetComDCB();
}
void TCustomComPort::SetOptions(TOptions v) {
  if (v == options_) return;
  options_ = v;
  SetComDCB();
}

void TCustomComPort::SetDeviceName(const std::string& v) {
  if (v == deviceName_) return;
  CheckInactive();
  deviceName_ = v;
}
void TCustomComPort::SetPriorityClass(TPriorityClass v) {
  if (v == priorityClass_) return;
  CheckInactive();
  priorityClass_ = v;
}
void TCustomComPort::SetSynchronizeEvents(bool v) {
  if (v == synchronizeEvents_) return;
  CheckInactive();
  synchronizeEvents_ = v;
}

std::string TCustomComPort::GetAbout() const { return "TComPort serial port component, version 1.0"; }

std::string TCustomComPort::ShortDeviceName() const {
  static const std::string prefix = "\\\\.\\";
  if (deviceName_.compare(0, prefix.size(), prefix) == 0) return deviceName_.substr(prefix.size());
  return deviceName_;
}

// ---------------------------------------------------------------------------
// Applying settings.

void TCustomComPort::SetComBufferSizes() {
  if (!IsOpen() || Designing()) return;
  int in = bufferSizes_->Input(), out = bufferSizes_->Output();
  if (in == -1 || out == -1) return;
  Check(device_->SetupComm(static_cast<std::uint32_t>(in), static_cast<std::uint32_t>(out)));
}

void TCustomComPort::SetComTimeouts() {
  if (!IsOpen() || Designing()) return;
  platform::CommTimeouts t;
  Check(device_->GetCommTimeouts(t));
  t.ReadIntervalTimeout = static_cast<std::uint32_t>(timeouts_->ReadInterval());
  t.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(timeouts_->ReadMultiplier());
  t.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(timeouts_->ReadConstant());
  t.WriteTotalTimeoutMultiplier = static_cast<std::uint32_t>(timeouts_->WriteMultiplier());
  t.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(timeouts_->WriteConstant());
  Check(device_->SetCommTimeouts(t));
}

void TCustomComPort::SetComDCB() {
  if (!IsOpen() || Designing()) return;
  platform::Dcb dcb{};
  dcb.DCBlength = 28;
  Check(device_->GetCommState(dcb));
  CopyDCB(dcb, true);
  Check(device_->SetCommState(dcb));
}

void TCustomComPort::CopyDCB(platform::Dcb& dcb, bool toDcb) {
  using namespace platform;
  if (toDcb) {
    if (baudRate_ == brCustom)
      dcb.BaudRate = static_cast<std::uint32_t>(customBaudRate_);
    else if (baudRate_ != brDefault)
      dcb.BaudRate = static_cast<std::uint32_t>(BaudRateValue(baudRate_));
    if (dataBits_ != dbDefault) dcb.ByteSize = static_cast<std::uint8_t>(kDataBitsCodes[dataBits_]);
    if (parity_ != paDefault) dcb.Parity = static_cast<std::uint8_t>(kParityCodes[parity_]);
    if (stopBits_ != sbDefault) dcb.StopBits = static_cast<std::uint8_t>(kStopBitsCodes[stopBits_]);
    dcb.XonChar = characters_->XOn();
    dcb.XoffChar = characters_->XOff();
    dcb.ErrorChar = characters_->Error();
    dcb.EofChar = characters_->Eof();
    dcb.EvtChar = characters_->Event();
    if (flowControl_->DTR() != dcDefault)
      dcb.Flags = (dcb.Flags & ~kDcbDtrControlMask) | kDtrCodes[flowControl_->DTR()];
    if (flowControl_->RTS() != rcDefault)
      dcb.Flags = (dcb.Flags & ~kDcbRtsControlMask) | kRtsCodes[flowControl_->RTS()];
    if (flowControl_->XOnXOff() != xcDefault)
      dcb.Flags = (dcb.Flags & ~(kDcbInX | kDcbOutX)) | kXOnXOffCodes[flowControl_->XOnXOff()];
    dcb.XonLim = flowControl_->XOnLimit();
    dcb.XoffLim = flowControl_->XOffLimit();
    for (int o = opCheckParity; o <= opAbortOnError; ++o) {
      if (options_.Contains(static_cast<TOption>(o)))
        dcb.Flags |= kOptionBits[o];
      else
        dcb.Flags &= ~kOptionBits[o];
    }
    dcb.Flags |= kDcbBinary;
    return;
  }
  SetCustomBaudRate(static_cast<int>(dcb.BaudRate));
  TDataBits db;
  if (FirstMatch(kDataBitsCodes, static_cast<int>(dcb.ByteSize), db)) SetDataBits(db);
  TParity pa;
  if (FirstMatch(kParityCodes, static_cast<int>(dcb.Parity), pa)) SetParity(pa);
  TStopBits sb;
  if (FirstMatch(kStopBitsCodes, static_cast<int>(dcb.StopBits), sb)) SetStopBits(sb);
  TDTRControl dc;
  if (FirstMatch(kDtrCodes, dcb.Flags & kDcbDtrControlMask, dc)) flowControl_->SetDTR(dc);
  TRTSControl rc;
  if (FirstMatch(kRtsCodes, dcb.Flags & kDcbRtsControlMask, rc)) flowControl_->SetRTS(rc);
  TXOnXOffControl xc;
  if (FirstMatch(kXOnXOffCodes, dcb.Flags & (kDcbInX | kDcbOutX), xc)) flowControl_->SetXOnXOff(xc);
  characters_->SetXOn(dcb.XonChar);
  characters_->SetXOff(dcb.XoffChar);
  characters_->SetError(dcb.ErrorChar);
  characters_->SetEof(dcb.EofChar);
  characters_->SetEvent(dcb.EvtChar);
  flowControl_->SetXOnLimit(dcb.XonLim);
  flowControl_->SetXOffLimit(dcb.XoffLim);
  TOptions opts = options_;
  for (int o = opCheckParity; o <= opAbortOnError; ++o) {
    if (dcb.Flags & kOptionBits[o])
      opts.Include(static_cast<TOption>(o));
    else
      opts.Exclude(static_cast<TOption>(o));
  }
  SetOptions(opts);
}

// ---------------------------------------------------------------------------
// Events and the event mask.

std::uint32_t TCustomComPort::EventMask() const {
  static const std::uint32_t bits[kNotifyCount] = {
      platform::kEvBreak,    platform::kEvCts,    platform::kEvDsr,    platform::kEvEvent1,
      platform::kEvEvent2,   platform::kEvPErr,   platform::kEvRing,   platform::kEvRlsd,
      platform::kEvRx80Full, platform::kEvRxChar, platform::kEvRxFlag, platform::kEvTxEmpty};
  std::uint32_t mask = onLineError_.Assigned() ? platform::kEvErr : 0;
  for (int i = 0; i < kNotifyCount; ++i)
    if (notify_[i].Assigned()) mask |= bits[i];
  return mask;
}

void TCustomComPort::SetComEventMask() {
  if (!IsOpen() || Designing()) return;
  std::uint32_t mask = EventMask();
  if (mask == 0) DestroyThread();
  Check(device_->SetCommMask(mask));
  if (mask != 0) CreateThread();
}

void TCustomComPort::SetNotify(int index, const TNotifyEvent& e) {
  if (e.SameFunction(notify_[index])) return;
  notify_[index] = e;
  SetComEventMask();
}

void TCustomComPort::SetOnLineError(const TLineErrorEvent& e) {
  if (e.SameFunction(onLineError_)) return;
  onLineError_ = e;
  SetComEventMask();
}

void TCustomComPort::SetOnDeviceArrival(const TDeviceEvent& e) {
  if (e.SameFunction(onDeviceArrival_)) return;
  onDeviceArrival_ = e;
  if (Designing()) return;
  if (onDeviceArrival_.Assigned() || onDeviceRemoved_.Assigned())
    StartNotification();
  else
    StopNotification();
}

void TCustomComPort::SetOnDeviceRemoved(const TDeviceEvent& e) {
  if (e.SameFunction(onDeviceRemoved_)) return;
  onDeviceRemoved_ = e;
  if (Designing()) return;
  if (onDeviceArrival_.Assigned() || onDeviceRemoved_.Assigned())
    StartNotification();
  else
    StopNotification();
}

void TCustomComPort::SetThreadPriority(TThreadPriority v) {
  threadPriority_ = v;
  ApplyThreadPriority();
}

// ---------------------------------------------------------------------------
// Line control and purges.

void TCustomComPort::Escape(std::uint32_t code) {
  CheckActive();
  Check(device_->EscapeCommFunction(code));
}

void TCustomComPort::SetDTR() { Escape(platform::kEscSetDtr); }
void TCustomComPort::ClearDTR() { Escape(platform::kEscClrDtr); }
void TCustomComPort::SetRTS() { Escape(platform::kEscSetRts); }
void TCustomComPort::ClearRTS() { Escape(platform::kEscClrRts); }
void TCustomComPort::SetXOn() { Escape(platform::kEscSetXOn); }
void TCustomComPort::SetXOff() { Escape(platform::kEscSetXOff); }
void TCustomComPort::ResetDevice() { Escape(platform::kEscResetDev); }

void TCustomComPort::SetBreak() {
  CheckActive();
  Check(device_->SetCommBreak());
}

void TCustomComPort::ClearBreak() {
  CheckActive();
  Check(device_->ClearCommBreak());
}

void TCustomComPort::TransmitChar(char c) {
  CheckActive();
  Check(device_->TransmitCommChar(c));
}

TModemStatus TCustomComPort::GetModemStatus() {
  if (Designing()) return {};
  CheckActive();
  std::uint32_t s = 0;
  Check(device_->GetCommModemStatus(s));
  TModemStatus r;
  if (s & platform::kMsCtsOn) r.Include(msCTS);
  if (s & platform::kMsDsrOn) r.Include(msDSR);
  if (s & platform::kMsRingOn) r.Include(msRing);
  if (s & platform::kMsRlsdOn) r.Include(msRLSD);
  return r;
}

void TCustomComPort::Purge(std::uint32_t flags) {
  if (!IsOpen()) return;
  Check(device_->PurgeComm(flags));
}

void TCustomComPort::PurgeInput() { Purge(platform::kPurgeRxAbort | platform::kPurgeRxClear); }
void TCustomComPort::PurgeOutput() { Purge(platform::kPurgeTxAbort | platform::kPurgeTxClear); }
void TCustomComPort::ClearInput() { Purge(platform::kPurgeRxClear); }
void TCustomComPort::ClearOutput() { Purge(platform::kPurgeTxClear); }
void TCustomComPort::AbortInput() { Purge(platform::kPurgeRxAbort); }
void TCustomComPort::AbortOutput() { Purge(platform::kPurgeTxAbort); }

void TCustomComPort::Flush() {
  if (!IsOpen()) return;
  Check(device_->FlushBuffers());
}

// ---------------------------------------------------------------------------
// Errors.

void TCustomComPort::Check(bool ok) {
  if (ok) return;
  platform::ISerialSystem& sys = platform::Serial();
  std::uint32_t code = sys.LastError();
  if (code == 0 || code == platform::kErrorIoPending) return;
  sys.SetLastError(0);
  RaiseError(static_cast<int>(code), sys.ErrorText(code));
}

void TCustomComPort::RaiseError(int code, const std::string& message) {
  EComError error(message, code);
  TComAction action = caFail;
  if (OnError) OnError(this, error, action);
  if (action == caAbort) Abort();
  throw error;
}

void TCustomComPort::CheckActive() {
  if (!IsOpen()) RaiseError(0, kClosedPort);
}

void TCustomComPort::CheckInactive() {
  if (IsOpen() && !Designing()) RaiseError(0, kOpenPort);
}

// ---------------------------------------------------------------------------
// Configuration dialogs and capabilities.

bool TCustomComPort::ConfigDialog() {
  platform::ISerialSystem& sys = platform::Serial();
  if (!sys.HasConfigDialog()) return false;
  platform::Dcb dcb{};
  Check(sys.GetDefaultConfig(ShortDeviceName(), dcb));
  CopyDCB(dcb, true);
  bool confirmed = false;
  Check(sys.RunConfigDialog(ShortDeviceName(), dcb, confirmed));
  if (confirmed) {
    CopyDCB(dcb, false);
    SetComDCB();
  }
  return confirmed;
}

bool TCustomComPort::DefaultConfigDialog() {
  platform::ISerialSystem& sys = platform::Serial();
  if (!sys.HasConfigDialog()) return false;
  platform::Dcb dcb{};
  Check(sys.GetDefaultConfig(ShortDeviceName(), dcb));
  bool confirmed = false;
  Check(sys.RunConfigDialog(ShortDeviceName(), dcb, confirmed));
  if (confirmed) Check(sys.SetDefaultConfig(ShortDeviceName(), dcb));
  return confirmed;
}

void TCustomComPort::GetCommProp(platform::CommProp& prop) {
  CheckActive();
  prop = platform::CommProp{};
  Check(device_->GetCommProperties(prop));
}

TBaudRates TCustomComPort::GetSettableBaudRates() {
  platform::CommProp p;
  GetCommProp(p);
  TBaudRates r;
  for (const BaudFlag& f : kBaudFlags)
    if (p.dwSettableBaud & f.flag) r.Include(f.rate);
  return r;
}

TBaudRate TCustomComPort::GetMaxBaudRate() {
  platform::CommProp p;
  GetCommProp(p);
  for (const BaudFlag& f : kBaudFlags)
    if (p.dwMaxBaud == f.flag) return f.rate;
  return brDefault;
}

TSettableParameters TCustomComPort::GetSettableParameters() {
  platform::CommProp p;
  GetCommProp(p);
  const std::pair<std::uint32_t, TSettableParameter> map[] = {
      {platform::kSpParity, spParity},     {platform::kSpParityCheck, spParityCheck},
      {platform::kSpBaud, spBaudRate},     {platform::kSpDataBits, spDataBits},
      {platform::kSpStopBits, spStopBits}, {platform::kSpHandshaking, spHandShaking},
      {platform::kSpRlsd, spRLSD}};
  TSettableParameters r;
  for (const auto& [flag, member] : map)
    if (p.dwSettableParams & flag) r.Include(member);
  return r;
}

TSettableDataBits TCustomComPort::GetSettableDataBits() {
  platform::CommProp p;
  GetCommProp(p);
  const std::pair<std::uint16_t, TDataBits> map[] = {
      {platform::kDataBits5, db5}, {platform::kDataBits6, db6},   {platform::kDataBits7, db7},
      {platform::kDataBits8, db8}, {platform::kDataBits16, db16}, {platform::kDataBits16X, db16x}};
  TSettableDataBits r;
  for (const auto& [flag, member] : map)
    if (p.wSettableData & flag) r.Include(member);
  return r;
}

TSettableParity TCustomComPort::GetSettableParity() {
  platform::CommProp p;
  GetCommProp(p);
  const std::pair<std::uint16_t, TParity> map[] = {{platform::kParityNone, paNone},
                                                   {platform::kParityOdd, paOdd},
                                                   {platform::kParityEven, paEven},
                                                   {platform::kParityMark, paMark},
                                                   {platform::kParitySpace, paSpace}};
  TSettableParity r;
  for (const auto& [flag, member] : map)
    if (p.wSettableStopParity & flag) r.Include(member);
  return r;
}

TSettableStopBits TCustomComPort::GetSettableStopBits() {
  platform::CommProp p;
  GetCommProp(p);
  TSettableStopBits r;
  if (p.wSettableStopParity & platform::kStopBits10) r.Include(sb1);
  if (p.wSettableStopParity & platform::kStopBits15) r.Include(sb1_5);
  if (p.wSettableStopParity & platform::kStopBits20) r.Include(sb2);
  return r;
}

TCapabilities TCustomComPort::GetCapabilities() {
  platform::CommProp p;
  GetCommProp(p);
  TCapabilities r;
  for (int i = 0; i <= ca16BitMode; ++i)
    if (p.dwProvCapabilities & (1u << i)) r.Include(static_cast<TCapability>(i));
  return r;
}
