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

std::vector<std::weak_ptr<TComSignal::TSaved>>& TComSignal::Chain() {
  static std::vector<std::weak_ptr<TSaved>> chain;
  return chain;
}

void TComSignal::NewSaved() {
  auto& chain = Chain();
  std::erase_if(chain, [](const std::weak_ptr<TSaved>& w) { return w.expired(); });
  saved_ = std::make_shared<TSaved>();
  chain.push_back(saved_);
}

TComSignal::TComSignal(TComponent* owner) : TComponent(owner) {
  NewSaved();
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
    // its events are not written any more; the indicators only let go, and
    // no handler still running calls on with the port.
    if (timer_ != nullptr) timer_->SetEnabled(false);
    for (auto& w : Chain())
      if (auto other = w.lock(); other && other->port == port_) *other = TSaved{};
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
  saved_->port = port_;
  saved_->afterOpen = port_->AfterOpen;
  port_->AfterOpen = TOpenCloseEvent(this, &TComSignal::AfterOpen);
  saved_->afterClose = port_->AfterClose;
  port_->AfterClose = TOpenCloseEvent(this, &TComSignal::AfterClose);
  takenOver_ = signal_;
  TSignalInfo info = Info(signal_);
  switch (info.kind) {
    case TKind::Pulse:
      saved_->notify = (port_->*info.event.get)();
      (port_->*info.event.set)(TNotifyEvent(this, &TComSignal::OnNotifySignal));
      break;
    case TKind::Modem:
      saved_->modem = (port_->*info.event.get)();
      (port_->*info.event.set)(TNotifyEvent(this, &TComSignal::OnModemSignal));
      break;
    case TKind::LineError:
      saved_->lineError = port_->OnLineError();
      port_->SetOnLineError(TLineErrorEvent(this, &TComSignal::OnLineError));
      break;
    case TKind::TxChar:
      saved_->beforeWrite = port_->BeforeWrite;
      port_->BeforeWrite = TReadWriteEvent(this, &TComSignal::BeforeWrite);
      saved_->afterWrite = port_->AfterWrite;
      port_->AfterWrite = TReadWriteEvent(this, &TComSignal::AfterWrite);
      break;
    case TKind::None:
      break;
  }
}

void TComSignal::RestoreEvents() {
  if (!Designing() && port_ != nullptr) {
    // Only what still holds this indicator's own handler is given back. An
    // indicator attached later may have saved our handler instead: it gets
    // ours, so that the chain never leads to an indicator that has gone.
    auto giveBack = [this](auto TSaved::*slot, auto& portSlot, const auto& mine) {
      if (portSlot == mine) {
        portSlot = saved_.get()->*slot;
        return true;
      }
      for (auto& w : Chain())
        if (auto other = w.lock(); other && other != saved_ && other->port == port_ && (*other).*slot == mine)
          (*other).*slot = saved_.get()->*slot;
      return false;
    };
    giveBack(&TSaved::afterOpen, port_->AfterOpen, TOpenCloseEvent(this, &TComSignal::AfterOpen));
    giveBack(&TSaved::afterClose, port_->AfterClose, TOpenCloseEvent(this, &TComSignal::AfterClose));
    // The event taken over, also when Signal has changed since: a handler
    // left behind would call an indicator that may be gone.
    TSignalInfo info = Info(takenOver_);
    switch (info.kind) {
      case TKind::Pulse: {
        TNotifyEvent now = (port_->*info.event.get)();
        if (giveBack(&TSaved::notify, now, TNotifyEvent(this, &TComSignal::OnNotifySignal)))
          (port_->*info.event.set)(now);
        break;
      }
      case TKind::Modem: {
        TNotifyEvent now = (port_->*info.event.get)();
        if (giveBack(&TSaved::modem, now, TNotifyEvent(this, &TComSignal::OnModemSignal)))
          (port_->*info.event.set)(now);
        break;
      }
      case TKind::LineError: {
        TLineErrorEvent now = port_->OnLineError();
        if (giveBack(&TSaved::lineError, now, TLineErrorEvent(this, &TComSignal::OnLineError)))
          port_->SetOnLineError(now);
        break;
      }
      case TKind::TxChar:
        giveBack(&TSaved::beforeWrite, port_->BeforeWrite, TReadWriteEvent(this, &TComSignal::BeforeWrite));
        giveBack(&TSaved::afterWrite, port_->AfterWrite, TReadWriteEvent(this, &TComSignal::AfterWrite));
        break;
      case TKind::None:
        break;
    }
  }
  ClearSaved();
}

void TComSignal::ClearSaved() {
  // A handler of this indicator that is still running keeps the old record,
  // which the chain keeps up to date.
  NewSaved();
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

// Each handler does its own part and then calls the handler it took over.
// Its own part may call OnSignal, whose handler may destroy the indicator:
// the record of the next handler is held for the call, and the indicator
// is touched again only while it lives.
void TComSignal::AfterOpen(TCustomComPort* port) {
  std::shared_ptr<TSaved> saved = saved_;
  UpdateSignalValue();
  if (saved->afterOpen.Assigned()) saved->afterOpen(port);
}

void TComSignal::AfterClose(TCustomComPort* port) {
  std::shared_ptr<TSaved> saved = saved_;
  UpdateSignalValue();
  if (saved->afterClose.Assigned()) saved->afterClose(port);
}

void TComSignal::OnModemSignal(TObject*) {
  std::shared_ptr<TSaved> saved = saved_;
  UpdateSignalValue();
  if (saved->modem.Assigned()) saved->modem(saved->port);
}

void TComSignal::OnNotifySignal(TObject*) {
  std::shared_ptr<TSaved> saved = saved_;
  std::weak_ptr<char> life = life_;
  SetSignalValue(true);
  if (!life.expired()) StartTimer();
  if (saved->notify.Assigned()) saved->notify(saved->port);
}

void TComSignal::OnLineError(TObject*, TLineErrors errors) {
  std::shared_ptr<TSaved> saved = saved_;
  std::weak_ptr<char> life = life_;
  SetSignalValue(true);
  if (!life.expired()) StartTimer();
  if (saved->lineError.Assigned()) saved->lineError(saved->port, errors);
}

void TComSignal::BeforeWrite(TObject* sender, const void* buffer, int length, bool waitOnCompletion) {
  std::shared_ptr<TSaved> saved = saved_;
  std::weak_ptr<char> life = life_;
  SetSignalValue(true);
  if (!life.expired()) {
    writing_ = true;
    StartTimer();
  }
  if (saved->beforeWrite.Assigned()) saved->beforeWrite(sender, buffer, length, waitOnCompletion);
}

void TComSignal::AfterWrite(TObject* sender, const void* buffer, int length, bool waitOnCompletion) {
  writing_ = false;
  std::shared_ptr<TSaved> saved = saved_;
  if (saved->afterWrite.Assigned()) saved->afterWrite(sender, buffer, length, waitOnCompletion);
}

void TComSignal::OnTimer(TObject*) {
  if (signal_ == siTxChar && writing_) return;
  timer_->SetEnabled(false);
  SetSignalValue(false);
}
