// The toolkit seam: what a windowing backend (headless, Qt, Win32) supplies.
#pragma once

#include <memory>
#include <string>
#include <utility>

class TControl;
class TForm;
class TObject;
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

// What every backend does the same way.

// Called inside a catch block: hands the exception in flight to the
// application's exception handling. Should that fail as well (the box
// cannot be shown, the program is going down), the failure ends here too.
void HandleDispatchException(TObject* sender) noexcept;

// Runs a model handler for an event the backend dispatches (a click, a
// selection, a close box, a timer tick, a wake-up). Nothing it throws may
// unwind into the toolkit's own dispatch, which knows nothing of it: the
// exception goes to the application, as one leaving a window message would.
template <class F>
void GuardedDispatch(F&& handler, TObject* sender = nullptr) noexcept {
  try {
    std::forward<F>(handler)();
  } catch (...) {
    HandleDispatchException(sender);
  }
}

// The designed sizes and font heights are pixels at 96 per inch.
constexpr int kDesignPixelsPerInch = 96;

// A designed size on a screen of `ppi` pixels per inch, rounded to the
// nearest pixel with halves away from zero, as the system's MulDiv rounds
// (a negative font height stays negative: -11 is -14 at 120).
constexpr int ScaleToPpi(int designPixels, int ppi) {
  const long long scaled = static_cast<long long>(designPixels) * ppi;
  const long long half = kDesignPixelsPerInch / 2;
  return static_cast<int>((scaled < 0 ? scaled - half : scaled + half) / kDesignPixelsPerInch);
}
