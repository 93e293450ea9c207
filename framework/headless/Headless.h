// The headless toolkit: no window. Timers run on the platform clock, message
// boxes write one transcript line and are answered "OK" at once. Used by
// tests and by the command-line tool.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "framework/Toolkit.h"

class THeadlessToolkit : public IToolkit {
 public:
  THeadlessToolkit();
  ~THeadlessToolkit() override;

  void ShowForm(TForm& form) override;
  void HideForm(TForm& form) override;
  void RunLoop() override;
  void Quit() override;
  void ProcessMessages() override;
  void WakeMainThread() override;
  void StartTimer(TTimer& timer, int intervalMs) override;
  void StopTimer(TTimer& timer) override;
  void MessageBox(const std::string& text, const std::string& title, TMsgBoxKind kind) override;
  void ShowExceptionBox(const std::string& message) override;
  int PixelsPerInch() override { return ppi_; }

  void SetPixelsPerInch(int ppi) { ppi_ = ppi; }

  // A user action at a time on the platform clock (microseconds), run on the
  // UI thread by the message loop, also inside ProcessMessages. What it
  // throws goes to the application, as from a click in a window.
  void At(std::int64_t timeUs, std::function<void()> action);

  // Called for every box before it is answered, e.g. to act while it shows.
  using BoxHook = std::function<void(const std::string& title, const std::string& text)>;
  void SetBoxHook(BoxHook hook) { boxHook_ = std::move(hook); }

  // Whether control changes (status text, progress, panel colour) are
  // written to the transcript.
  void SetTraceControls(bool on) { traceControls_ = on; }
  bool TraceControls() const { return traceControls_; }

 private:
  struct TimerState {
    int intervalUs = 0;
    std::int64_t dueUs = 0;
  };
  bool RunDue();
  std::int64_t NextDueUs();

  int ppi_ = 96;
  bool quit_ = false;
  bool traceControls_ = true;
  std::map<TTimer*, TimerState> timers_;
  std::multimap<std::int64_t, std::function<void()>> actions_;
  BoxHook boxHook_;
  std::mutex wakeMu_;
  std::condition_variable wakeCv_;
  bool woken_ = false;
  int depth_ = 0;
};
