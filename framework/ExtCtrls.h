// The toolkit's window-message timer.
#pragma once

#include "framework/Classes.h"

// Ticks every Interval milliseconds on the UI thread while it is enabled, has
// a non-zero interval and an OnTimer handler. Starts enabled, as the
// toolkit's timers do.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* owner);
  ~TTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  int Interval() const { return interval_; }
  void SetInterval(int ms);
  const TNotifyEvent& OnTimer() const { return onTimer_; }
  void SetOnTimer(const TNotifyEvent& handler);

  // Whether the timer will tick.
  bool Running() const { return running_; }

  // Called by the backend when the timer is due: runs OnTimer, and hands an
  // exception leaving it to the application (the silent abort shows nothing).
  void DispatchTick();

 private:
  void UpdateTimer();
  bool enabled_ = true;
  int interval_ = 1000;
  TNotifyEvent onTimer_;
  bool running_ = false;
};
