#include "serial/Comsignal.h"

namespace {

enum class TKind { None, Pulse, LineError, Modem, TxChar };

// The port's plain notification events, by getter and setter.
struct TNotifyAccess {
  const TNotifyEvent& (TCustomComPort::*get)() const;
  void (TCustomComPort::*set)(const TNotifyEvent&);
};

struct TSignalInfo {
  TKind kind;
  TNotifyAccess event;     // Pulse and Modem
  TModemStatusValue line;  // Modem
};

TSignalInfo Info(TSignal s) {
  using P = TCustomComPort;
  switch (s) {
    case siBreak:
      return {TKind::Pulse, {&P::OnBreak, &P::SetOnBreak}, msCTS};
    case siRxChar:
      return {TKind::Pulse, {&P::OnRxChar, &P::SetOnRxChar}, msCTS};
    case siEvent1:
      return {TKind::Pulse, {&P::OnEvent1, &P::SetOnEvent1}, msCTS};
    case siEvent2:
      return {TKind::Pulse, {&P::OnEvent2, &P::SetOnEvent2}, msCTS};
    case siPrinterError:
      return {TKind::Pulse, {&P::OnPrinterError, &P::SetOnPrinterError}, msCTS};
    case siRx80PercFull:
      return {TKind::Pulse, {&P::OnRx80PercFull, &P::SetOnRx80PercFull}, msCTS};
    case siRxFlag:
      return {TKind::Pulse, {&P::OnRxFlag, &P::SetOnRxFlag}, msCTS};
    case siTxEmpty:
      return {TKind::Pulse, {&P::OnTxEmpty, &P::SetOnTxEmpty}, msCTS};
    case siCTS:
      return {TKind::Modem, {&P::OnCTSChange, &P::SetOnCTSChange}, msCTS};
    case siDSR:
      return {TKind::Modem, {&P::OnDSRChange, &P::SetOnDSRChange}, msDSR};
    case siRing:
      return {TKind::Modem, {&P::OnRing, &P::SetOnRing}, msRing};
    case siRLSD:
      return {TKind::Modem, {&P::OnRLSDChange, &P::SetOnRLSDChange}, msRLSD};
    case siLineError:
      return {TKind::LineError, {nullptr, nullptr}, msCTS};
    case siTxChar:
      return {TKind::TxChar, {nullptr, nullptr}, msCTS};
    case siNone:
      break;
  }
  return {TKind::None, {nullptr, nullptr}, msCTS};
}

}  // namespace

TComSignal::TComSignal(TComponent* owner) : TComponent(owner) {
  timer_ = new TTimer(this);
  timer_->SetInterval(delay_);
  timer_->SetOnTimer(TNotifyEvent(this, &TComSignal::OnTimer));
}

TComSignal::~TComSignal() {
  delete timer_;
  timer_ = nullptr;
  RestoreEvents();
  if (port_ != nullptr) port_->RemoveFreeNotification(this);
  if (control_ != nullptr) control_->RemoveFreeNotification(this);
}

std::string TComSignal::GetAbout() const { return "TComSignal signal indicator, version 1.0"; }

void TComSignal::Loaded() {
  TComponent::Loaded();
  RetrieveEvents();
  UpdateSignalValue();
  UpdateColor();
}

void TComSignal::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != opRemove || component == nullptr) return;
  if (component == port_) {
    // A removal is the port's destruction: its own part is already gone, so
    // its events are not written any more; the indicator only lets go.
    if (timer_ != nullptr) timer_->SetEnabled(false);
    port_ = nullptr;
    ClearSaved();
    UpdateSignalValue();
  } else if (component == control_) {
    control_ = nullptr;
  }
}

void TComSignal::SetComPort(TComPort* port) {
  if (port == port_) return;
  timer_->SetEnabled(false);
  RestoreEvents();
  if (port_ != nullptr) port_->RemoveFreeNotification(this);
  port_ = port;
  if (port_ != nullptr) port_->FreeNotification(this);
  RetrieveEvents();
  UpdateSignalValue();
}

void TComSignal::SetControl(TControl* control) {
  if (control_ != nullptr && control_ != control) control_->RemoveFreeNotification(this);
  control_ = control;
  if (control_ != nullptr) control_->FreeNotification(this);
  UpdateColor();
}

void TComSignal::SetColorOff(TColor c) {
  colorOff_ = c;
  UpdateColor();
}

void TComSignal::SetDelay(int ms) {
  delay_ = ms;
  timer_->SetInterval(ms);
}

void TComSignal::RetrieveEvents() {
  if (Loading() || Designing() || port_ == nullptr) return;
  savedAfterOpen_ = port_->AfterOpen;
  port_->AfterOpen = TOpenCloseEvent(this, &TComSignal::AfterOpen);
  savedAfterClose_ = port_->AfterClose;
  port_->AfterClose = TOpenCloseEvent(this, &TComSignal::AfterClose);
  takenOver_ = signal_;
  TSignalInfo info = Info(signal_);
  switch (info.kind) {
    case TKind::Pulse:
      savedNotify_ = (port_->*info.event.get)();
      (port_->*info.event.set)(TNotifyEvent(this, &TComSignal::OnNotifySignal));
      break;
    case TKind::Modem:
      savedModem_ = (port_->*info.event.get)();
      (port_->*info.event.set)(TNotifyEvent(this, &TComSignal::OnModemSignal));
      break;
    case TKind::LineError:
      savedLineError_ = port_->OnLineError();
      port_->SetOnLineError(TLineErrorEvent(this, &TComSignal::OnLineError));
      break;
    case TKind::TxChar:
      savedBeforeWrite_ = port_->BeforeWrite;
      port_->BeforeWrite = TReadWriteEvent(this, &TComSignal::BeforeWrite);
      savedAfterWrite_ = port_->AfterWrite;
      port_->AfterWrite = TReadWriteEvent(this, &TComSignal::AfterWrite);
      break;
    case TKind::None:
      break;
  }
}

void TComSignal::RestoreEvents() {
  if (!Designing() && port_ != nullptr) {
    // Only what still holds this indicator's own handler is given back.
    if (port_->AfterOpen == TOpenCloseEvent(this, &TComSignal::AfterOpen)) port_->AfterOpen = savedAfterOpen_;
    if (port_->AfterClose == TOpenCloseEvent(this, &TComSignal::AfterClose))
      port_->AfterClose = savedAfterClose_;
    // The event taken over, also when Signal has changed since: a handler
    // left behind would call an indicator that may be gone.
    TSignalInfo info = Info(takenOver_);
    switch (info.kind) {
      case TKind::Pulse:
        if ((port_->*info.event.get)() == TNotifyEvent(this, &TComSignal::OnNotifySignal))
          (port_->*info.event.set)(savedNotify_);
        break;
      case TKind::Modem:
        if ((port_->*info.event.get)() == TNotifyEvent(this, &TComSignal::OnModemSignal))
          (port_->*info.event.set)(savedModem_);
        break;
      case TKind::LineError:
        if (port_->OnLineError() == TLineErrorEvent(this, &TComSignal::OnLineError))
          port_->SetOnLineError(savedLineError_);
        break;
      case TKind::TxChar:
        if (port_->BeforeWrite == TReadWriteEvent(this, &TComSignal::BeforeWrite))
          port_->BeforeWrite = savedBeforeWrite_;
        if (port_->AfterWrite == TReadWriteEvent(this, &TComSignal::AfterWrite))
          port_->AfterWrite = savedAfterWrite_;
        break;
      case TKind::None:
        break;
    }
  }
  ClearSaved();
}

void TComSignal::ClearSaved() {
  savedAfterOpen_ = nullptr;
  savedAfterClose_ = nullptr;
  savedBeforeWrite_ = nullptr;
  savedAfterWrite_ = nullptr;
  savedNotify_ = nullptr;
  savedLineError_ = nullptr;
  savedModem_ = nullptr;
  takenOver_ = siNone;
}

void TComSignal::StartTimer() {
  timer_->SetEnabled(false);
  timer_->SetEnabled(true);
}

void TComSignal::UpdateSignalValue() {
  bool value = false;
  TSignalInfo info = Info(signal_);
  if (port_ != nullptr && port_->Active() && info.kind == TKind::Modem)
    value = port_->GetModemStatus().Contains(info.line);
  SetSignalValue(value);
}

void TComSignal::SetSignalValue(bool value) {
  if (value == value_) return;
  value_ = value;
  UpdateColor();
  if (OnSignal.Assigned()) OnSignal(this);
}

void TComSignal::UpdateColor() {
  if (control_ != nullptr) control_->SetColor(value_ ? colorOn_ : colorOff_);
}

void TComSignal::AfterOpen(TCustomComPort* port) {
  UpdateSignalValue();
  if (savedAfterOpen_.Assigned()) savedAfterOpen_(port);
}

void TComSignal::AfterClose(TCustomComPort* port) {
  UpdateSignalValue();
  if (savedAfterClose_.Assigned()) savedAfterClose_(port);
}

void TComSignal::OnModemSignal(TObject*) {
  UpdateSignalValue();
  if (savedModem_.Assigned()) savedModem_(port_);
}

void TComSignal::OnNotifySignal(TObject*) {
  SetSignalValue(true);
  StartTimer();
  if (savedNotify_.Assigned()) savedNotify_(port_);
}

void TComSignal::OnLineError(TObject*, TLineErrors errors) {
  SetSignalValue(true);
  StartTimer();
  if (savedLineError_.Assigned()) savedLineError_(port_, errors);
}

void TComSignal::BeforeWrite(TObject* sender, const void* buffer, int length, bool waitOnCompletion) {
  SetSignalValue(true);
  writing_ = true;
  StartTimer();
  if (savedBeforeWrite_.Assigned()) savedBeforeWrite_(sender, buffer, length, waitOnCompletion);
}

void TComSignal::AfterWrite(TObject* sender, const void* buffer, int length, bool waitOnCompletion) {
  writing_ = false;
  if (savedAfterWrite_.Assigned()) savedAfterWrite_(sender, buffer, length, waitOnCompletion);
}

void TComSignal::OnTimer(TObject*) {
  if (signal_ == siTxChar && writing_) return;
  timer_->SetEnabled(false);
  SetSignalValue(false);
}
