// The signal indicator: shows one signal of a serial port as a boolean value
// and, optionally, as the colour of a control. It takes over one of the
// port's events and chains to the handler installed there before, so the
// application's handlers keep working.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/Classes.h"
#include "framework/Controls.h"
#include "framework/ExtCtrls.h"
#include "serial/Comport.h"

enum TSignal {
  siNone,
  siBreak,
  siRxChar,
  siTxChar,
  siCTS,
  siDSR,
  siEvent1,
  siEvent2,
  siLineError,
  siPrinterError,
  siRing,
  siRLSD,
  siRx80PercFull,
  siRxFlag,
  siTxEmpty
};

class TComSignal : public TComponent {
 public:
  explicit TComSignal(TComponent* owner);
  ~TComSignal() override;

  TColor ColorOff() const { return colorOff_; }
  void SetColorOff(TColor c);
  TColor ColorOn() const { return colorOn_; }
  // Shows at the next repaint.
  void SetColorOn(TColor c) { colorOn_ = c; }
  TComPort* ComPort() const { return port_; }
  void SetComPort(TComPort* port);
  TControl* Control() const { return control_; }
  void SetControl(TControl* control);
  int Delay() const { return delay_; }
  void SetDelay(int ms);
  TSignal Signal() const { return signal_; }
  // Stored only: the events are taken over by Loaded and SetComPort.
  void SetSignal(TSignal s) { signal_ = s; }
  bool SignalValue() const { return value_; }
  // Called with the indicator after every change of SignalValue.
  TNotifyEvent OnSignal;

  std::string GetAbout() const;
  void SetAbout(const std::string&) {}
  std::string About() const { return GetAbout(); }

  // The pulse timer (owned by the indicator).
  TTimer* Timer() const { return timer_; }

 protected:
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

  void RetrieveEvents();
  void RestoreEvents();
  void StartTimer();
  void UpdateSignalValue();
  void SetSignalValue(bool value);
  void UpdateColor();

  // Installed in the port.
  void AfterOpen(TCustomComPort* port);
  void AfterClose(TCustomComPort* port);
  void OnNotifySignal(TObject* sender);
  void OnLineError(TObject* sender, TLineErrors errors);
  void OnModemSignal(TObject* sender);
  void BeforeWrite(TObject* sender, const void* buffer, int length, bool waitOnCompletion);
  void AfterWrite(TObject* sender, const void* buffer, int length, bool waitOnCompletion);
  // The timer's tick.
  void OnTimer(TObject* sender);

 private:
  bool Loading() const { return ComponentState().Contains(csLoading); }
  bool Designing() const { return ComponentState().Contains(csDesigning); }
  void ClearSaved();

  TColor colorOff_ = clGreen;
  TColor colorOn_ = clLime;
  TComPort* port_ = nullptr;
  TControl* control_ = nullptr;
  int delay_ = 100;
  TSignal signal_ = siNone;
  TSignal takenOver_ = siNone;  // the signal whose event RetrieveEvents took
  bool value_ = false;
  TTimer* timer_ = nullptr;
  bool writing_ = false;

  // The handlers this indicator took over, to be called after its own work
  // and given back when it lets go. Shared with the chain of indicators on
  // one port: one that lets go hands its saved handlers to the indicator
  // that had saved it, in whatever order they go. It outlives the indicator
  // while one of its handlers still runs.
  struct TSaved {
    TComPort* port = nullptr;
    TOpenCloseEvent afterOpen, afterClose;
    TReadWriteEvent beforeWrite, afterWrite;
    TNotifyEvent notify;
    TLineErrorEvent lineError;
    TNotifyEvent modem;
  };
  std::shared_ptr<TSaved> saved_;
  // Every indicator's saved handlers, also those a running handler still holds.
  static std::vector<std::weak_ptr<TSaved>>& Chain();
  void NewSaved();
  // Expires with the indicator: a handler that called out asks it before it
  // touches the indicator again.
  std::shared_ptr<char> life_ = std::make_shared<char>();
};
