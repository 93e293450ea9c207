// What the stage operations need of the main window: the message convention,
// the end of the run, the control group, the status line, the progress bar,
// the reset panel and the port. The main window implements it; tests may
// supply their own.
#pragma once

#include <cstdint>
#include <string>

class TComPort;
class TComSignal;
class TLabel;
class TPanel;
class TProgressBar;

class IRunHost {
 public:
  virtual ~IRunHost() = default;
  // Beep, then a modal "Fehler" box.
  virtual void ShowErrorMessage(const std::string& text) = 0;
  // A modal "Information" box, no beep.
  virtual void ShowInfoMessage(const std::string& text) = 0;
  // Closes the port and ends the process with exit code 0.
  [[noreturn]] virtual void EndRun() = 0;
  virtual void SetControlsEnabled(bool enabled) = 0;
  virtual void ProcessMessages() = 0;
  virtual TProgressBar& Progress() = 0;
  virtual TLabel& Status() = 0;
  virtual TPanel& ResetIndicatorPanel() = 0;
  // The main window's serial port.
  virtual TComPort& Port() = 0;
  // The colours of the reset indicator (0x00BBGGRR): DSR on and off.
  virtual std::uint32_t ResetColorOn() = 0;
  virtual std::uint32_t ResetColorOff() = 0;
};

IRunHost& RunHost();
void SetRunHost(IRunHost* host);
