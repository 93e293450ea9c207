#include "framework/ExtCtrls.h"

#include "framework/Toolkit.h"

TTimer::TTimer(TComponent* owner) : TComponent(owner) {}

TTimer::~TTimer() {
  if (running_) Toolkit().StopTimer(*this);
}

void TTimer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  UpdateTimer();
}

void TTimer::SetInterval(int ms) {
  if (ms == interval_) return;
  interval_ = ms;
  UpdateTimer();
}

void TTimer::SetOnTimer(const TNotifyEvent& handler) {
  onTimer_ = handler;
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  if (running_) {
    Toolkit().StopTimer(*this);
    running_ = false;
  }
  if (enabled_ && interval_ > 0 && onTimer_.Assigned()) {
    Toolkit().StartTimer(*this, interval_);
    running_ = true;
  }
}

void TTimer::DispatchTick() {
  if (!running_ || !onTimer_.Assigned()) return;
  GuardedDispatch([this] { onTimer_(this); }, this);
}
