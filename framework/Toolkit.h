// The toolkit seam: what a windowing backend (headless, Qt, Win32) supplies.
#pragma once

#include <memory>
#include <string>

class TControl;
class TForm;
class TTimer;

enum class TMsgBoxKind { Error, Information };

class IToolkit {
 public:
  virtual ~IToolkit() = default;

  // Gives every control of the form a peer and shows the window.
  virtual void ShowForm(TForm& form) = 0;
  virtual void HideForm(TForm& form) = 0;

  // Runs the message loop until Quit() (or, headless, until nothing can
  // happen any more).
  virtual void RunLoop() = 0;
  virtual void Quit() = 0;
  // Handles every pending message, due timer and queued synchronised call,
  // then returns; never waits.
  virtual void ProcessMessages() = 0;
  // Another thread has queued a synchronised call: wake the loop. Called
  // from any thread.
  virtual void WakeMainThread() = 0;

  // Timers: (re)start with the interval in milliseconds, or stop. The
  // backend calls TTimer::DispatchTick on the UI thread when due.
  virtual void StartTimer(TTimer& timer, int intervalMs) = 0;
  virtual void StopTimer(TTimer& timer) = 0;

  // A modal box with one "OK" button, centred; the loop keeps running while
  // it is shown. Returns when it has been answered.
  virtual void MessageBox(const std::string& text, const std::string& title, TMsgBoxKind kind) = 0;
  // The standard exception box.
  virtual void ShowExceptionBox(const std::string& message) = 0;
  virtual int PixelsPerInch() = 0;
};

// The installed toolkit, or nullptr.
IToolkit* InstalledToolkit();
IToolkit& Toolkit();
// Installs the backend; the caller keeps ownership. Returns the previous one.
IToolkit* InstallToolkit(IToolkit* t);
