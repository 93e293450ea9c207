// The Windows desktop backend of the toolkit seam: native user32 and
// comctl32 controls. Create it on the UI thread; it owns a hidden message
// window that carries the timers and the wake-up of synchronised calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "framework/Toolkit.h"

class TWin32Toolkit final : public IToolkit {
 public:
  TWin32Toolkit();
  ~TWin32Toolkit() override;
  TWin32Toolkit(const TWin32Toolkit&) = delete;
  TWin32Toolkit& operator=(const TWin32Toolkit&) = delete;

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
  int PixelsPerInch() override;

  // The window (HWND) of a control whose form has been shown, or 0.
  static std::uintptr_t WindowHandle(const TControl& control);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
